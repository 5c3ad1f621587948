#pragma once
// The two endpoints of a line-message channel, on blocking POSIX sockets.
//
// Wire format: a message is one or more lines on a connection of its own, each line being its bytes
// (no CR LF pair, no zero byte) followed by CR LF (0x0D 0x0A). The end of the connection ends the
// message; there is no header, length or acknowledgement, and the listener's side never writes.
//
// A sender writes its lines, disconnects and at once connects again, so one idle connection always
// waits at the peer for the next message. The listener hands every accepted connection to a worker
// thread that runs the accept handler; the handler reads lines until the connection ends.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

constexpr int kMaxLineBytes = 1024 * 1024; // longest line a receiver buffers, CR LF not counted
constexpr int kBacklog = 5;                // pending connections a listener's queue holds
constexpr int kWorkersPerListener = 10;    // accept handlers of one listener running at once
constexpr int kConnectTimeoutMs = 3000;    // one connection attempt gives up after this

// The IPv4 address (host byte order) a host text stands for: empty is 0.0.0.0, a text starting with
// a digit is read as dotted IPv4, anything else is looked up by name (first IPv4 address).
// Nothing when the text is not an address or the name does not resolve.
std::optional<uint32_t> resolveHost(const QString& host);

// The port a port text stands for: empty is 0, a service name of the system's services database is
// that service's TCP port, anything else is read as an integer and cut to 16 bits. Text that is
// none of these raises ProgramError with the integer conversion message.
uint16_t resolvePort(const QString& port);

// One accepted connection, handed to an accept handler. The handler only reads from it.
class TCustomIpClient {
public:
    // Takes ownership of the connected socket fd; the peer's address and port are kept as text.
    TCustomIpClient(int fd, QString remoteHost, QString remotePort);
    ~TCustomIpClient();
    TCustomIpClient(const TCustomIpClient&) = delete;
    TCustomIpClient& operator=(const TCustomIpClient&) = delete;

    // Blocks until a whole line arrived and returns it without its CR LF. When the connection ends
    // (or a receive fails) first, returns the bytes since the last CR LF, empty when none came.
    // A line longer than kMaxLineBytes ends the connection: the call returns the empty string and
    // so does every later call. Never throws.
    QByteArray ReceiveLine();

    QString RemoteHost() const { return remoteHost_; }
    QString RemotePort() const { return remotePort_; }

    // Shuts the connection down both ways, so a ReceiveLine blocked on another thread returns.
    // The socket itself stays held until the object is destroyed.
    void shutdownBoth();

    // True once the receive deadline cut a message short: what was read of it is incomplete.
    bool cutOff() const { return cutOff_.load(); }

    // This connection's place among those its listener accepted: 0 for the first, counting up.
    uint64_t acceptIndex() const { return acceptIndex_; }
    void setAcceptIndex(uint64_t index) { acceptIndex_ = index; }

private:
    bool fillBuffer();

    int fd_;
    QString remoteHost_;
    QString remotePort_;
    QByteArray buffer_; // received bytes not yet returned, from start_ on
    qsizetype start_ = 0;
    qsizetype scanned_ = 0; // bytes from start_ known to hold no CR LF
    bool ended_ = false;
    uint64_t acceptIndex_ = 0;
    std::atomic<bool> cutOff_{false};
};

// The client endpoint: connects to the peer's listener and writes lines.
class TTcpClient {
public:
    TTcpClient();
    ~TTcpClient();
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;

    // Setting a text different from the stored one disconnects first.
    QString RemoteHost() const;
    void setRemoteHost(const QString& host);
    QString RemotePort() const;
    void setRemotePort(const QString& port);
    // Stored only: the system always chooses the local port of a connection.
    QString LocalPort() const;
    void setLocalPort(const QString& port);

    // Already connected: true. Otherwise one attempt to RemoteHost:RemotePort; returns Connected().
    // Throws ProgramError only for a port text that is not a port.
    bool Connect();
    // Shuts a connection down both ways and releases the socket; safe in any state.
    void Disconnect();
    bool Connected() const { return connected_.load(); }

    // True while a socket is held, connected or not.
    bool Active() const { return active_.load(); }
    void setActive(bool active);

    // One write of the line plus CR LF. Returns the bytes written, or -1 when not connected or the
    // write failed.
    int SendLine(const QByteArray& line);
    int SendLine(const QString& text);

    // Held by a sender around SendLine..., Disconnect, Connect, so the steps of one message are not
    // interleaved with another thread's use of this client. The operations lock it themselves too.
    std::unique_lock<std::recursive_mutex> lockMessage();

    void setConnectTimeoutMs(int ms) { connectTimeoutMs_.store(ms); }

private:
    bool ensureSocket();
    void releaseSocket();
    bool attemptConnect(uint32_t address, uint16_t port);
    void changeSetting(QString& setting, const QString& text);

    mutable std::recursive_mutex messageMutex_;
    mutable std::mutex settingsMutex_; // guards the three texts for readers on other threads
    QString remoteHost_;
    QString remotePort_;
    QString localPort_;
    int fd_ = -1;
    std::atomic<bool> connected_{false};
    std::atomic<bool> active_{false};
    std::atomic<int> connectTimeoutMs_{kConnectTimeoutMs};
};

// The listener endpoint: accepts connections and runs the accept handler for each on a worker.
class TTcpServer {
public:
    using AcceptHandler = std::function<void(TTcpServer* sender, TCustomIpClient* client)>;

    TTcpServer();
    // Closes, shuts down the accepted connections and waits for the handlers to end. On the thread
    // that owns the application it keeps processing events meanwhile, since a handler may be
    // waiting for that thread.
    ~TTcpServer();
    TTcpServer(const TTcpServer&) = delete;
    TTcpServer& operator=(const TTcpServer&) = delete;

    // Setting a text different from the stored one closes first.
    QString LocalHost() const;
    void setLocalHost(const QString& host);
    QString LocalPort() const;
    void setLocalPort(const QString& port);

    // Taken when the listener opens; a handler changed later applies from the next Open.
    AcceptHandler OnAccept;

    // Binds, listens and starts accepting. A failed bind or listen keeps the socket, leaves the
    // listener not listening and records lastError(). Throws ProgramError only for a port text that
    // is not a port.
    void Open();
    // Stops accepting and releases the listening socket; accepted connections keep running.
    void Close();
    bool Active() const { return active_.load(); }
    void setActive(bool active);
    bool Listening() const { return listening_.load(); }

    // The system's reason for the last failed bind or listen; empty after a successful Open.
    QString lastError() const;
    // The port actually listened on, 0 when not listening.
    uint16_t boundPort() const { return boundPort_.load(); }

    // Shuts down every accepted connection still open, so their handlers' reads end.
    void shutdownConnections();

private:
    // A pool thread: idle until the acceptor hands it a connection, then runs the handler on it.
    struct Worker {
        std::thread thread;
        std::condition_variable wake;
        std::unique_ptr<TCustomIpClient> connection; // handed over, not yet taken
        AcceptHandler handler;
        bool busy = false;
        bool exited = false;
    };

    bool bindAndListen(uint16_t port);
    bool startAcceptor();
    void stopAcceptor();
    void acceptLoop(int listenFd, int stopFd, AcceptHandler handler);
    bool waitForFreeWorker();
    void dispatch(int fd, QString host, QString port, const AcceptHandler& handler);
    void workerLoop(Worker* worker);
    void runHandler(std::unique_ptr<TCustomIpClient> connection, const AcceptHandler& handler);
    void reapWorkers();
    void waitForWorkers();

    mutable std::mutex controlMutex_; // Open/Close/settings against each other
    QString localHost_;
    QString localPort_;
    QString lastError_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1}; // written by Close to wake the acceptor
    std::thread acceptor_;
    std::atomic<bool> active_{false};
    std::atomic<bool> listening_{false};
    std::atomic<uint16_t> boundPort_{0};

    std::mutex poolMutex_; // the fields below
    std::condition_variable poolChanged_;
    std::list<Worker> workers_;
    int busyWorkers_ = 0;
    uint64_t acceptedCount_ = 0; // connections accepted since the listener was made
    bool stopping_ = false;      // set by Close: the acceptor ends, idle workers end

    std::set<TCustomIpClient*> connections_;
};
