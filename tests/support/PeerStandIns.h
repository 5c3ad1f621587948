#pragma once
// Stand-ins for a peer in tests: a line listener that records every message it receives, and
// helpers for the files a test offers and receives.

#include "net/TcpChannel.h"
#include "support/TwoCopies.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QString>

#include <gtest/gtest.h>

#include <mutex>

// Listens on 127.0.0.1 (a free port) and keeps the lines of every message, one list per connection.
struct RecordingListener {
    TTcpServer server;
    std::mutex mutex;
    QList<QList<QByteArray>> messages;
    RecordingListener() {
        server.setLocalHost("127.0.0.1");
        server.setLocalPort("0");
        server.OnAccept = [this](TTcpServer*, TCustomIpClient* client) {
            QList<QByteArray> lines;
            for (QByteArray line = client->ReceiveLine(); !line.isEmpty();
                 line = client->ReceiveLine())
                lines << line;
            std::lock_guard lock(mutex);
            if (!lines.isEmpty())
                messages << lines;
        };
        server.Open();
    }
    QString port() const { return QString::number(server.boundPort()); }
    QList<QList<QByteArray>> received() {
        std::lock_guard lock(mutex);
        return messages;
    }
};

// The three line listeners of a peer that only records what it is sent.
struct StandInPeer {
    RecordingListener chat, trade, plot;
    // Points the remote chat, trade and plot ports of `remote` at these listeners.
    PortSet aimedAt(PortSet remote) const {
        remote.chat = chat.port();
        remote.trade = trade.port();
        remote.plot = plot.port();
        return remote;
    }
};

// Sends one message to a copy's trade listener as any host may: one connection, lines, end.
inline void sendTradeMessage(TForm1& to, const QList<QByteArray>& lines) {
    TTcpClient client;
    client.setRemoteHost("127.0.0.1");
    client.setRemotePort(QString::number(to.TradeServer->boundPort()));
    ASSERT_TRUE(client.Connect());
    for (const QByteArray& line : lines)
        client.SendLine(line);
    client.Disconnect();
}

inline void writeTestFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// The file's bytes, or "<missing>" when there is no such file.
inline QByteArray readTestFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

inline QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, '\0');
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}
