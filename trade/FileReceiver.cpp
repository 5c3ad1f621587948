#include "trade/FileReceiver.h"

#include "common/ProgramError.h"
#include "trade/FileHeader.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Each read copies at most this much from the socket to the file: large enough that a gigabyte
// costs few system calls, small enough to stay far below the memory bound.
constexpr qint64 kReceivePieceBytes = 0x40000;
// The partial file sits beside its final name, hidden, so a crash never leaves it under that name.
// Its writer holds a lock on it, by which a partial file still being written is told from one
// that a crash left behind.
const QString kPartialTemplate = QStringLiteral(".vorlax-XXXXXX.part");
const QString kPartialPattern = QStringLiteral(".vorlax-??????.part");

bool isDrop(DownloadEvent::Kind kind) {
    return kind == DownloadEvent::Kind::Refused || kind == DownloadEvent::Kind::NotAsked;
}
} // namespace

void removeLeftoverPartialFiles(const QString& folder) {
    const QDir dir(folder);
    const QStringList names =
        dir.entryList({kPartialPattern}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.constData());
        ::close(fd);
    }
}

FileReceiver::FileReceiver(QTcpSocket* socket, const DownloadRules& rules)
    : socket_(socket), rules_(rules), peer_(socket->peerAddress().toIPv4Address()),
      stall_(std::make_unique<QTimer>()) {
    stall_->setSingleShot(true);
    stall_->setInterval(rules_.stallMs ? rules_.stallMs() : kDownloadStallMs);
    QObject::connect(stall_.get(), &QTimer::timeout, socket_, [this] {
        cutOff();
        close();
    });
}

FileReceiver::~FileReceiver() {
    partial_.reset(); // QTemporaryFile removes its file
}

void FileReceiver::setPhase(Phase next, DownloadEvent::Kind drainReason) {
    if (phase_ == Phase::Closed)
        return;
    phase_ = next;
    if (next == Phase::Draining)
        drainReason_ = drainReason;
}

bool FileReceiver::midFile() const {
    return phase_ == Phase::Writing || phase_ == Phase::Draining ||
           (phase_ == Phase::Header && !header_.isEmpty());
}

qint64 FileReceiver::bytesWanted() const {
    return phase_ == Phase::Header ? kFileHeaderBytes - header_.size()
                                   : std::min(bodyTotal_ - bodyDone_, kReceivePieceBytes);
}

void FileReceiver::readAvailable() {
    while (phase_ != Phase::Closed && socket_->bytesAvailable() > 0) {
        buffer_.resize(bytesWanted());
        const qint64 got = socket_->read(buffer_.data(), buffer_.size());
        if (got <= 0)
            break;
        buffer_.resize(got);
        if (phase_ == Phase::Header)
            takeHeaderPiece(buffer_);
        else
            takeBodyPiece(buffer_);
    }
    if (phase_ != Phase::Closed && midFile())
        stall_->start();
    else
        stall_->stop();
}

void FileReceiver::takeHeaderPiece(const QByteArray& piece) {
    header_ += piece;
    if (header_.size() == kFileHeaderBytes)
        startFile();
}

void FileReceiver::takeBodyPiece(const QByteArray& piece) {
    if (phase_ == Phase::Writing && partial_->write(piece) != piece.size())
        writeFailed(fileCreateErrorMessage(target_, partial_->errorString()));
    bodyDone_ += piece.size();
    if (phase_ == Phase::Writing && throttle_.due(false))
        report(DownloadEvent::Kind::Progress);
    if (bodyDone_ == bodyTotal_)
        endOfFile();
}

// The whole header is in: decide whether the file is kept, and where. The sender is checked again
// here, since it may have lost its right to send since the connection was accepted.
void FileReceiver::startFile() {
    if (rules_.acceptsFrom && !rules_.acceptsFrom(peer_)) {
        shut();
        return;
    }
    const std::optional<FileHeader> header = decodeFileHeader(header_);
    bodyDone_ = 0;
    bodyTotal_ = std::max<qint64>(0, fileHeaderTotalSize(header_) - kFileHeaderBytes);
    header_.clear();
    name_ = header ? header->name : QByteArray();
    target_ = header ? rules_.targetPath(name_, peer_) : QString();
    if (!header)
        drain(DownloadEvent::Kind::Refused);
    else if (target_.isEmpty())
        drain(DownloadEvent::Kind::NotAsked);
    else if (openPartialFile())
        setPhase(Phase::Writing);
    if (phase_ != Phase::Closed && bodyTotal_ == 0)
        endOfFile();
}

bool FileReceiver::openPartialFile() {
    droppedInARow_ = 0;
    const QString folder = target_.left(target_.lastIndexOf(QLatin1Char('/')) + 1);
    partial_ = std::make_unique<QTemporaryFile>(folder + kPartialTemplate);
    if (!partial_->open()) {
        writeFailed(fileCreateErrorMessage(target_, partial_->errorString()));
        return false;
    }
    ::flock(partial_->handle(), LOCK_EX | LOCK_NB);
    // A temporary file is private to its maker; the received file gets the usual rights.
    ::fchmod(partial_->handle(), kNewFileMode & ~processUmask());
    return true;
}

// The process's file-creation mask, read without changing it (umask() would, for a moment, for
// every thread).
mode_t FileReceiver::processUmask() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
            if (line.startsWith("Umask:"))
                return static_cast<mode_t>(line.mid(6).trimmed().toUInt(nullptr, 8));
    return kDefaultUmask;
}

// Later bytes of this file are read and dropped. A refusal is told once the file is through (the
// peer's next-file request follows it), unless the connection is cut first for a flood of them.
void FileReceiver::drain(DownloadEvent::Kind reason) {
    setPhase(Phase::Draining, reason);
    if (isDrop(reason) && ++droppedInARow_ > kMaxDroppedInARow) {
        report(reason);
        close();
    }
}

// Told at once, so a sender that hangs up meanwhile cannot hide it; the rest is drained.
void FileReceiver::writeFailed(const QString& detail) {
    partial_.reset();
    setPhase(Phase::Draining, DownloadEvent::Kind::WriteFailed);
    report(DownloadEvent::Kind::WriteFailed, detail);
}

void FileReceiver::endOfFile() {
    if (phase_ == Phase::Writing)
        finishFile();
    else if (drainReason_ != DownloadEvent::Kind::WriteFailed) // told already
        report(drainReason_);
    setPhase(Phase::Header);
}

// The last byte is in: a kept file is flushed to disk and only then takes its final name, so the
// name holds either the old file or the whole new one. rename() replaces a symbolic link of that
// name rather than writing through it.
void FileReceiver::finishFile() {
    const bool flushed = partial_->flush() && ::fsync(partial_->handle()) == 0;
    partial_->close();
    if (flushed && ::rename(QFile::encodeName(partial_->fileName()).constData(),
                            QFile::encodeName(target_).constData()) == 0) {
        partial_->setAutoRemove(false);
        partial_.reset();
        report(DownloadEvent::Kind::Written);
    } else {
        writeFailed(fileCreateErrorMessage(target_, QString::fromLocal8Bit(strerror(errno))));
    }
}

void FileReceiver::connectionClosed() {
    readAvailable();
    if (phase_ != Phase::Closed && midFile())
        cutOff();
    setPhase(Phase::Closed);
}

void FileReceiver::cutOff() {
    partial_.reset();
    report(DownloadEvent::Kind::CutOff);
}

void FileReceiver::shut() {
    close();
}

void FileReceiver::close() {
    setPhase(Phase::Closed);
    stall_->stop();
    partial_.reset();
    header_.clear();
    socket_->abort();
}

void FileReceiver::report(DownloadEvent::Kind kind, const QString& detail) {
    DownloadEvent event;
    event.kind = kind;
    event.name = name_;
    event.done = bodyDone_;
    event.total = bodyTotal_;
    event.peer = peer_;
    event.detail = detail;
    if (rules_.report)
        rules_.report(event);
}
