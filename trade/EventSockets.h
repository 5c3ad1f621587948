#pragma once
// The download channel's event-driven sockets. Each moves its bytes on a thread of its own, so a
// file of any size streams between socket and disk while the GUI thread only hears of progress and
// outcomes: the listener receives files into the save folder, the client sends a file read piece
// by piece as the socket drains.
//
// Threads: the calls that change a socket (settings, Open, Close) are made on the thread the
// object lives on (the GUI thread) and assert it; the client's SendFile may be called from any
// thread. The state getters read values the socket's own thread publishes, from any thread and
// without waiting. Events are Qt signals, emitted on the GUI thread; at most kMaxQueuedEvents wait
// there at once, and what comes beyond that is dropped and counted.

#include "common/EventBound.h"
#include "trade/FileReceiver.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class DownloadListener;
class UploadConnection;
class QIODevice;

class TServerSocket : public QObject {
    Q_OBJECT
public:
    // At most this many download connections at once; more are closed at accept.
    static constexpr int kMaxConnections = 4;
    // Events queued for the GUI thread and not yet taken, at most.
    static constexpr int kMaxQueuedEvents = 256;

    // What the listener's thread publishes.
    struct State {
        std::atomic<bool> listening{false};
        std::atomic<quint16> port{0};
        std::atomic<int> connections{0};
    };

    explicit TServerSocket(QObject* owner);
    ~TServerSocket() override;

    int Port() const { return port_; }
    void setPort(int port);
    bool Active() const { return active_; }
    void setActive(bool active);
    // Starts listening. Partial files that an earlier run left in rules.saveFolder() (it crashed
    // mid-file) are removed first.
    void Open();
    // Stops listening and closes every connection; partial files are removed.
    void Close();
    QString lastError() const { return lastError_; }
    // Closes at once every connection from an address other than peer (IPv4), with its partial
    // file; the files in the middle of arriving from it are not reported.
    void closeConnectionsNotFrom(quint32 peer);

    // From any thread, without waiting.
    bool Listening() const { return state_.listening; }
    quint16 boundPort() const { return state_.port; }
    int connectionCount() const { return state_.connections; }
    quint64 droppedEvents() const { return events_.dropped(); }

    // Set before Open. acceptsFrom and the rules are called on the download thread.
    std::function<bool(quint32 peer)> acceptsFrom;
    DownloadRules rules;

signals:
    // Each file's progress and outcome, and the summaries of dropped files, on the GUI thread.
    void clientRead(TServerSocket* sender, const DownloadEvent& event);

private:
    int port_ = 0;
    bool active_ = false;
    QString lastError_;
    State state_;
    EventBound events_{kMaxQueuedEvents};
    QThread thread_;
    DownloadListener* listener_ = nullptr; // lives on thread_
};

class TClientSocket : public QObject {
    Q_OBJECT
public:
    // Events of one connection queued for the GUI thread and not yet taken, at most.
    static constexpr int kMaxQueuedEvents = 64;

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
    // Closes the connection and discards a file still being sent; nothing more is heard of it.
    void Close();

    // From any thread, without waiting.
    bool Connected() const;
    bool Sending() const;

    // Sends header, then exactly bodySize bytes read from `file` as the socket drains; the
    // connection stays open for the next file. A file that ends early cuts the connection (the
    // receiver drops what it got) and a fresh one is opened; bytes past bodySize are not sent.
    // Refuses (false) while an earlier file is still going out, or while not open. Callable from
    // any thread; returns at once.
    bool SendFile(const QByteArray& header, std::unique_ptr<QIODevice> file, qint64 bodySize);

signals:
    // Asynchronous failures of look-up and connect, with the socket's error number, on the GUI
    // thread. A peer that closes the connection is not a failure.
    void error(int code, const QString& message);
    // The file's progress on the GUI thread, at most ten times a second and once when it ends
    // (ended: all is sent, or the file was cut off).
    void progress(const QByteArray& name, qint64 sent, qint64 total, bool ended);

private:
    QString host_;
    int port_ = 0;
    bool active_ = false;
    QThread thread_;
    mutable std::mutex connectionMutex_;     // connection_ itself, for readers on other threads
    UploadConnection* connection_ = nullptr; // lives on thread_; a new one for each Open
    // The receiver of connection_'s events, made with it and deleted when it closes, so events of
    // a closed connection are never delivered.
    QObject* session_ = nullptr;
};
