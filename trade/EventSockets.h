#pragma once
// The download channel's event-driven sockets, on the network thread. A file of any size streams
// between socket and disk there, while the window's thread only hears of progress and outcomes:
// the listener receives files into the save folder, the client sends a file read piece by piece as
// the socket drains.
//
// Threads: every call is made on the window's thread and returns at once; the work is handed to
// the network thread, and what it reports (state, events) comes back as values. The state getters
// show what the network thread last reported. Events are Qt signals on the window's thread; at
// most kMaxQueuedEvents wait there at once, and what comes beyond that is dropped and counted.

#include "net/SessionPolicy.h"
#include "trade/AskedFiles.h"
#include "trade/FileReceiver.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class DownloadListener;
class Mailbox;
class NetworkThread;
class UploadConnection;
class QIODevice;

class TServerSocket : public QObject {
    Q_OBJECT
public:
    // At most this many download connections at once; more are closed at accept.
    static constexpr int kMaxConnections = 4;
    // Events queued for the window and not yet taken, at most.
    static constexpr int kMaxQueuedEvents = 256;

    // What the network thread reports.
    struct State {
        bool listening = false;
        quint16 port = 0;
        int connections = 0;
        quint64 droppedEvents = 0;
    };

    TServerSocket(QObject* owner, NetworkThread& network, Mailbox& window);
    ~TServerSocket() override;

    int Port() const { return port_; }
    void setPort(int port);
    bool Active() const { return active_; }
    void setActive(bool active, std::function<void()> done = {});
    // Starts listening; done runs once the state and lastError() tell the outcome. Partial files
    // that an earlier run left in the save folder (it crashed mid-file) are removed first.
    void Open(std::function<void()> done = {});
    // Stops listening and closes every connection; partial files are removed.
    void Close();
    QString lastError() const { return lastError_; }
    // Closes at once every connection from an address other than peer (IPv4), with its partial
    // file; the files in the middle of arriving from it are not reported.
    void closeConnectionsNotFrom(quint32 peer);

    // What may arrive. While a peer is set (IPv4, host byte order), only it may connect and send;
    // with none, files are refused. A file is written only when asked for, into the save folder
    // (with its trailing "/").
    void setAllowedPeer(quint32 peer);
    void setAskedFiles(const AskedFiles& asked);
    void setSaveFolder(const QString& folder);
    // How long a connection may stop mid-file before it is cut; for connections accepted later.
    void setStallMs(int ms);
    // Encrypted sessions on this channel, for connections accepted later: with a context, one that
    // opens with a TLS ClientHello becomes a session (with none, it is closed); refusePlain closes
    // plain ones. The default (no context, plain allowed) is the plain channel alone.
    void setSessionPolicy(const SessionPolicy& policy);
    // The network thread has ended, and with it every socket.
    void networkEnded() {
        active_ = false;
        state_ = {};
    }

    bool Listening() const { return state_.listening; }
    quint16 boundPort() const { return state_.port; }
    int connectionCount() const { return state_.connections; }
    quint64 droppedEvents() const { return state_.droppedEvents; }

signals:
    // Each file's progress and outcome, and the summaries of dropped files.
    void clientRead(TServerSocket* sender, const DownloadEvent& event);
    // Sessions established, refused or ended, and plain connections refused.
    void securityEvent(const SecurityEvent& event);

private:
    friend class DownloadListener;
    template <class F> void onNetwork(F&& f);

    NetworkThread& network_;
    Mailbox& window_;
    int port_ = 0;
    bool active_ = false;
    QString lastError_;
    State state_;
    DownloadListener* listener_; // lives on the network thread
};

class TClientSocket : public QObject {
    Q_OBJECT
public:
    // Events of one connection queued for the GUI thread and not yet taken, at most.
    static constexpr int kMaxQueuedEvents = 64;

    TClientSocket(QObject* owner, NetworkThread& network, Mailbox& window);
    ~TClientSocket() override;

    QString Host() const { return host_; }
    void setHost(const QString& host);
    int Port() const { return port_; }
    void setPort(int port);
    bool Active() const { return active_; }
    void setActive(bool active);
    // Starts looking up the host and connecting in the background; an empty host is refused.
    void Open();
    // Closes the connection and discards a file still being sent; nothing more is heard of it. A
    // session between files ends with TLS's close.
    void Close();
    // For the connections of later Opens: with a context, each is an encrypted session whose peer
    // must show a key that passes the policy (KeyRefused, and `error`, when not); without, plain.
    void setSession(const SessionPolicy& policy);

    // As the network thread last reported.
    bool Connected() const { return connected_; }
    bool Sending() const { return sending_; }

    // Sends header, then exactly bodySize bytes read from `file` as the socket drains; the
    // connection stays open for the next file. A file that ends early cuts the connection (the
    // receiver drops what it got) and a fresh one is opened; bytes past bodySize are not sent.
    // Refuses (false) while an earlier file is still going out, or while not open; returns at
    // once.
    bool SendFile(const QByteArray& header, std::unique_ptr<QIODevice> file, qint64 bodySize);

signals:
    // Asynchronous failures of look-up and connect, with the socket's error number. A peer that
    // closes the connection is not a failure.
    void error(int code, const QString& message);
    // The file's progress, at most ten times a second and once when it ends (ended: all is sent,
    // or the file was cut off).
    void progress(const QByteArray& name, qint64 sent, qint64 total, bool ended);
    // Sessions established, refused, failed or ended.
    void securityEvent(const SecurityEvent& event);

private:
    friend class UploadConnection;
    NetworkThread& network_;
    Mailbox& window_;
    QString host_;
    int port_ = 0;
    bool active_ = false;
    bool connected_ = false;
    bool sending_ = false;
    UploadConnection* connection_ = nullptr; // lives on the network thread; a new one each Open
    uint64_t session_ = 0; // counts Opens: what a closed connection reports is not taken
    SessionPolicy policy_;
};
