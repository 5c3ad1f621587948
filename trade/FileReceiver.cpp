#include "trade/FileReceiver.h"

#include "common/ProgramError.h"
#include "trade/FileHeader.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
constexpr int kPartialNameAttempts = 100;
constexpr mode_t kPrivateMode = 0600; // until the file has its final rights

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

static QString errnoReason(int error) {
    return QString::fromLocal8Bit(strerror(error));
}

PartialFile::~PartialFile() {
    if (fd_ >= 0) {
        ::unlinkat(folderFd_, name_.constData(), 0);
        ::close(fd_);
    }
    if (folderFd_ >= 0)
        ::close(folderFd_);
}

QString PartialFile::create(const QString& folder, mode_t mode) {
    folderFd_ =
        ::open(QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd_ < 0)
        return errnoReason(errno);
    static constexpr char kNameChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < kPartialNameAttempts && fd_ < 0; ++attempt) {
        QByteArray name = QFile::encodeName(kPartialTemplate);
        for (char& c : name)
            if (c == 'X')
                c = kNameChars[QRandomGenerator::system()->bounded(int(sizeof kNameChars) - 1)];
        fd_ = ::openat(folderFd_, name.constData(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kPrivateMode);
        if (fd_ >= 0)
            name_ = name;
        else if (errno != EEXIST)
            break;
    }
    if (fd_ < 0)
        return errnoReason(errno);
    ::flock(fd_, LOCK_EX | LOCK_NB);
    ::fchmod(fd_, mode);
    return {};
}

QString PartialFile::write(QByteArrayView bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return errnoReason(n < 0 ? errno : ENOSPC);
        done += n;
    }
    return {};
}

QString PartialFile::keepAs(const QString& name) {
    if (::fsync(fd_) != 0 || ::renameat(folderFd_, name_.constData(), folderFd_,
                                        QFile::encodeName(name).constData()) != 0)
        return errnoReason(errno);
    ::close(fd_);
    fd_ = -1; // kept: no longer removed
    return {};
}

FileReceiver::FileReceiver(QTcpSocket* socket, const DownloadRules& rules)
    : FileReceiver(
          socket->peerAddress().toIPv4Address(), socket, [socket] { socket->abort(); }, rules) {
    socket_ = socket;
}

FileReceiver::FileReceiver(quint32 peer, QObject* context, std::function<void()> cut,
                           const DownloadRules& rules)
    : cut_(std::move(cut)), rules_(rules), peer_(peer), stall_(std::make_unique<QTimer>()) {
    stall_->setSingleShot(true);
    stall_->setInterval(rules_.stallMs ? rules_.stallMs() : kDownloadStallMs);
    QObject::connect(stall_.get(), &QTimer::timeout, context, [this] {
        cutOff();
        close();
    });
}

FileReceiver::~FileReceiver() {
    partial_.reset(); // removes a partial file
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
        takePiece(buffer_);
    }
    armStall();
}

void FileReceiver::take(QByteArrayView bytes) {
    while (phase_ != Phase::Closed && !bytes.isEmpty()) {
        const qsizetype length = qsizetype(std::min<qint64>(bytesWanted(), bytes.size()));
        takePiece(bytes.first(length));
        bytes = bytes.sliced(length);
    }
    armStall();
}

void FileReceiver::expectFileBoundary() {
    if (phase_ == Phase::Closed || !midFile())
        return;
    cutOff();
    close();
}

void FileReceiver::takePiece(QByteArrayView piece) {
    if (phase_ == Phase::Header)
        takeHeaderPiece(piece);
    else
        takeBodyPiece(piece);
}

// Running while a file is in the middle: a sender that stops there is cut.
void FileReceiver::armStall() {
    if (phase_ != Phase::Closed && midFile())
        stall_->start();
    else
        stall_->stop();
}

void FileReceiver::takeHeaderPiece(QByteArrayView piece) {
    header_.append(piece);
    if (header_.size() == kFileHeaderBytes)
        startFile();
}

void FileReceiver::takeBodyPiece(QByteArrayView piece) {
    if (phase_ == Phase::Writing) {
        const QString failure = partial_->write(piece);
        if (!failure.isEmpty())
            writeFailed(fileCreateErrorMessage(target_, failure));
    }
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
    const DownloadTarget target = header ? rules_.targetPath(name_, peer_) : DownloadTarget{};
    target_ = target.path;
    const QString sizeProblem = target_.isEmpty() ? QString() : sizeRefusal(target.maxBytes);
    if (!header)
        drain(DownloadEvent::Kind::Refused);
    else if (target_.isEmpty())
        drain(DownloadEvent::Kind::NotAsked);
    else if (!sizeProblem.isEmpty())
        drain(DownloadEvent::Kind::Refused, sizeProblem);
    else if (openPartialFile())
        setPhase(Phase::Writing);
    if (phase_ != Phase::Closed && bodyTotal_ == 0)
        endOfFile();
}

// A file is refused at its header when it is larger than the peer's listing said (it would grow
// past what this user agreed to take) or larger than the room left in the save folder.
QString FileReceiver::sizeRefusal(qint64 maxBytes) const {
    if (bodyTotal_ > maxBytes)
        return QStringLiteral("it has %1 bytes, more than the %2 its listing gave")
            .arg(bodyTotal_)
            .arg(maxBytes);
    const QString folder = target_.left(target_.lastIndexOf(QLatin1Char('/')) + 1);
    struct statvfs room {};
    if (::statvfs(QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
                  &room) == 0) {
        const auto free = static_cast<qint64>(room.f_bavail) * static_cast<qint64>(room.f_frsize);
        if (bodyTotal_ > free)
            return QStringLiteral("it has %1 bytes, more than the %2 free in the save folder")
                .arg(bodyTotal_)
                .arg(free);
    }
    return {};
}

bool FileReceiver::openPartialFile() {
    droppedInARow_ = 0;
    const QString folder = target_.left(target_.lastIndexOf(QLatin1Char('/')) + 1);
    partial_ = std::make_unique<PartialFile>();
    // A received file gets the usual rights of a new file once it is complete.
    const QString failure = partial_->create(folder, kNewFileMode & ~processUmask());
    if (!failure.isEmpty()) {
        writeFailed(fileCreateErrorMessage(target_, failure));
        return false;
    }
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
void FileReceiver::drain(DownloadEvent::Kind reason, const QString& detail) {
    setPhase(Phase::Draining, reason);
    drainDetail_ = detail;
    if (isDrop(reason) && ++droppedInARow_ > kMaxDroppedInARow) {
        report(reason, detail);
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
        report(drainReason_, drainDetail_);
    setPhase(Phase::Header);
}

// The last byte is in: a kept file is flushed to disk and only then takes its final name, so the
// name holds either the old file or the whole new one. The rename, relative to the save folder's
// descriptor, replaces a symbolic link of that name rather than writing through it.
void FileReceiver::finishFile() {
    const QString failure =
        partial_->keepAs(target_.mid(target_.lastIndexOf(QLatin1Char('/')) + 1));
    if (failure.isEmpty()) {
        partial_.reset();
        report(DownloadEvent::Kind::Written);
    } else {
        writeFailed(fileCreateErrorMessage(target_, failure));
    }
}

void FileReceiver::connectionClosed() {
    if (socket_)
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
    if (cut_)
        cut_();
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
