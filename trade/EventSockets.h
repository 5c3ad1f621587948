#pragma once
// The download channel's event-driven sockets. Both live on the GUI thread and raise their events
// there: the listener reports data waiting on an accepted connection, the client connects in the
// background and sends a whole stream piece by piece as the socket accepts it.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

class TServerSocket : public QObject {
    Q_OBJECT
public:
    using ClientReadHandler = std::function<void(TServerSocket* sender, QTcpSocket* socket)>;

    explicit TServerSocket(QObject* owner);
    ~TServerSocket() override;

    int Port() const { return port_; }
    void setPort(int port);
    bool Active() const;
    void setActive(bool active);
    void Open();
    void Close();
    bool Listening() const;
    QString lastError() const { return lastError_; }
    quint16 boundPort() const;
    QList<QTcpSocket*> connections() const { return connections_; }

    ClientReadHandler OnClientRead;

private:
    void accept();

    int port_ = 0;
    QTcpServer* server_ = nullptr;
    QList<QTcpSocket*> connections_;
    QString lastError_;
};

class TClientSocket : public QObject {
    Q_OBJECT
public:
    using ErrorHandler = std::function<void(const QString& message)>;

    explicit TClientSocket(QObject* owner);
    ~TClientSocket() override;

    QString Host() const { return host_; }
    void setHost(const QString& host);
    int Port() const { return port_; }
    void setPort(int port);
    bool Active() const;
    void setActive(bool active);
    // Starts looking up the host and connecting in the background; an empty host is refused.
    void Open();
    // Closes the connection and discards a stream still being sent.
    void Close();
    bool Connected() const;

    // Takes the whole stream and sends it in pieces as the socket accepts them. Refuses (returns
    // false) while an earlier stream is still going out. Safe to call from any thread.
    bool SendWholeStream(QByteArray stream);
    bool Sending() const;

    // Asynchronous failures (look-up, connect, send) are reported here.
    ErrorHandler OnError;

private:
    void sendPending();

    QString host_;
    int port_ = 0;
    QTcpSocket* socket_ = nullptr;
    QByteArray pending_;
    qsizetype sentBytes_ = 0;
    bool sending_ = false;
};
