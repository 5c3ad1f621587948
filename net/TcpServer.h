#pragma once
// The receiving endpoint of a line-message channel (net/TcpChannel.h); net/TcpServer.cpp tells how
// it keeps and hands out connections.

#include "net/AcceptedConnection.h"
#include "net/ChannelLimits.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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
