// File transfer on the download channel. The uploader announces each file in both chat logs and
// streams it, header first, on DownloadClient; the downloader's listener streams it into the save
// folder (when this copy asked for it, from its peer) and, after the Timer1 delay, this copy asks
// for the next file on the trade channel. Both sockets move the bytes on the network thread; the
// window only shows progress and acts on each file's outcome.

#include "app/MainForm.h"

#include "common/AnsiText.h"
#include "common/DisplayText.h"
#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "trade/FileHeader.h"
#include "trade/TransferBar.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTimer>

#include <utility>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kSendNextFile = QStringLiteral("§§-SendNextFile-§§");
const QString kDownloadAnnouncement = QStringLiteral("Download: ");
const QString kUploadAnnouncement = QStringLiteral("Upload: ");
const QString kMissingFileMessage = QStringLiteral("File does not exists.");
const QString kFileTooLargeMessage = QStringLiteral("File is too large to send.");
const QString kNotARegularFile = QStringLiteral("not a regular file of the trade folder");
constexpr int kAttemptPollMs = 50;

QString addressText(quint32 ipv4) {
    return QHostAddress(ipv4).toString();
}
} // namespace

void TForm1::setUpDownloadChannel() {
    DownloadServer = new TServerSocket(this, *network_, windowMail_);
    DownloadClient = new TClientSocket(this, *network_, windowMail_);
    DownloadClient->setActive(false);
    DownloadServer->setActive(false);
    connect(DownloadServer, &TServerSocket::clientRead, this,
            [this](TServerSocket* sender, const DownloadEvent& event) {
                guarded([&] { DownloadServerClientRead(sender, event); });
            });
    connect(DownloadClient, &TClientSocket::error, this,
            [this](int, const QString& message) { reportDownloadError(message); });
    connect(DownloadClient, &TClientSocket::progress, this,
            [this](const QByteArray& name, qint64 sent, qint64 total, bool ended) {
                transferBar_->showProgress(ansi::decode(name), sent, total);
                if (ended)
                    transferBar_->finish(sent == total);
            });
    transferBar_ = new TransferBar(StatusBar1);
    StatusBar1->addPermanentWidget(transferBar_);
    // Files are written into the save folder as the field names it at the moment they arrive.
    DownloadServer->setSaveFolder(Edit1->text());
    connect(Edit1, &QLineEdit::textChanged, this,
            [this](const QString& folder) { DownloadServer->setSaveFolder(folder); });
}

void TForm1::resetAskedFiles(const QList<QByteArray>& names, const QList<qint64>& listedSizes) {
    askedFiles.reset(names, listedSizes);
    DownloadServer->setAskedFiles(askedFiles);
}

// One upload, step by step: the pause before, taking the file, the announcement on the chat
// channel, the file itself (handed to the download client once the announcement went out), the
// pause after. Only one upload runs at a time; a call that comes meanwhile is owed once, so a flood
// of requests costs one upload, not one each. A user's connection action calls the pauses off,
// which ends the upload under way.
void TForm1::UploadNextFile() {
    VORLAX_ON_THREAD_OF(this);
    if (agreement.uploadRequested(SendQueue.isEmpty()) != TradeAgreement::Action::Upload)
        return;
    const uint64_t round = uploadPauses_.round();
    uploadPauses_.pause(tradePauseMs(), round,
                        [this, round](bool whole) { whole ? startUpload(round) : finishUpload(); });
}

void TForm1::startUpload(uint64_t round) {
    VORLAX_ON_THREAD_OF(this);
    if (round != uploadPauses_.round()) { // called off since the pause ended
        finishUpload();
        return;
    }
    const QString path = takeNextUpload();
    if (path.isEmpty()) {
        finishUpload();
        return;
    }
    ChatClient->send({{ansi::encode(kDownloadAnnouncement + path)}}, [this, path, round](int) {
        appendChatLog(kUploadAnnouncement + shownText(path));
        guarded([&] { SendFileStream(path); });
        uploadPauses_.pause(tradePauseMs(), round, [this](bool) { finishUpload(); });
    });
}

void TForm1::finishUpload() {
    if (agreement.uploadEnded() == TradeAgreement::Action::Upload)
        UploadNextFile();
}

// The file is checked again on what was opened, not on the name: between the listing and the
// upload, someone who may write the trade folder could have put a symbolic link (to a file of
// this user's elsewhere) or a pipe in its place.
void TForm1::SendFileStream(const QString& path) {
    if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink()) {
        showQueuedMessage(kMissingFileMessage);
        return;
    }
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const QString reason =
            fd < 0 && errno != ELOOP ? QString::fromLocal8Bit(strerror(errno)) : kNotARegularFile;
        if (fd >= 0)
            ::close(fd);
        reportError(fileOpenErrorMessage(path, reason));
        return;
    }
    const qint64 size = status.st_size;
    if (size > kMaxSendableFileBytes) {
        ::close(fd);
        reportError(kFileTooLargeMessage);
        return;
    }
    auto file = std::make_unique<QFile>();
    file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray header = encodeFileHeader(ansi::encode(bareFileName(path)), size);
    DownloadClient->SendFile(header, std::move(file), size);
}

// What became of a file arriving on the download channel, or how far it has got. Runs on the GUI
// thread after the listener's read has returned, so nothing here can pull a socket from under it.
void TForm1::DownloadServerClientRead(TServerSocket*, const DownloadEvent& event) {
    using Kind = DownloadEvent::Kind;
    const QString name = shownText(ansi::decode(event.name));
    const bool fromPeer = event.peer != 0 && event.peer == connectedPeer;
    switch (event.kind) {
    case Kind::Progress:
        transferBar_->showProgress(name, event.done, event.total);
        return;
    case Kind::Written:
        transferBar_->showProgress(name, event.done, event.total);
        transferBar_->finish(true);
        break;
    case Kind::Refused:
        Memo1->appendPlainText(
            event.detail.isEmpty()
                ? QStringLiteral("Dropped a file from %1: its header was not valid.")
                      .arg(addressText(event.peer))
                : QStringLiteral("Refused \"%1\" from %2: %3; nothing was kept.")
                      .arg(name, addressText(event.peer), event.detail));
        break;
    case Kind::NotAsked:
        Memo1->appendPlainText(QStringLiteral("Dropped \"%1\" from %2: it was not asked for.")
                                   .arg(name, addressText(event.peer)));
        break;
    case Kind::CutOff:
        transferBar_->finish(false);
        Memo1->appendPlainText(
            QStringLiteral("Download of \"%1\" broke off; the partial file was removed.")
                .arg(name));
        return;
    case Kind::Summary:
        // The drops of a flood, told as one line a second; those from the peer still ask for the
        // next file, as each would have.
        transferBar_->finish(false);
        Memo1->appendPlainText(QStringLiteral("%1 more files dropped from %2")
                                   .arg(event.count)
                                   .arg(event.peer != 0 ? addressText(event.peer)
                                                        : QStringLiteral("other addresses")));
        break;
    case Kind::WriteFailed:
        transferBar_->finish(false);
        reportError(event.detail);
        return;
    }
    // The peer gets its next-file request also for a file refused here, so a trade never stalls;
    // a file from elsewhere gets none.
    if (fromPeer && !Timer1->isActive())
        linkAtFullSpeed() ? Timer1Timer() : Timer1->start();
}

// A failure of the download client while a Connect is running belongs to that attempt: it is
// told only if the attempt succeeds, since a failed Connect shows nothing but the yellow ball.
void TForm1::reportDownloadError(const QString& message) {
    if (!attemptRunning()) {
        if (linkState_ == LinkState::Connected)
            reportError(message);
        return;
    }
    QTimer::singleShot(kAttemptPollMs, this, [this, message] { reportDownloadError(message); });
}

// Provoked by the peer's file: held once in the trade client's queue, however many files came.
void TForm1::Timer1Timer() {
    VORLAX_ON_THREAD_OF(this);
    Timer1->stop();
    TradeClient->send({{ansi::encode(kSendNextFile)}, false, kNextFileRequest});
}
