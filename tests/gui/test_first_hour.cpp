// What a new user meets first: the Images page reaches all five slots at the default window size,
// and a status ball that says "Online" also says which ports do not listen.

#include "support/TwoCopies.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTcpServer>

#include <gtest/gtest.h>

TEST(FirstHour, ImagesPageScrollsToItsLastSlot) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Cleo");
    TForm1& form = *copy->form;
    ASSERT_TRUE(waitUntil([&] { return form.TabSheet2->isVisible(); }));
    auto* page = qobject_cast<QScrollArea*>(form.TabSheet2);
    ASSERT_NE(page, nullptr);
    QPushButton* lastButton = form.slotButtons[14]; // "Save to file" of slot 5
    page->ensureWidgetVisible(lastButton);
    const QRect shown = page->viewport()->rect();
    const QRect button(lastButton->mapTo(page->viewport(), QPoint(0, 0)), lastButton->size());
    EXPECT_TRUE(shown.contains(button)) << "viewport " << shown.height();
    EXPECT_GT(page->verticalScrollBar()->value(), 0); // the default window is lower than the page
}

TEST(FirstHour, StatusBallSaysWhichPortsDoNotListenUntilGoingOnlineAgain) {
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, 0));
    auto [local, remote] = freePortSets();
    const QString freeChat = local.chat;
    local.chat = QString::number(squatter.serverPort());
    auto copy = makeCopy(local, remote, "Cleo");
    TForm1& form = *copy->form;
    goOnline(form);
    const QString said =
        QStringLiteral("Online, but not listening on: Chat port %1").arg(local.chat);
    EXPECT_EQ(form.Image1->toolTip(), said);
    EXPECT_EQ(form.Image1->accessibleDescription(), said);
    EXPECT_EQ(form.Memo1->toPlainText().count("cannot listen"), 1);

    goOnline(form); // offline
    EXPECT_EQ(form.Image1->toolTip(), "Offline");
    form.Edit6->setText(freeChat);
    goOnline(form);
    EXPECT_EQ(form.Image1->toolTip(), "Online");
    EXPECT_EQ(form.Image1->accessibleDescription(), "Online");
}
