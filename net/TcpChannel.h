#pragma once
// The two endpoints of a line-message channel, on blocking POSIX sockets.
//
// Wire format: a message is one or more lines on a connection of its own, each line being its bytes
// (no CR LF pair, no zero byte) followed by CR LF (0x0D 0x0A). The end of the connection ends the
// message; there is no header, length or acknowledgement, and the listener's side never writes.
//
// A sender writes its lines, disconnects and at once connects again, so one idle connection always
// waits at the peer for the next message. The listener keeps accepted connections on its dispatcher
// thread while they are idle and hands each to a worker thread once its first bytes (or its end)
// arrive; the worker runs the accept handler, which reads lines until the connection ends.

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

constexpr int kMaxLineBytes = 1024 * 1024; // longest line a receiver buffers, CR LF not counted
constexpr int kBacklog = 5;                // pending connections a listener's queue holds
constexpr int kWorkersPerListener = 10;    // accept handlers of one listener running at once
constexpr int kConnectTimeoutMs = 3000;    // one connection attempt gives up after this
constexpr int kSendTimeoutMs = 10000; // one line that the peer does not take gives up after this
constexpr int kMessageDeadlineMs = 10000; // a begun message must end within this
// Accepted connections one listener holds outside its handlers: idle ones and those whose message
// has begun but waits for a worker, together.
constexpr int kMaxHeldConnections = 64;

// The IPv4 address (host byte order) a host text stands for: empty is 0.0.0.0, a text starting with
// a digit is read as dotted IPv4, anything else is looked up by name (first IPv4 address).
// Nothing when the text is not an address or the name does not resolve, or when cancelFd (an event
// descriptor, -1 for none) turns readable while the name is being looked up.
std::optional<uint32_t> resolveHost(const QString& host, int cancelFd = -1);

// The port a port text stands for: empty is 0, a service name of the system's services database is
// that service's TCP port, anything else is read as an integer and cut to 16 bits. Text that is
// none of these raises ProgramError with the integer conversion message.
uint16_t resolvePort(const QString& port);

// One accepted connection, handed to an accept handler. The handler only reads from it.
class TCustomIpClient {
public:
    // Takes ownership of the connected socket fd; the peer's address and port are kept as text.
    // Once the first receive starts, the whole message must have come within deadlineMs.
    TCustomIpClient(int fd, QString remoteHost, QString remotePort,
                    int deadlineMs = kMessageDeadlineMs);
    ~TCustomIpClient();
    TCustomIpClient(const TCustomIpClient&) = delete;
    TCustomIpClient& operator=(const TCustomIpClient&) = delete;

    // Blocks until a whole line arrived and returns it without its CR LF. When the connection ends
    // (or a receive fails) first, returns the bytes since the last CR LF, empty when none came.
    // A line longer than kMaxLineBytes ends the connection: the call returns the empty string and
    // so does every later call. So does a message still unfinished when its deadline passes; it
    // counts as cut off then. Never throws.
    QByteArray ReceiveLine();
    // True once the message was cut off at its deadline, or the connection was revoked: what came
    // of it is not the whole message.
    bool cutOff() const { return cutOff_ || revoked_.load(); }

    QString RemoteHost() const { return remoteHost_; }
    QString RemotePort() const { return remotePort_; }

    // Shuts the connection down both ways, so a ReceiveLine blocked on another thread returns.
    // The socket itself stays held until the object is destroyed.
    void shutdownBoth();
    // Ends the connection from any thread because its sender may no longer speak here: a read
    // under way returns, every later ReceiveLine returns the empty string and cutOff() is true.
    void revoke();

    // The message began now (its first bytes arrived): its deadline counts from here. Without
    // this call it counts from the first ReceiveLine.
    void startDeadline();

    // This connection's place among those its listener handed to handlers, in the order their first
    // bytes (or their ends) arrived: 0 for the first, counting up. For a peer that opens its next
    // connection ahead of time this is the order of its messages.
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
    bool cutOff_ = false;
    std::atomic<bool> revoked_{false};
    int deadlineMs_;
    std::optional<std::chrono::steady_clock::time_point> deadline_; // set by the first receive
    uint64_t acceptIndex_ = 0;
};

// The client endpoint: connects to the peer's listener and writes lines.
//
// One message is one call of sendMessage: its lines, then Disconnect and at once Connect, as one
// unit under the client's own lock, so no other thread's use of the client interleaves with it.
// The lock is private and never held by a caller.
class TTcpClient {
public:
    // Names the moment work for this client was queued (see hurry()).
    using Ticket = uint64_t;
    static constexpr Ticket kNewest = UINT64_MAX; // work queued after every hurry
    enum class SendWhen { Always, IfConnected };

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

    // Writes the line plus CR LF. Returns the bytes written, or -1 when not connected or the write
    // failed or was not taken whole within the send time-out; the connection then counts as lost
    // (Connected turns false) until the next Connect.
    int SendLine(const QByteArray& line);
    int SendLine(const QString& text);

    // One whole message: each line while the client is connected, then Disconnect and Connect
    // (which leaves the next message an open channel). With IfConnected, a client that is not
    // connected when the message's turn comes sends nothing and keeps its state. `ticket` is what
    // ticket() said when the message was queued. Returns the number of lines that went out, or -1
    // when IfConnected found the client not connected.
    int sendMessage(const QList<QByteArray>& lines, SendWhen when = SendWhen::Always,
                    Ticket ticket = kNewest);

    // The ticket of work queued now; any thread.
    Ticket ticket() const;
    // Work queued before this call (its ticket older) must be over within graceMs: a connect or a
    // send of it still waiting then gives up, one running or starting later as well. Work queued
    // afterwards is not touched. Any thread, without waiting for the client's lock: a user's
    // action uses it so that it never waits behind what a peer provoked before.
    void hurry(int graceMs);

    void setConnectTimeoutMs(int ms) { connectTimeoutMs_.store(ms); }
    void setSendTimeoutMs(int ms) { sendTimeoutMs_.store(ms); }

    // The IPv4 address (host byte order) of the last successful Connect.
    uint32_t RemoteAddress() const { return remoteAddress_.load(); }
    // This computer's IPv4 address (host byte order) that connection came from.
    uint32_t LocalAddress() const { return localAddress_.load(); }

    // Gives up for good, from any thread and without waiting for the client's lock: a connection
    // attempt or a send under way ends at once with failure, and every later Connect fails without
    // trying. Used when the program closes.
    void cancel();

    // The calls that may wait (connects, sends, and all that takes the client's lock) must never
    // run on this thread (the GUI thread of the window that owns the client); checked in debug and
    // sanitizer builds.
    void forbidWaitingOn(std::thread::id thread) { forbiddenThread_.store(thread); }

private:
    using Clock = std::chrono::steady_clock;
    // The ticket of the operation under the lock, for as long as it runs.
    class TicketScope;

    void checkThread() const;
    bool connectLocked();
    void disconnectLocked();
    int sendLineLocked(const QByteArray& line);
    bool ensureSocket();
    void releaseSocket();
    void replaceSocket(int fd);
    bool sendAll(const QByteArray& bytes);
    bool attemptConnect(uint32_t address, uint16_t port);
    void changeSetting(QString& setting, const QString& text);
    // Waits until fd reports `events`, up to `own` or the hurry that covers the operation,
    // whichever comes first; a cancel ends the wait. True when fd is ready.
    bool waitFor(int fd, short events, Clock::time_point own);
    Clock::time_point cutDeadline(Clock::time_point own) const;

    std::mutex messageMutex_;          // one operation or message at a time; never handed out
    mutable std::mutex settingsMutex_; // guards the three texts for readers on other threads
    QString remoteHost_;
    QString remotePort_;
    QString localPort_;
    mutable std::mutex fdMutex_; // guards fd_ changes against cancel(); never held while waiting
    int fd_ = -1;
    int cancelFd_ = -1;             // an event descriptor that turns readable on cancel()
    int hurryFd_ = -1;              // an event descriptor that wakes a waiting operation on hurry()
    Ticket opTicket_ = kNewest;     // the running operation's ticket; under messageMutex_
    mutable std::mutex hurryMutex_; // the three fields below
    Ticket tickets_ = 0;            // the ticket of work queued now
    Ticket hurriedBelow_ = 0;       // work with an older ticket is hurried ...
    Clock::time_point hurryDeadline_; // ... to end by then
    std::atomic<std::thread::id> forbiddenThread_{};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> active_{false};
    std::atomic<uint32_t> remoteAddress_{0};
    std::atomic<uint32_t> localAddress_{0};
    std::atomic<int> connectTimeoutMs_{kConnectTimeoutMs};
    std::atomic<int> sendTimeoutMs_{kSendTimeoutMs};
};

// The listener endpoint: accepts connections and runs the accept handler for each on a worker.
class TTcpServer {
public:
    using AcceptHandler = std::function<void(TTcpServer* sender, TCustomIpClient* client)>;

    TTcpServer();
    // Closes, shuts down the accepted connections and waits for the handlers to end, plainly: a
    // handler that hops onto the destroying thread must be released first (HopGate::close).
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
    // Stops accepting and releases the listening socket. Connections already accepted keep going:
    // an idle one is still handed to a handler when its message comes.
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

    // While *peer holds an address other than 0 (IPv4, host byte order), a connection from any
    // other address is closed at accept, and again when its message begins (first bytes) and
    // before a handler runs it. Null or 0: anyone is accepted.
    void setAllowedPeer(const std::atomic<uint32_t>* peer) { allowedPeer_.store(peer); }
    // Closes, at once and from any thread, every connection held from an address other than
    // `peer` (IPv4, host byte order): idle ones, those waiting for a worker, and those in a
    // handler, whose reads end and whose message counts as cut off.
    void closeConnectionsNotFrom(uint32_t peer);
    // How long a begun message may take, for the connections accepted from now on.
    void setMessageDeadlineMs(int ms) { messageDeadlineMs_.store(ms); }

private:
    // A pool thread: idle until the dispatcher hands it a connection, then runs the handler on it.
    struct Worker {
        std::thread thread;
        std::condition_variable wake;
        std::unique_ptr<TCustomIpClient> connection; // handed over, not yet taken
        AcceptHandler handler;
        bool busy = false;
        bool exited = false;
    };
    // An accepted connection waiting for its first bytes, with the handler of its listener's run.
    struct Waiting {
        std::unique_ptr<TCustomIpClient> connection;
        int fd;
        uint32_t address; // the sender's IPv4 address, host byte order
        AcceptHandler handler;
    };

    bool bindAndListen(uint16_t port);
    bool takeHelperListener(uint32_t address, uint16_t port);
    void watchListener(int fd, AcceptHandler handler);
    void dispatchLoop();
    bool acceptPending(int listenFd, const AcceptHandler& handler, bool pushOut);
    bool makeRoom(bool pushOut);
    bool admits(uint32_t address) const;
    void takeUpBegunMessages(const std::vector<std::list<Waiting>::iterator>& begun);
    void startHandler(Waiting waiting);
    void workerLoop(Worker* worker);
    void runHandler(std::unique_ptr<TCustomIpClient> connection, const AcceptHandler& handler);
    void wakeDispatcher();
    void reapWorkers();
    void stopDispatcher();
    void waitForWorkers();

    mutable std::mutex controlMutex_; // Open/Close/settings against each other
    QString localHost_;
    QString localPort_;
    QString lastError_;
    int listenFd_ = -1;
    AcceptHandler runHandler_; // the handler of the present listening run
    std::atomic<bool> active_{false};
    std::atomic<bool> listening_{false};
    std::atomic<uint16_t> boundPort_{0};
    std::atomic<const std::atomic<uint32_t>*> allowedPeer_{nullptr};
    std::atomic<int> messageDeadlineMs_{kMessageDeadlineMs};

    int wakeFd_ = -1; // an event descriptor that wakes the dispatcher
    std::thread dispatcher_;

    std::mutex poolMutex_; // the fields below
    std::condition_variable poolChanged_;
    int watchedFd_ = -1; // the listening socket the dispatcher accepts on, -1: none
    AcceptHandler watchedHandler_;
    uint64_t watchChanges_ = 0;  // counts changes of watchedFd_
    uint64_t watchSeen_ = 0;     // the last change the dispatcher has taken up
    std::list<Waiting> waiting_; // idle accepted connections, oldest first
    std::list<Waiting> ready_;   // connections whose bytes came, waiting for a free worker
    std::list<Worker> workers_;
    int busyWorkers_ = 0;
    uint64_t handedCount_ = 0; // connections handed to handlers since the listener was made
    bool ending_ = false;      // set by the destructor: the dispatcher and the workers end

    std::map<TCustomIpClient*, uint32_t> connections_; // in handlers, with their senders' addresses
};
