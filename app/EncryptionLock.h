#pragma once
// The lock in the status bar: how the connection to the peer is protected, as a drawn symbol and
// a short text. Its tooltip and accessible description read the whole state, "Not encrypted",
// "Encrypted, not verified", "Encrypted and verified: <name>" or "Security warning: <reason>";
// its accessible name is "Encryption".
//
// The symbol is drawn, not taken from an icon theme, so it looks the same on every desktop: an
// open lock for plain, a closed one for encrypted, a closed green one with a tick for verified and
// a warning sign. Its lines take the palette's text colour, so it shows on dark themes too, and it
// is painted as vectors, sharp at any scale.

#include "net/ChannelSecurity.h"

#include <QLabel>

class EncryptionLock : public QLabel {
    Q_OBJECT
public:
    explicit EncryptionLock(QWidget* parent = nullptr);
    void setSecurity(const ChannelSecurity& security);
    const ChannelSecurity& security() const { return security_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int symbolSide() const;
    void keepRoomForSymbol();
    ChannelSecurity security_;
};
