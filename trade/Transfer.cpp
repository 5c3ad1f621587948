// File transfer on the download channel. The uploader announces each file in both chat logs and
// sends it as one stream, header first, on DownloadClient; the downloader gathers it across read
// events, writes it into the save folder and, after the Timer1 delay, asks for the next file on
// the trade channel.

#include "app/MainForm.h"

#include "common/AnsiText.h"
#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "trade/FileHeader.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSaveFile>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace {
const QString kSendNextFile = QStringLiteral("§§-SendNextFile-§§");
const QString kDownloadAnnouncement = QStringLiteral("Download: ");
const QString kUploadAnnouncement = QStringLiteral("Upload: ");
const QString kMissingFileMessage = QStringLiteral("File does not exists.");
const QString kFileTooLargeMessage = QStringLiteral("File is too large to send.");
const QString kReceiveStateName = QStringLiteral("downloadReceiveState");
constexpr qint64 kReceiveBufferBytes = 0x40000;

// What one download connection has gathered of the file now arriving. It lives as a child of its
// socket, so a connection that closes mid-file takes its partial file with it.
class DownloadReceiveState : public QObject {
public:
    explicit DownloadReceiveState(QObject* socket) : QObject(socket) {
        setObjectName(kReceiveStateName);
    }

    // How many bytes the current file still needs: the rest of the header, then the rest of the
    // body. Reading no more than this keeps the next file's header for the next round.
    qint64 bytesWanted() const {
        return gatheringHeader() ? kFileHeaderBytes - header_.size() : bodyRemaining_;
    }

    // Takes bytes of the current file; true when the file is now complete.
    bool take(const QByteArray& piece) {
        if (gatheringHeader()) {
            header_ += piece;
            if (gatheringHeader())
                return false;
            bodyRemaining_ = std::max<qint64>(0, fileHeaderTotalSize(header_) - kFileHeaderBytes);
            decoded_ = decodeFileHeader(header_);
        } else {
            bodyRemaining_ -= piece.size();
            if (decoded_) // a refused header's file is received but not kept
                body_ += piece;
        }
        return bodyRemaining_ == 0;
    }

    const std::optional<FileHeader>& header() const { return decoded_; }
    const QByteArray& body() const { return body_; }

    void reset() {
        header_.clear();
        body_.clear();
        bodyRemaining_ = 0;
        decoded_.reset();
    }

private:
    bool gatheringHeader() const { return header_.size() < kFileHeaderBytes; }

    QByteArray header_;
    QByteArray body_;
    qint64 bodyRemaining_ = 0;
    std::optional<FileHeader> decoded_;
};

DownloadReceiveState* receiveStateOf(QTcpSocket* socket) {
    for (QObject* child : socket->children())
        if (child->objectName() == kReceiveStateName)
            if (auto* state = dynamic_cast<DownloadReceiveState*>(child))
                return state;
    return new DownloadReceiveState(socket);
}
} // namespace

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
        appendChatLog(kUploadAnnouncement + path);
        SendFileStream(path);
        pauseUpload(pauseMs);
    });
}

void TForm1::SendFileStream(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        runOn(this, [this] { dialogs_.showMessage(kMissingFileMessage); });
        return;
    }
    if (info.size() > kMaxSendableFileBytes) {
        runOn(this, [this] { reportError(kFileTooLargeMessage); });
        return;
    }
    QFile file(path);
    QByteArray stream;
    if (file.open(QIODevice::ReadOnly)) {
        stream = encodeFileHeader(ansi::encode(bareFileName(path)), info.size());
        stream += file.readAll();
    }
    if (file.error() != QFileDevice::NoError) {
        const QString message = fileOpenErrorMessage(path, file.errorString());
        runOn(this, [this, message] { reportError(message); });
        return;
    }
    DownloadClient->SendWholeStream(std::move(stream));
}

void TForm1::DownloadServerClientRead(TServerSocket*, QTcpSocket* socket) {
    DownloadReceiveState* state = receiveStateOf(socket);
    QByteArray piece;
    while (socket->bytesAvailable() > 0) {
        piece.resize(std::min(state->bytesWanted(), kReceiveBufferBytes));
        const qint64 got = socket->read(piece.data(), piece.size());
        if (got < 0) {
            const QString message = socket->errorString();
            socket->abort();
            reportError(message);
            return;
        }
        piece.resize(got);
        if (!state->take(piece))
            continue;
        const bool written = writeDownloadedFile(state->header(), state->body());
        state->reset();
        if (written && !Timer1->isActive())
            Timer1->start();
    }
}

// Writes a completed file into the save folder, replacing one of the same name. A refused
// header's file is dropped, which still counts as done.
bool TForm1::writeDownloadedFile(const std::optional<FileHeader>& header, const QByteArray& body) {
    if (!header)
        return true;
    QSaveFile file(Edit1->text() + ansi::decode(header->name));
    if (file.open(QIODevice::WriteOnly) && file.write(body) == body.size() && file.commit())
        return true;
    reportError(fileCreateErrorMessage(file.fileName(), file.errorString()));
    return false;
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
