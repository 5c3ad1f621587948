#include "net/TcpServer.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "net/NameResolution.h"
#include "net/NetworkThread.h"

#include <netinet/in.h>

TTcpServer::TTcpServer(NetworkThread& network, Mailbox& window)
    : network_(network), window_(window),
      listener_(new LineListener([this, &window](LineMessage message) {
          window.post([this, message = std::move(message)]() mutable { take(std::move(message)); });
      })) {
    listener_->onSecurity = [this](const SecurityEvent& event) {
        window_.post([this, event] {
            if (OnSecurity)
                OnSecurity(event);
        });
    };
    listener_->onControl = [this](uint64_t session, const QByteArray& payload) {
        window_.post([this, session, payload] {
            if (OnControl)
                OnControl(session, payload);
        });
    };
    network_.adopt(listener_);
}

void TTcpServer::setLocalHost(const QString& host) {
    if (host == localHost_)
        return;
    Close();
    localHost_ = host;
}

void TTcpServer::setLocalPort(const QString& port) {
    if (port == localPort_)
        return;
    Close();
    localPort_ = port;
}

void TTcpServer::setActive(bool active, Done done) {
    if (active == active_) {
        if (done)
            window_.post(std::move(done));
        return;
    }
    active ? Open(std::move(done)) : Close(std::move(done));
}

void TTcpServer::Open(Done done) {
    const uint16_t port = resolvePort(localPort_);
    // The program never names a local host: a dotted address is taken as it is, anything else
    // listens on every interface.
    const uint32_t host = hostAddress(localHost_).value_or(INADDR_ANY);
    active_ = true;
    network_.post([this, host, port, shape = shape, done = std::move(done)] {
        const LineListener::State state = listener_->open(host, port, shape);
        window_.post([this, state, done] { report(state, done); });
    });
}

void TTcpServer::Close(Done done) {
    active_ = false;
    network_.post([this, done = std::move(done)] {
        const LineListener::State state = listener_->close();
        window_.post([this, state, done] { report(state, done); });
    });
}

void TTcpServer::report(const LineListener::State& state, const Done& done) {
    state_ = state;
    if (done)
        done();
}

void TTcpServer::take(LineMessage message) {
    // A message that was on its way when only the peer came to be allowed is not the peer's.
    // A handler that fails ends silently; the listener carries on.
    if ((allowedPeer_ == 0 || message.sender == allowedPeer_) && OnAccept &&
        (!Admits || Admits(message)))
        failureOf([&] { OnAccept(this, std::move(message)); });
    network_.post([listener = listener_] { listener->delivered(); });
}

void TTcpServer::shutdownConnections() {
    network_.post([listener = listener_] { listener->shutdownConnections(); });
}

void TTcpServer::setAllowedPeer(uint32_t peer) {
    allowedPeer_ = peer;
    network_.post([listener = listener_, peer] { listener->setAllowedPeer(peer); });
}

void TTcpServer::closeConnectionsNotFrom(uint32_t peer) {
    network_.post([listener = listener_, peer] { listener->closeConnectionsNotFrom(peer); });
}

void TTcpServer::setMessageDeadlineMs(int ms) {
    network_.post([listener = listener_, ms] { listener->setMessageDeadlineMs(ms); });
}

void TTcpServer::setSessionPolicy(const SessionPolicy& policy, const QByteArray& alpn) {
    network_.post(
        [listener = listener_, policy, alpn] { listener->setSessionPolicy(policy, alpn); });
}

void TTcpServer::sendControl(uint64_t session, const QByteArray& payload) {
    network_.post(
        [listener = listener_, session, payload] { listener->sendControl(session, payload); });
}
