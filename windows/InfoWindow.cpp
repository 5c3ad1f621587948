#include "windows/InfoWindow.h"

#include "common/RelativeFont.h"
#include "windows/TextPanel.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtMath>

#include <algorithm>

const QString kMakerAddress = QStringLiteral("https://vorlax.example.org");

namespace {
const QString kLogoDesignerAddress = QStringLiteral("https://vorlax.example.org/logo");
// Sizes at the window's designed font; with a larger desktop font the texts, and the window
// with them, grow.
constexpr QSize kInfoClientSize(301, 439);
constexpr int kTitlePixels = 32;
constexpr int kAddressPixels = 12;
constexpr int kLogoPanelHeight = 121;
constexpr QSize kLogoArea(295, 115);
constexpr QSize kLogoSize(300, 115);
constexpr int kLogoLetterPixels = 58;
constexpr int kLogoStrokeWidth = 7;
constexpr QSize kTitleSize(103, 37);
constexpr QSize kCreditsSize(262, 193);
constexpr int kCreditsFontPixels = 11;
constexpr int kCreditsTextMargin = 8; // the panel's frame and the text's gap on both sides
constexpr quint32 kCreditsIntervalMs = 40;
constexpr int kCreditsStepSize = 1;
constexpr int kCreditsTrailingEmptyLines = 5;
constexpr QSize kOkSize(75, 25);
constexpr QMargins kBodyMargins(16, 12, 16, 6);
constexpr int kBodySpacing = 6;

QFont pixelFont(const QString& family, int pixels) {
    QFont font(family);
    font.setPixelSize(pixels);
    return font;
}

// One freehand-like stroke through the given points, as a smooth curve.
void drawStroke(QPainter& painter, const QColor& color, const QList<QPointF>& points) {
    QPainterPath path(points.first());
    for (int i = 1; i + 1 < points.size(); i += 2)
        path.quadTo(points.at(i), points.at(i + 1));
    painter.setPen(QPen(color, kLogoStrokeWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
}
} // namespace

QStringList creditLines() {
    QStringList lines{QStringLiteral("Vorlax"),
                      QString(),
                      QStringLiteral("\u00A9 2026 the Vorlax developers"),
                      kMakerAddress,
                      QString(),
                      QStringLiteral("Logo von:"),
                      kLogoDesignerAddress};
    for (int i = 0; i < kCreditsTrailingEmptyLines; ++i)
        lines << QString();
    return lines;
}

QImage vorlaxLogo(qreal devicePixelRatio) {
    // Drawn in the logo's own 300 x 115 units; the painter scales to the image's finer pixels.
    QImage logo(qCeil(kLogoSize.width() * devicePixelRatio),
                qCeil(kLogoSize.height() * devicePixelRatio), QImage::Format_RGB32);
    logo.setDevicePixelRatio(devicePixelRatio);
    logo.fill(Qt::white);
    QPainter painter(&logo);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    drawStroke(painter, QColor(0xE0, 0x30, 0x30),
               {{18, 92}, {90, 112}, {150, 96}, {220, 80}, {284, 98}});
    drawStroke(painter, QColor(0x20, 0x70, 0xD0),
               {{30, 30}, {80, 4}, {150, 18}, {200, 30}, {262, 12}});
    drawStroke(painter, QColor(0x30, 0xA0, 0x40),
               {{268, 36}, {292, 48}, {280, 64}, {268, 80}, {292, 86}});
    painter.setPen(
        QPen(QColor(0xF0, 0x90, 0x20), kLogoStrokeWidth * 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawPoint(QPointF(22, 46));
    QFont letters = pixelFont(QStringLiteral("Sans Serif"), kLogoLetterPixels);
    letters.setBold(true);
    letters.setItalic(true);
    painter.setFont(letters);
    painter.setPen(QColor(0x20, 0x20, 0x40));
    painter.drawText(QRect(QPoint(0, 0), kLogoSize), Qt::AlignCenter, QStringLiteral("Vorlax"));
    painter.end();
    // The logo is a 256-colour picture.
    return logo.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
}

// The window follows the desktop's palette and font: no colour of its own outside the logo and the
// credits' own picture; the title and the address keep their designed proportion to the text.
TInfoForm::TInfoForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Info"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(false);
    openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    buildLogoPanel();
    column->addWidget(Panel1);
    auto* body = new QVBoxLayout();
    body->setContentsMargins(kBodyMargins);
    body->setSpacing(kBodySpacing);
    column->addLayout(body, 1);

    Label5 = new QLabel(QStringLiteral("Vorlax"), this); // the product's name
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->setFont(designedFont(font(), kTitlePixels));
    Label5->setAlignment(Qt::AlignCenter);
    Label5->setMinimumSize(kTitleSize);
    body->addWidget(Label5, 0, Qt::AlignHCenter);
    buildCredits();
    body->addWidget(TextPanel1, 0, Qt::AlignHCenter);
    body->addStretch(1);
    BitBtn1 = new QPushButton(QStringLiteral("OK"), this); // closes; Enter presses it
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setFixedSize(kOkSize.width(),
                          std::max(kOkSize.height(), BitBtn1->sizeHint().height()));
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &TInfoForm::BitBtn1Click);
    body->addWidget(BitBtn1, 0, Qt::AlignHCenter);
    Label2 = new QLabel(kMakerAddress, this); // the maker's web page, opened on a click
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(designedFont(font(), kAddressPixels));
    Label2->setForegroundRole(QPalette::Link);
    Label2->setCursor(Qt::PointingHandCursor);
    Label2->installEventFilter(this);
    body->addWidget(Label2, 0, Qt::AlignLeft);
    setFixedSize(sizeHint().expandedTo(kInfoClientSize));
}

void TInfoForm::buildLogoPanel() {
    Panel1 = new QFrame(this); // the strip at the top holding the logo, on the text background
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    Panel1->setFixedHeight(kLogoPanelHeight);
    Panel1->setBackgroundRole(QPalette::Base);
    Panel1->setAutoFillBackground(true);
    auto* box = new QVBoxLayout(Panel1);
    box->setContentsMargins(0, 0, 0, 0);
    Image1 = new QLabel(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setMinimumSize(kLogoArea);
    Image1->setAlignment(Qt::AlignCenter);
    box->addWidget(Image1);
    showLogo();
}

void TInfoForm::showLogo() {
    Image1->setPixmap(QPixmap::fromImage(vorlaxLogo(devicePixelRatioF())));
}

void TInfoForm::buildCredits() {
    TextPanel1 = new TTextPanel(this);
    TextPanel1->setObjectName(QStringLiteral("TextPanel1"));
    TextPanel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    TextPanel1->setColor(Qt::white);
    QFont credits = designedFont(font(), kCreditsFontPixels);
    credits.setFamily(QStringLiteral("Arial"));
    TextPanel1->setTextFont(credits);
    TextPanel1->setTextColor(Qt::black);
    TextPanel1->setInterval(kCreditsIntervalMs);
    TextPanel1->setStepSize(kCreditsStepSize);
    TextPanel1->setEnableTimer(true);
    TextPanel1->setTextAlignment(TextPanelAlignment::Center);
    TextPanel1->setItems(creditLines());
    // As wide as its longest line needs, and never narrower than designed.
    const QFontMetrics metrics(credits);
    int widest = 0;
    for (const QString& line : creditLines())
        widest = std::max(widest, metrics.horizontalAdvance(line));
    TextPanel1->setFixedSize(std::max(kCreditsSize.width(), widest + 2 * kCreditsTextMargin),
                             std::max(kCreditsSize.height(), 10 * metrics.height()));
}

// Shown again, perhaps on another screen: the logo is drawn for that screen's pixels.
void TInfoForm::setVisible(bool visible) {
    if (visible)
        showLogo();
    QDialog::setVisible(visible);
}

bool TInfoForm::event(QEvent* event) {
    if (event->type() == QEvent::ScreenChangeInternal)
        showLogo();
    return QDialog::event(event);
}

void TInfoForm::BitBtn1Click() {
    accept();
}

void TInfoForm::Label2Click() {
    if (openUrl)
        openUrl(QUrl(kMakerAddress));
}

bool TInfoForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label2 && event->type() == QEvent::MouseButtonRelease)
        Label2Click();
    return QDialog::eventFilter(watched, event);
}
