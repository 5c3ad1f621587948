#include "windows/VerifyDialog.h"

#include "common/DisplayText.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kCodeDigits = 6;
constexpr int kHexGroupDigits = 4;
constexpr int kGroupsPerLine = 8;
constexpr qreal kCodeFontScale = 2.6; // the code, in times the window's font
constexpr qsizetype kMaxShownNameChars = 64;

QLabel* selectableLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QLabel* fingerprintLabel(const QByteArray& key, QWidget* parent) {
    QLabel* label = selectableLabel(groupedFingerprint(key), parent);
    label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    return label;
}
} // namespace

QString groupedFingerprint(const QByteArray& key) {
    const QString hex = QString::fromLatin1(key.toHex().toUpper());
    QString shown;
    for (qsizetype i = 0; i < hex.size(); i += kHexGroupDigits) {
        if (i > 0)
            shown += (i / kHexGroupDigits) % kGroupsPerLine == 0 ? '\n' : ' ';
        shown += hex.mid(i, kHexGroupDigits);
    }
    return shown;
}

QString shownCode(const QString& code) {
    if (code.size() != kCodeDigits)
        return code;
    for (QChar c : code)
        if (!c.isDigit())
            return code;
    return code.left(kCodeDigits / 2) + ' ' + code.mid(kCodeDigits / 2);
}

VerifyDialog::VerifyDialog(const VerifyRequest& request, QWidget* parent)
    : QDialog(parent), request_(request) {
    setObjectName("VerifyDialog");
    setWindowTitle(QStringLiteral("Verify peer"));
    setModal(false);
    const QString name = shownText(request.peerName, kMaxShownNameChars);
    const QString address = shownText(request.peerAddress, kMaxShownNameChars);

    auto* column = new QVBoxLayout(this);
    auto* peer = new QLabel(
        QStringLiteral("<b>%1</b> at %2").arg(name.toHtmlEscaped(), address.toHtmlEscaped()), this);
    auto* ask = new QLabel(QStringLiteral("Does %1's screen show the same code?").arg(name), this);
    ask->setTextFormat(Qt::PlainText);
    ask->setWordWrap(true);
    codeLabel = selectableLabel(shownCode(request.code), this);
    codeLabel->setObjectName("codeLabel");
    codeLabel->setAccessibleName(QStringLiteral("Code"));
    QFont big = codeLabel->font();
    big.setPointSizeF(big.pointSizeF() * kCodeFontScale);
    big.setBold(true);
    codeLabel->setFont(big);
    codeLabel->setAlignment(Qt::AlignCenter);

    auto* keys = new QGridLayout();
    keys->addWidget(new QLabel(QStringLiteral("Or compare the key fingerprints:"), this), 0, 0, 1,
                    2);
    keys->addWidget(new QLabel(QStringLiteral("Peer's key:"), this), 1, 0, Qt::AlignTop);
    keys->addWidget(fingerprintLabel(request.peerKey, this), 1, 1);
    keys->addWidget(new QLabel(QStringLiteral("This copy's key:"), this), 2, 0, Qt::AlignTop);
    keys->addWidget(fingerprintLabel(request.ownKey, this), 2, 1);

    auto* buttons = new QDialogButtonBox(this);
    matchButton = buttons->addButton(QStringLiteral("Codes match"), QDialogButtonBox::YesRole);
    differButton = buttons->addButton(QStringLiteral("Codes differ"), QDialogButtonBox::NoRole);
    matchButton->setObjectName("matchButton");
    differButton->setObjectName("differButton");
    // No answer is preselected: Enter must not confirm a code nobody compared.
    matchButton->setAutoDefault(false);
    differButton->setAutoDefault(false);
    connect(matchButton, &QPushButton::clicked, this, [this] { decide(VerifyDecision::Match); });
    connect(differButton, &QPushButton::clicked, this, [this] { decide(VerifyDecision::Differ); });

    column->addWidget(peer);
    column->addWidget(ask);
    column->addSpacing(8);
    column->addWidget(codeLabel);
    column->addSpacing(8);
    column->addLayout(keys);
    column->addSpacing(8);
    column->addWidget(buttons);
    column->setSizeConstraint(QLayout::SetFixedSize);
}

void VerifyDialog::decide(VerifyDecision decision) {
    if (!answered_) {
        answered_ = true;
        emit decided(decision);
    }
    close();
}

// Every way of closing comes here: the buttons, Escape and the window's own close button.
void VerifyDialog::done(int result) {
    QDialog::done(result);
    if (!answered_) {
        answered_ = true;
        emit decided(VerifyDecision::Undecided);
    }
}
