#pragma once
// TInfoForm, the Info window: the product's logo, its name, the scrolling credits and the maker's
// web address. It is created once at program start and only hidden when closed, so the credits
// keep scrolling in between.

#include <QDialog>
#include <QImage>
#include <QStringList>
#include <QUrl>

#include <functional>

class QFrame;
class QLabel;
class QPushButton;
class TTextPanel;

// The maker's web page, shown under the credits and opened by a click on it.
extern const QString kMakerAddress;

// The twelve lines of the credits.
QStringList creditLines();
// The product logo: the word "Vorlax" among a few coloured strokes, 300 x 115 pixels, drawn for a
// screen of the given device pixel ratio (an image that many times larger, with that ratio).
QImage vorlaxLogo(qreal devicePixelRatio = 1.0);

class TInfoForm : public QDialog {
    Q_OBJECT
public:
    explicit TInfoForm(QWidget* parent = nullptr);

    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr; // the logo
    QLabel* Label5 = nullptr; // the product's name
    TTextPanel* TextPanel1 = nullptr;
    QPushButton* BitBtn1 = nullptr; // "OK"
    QLabel* Label2 = nullptr;       // the maker's web address

    // Hands a web address to the system; the outcome is not looked at. Tests put in their own.
    std::function<void(const QUrl&)> openUrl;

    void BitBtn1Click();
    void Label2Click();
    // Each showing draws the logo for the screen the window is on.
    void setVisible(bool visible) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void showLogo();
    void buildLogoPanel();
    void buildCredits();
};
