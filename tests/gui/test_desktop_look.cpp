// The windows on today's desktops: on a screen of device pixel ratio 2 (this test runs with
// QT_SCALE_FACTOR=2) the status ball, the logo and the credits are drawn at the screen's pixels,
// and under a 14 pt desktop font every caption and field fits in its control and every control in
// its bar or panel.

#include "support/TwoCopies.h"

#include "windows/FolderChooser.h"
#include "windows/InfoWindow.h"
#include "windows/TextPanel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {
// Every shown caption, label and field of the window fits: it is at least as large as its text
// needs, and it lies inside the widget that holds it (unless that scrolls it).
void expectNothingCutOff(QWidget* window) {
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || w->isWindow())
            continue;
        const std::string name = w->objectName().toStdString() + " " + w->metaObject()->className();
        const QFontMetrics metrics = w->fontMetrics();
        auto* label = qobject_cast<QLabel*>(w);
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            const int glyph = button->icon().isNull() ? 0 : button->iconSize().width();
            EXPECT_GT(w->width(), metrics.horizontalAdvance(button->text()) + glyph) << name;
            EXPECT_GT(w->height(), metrics.height()) << name;
        } else if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                   (label && !label->text().isEmpty() && !label->wordWrap())) {
            EXPECT_GE(w->height(), w->sizeHint().height()) << name;
            if (!qobject_cast<QLineEdit*>(w)) {
                EXPECT_GE(w->width(), w->sizeHint().width()) << name;
            }
        }
        QWidget* holder = w->parentWidget();
        if (holder && holder->objectName() != "qt_scrollarea_viewport") {
            EXPECT_TRUE(holder->rect().contains(w->geometry())) << name;
        }
    }
}

struct AppFont {
    QFont before = QApplication::font();
    explicit AppFont(qreal points) {
        QFont f = before;
        f.setPointSizeF(points);
        QApplication::setFont(f);
    }
    ~AppFont() { QApplication::setFont(before); }
};
} // namespace

TEST(DesktopLook, BallLogoAndCreditsAreDrawnAtTheScreensPixelRatio) {
    ASSERT_EQ(qApp->devicePixelRatio(), 2.0) << "run with QT_SCALE_FACTOR=2";
    Copy copy;
    startForm(copy);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(copy.form.get()));
    const QPixmap ball = copy.form->Image1->pixmap();
    EXPECT_EQ(ball.devicePixelRatio(), 2.0);
    EXPECT_EQ(ball.size(), QSize(32, 32));

    TInfoForm info;
    info.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&info));
    const QPixmap logo = info.Image1->pixmap();
    EXPECT_EQ(logo.devicePixelRatio(), 2.0);
    EXPECT_EQ(logo.size(), QSize(600, 230));
    const QImage credits = info.TextPanel1->renderFrame();
    EXPECT_EQ(credits.devicePixelRatio(), 2.0);
    EXPECT_EQ(credits.size(), info.TextPanel1->size() * 2);
}

TEST(DesktopLook, NothingIsCutOffUnderAFourteenPointFont) {
    AppFont large(14);
    Copy copy;
    startForm(copy);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(copy.form.get()));
    TForm1& form = *copy.form;
    for (int page = 0; page < form.PageControl1->count(); ++page) {
        form.PageControl1->setCurrentIndex(page);
        expectNothingCutOff(&form);
    }
    // The snapshot buttons show whole beside their views: the page scrolls up and down only.
    form.PageControl1->setCurrentWidget(form.TabSheet2);
    auto* images = qobject_cast<QScrollArea*>(form.TabSheet2);
    ASSERT_NE(images, nullptr);
    EXPECT_FALSE(images->horizontalScrollBar()->isVisible());
    const QWidget* saveToFile = form.slotButtons[10];
    EXPECT_LE(saveToFile->mapTo(images, QPoint(saveToFile->width(), 0)).x(),
              images->viewport()->width());
    TInfoForm info;
    info.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&info));
    expectNothingCutOff(&info);
    TForm2 chooser;
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
    expectNothingCutOff(&chooser);
}
