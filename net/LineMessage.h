#pragma once
// One message received on a line channel, as it goes from the network thread to the window.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

struct LineMessage {
    QList<QByteArray> lines; // without CR LF; never empty, and the first line is never empty
    uint32_t sender = 0;     // the sender's IPv4 address, host byte order
    QString senderHost;      // the same, dotted
    QString senderPort;
    uint64_t index = 0;   // its place among the listener's messages, in the order their bytes began
    uint64_t session = 0; // the encrypted session it came through; 0: a plain connection
    QByteArray peerKey;   // that session's peer key
};
