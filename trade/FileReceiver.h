#pragma once
// One download connection's receiver, living on the download channel's own thread. Files arrive
// back to back, each a 152-byte header and TotalSize - 152 body bytes. The body goes piece by piece
// into a temporary file beside its final name, which is flushed to disk and renamed into place
// only once the last byte is in; a file that is refused, not asked for, or cut off leaves nothing
// behind. Only the piece being copied is held in memory.
//
//   Header --(kept)--> Writing --(last byte)--> Header of the next file ...
//   Header --(refused, not asked, larger than listed, no room, cannot be written)--> Draining
//          --(last byte)--> Header ...
//   any --(stalled mid-file, a flood of refused headers, a sender no longer admitted)--> Closed
//
// A connection that stops in the middle of a file (header or body) for the stall time is cut, and
// so is one that brings more than kMaxDroppedInARow refused or unasked headers in a row: no
// well-behaved peer does, and a flood of headers must not cost the program anything.

#include "trade/TransferProgress.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

#include <sys/types.h>

// A connection silent this long in the middle of a file is cut; between files it may idle.
inline constexpr int kDownloadStallMs = 60000;
// Refused or unasked headers in a row after which a connection is cut.
inline constexpr int kMaxDroppedInARow = 8;

class QObject;
class QTcpSocket;
class QTimer;

// What became of one file, or how far it has got, as the GUI thread is told.
struct DownloadEvent {
    enum class Kind {
        Progress,    // bytes of the body written so far
        Written,     // complete and renamed into place
        Refused,     // the header was not acceptable (marker, size or name): drained, dropped;
                     // `detail` says why when the header itself was valid
        NotAsked,    // not asked for, or not from the connected peer: drained, dropped
        CutOff,      // the connection ended or stalled mid-file: partial file removed
        WriteFailed, // the file could not be written: drained, dropped; `detail` says why
        Summary,     // `count` more files from `peer` were refused, unasked or cut off, untold
    };
    Kind kind = Kind::Progress;
    QByteArray name; // the header's name bytes (may be empty when the header was refused)
    qint64 done = 0; // body bytes so far
    qint64 total = 0;
    quint32 peer = 0; // the sender's IPv4 address (for a Summary, 0: several senders)
    QString detail;
    int count = 0;
};

// Where a file is written, and the most bytes it may have (the size the peer's listing gave).
struct DownloadTarget {
    QString path; // empty: the file is not to be written
    qint64 maxBytes = 0;
};

// What the receiver asks of the program. Called on the download thread: must be thread-safe.
struct DownloadRules {
    // Whether this address may send here now; checked at accept and at every file header.
    std::function<bool(quint32 peer)> acceptsFrom;
    // Where a file of this name from this peer is written, and how large it may be.
    std::function<DownloadTarget(const QByteArray& name, quint32 peer)> targetPath;
    // The save folder (with its trailing "/"), where partial files of earlier runs are looked for.
    std::function<QString()> saveFolder;
    // Where events go (called on the download thread; the owner passes them on).
    std::function<void(const DownloadEvent&)> report;
    // How long a connection may stop in the middle of a file before it is cut.
    std::function<int()> stallMs;
};

// Removes the partial files a run of this program left in folder when it ended mid-file (a crash).
// A partial file still being written, by this process or another, is locked and stays.
void removeLeftoverPartialFiles(const QString& folder);

// A file being received: created, written and renamed relative to an open descriptor of the save
// folder, so a later swap of the folder's path (or of a parent's) for a link cannot send it
// elsewhere. Hidden under a name of its own until it is kept; removed unless kept. Its writer
// holds a lock on it, by which removeLeftoverPartialFiles tells it from a crash's leftover.
class PartialFile {
public:
    PartialFile() = default;
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // Opens folder and creates a new partial file in it with the rights mode; the reason when not.
    QString create(const QString& folder, mode_t mode);
    // The reason when not all bytes could be written.
    QString write(QByteArrayView bytes);
    // Flushes it to disk and gives it the name `name` in its folder, replacing a file (or link)
    // of that name; the reason when it could not.
    QString keepAs(const QString& name);

private:
    int folderFd_ = -1;
    int fd_ = -1;
    QByteArray name_;
};

class FileReceiver {
public:
    enum class Phase { Header, Writing, Draining, Closed };

    // Receives what a plain connection's socket brings.
    FileReceiver(QTcpSocket* socket, const DownloadRules& rules);
    // Receives bytes handed to take() by its owner, from peer; `cut` ends their connection at once
    // (without a report), and the stall timer lives with `context`.
    FileReceiver(quint32 peer, QObject* context, std::function<void()> cut,
                 const DownloadRules& rules);
    ~FileReceiver(); // removes a partial file

    // Reads what is waiting on the socket, as the phase says.
    void readAvailable();
    // Takes the next bytes of the stream, as readAvailable takes the socket's.
    void take(QByteArrayView bytes);
    // The stream has reached a point where a file must have ended: one cut off there is dropped
    // and the connection is cut.
    void expectFileBoundary();
    // The connection has ended: a file in the middle is cut off.
    void connectionClosed();
    // Cuts the connection at once, without a report: its sender may no longer send here.
    void shut();

    Phase phase() const { return phase_; }
    quint32 peer() const { return peer_; }

private:
    static constexpr mode_t kNewFileMode = 0666; // a new file's rights before the process's mask
    static constexpr mode_t kDefaultUmask = 022;
    static mode_t processUmask();

    // The one place the phase changes; a drain keeps its reason. Closed is final.
    void setPhase(Phase next, DownloadEvent::Kind drainReason = DownloadEvent::Kind::Refused);
    qint64 bytesWanted() const;
    void takeHeaderPiece(QByteArrayView piece);
    void takeBodyPiece(QByteArrayView piece);
    void startFile();
    bool openPartialFile();
    void finishFile();
    void cutOff();
    void close();
    void drain(DownloadEvent::Kind reason, const QString& detail = {});
    QString sizeRefusal(qint64 maxBytes) const;
    void writeFailed(const QString& detail);
    void endOfFile();
    void report(DownloadEvent::Kind kind, const QString& detail = {});
    bool midFile() const;
    void takePiece(QByteArrayView piece);
    void armStall();

    QTcpSocket* socket_ = nullptr; // when receiving from a plain connection's socket
    std::function<void()> cut_;
    const DownloadRules& rules_;
    quint32 peer_;
    Phase phase_ = Phase::Header;
    QByteArray header_; // in Header: the header bytes so far
    QByteArray name_;
    qint64 bodyTotal_ = 0;
    qint64 bodyDone_ = 0;
    std::unique_ptr<PartialFile> partial_; // in Writing: the file being written
    QString target_;
    DownloadEvent::Kind drainReason_ = DownloadEvent::Kind::Refused; // in Draining: why
    QString drainDetail_;
    int droppedInARow_ = 0;
    QByteArray buffer_;
    ProgressThrottle throttle_;
    std::unique_ptr<QTimer> stall_;
};
