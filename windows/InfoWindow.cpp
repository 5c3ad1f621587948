#include "windows/InfoWindow.h"

#include "windows/TextPanel.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

const QString kMakerAddress = QStringLiteral("https://vorlax.example.org");

namespace {
const QString kLogoDesignerAddress = QStringLiteral("https://vorlax.example.org/logo");
constexpr QSize kInfoClientSize(301, 439);
constexpr QColor kInfoBackground(0x80, 0x80, 0x80);
constexpr int kWindowFontPixels = 11;
constexpr int kTitlePixels = 32;
constexpr int kAddressPixels = 12;
constexpr int kLogoPanelHeight = 121;
constexpr QRect kLogoArea(3, 3, 295, 115);
constexpr QSize kLogoSize(300, 115);
constexpr int kLogoLetterPixels = 58;
constexpr int kLogoStrokeWidth = 7;
constexpr QRect kTitleArea(96, 136, 103, 37);
constexpr QRect kCreditsArea(19, 176, 262, 193);
constexpr int kCreditsFontPixels = 11;
constexpr quint32 kCreditsIntervalMs = 40;
constexpr int kCreditsStepSize = 1;
constexpr int kCreditsTrailingEmptyLines = 5;
constexpr QRect kOkArea(120, 384, 75, 25);
constexpr QPoint kAddressPosition(16, 413);

QFont pixelFont(const QString& family, int pixels) {
    QFont font(family);
    font.setPixelSize(pixels);
    return font;
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
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

QImage vorlaxLogo() {
    QImage logo(kLogoSize, QImage::Format_RGB32);
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
    painter.drawText(logo.rect(), Qt::AlignCenter, QStringLiteral("Vorlax"));
    painter.end();
    // The logo is a 256-colour picture.
    return logo.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
}

TInfoForm::TInfoForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Info"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kInfoClientSize);
    setModal(false);
    setFont(pixelFont(QStringLiteral("MS Sans Serif"), kWindowFontPixels));
    QPalette grey = palette();
    grey.setColor(QPalette::Window, kInfoBackground);
    setPalette(grey);
    setAutoFillBackground(true);
    openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    buildLogoPanel();
    Label5 = new QLabel(QStringLiteral("Vorlax"), this); // the product's name, white on grey
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->setFont(pixelFont(QStringLiteral("MS Sans Serif"), kTitlePixels));
    setTextColor(Label5, Qt::white);
    Label5->setAlignment(Qt::AlignCenter);
    Label5->setGeometry(kTitleArea);
    buildCredits();
    BitBtn1 = new QPushButton(QStringLiteral("OK"), this); // closes; Enter presses it
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(kOkArea);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &TInfoForm::BitBtn1Click);
    Label2 = new QLabel(kMakerAddress, this); // the maker's web page, opened on a click
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(pixelFont(QStringLiteral("MS Sans Serif"), kAddressPixels));
    setTextColor(Label2, Qt::white);
    Label2->setCursor(Qt::PointingHandCursor);
    Label2->move(kAddressPosition);
    Label2->adjustSize();
    Label2->installEventFilter(this);
}

void TInfoForm::buildLogoPanel() {
    Panel1 = new QFrame(this); // white strip at the top holding the logo
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Box | QFrame::Plain);
    Panel1->setGeometry(0, 0, kInfoClientSize.width(), kLogoPanelHeight);
    QPalette white = Panel1->palette();
    white.setColor(QPalette::Window, Qt::white);
    Panel1->setPalette(white);
    Panel1->setAutoFillBackground(true);
    Image1 = new QLabel(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(kLogoArea);
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setPixmap(QPixmap::fromImage(vorlaxLogo()));
}

void TInfoForm::buildCredits() {
    TextPanel1 = new TTextPanel(this);
    TextPanel1->setObjectName(QStringLiteral("TextPanel1"));
    TextPanel1->setGeometry(kCreditsArea);
    TextPanel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    TextPanel1->setColor(Qt::white);
    TextPanel1->setTextFont(pixelFont(QStringLiteral("Arial"), kCreditsFontPixels));
    TextPanel1->setTextColor(Qt::black);
    TextPanel1->setInterval(kCreditsIntervalMs);
    TextPanel1->setStepSize(kCreditsStepSize);
    TextPanel1->setEnableTimer(true);
    TextPanel1->setTextAlignment(TextPanelAlignment::Center);
    TextPanel1->setItems(creditLines());
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
