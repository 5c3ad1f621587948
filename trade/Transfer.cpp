// File transfer on the download channel. The uploader announces each file in both chat logs and
// streams it, header first, on DownloadClient; the downloader's listener streams it into the save
// folder (when this copy asked for it, from its peer) and, after the Timer1 delay, this copy asks
// for the next file on the trade channel. Both sockets move the bytes on threads of their own; the
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

#include <chrono>

namespace {
const QString kSendNextFile = QStringLiteral("§§-SendNextFile-§§");
const QString kDownloadAnnouncement = QStringLiteral("Download: ");
const QString kUploadAnnouncement = QStringLiteral("Upload: ");
const QString kMissingFileMessage = QStringLiteral("File does not exists.");
const QString kFileTooLargeMessage = QStringLiteral("File is too large to send.");
constexpr int kIconGreen = 2;
constexpr int kAttemptPollMs = 50;

QString addressText(quint32 ipv4) {
    return QHostAddress(ipv4).toString();
}
} // namespace

void TForm1::setUpDownloadChannel() {
    DownloadServer = new TServerSocket(this);
    DownloadClient = new TClientSocket(this);
    DownloadClient->setActive(false);
    DownloadServer->setActive(false);
    DownloadRules& rules = DownloadServer->rules;
    // While connected, only the peer's address may open a download connection or send a file.
    rules.acceptsFrom = [this](quint32 peer) {
        const quint32 connected = connectedPeer.load();
        return connected == 0 || peer == connected;
    };
    rules.stallMs = [this] { return downloadStallMs.load(); };
    rules.targetPath = [this](const QByteArray& name, quint32 peer) {
        if (peer == 0 || peer != connectedPeer.load() || !askedFiles.take(name))
            return QString();
        std::lock_guard lock(saveFolderMutex_);
        return saveFolder_ + ansi::decode(name);
    };
    rules.saveFolder = [this] {
        std::lock_guard lock(saveFolderMutex_);
        return saveFolder_;
    };
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
    auto takeSaveFolder = [this](const QString& folder) {
        std::lock_guard lock(saveFolderMutex_);
        saveFolder_ = folder;
    };
    takeSaveFolder(Edit1->text());
    connect(Edit1, &QLineEdit::textChanged, this, takeSaveFolder);
}

bool TForm1::pauseUpload(int ms) {
    std::unique_lock lock(uploadPauseMutex_);
    uploadPauseWake_.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return closingUploads_.load(); });
    return !closingUploads_.load();
}

void TForm1::stopUploadPauses() {
    {
        std::lock_guard lock(uploadPauseMutex_);
        closingUploads_ = true;
    }
    uploadPauseWake_.notify_all();
}

void TForm1::UploadNextFile() {
    uploadWorker_->post([this] {
        bool queued = false;
        int pauseMs = 0;
        runOn(this, [&] {
            queued = !SendQueue.isEmpty();
            pauseMs = uploadPauseMs;
        });
        if (!queued || !pauseUpload(pauseMs))
            return;
        QString path;
        runOn(this, [&] { path = takeNextUpload(); });
        if (path.isEmpty())
            return;
        {
            auto lock = ChatClient->lockMessage();
            ChatClient->SendLine(kDownloadAnnouncement + path);
            ChatClient->Disconnect();
            ChatClient->Connect();
        }
        appendChatLog(kUploadAnnouncement + shownText(path));
        SendFileStream(path);
        pauseUpload(pauseMs);
    });
}

void TForm1::SendFileStream(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        showQueuedMessage(kMissingFileMessage);
        return;
    }
    if (info.size() > kMaxSendableFileBytes) {
        reportError(kFileTooLargeMessage);
        return;
    }
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) {
        reportError(fileOpenErrorMessage(path, file->errorString()));
        return;
    }
    const QByteArray header = encodeFileHeader(ansi::encode(bareFileName(path)), info.size());
    DownloadClient->SendFile(header, std::move(file), info.size());
}

// What became of a file arriving on the download channel, or how far it has got. Runs on the GUI
// thread after the listener's read has returned, so nothing here can pull a socket from under it.
void TForm1::DownloadServerClientRead(TServerSocket*, const DownloadEvent& event) {
    using Kind = DownloadEvent::Kind;
    const QString name = shownText(ansi::decode(event.name));
    const bool fromPeer = event.peer != 0 && event.peer == connectedPeer.load();
    switch (event.kind) {
    case Kind::Progress:
        transferBar_->showProgress(name, event.done, event.total);
        return;
    case Kind::Written:
        transferBar_->showProgress(name, event.done, event.total);
        transferBar_->finish(true);
        break;
    case Kind::Refused:
        Memo1->appendPlainText(QStringLiteral("Dropped a file from %1: its header was not valid.")
                                   .arg(addressText(event.peer)));
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
        Timer1->start();
}

// A failure of the download client while a Connect is running belongs to that attempt: it is
// told only if the attempt succeeds, since a failed Connect shows nothing but the yellow ball.
void TForm1::reportDownloadError(const QString& message) {
    if (!attemptRunning_) {
        if (statusIconIndex == kIconGreen)
            reportError(message);
        return;
    }
    QTimer::singleShot(kAttemptPollMs, this, [this, message] { reportDownloadError(message); });
}

void TForm1::Timer1Timer() {
    Timer1->stop();
    netWorker_->post([this] {
        auto lock = TradeClient->lockMessage();
        TradeClient->SendLine(kSendNextFile);
        TradeClient->Disconnect();
        TradeClient->Connect();
    });
}
