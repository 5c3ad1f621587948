#pragma once
// The download channel's event-driven sockets. Each moves its bytes on a thread of its own, so a
// file of any size streams between socket and disk while the GUI thread only hears of progress and
// outcomes: the listener receives files into the save folder, the client sends a file read piece
// by piece as the socket drains. Their public calls are made on the GUI thread (the client's
// SendFile from any thread); their events are delivered there.

#include "trade/FileReceiver.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class DownloadListener;
class UploadConnection;
class QIODevice;

class TServerSocket : public QObject {
    Q_OBJECT
public:
    // At most this many download connections at once; more are closed at accept.
    static constexpr int kMaxConnections = 4;

    explicit TServerSocket(QObject* owner);
    ~TServerSocket() override;

    int Port() const { return port_; }
    void setPort(int port);
    bool Active() const { return active_; }
    void setActive(bool active);
    void Open();
    // Stops listening and closes every connection; partial files are removed.
    void Close();
    bool Listening() const;
    QString lastError() const { return lastError_; }
    quint16 boundPort() const;
    int connectionCount() const;

    // Set before Open. acceptsFrom and the rules' targetPath are called on the download thread.
    std::function<bool(quint32 peer)> acceptsFrom;
    DownloadRules rules;
    // Each file's progress and outcome, on the GUI thread.
    std::function<void(TServerSocket* sender, const DownloadEvent& event)> OnClientRead;

private:
    int port_ = 0;
    bool active_ = false;
    QString lastError_;
    QThread thread_;
    DownloadListener* listener_ = nullptr; // lives on thread_
};

class TClientSocket : public QObject {
    Q_OBJECT
public:
    using ErrorHandler = std::function<void(int code, const QString& message)>;
    // ended: the file is through, or was cut off.
    using ProgressHandler =
        std::function<void(const QByteArray& name, qint64 sent, qint64 total, bool ended)>;

    explicit TClientSocket(QObject* owner);
    ~TClientSocket() override;

    QString Host() const { return host_; }
    void setHost(const QString& host);
    int Port() const { return port_; }
    void setPort(int port);
    bool Active() const { return active_; }
    void setActive(bool active);
    // Starts looking up the host and connecting in the background; an empty host is refused.
    void Open();
    // Closes the connection and discards a file still being sent.
    void Close();
    bool Connected() const;

    // Sends header, then exactly bodySize bytes read from `file` as the socket drains; the
    // connection stays open for the next file. A file that ends early cuts the connection (the
    // receiver drops what it got) and a fresh one is opened; bytes past bodySize are not sent.
    // Refuses (false) while an earlier file is still going out. Callable from any thread.
    bool SendFile(const QByteArray& header, std::unique_ptr<QIODevice> file, qint64 bodySize);
    bool Sending() const;

    // Asynchronous failures of look-up and connect, with the socket's error number, on the GUI
    // thread. A peer that closes the connection is not a failure.
    ErrorHandler OnError;
    // The file's progress on the GUI thread, at most ten times a second and once when all is sent.
    ProgressHandler OnProgress;

private:
    friend class UploadConnection; // checks generation_ before delivering an error

    QString host_;
    int port_ = 0;
    bool active_ = false;
    std::atomic<quint64> generation_{0}; // errors of a connection closed since are dropped
    QThread thread_;
    UploadConnection* connection_ = nullptr; // lives on thread_
};
