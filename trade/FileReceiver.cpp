#include "trade/FileReceiver.h"

#include "common/ProgramError.h"
#include "trade/FileHeader.h"

#include <QFile>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>

#include <cerrno>
#include <cstring>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Each read copies at most this much from the socket to the file: large enough that a gigabyte
// costs few system calls, small enough to stay far below the memory bound.
constexpr qint64 kReceivePieceBytes = 0x40000;
// The partial file sits beside its final name, hidden, so a crash never leaves it under that name.
const QString kPartialTemplate = QStringLiteral(".vorlax-XXXXXX.part");
} // namespace

FileReceiver::FileReceiver(QTcpSocket* socket, const DownloadRules& rules)
    : socket_(socket), rules_(rules), peer_(socket->peerAddress().toIPv4Address()),
      stall_(std::make_unique<QTimer>()) {
    stall_->setSingleShot(true);
    stall_->setInterval(rules_.stallMs ? rules_.stallMs() : kDownloadStallMs);
    QObject::connect(stall_.get(), &QTimer::timeout, socket_, [this] {
        cutOff();
        socket_->abort();
    });
}

FileReceiver::~FileReceiver() {
    dropPartialFile();
}

bool FileReceiver::midFile() const {
    return inBody_ || !header_.isEmpty();
}

qint64 FileReceiver::bytesWanted() const {
    return inBody_ ? std::min(bodyTotal_ - bodyDone_, kReceivePieceBytes)
                   : kFileHeaderBytes - header_.size();
}

void FileReceiver::readAvailable() {
    while (socket_->bytesAvailable() > 0) {
        buffer_.resize(bytesWanted());
        const qint64 got = socket_->read(buffer_.data(), buffer_.size());
        if (got <= 0)
            break;
        buffer_.resize(got);
        if (!inBody_) {
            takeHeaderPiece(buffer_);
            continue;
        }
        if (partial_ && partial_->write(buffer_) != got)
            fail(DownloadEvent::Kind::WriteFailed,
                 fileCreateErrorMessage(target_, partial_->errorString()));
        bodyDone_ += got;
        reportProgress();
        if (bodyDone_ == bodyTotal_)
            finishFile();
    }
    if (midFile())
        stall_->start();
    else
        stall_->stop();
}

void FileReceiver::takeHeaderPiece(const QByteArray& piece) {
    header_ += piece;
    if (header_.size() == kFileHeaderBytes)
        startFile();
}

// The whole header is in: decide whether the file is kept, and where.
void FileReceiver::startFile() {
    const std::optional<FileHeader> header = decodeFileHeader(header_);
    inBody_ = true;
    bodyDone_ = 0;
    bodyTotal_ = std::max<qint64>(0, fileHeaderTotalSize(header_) - kFileHeaderBytes);
    name_ = header ? header->name : QByteArray();
    outcome_ = DownloadEvent::Kind::Written;
    failureDetail_.clear();
    target_ = header ? rules_.targetPath(name_, peer_) : QString();
    if (!header) {
        fail(DownloadEvent::Kind::Refused);
    } else if (target_.isEmpty()) {
        fail(DownloadEvent::Kind::NotAsked);
    } else {
        const QString folder = target_.left(target_.lastIndexOf(QLatin1Char('/')) + 1);
        partial_ = std::make_unique<QTemporaryFile>(folder + kPartialTemplate);
        if (!partial_->open())
            fail(DownloadEvent::Kind::WriteFailed,
                 fileCreateErrorMessage(target_, partial_->errorString()));
        else // a temporary file is private to its maker; the received file gets the usual rights
            ::fchmod(partial_->handle(), kNewFileMode & ~processUmask());
    }
    if (bodyTotal_ == 0)
        finishFile();
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

// The last byte is in: a kept file is flushed to disk and only then takes its final name, so the
// name holds either the old file or the whole new one. rename() replaces a symbolic link of that
// name rather than writing through it.
void FileReceiver::finishFile() {
    if (partial_) {
        const bool flushed = partial_->flush() && ::fsync(partial_->handle()) == 0;
        partial_->close();
        if (flushed && ::rename(QFile::encodeName(partial_->fileName()).constData(),
                                QFile::encodeName(target_).constData()) == 0)
            partial_->setAutoRemove(false);
        else
            fail(DownloadEvent::Kind::WriteFailed,
                 fileCreateErrorMessage(target_, QString::fromLocal8Bit(strerror(errno))));
        partial_.reset();
    }
    if (outcome_ != DownloadEvent::Kind::WriteFailed) // told already
        report(outcome_);
    header_.clear();
    inBody_ = false;
}

void FileReceiver::connectionClosed() {
    readAvailable();
    if (midFile())
        cutOff();
}

void FileReceiver::cutOff() {
    stall_->stop();
    dropPartialFile();
    report(DownloadEvent::Kind::CutOff);
    header_.clear();
    inBody_ = false;
}

// Later bytes of this file are drained. A refusal is told once the file is through (the peer's
// next-file request follows it); a write failure at once, so a sender that hangs up meanwhile
// cannot hide it.
void FileReceiver::fail(DownloadEvent::Kind kind, const QString& detail) {
    dropPartialFile();
    if (outcome_ != DownloadEvent::Kind::Written)
        return; // the first reason stands
    outcome_ = kind;
    failureDetail_ = detail;
    if (kind == DownloadEvent::Kind::WriteFailed)
        report(kind);
}

void FileReceiver::dropPartialFile() {
    partial_.reset(); // QTemporaryFile removes its file
}

void FileReceiver::report(DownloadEvent::Kind kind) {
    DownloadEvent event;
    event.kind = kind;
    event.name = name_;
    event.done = bodyDone_;
    event.total = bodyTotal_;
    event.peer = peer_;
    event.detail = kind == outcome_ ? failureDetail_ : QString();
    if (rules_.report)
        rules_.report(event);
}

void FileReceiver::reportProgress() {
    if (!partial_ || !throttle_.due(false))
        return;
    report(DownloadEvent::Kind::Progress);
}
