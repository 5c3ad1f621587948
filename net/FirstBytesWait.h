#pragma once
// A listener that tells a new connection's kind by its first bytes (crypto/TlsDetect.h) before it
// gives the connection to anyone. The bytes are looked at where the system holds them (MSG_PEEK),
// never taken: whoever gets the connection reads it from its very first byte, so a plain
// connection's bytes reach the plain path exactly as they were sent.
//
// SortingTcpServer hands each accepted descriptor to `intercept` first; a descriptor it does not
// take becomes one of QTcpServer's own pending sockets, as with a plain QTcpServer.

#include "crypto/TlsDetect.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <cstdint>
#include <functional>

class QSocketNotifier;

class SortingTcpServer : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    // Takes a newly accepted descriptor (true: it is the callee's from now on) or leaves it.
    std::function<bool(qintptr fd)> intercept;

protected:
    void incomingConnection(qintptr fd) override;
};

// The peer's IPv4 address of a connected descriptor (host byte order), 0 when it has none.
uint32_t peerIPv4(qintptr fd);

// Waits, on the thread it lives on, until a connection's first bytes tell whether it starts a TLS
// handshake; then `sorted` runs once with ClientHello or Plain and the caller takes the descriptor
// with release(). A lone 0x16 that stays alone for the handshake time counts as plain. `gone` runs
// instead when the connection ends or fails before its first byte. The descriptor is closed with
// this object unless released. Both callbacks may delete this object (deleteLater).
class FirstBytesWait : public QObject {
public:
    FirstBytesWait(qintptr fd, QObject* parent);
    ~FirstBytesWait() override;

    std::function<void(FirstBytes kind)> sorted;
    std::function<void()> gone;

    qintptr descriptor() const { return fd_; }
    // Gives the descriptor up to the caller.
    qintptr release();

private:
    void look();
    void stopWatching();

    qintptr fd_;
    QSocketNotifier* notifier_;
    QTimer retry_{this};
    QElapsedTimer clock_;
};
