#pragma once
// One download connection's receiver, living on the download channel's own thread. Files arrive
// back to back, each a 152-byte header and TotalSize - 152 body bytes. The body goes piece by piece
// into a temporary file beside its final name, which is flushed to disk and renamed into place
// only once the last byte is in; a file that is refused, not asked for, or cut off leaves nothing
// behind. Only the piece being copied is held in memory.
//
//   header -> body (writing or draining) -> header of the next file ...
//
// A connection that stops in the middle of a file (header or body) for the stall time is cut.

#include "trade/TransferProgress.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

#include <sys/types.h>

// A connection silent this long in the middle of a file is cut; between files it may idle.
inline constexpr int kDownloadStallMs = 60000;

class QTcpSocket;
class QTemporaryFile;
class QTimer;

// What became of one file, or how far it has got, as the GUI thread is told.
struct DownloadEvent {
    enum class Kind {
        Progress,    // bytes of the body written so far
        Written,     // complete and renamed into place
        Refused,     // the header was not acceptable (marker, size or name): drained, dropped
        NotAsked,    // not asked for, or not from the connected peer: drained, dropped
        CutOff,      // the connection ended or stalled mid-file: partial file removed
        WriteFailed, // the file could not be written: drained, dropped; `detail` says why
    };
    Kind kind = Kind::Progress;
    QByteArray name; // the header's name bytes (may be empty when the header was refused)
    qint64 done = 0; // body bytes so far
    qint64 total = 0;
    quint32 peer = 0; // the sender's IPv4 address
    QString detail;
};

// What the receiver asks of the program. Called on the download thread: must be thread-safe.
struct DownloadRules {
    // The path a file of this name from this peer is written to, or an empty text when it is not
    // to be written.
    std::function<QString(const QByteArray& name, quint32 peer)> targetPath;
    // Where events go (called on the download thread; the owner passes them on).
    std::function<void(const DownloadEvent&)> report;
    // How long a connection may stop in the middle of a file before it is cut.
    std::function<int()> stallMs;
};

class FileReceiver {
public:
    FileReceiver(QTcpSocket* socket, const DownloadRules& rules);
    ~FileReceiver(); // removes a partial file

    // Reads what is waiting, writing or draining as the current file's state says.
    void readAvailable();
    // The connection has ended: a file in the middle is cut off.
    void connectionClosed();

private:
    static constexpr mode_t kNewFileMode = 0666; // a new file's rights before the process's mask
    static constexpr mode_t kDefaultUmask = 022;
    static mode_t processUmask();

    qint64 bytesWanted() const;
    void takeHeaderPiece(const QByteArray& piece);
    void startFile();
    void finishFile();
    void cutOff();
    void dropPartialFile();
    void fail(DownloadEvent::Kind kind, const QString& detail = {});
    void report(DownloadEvent::Kind kind);
    void reportProgress();
    bool midFile() const;

    QTcpSocket* socket_;
    const DownloadRules& rules_;
    quint32 peer_;
    QByteArray header_;
    QByteArray name_;
    qint64 bodyTotal_ = 0;
    qint64 bodyDone_ = 0;
    bool inBody_ = false;
    std::unique_ptr<QTemporaryFile> partial_; // null while draining
    QString target_;
    DownloadEvent::Kind outcome_ = DownloadEvent::Kind::Written; // what finishing the file means
    QString failureDetail_;
    QByteArray buffer_;
    ProgressThrottle throttle_;
    std::unique_ptr<QTimer> stall_;
};
