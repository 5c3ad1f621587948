#include "net/TlsSocket.h"

#include "crypto/VerifyCode.h"

#include <QTcpSocket>

#include <algorithm>

namespace {
constexpr qint64 kSocketBufferBytes = 256 * 1024; // held by the socket each way, at most
constexpr qsizetype kReadChunkBytes = 64 * 1024;
constexpr int kFinishGraceMs = 2000; // for the last bytes and TLS's close to leave after finish()
} // namespace

TlsSocket::TlsSocket(intptr_t fd, Settings settings, QObject* parent)
    : QObject(parent), engine_(settings.context, settings.role, settings.alpn),
      frames_(settings.maxFramePayload, settings.mode), socket_(new QTcpSocket(this)) {
    socket_->setReadBufferSize(kSocketBufferBytes);
    socket_->setSocketDescriptor(fd);
    peerAddress_ = socket_->peerAddress().toIPv4Address();
    connect(socket_, &QTcpSocket::readyRead, this, [this] { readable(); });
    connect(socket_, &QTcpSocket::bytesWritten, this, [this] {
        pumpOut();
        if (wrote && !over_ && !finishing_)
            wrote();
    });
    connect(socket_, &QTcpSocket::disconnected, this, [this] { readable(); });
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError)
            end(QStringLiteral("the connection failed: %1").arg(socket_->errorString()));
    });
    handshakeTimer_.setSingleShot(true);
    connect(&handshakeTimer_, &QTimer::timeout, this,
            [this] { end(QStringLiteral("the TLS handshake took too long")); });
    handshakeTimer_.start(settings.handshakeMs);
    if (engine_.failed())
        QMetaObject::invokeMethod(
            this, [this] { end(engine_.errorText()); }, Qt::QueuedConnection);
    flushCiphertext(); // a client's hello
}

TlsSocket::~TlsSocket() = default;

void TlsSocket::admit() {
    if (admitted_ || over_)
        return;
    admitted_ = true;
    QMetaObject::invokeMethod(
        this, [this] { readable(); }, Qt::QueuedConnection);
}

void TlsSocket::setReading(bool on) {
    if (reading_ == on)
        return;
    reading_ = on;
    if (on)
        QMetaObject::invokeMethod(
            this, [this] { readable(); }, Qt::QueuedConnection);
}

// Moves bytes from the socket through the engine into frames, as far as the bounds let them.
void TlsSocket::readable() {
    bool progress = true;
    while (progress && !over_) {
        progress = false;
        if (admitted_) {
            deliverFrames();
            if (over_ || !reading_)
                return;
            const QByteArray plain = engine_.takePlain();
            if (!plain.isEmpty()) {
                frames_.feed(plain);
                progress = true;
                continue;
            }
        } else if (engine_.handshakeDone()) {
            return; // the key is being checked: nothing more is read before that
        }
        const qsizetype room = std::min(engine_.ciphertextRoom(), kReadChunkBytes);
        if (room > 0 && socket_->bytesAvailable() > 0) {
            const bool fed = engine_.feedCiphertext(socket_->read(room));
            flushCiphertext();
            if (!fed) {
                end(engine_.errorText());
                return;
            }
            progress = true;
            if (engine_.handshakeDone() && !handshakeTold_) {
                handshakeTold_ = true;
                handshakeTimer_.stop();
                pumpOut();
                if (handshakeDone)
                    handshakeDone();
            }
        }
    }
    if (!over_ && socket_->state() == QAbstractSocket::UnconnectedState &&
        socket_->bytesAvailable() == 0)
        endOfStream();
}

void TlsSocket::deliverFrames() {
    if (frames_.failed()) {
        end(frames_.errorText());
        return;
    }
    while (reading_ && !over_) {
        std::optional<FrameEvent> event = frames_.next();
        if (!event) {
            if (frames_.failed())
                end(frames_.errorText());
            return;
        }
        if (frameArrived)
            frameArrived(std::move(*event));
    }
}

void TlsSocket::send(QByteArray bytes) {
    if (over_ || finishing_ || bytes.isEmpty())
        return;
    outgoingBytes_ += bytes.size();
    outgoing_.push_back(std::move(bytes));
    pumpOut();
}

qint64 TlsSocket::unsent() const {
    return outgoingBytes_ + socket_->bytesToWrite();
}

// Encrypts what is queued while the socket has room, and tells when all of it has gone.
void TlsSocket::pumpOut() {
    if (over_)
        return;
    flushCiphertext();
    while (!outgoing_.empty() && engine_.handshakeDone()) {
        const QByteArray& front = outgoing_.front();
        const qsizetype taken = engine_.writePlain(QByteArrayView(front).sliced(outgoingOffset_));
        outgoingOffset_ += taken;
        outgoingBytes_ -= taken;
        if (outgoingOffset_ == front.size()) {
            outgoing_.pop_front();
            outgoingOffset_ = 0;
        }
        flushCiphertext();
        if (taken == 0)
            break;
    }
    if (!outgoing_.empty() || socket_->bytesToWrite() > 0)
        return;
    if (finishing_) {
        over_ = true;
        engine_.close();
        socket_->write(engine_.takeCiphertext());
        socket_->disconnectFromHost();
        if (socket_->state() == QAbstractSocket::UnconnectedState)
            deleteLater();
        return;
    }
    if (drained && engine_.handshakeDone())
        drained();
}

void TlsSocket::flushCiphertext() {
    if (socket_->bytesToWrite() >= kSocketBufferBytes)
        return;
    const QByteArray ciphertext = engine_.takeCiphertext();
    if (!ciphertext.isEmpty())
        socket_->write(ciphertext);
}

void TlsSocket::endOfStream() {
    const bool wholeFrames = frames_.endOfStream();
    if (engine_.closeNotifyReceived() && wholeFrames)
        end({});
    else if (!engine_.handshakeDone())
        end(QStringLiteral("the connection ended during the TLS handshake"));
    else
        end(QStringLiteral("the connection was cut off without TLS's close"));
}

void TlsSocket::end(const QString& reason) {
    if (over_)
        return;
    over_ = true;
    handshakeTimer_.stop();
    socket_->abort();
    if (ended)
        ended(reason);
}

QByteArray TlsSocket::verifySecret() const {
    return engine_.exportKeyingMaterial(kVerifyExporterLabel, kVerifySecretBytes);
}

void TlsSocket::finish() {
    if (over_) {
        deleteLater();
        return;
    }
    finishing_ = true;
    handshakeTimer_.stop();
    ended = nullptr;
    frameArrived = nullptr;
    handshakeDone = nullptr;
    wrote = nullptr;
    drained = nullptr;
    connect(socket_, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    QTimer::singleShot(kFinishGraceMs, this, &QObject::deleteLater);
    if (!engine_.handshakeDone()) {
        over_ = true;
        socket_->abort();
        deleteLater();
        return;
    }
    pumpOut();
}

void TlsSocket::abort() {
    over_ = true;
    handshakeTimer_.stop();
    socket_->abort();
}
