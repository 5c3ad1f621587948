#pragma once
// A relay the test owns between a client and a listener on loopback: it passes the bytes both
// ways unchanged and keeps everything that crossed it, as someone on the network would see it.

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

class ByteRelay {
public:
    explicit ByteRelay(quint16 target) : target_(target) {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* in = server_.nextPendingConnection()) {
                auto* out = new QTcpSocket(in);
                out->connectToHost(QHostAddress::LocalHost, target_);
                pass(in, out);
                pass(out, in);
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }
    QByteArray seen; // every byte that crossed, either way

private:
    void pass(QTcpSocket* from, QTcpSocket* to) {
        QObject::connect(from, &QTcpSocket::readyRead, [this, from, to] {
            const QByteArray bytes = from->readAll();
            seen += bytes;
            to->write(bytes);
        });
        QObject::connect(from, &QTcpSocket::disconnected, to, [to] { to->disconnectFromHost(); });
    }
    quint16 target_;
    QTcpServer server_;
};
