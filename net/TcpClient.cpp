#include "net/TcpClient.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "net/NameResolution.h"
#include "net/NetworkThread.h"

using Kind = LineClient::Work::Kind;

TTcpClient::TTcpClient(NetworkThread& network, Mailbox& window)
    : network_(network), window_(window), client_(new LineClient) {
    client_->onSecurity = [this](const SecurityEvent& event, const LineClient::State& state) {
        window_.post([this, event, state] {
            state_ = state;
            if (OnSecurity)
                OnSecurity(event);
        });
    };
    client_->onControl = [this](const QByteArray& payload) {
        window_.post([this, payload] {
            if (OnControl)
                OnControl(payload);
        });
    };
    network_.adopt(client_);
}

void TTcpClient::setRemoteHost(const QString& host) {
    if (host == remoteHost_)
        return;
    Disconnect();
    remoteHost_ = host;
}

void TTcpClient::setRemotePort(const QString& port) {
    if (port == remotePort_)
        return;
    Disconnect();
    remotePort_ = port;
}

void TTcpClient::queue(LineClient::Work work, std::function<void(int)> done) {
    work.report = [this, done = std::move(done)](const LineClient::State& state, int result) {
        window_.post([this, state, result, done] {
            state_ = state;
            if (done)
                done(result);
        });
    };
    network_.post(
        [client = client_, work = std::move(work)]() mutable { client->queue(std::move(work)); });
}

void TTcpClient::Connect(std::function<void(bool)> done) {
    LineClient::Work work;
    work.kind = Kind::Connect;
    work.host = remoteHost_;
    work.port = resolvePort(remotePort_);
    queue(std::move(work), [done = std::move(done)](int connected) {
        if (done)
            done(connected == 1);
    });
}

void TTcpClient::Disconnect(std::function<void()> done) {
    LineClient::Work work;
    work.kind = Kind::Disconnect;
    queue(std::move(work), [done = std::move(done)](int) {
        if (done)
            done();
    });
}

void TTcpClient::setActive(bool active, std::function<void()> done) {
    LineClient::Work work;
    work.kind = active ? Kind::Activate : Kind::Deactivate;
    work.host = remoteHost_;
    work.port = active ? resolvePort(remotePort_) : 0;
    queue(std::move(work), [done = std::move(done)](int) {
        if (done)
            done();
    });
}

// A port text that is not a port fails going online before any message can be sent; should one
// come through, the reconnect after the message fails.
uint16_t TTcpClient::portOrZero() const {
    uint16_t port = 0;
    failureOf([&] { port = resolvePort(remotePort_); });
    return port;
}

void TTcpClient::send(Message message, std::function<void(int)> done) {
    LineClient::Work work;
    work.kind = Kind::Message;
    work.host = remoteHost_;
    work.port = portOrZero();
    work.lines = std::move(message.lines);
    work.ifConnected = message.ifConnected;
    work.coalesce = message.kind;
    queue(std::move(work), std::move(done));
}

void TTcpClient::dropQueued(int kind) {
    network_.post([client = client_, kind] { client->dropQueued(kind); });
}

void TTcpClient::hurry(int graceMs) {
    network_.post([client = client_, graceMs] { client->hurry(graceMs); });
}

void TTcpClient::cancel() {
    network_.post([client = client_] { client->cancel(); });
}

void TTcpClient::setConnectTimeoutMs(int ms) {
    network_.post([client = client_, ms] { client->setConnectTimeoutMs(ms); });
}

void TTcpClient::setSendTimeoutMs(int ms) {
    network_.post([client = client_, ms] { client->setSendTimeoutMs(ms); });
}

void TTcpClient::setSessionPolicy(const SessionPolicy& policy, const QByteArray& alpn) {
    network_.post([client = client_, policy, alpn] { client->setSessionPolicy(policy, alpn); });
}

void TTcpClient::sendControl(const QByteArray& payload) {
    LineClient::Work work;
    work.kind = Kind::Control;
    work.lines = {payload};
    queue(std::move(work), {});
}
