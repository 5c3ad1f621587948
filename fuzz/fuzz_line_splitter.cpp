// The line splitter of the line channels (chat, trade, plot), fed through a real socket: the input
// arrives in pieces cut at places the input chooses, so a CR LF split between two receives is met.
// Every line comes back exactly as sent, then the rest after the last CR LF, then nothing.
//
// Input: two bytes seed the piece sizes, the rest is what the peer sends.
#include "fuzz/FuzzCheck.h"

#include "net/TcpChannel.h"

#include <QList>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr int kMaxPieces = 64;     // few enough that all of them fit the socket's send buffer
constexpr int kMaxPieceBytes = 61; // small pieces, so line ends fall across receives

// The lines a sender's bytes hold, and the rest after the last line end: the splitter's model.
QList<QByteArray> expectedLines(const QByteArray& bytes) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype end = bytes.indexOf("\r\n"); end >= 0; end = bytes.indexOf("\r\n", start)) {
        lines.append(bytes.mid(start, end - start));
        start = end + 2;
    }
    lines.append(bytes.mid(start));
    return lines;
}

// Sends the bytes as separate packets, so each receive takes at most one piece.
void sendInPieces(int fd, const QByteArray& bytes, uint32_t seed) {
    qsizetype sent = 0;
    for (int piece = 0; sent < bytes.size(); ++piece) {
        seed = seed * 1103515245u + 12345u;
        qsizetype length = 1 + (seed >> 16) % kMaxPieceBytes;
        if (piece == kMaxPieces - 1)
            length = bytes.size() - sent;
        length = std::min(length, bytes.size() - sent);
        const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(length), MSG_NOSIGNAL);
        FUZZ_CHECK(n == length);
        sent += length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 32 * 1024)
        return 0;
    const uint32_t seed = uint32_t(data[0]) << 8 | data[1];
    const QByteArray bytes = fuzz::bytesOf(data + 2, size - 2);

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0);
    sendInPieces(fds[0], bytes, seed);
    ::shutdown(fds[0], SHUT_WR);

    TCustomIpClient client(fds[1], QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    for (const QByteArray& line : expectedLines(bytes))
        FUZZ_CHECK(client.ReceiveLine() == line);
    FUZZ_CHECK(client.ReceiveLine().isEmpty());
    ::close(fds[0]);
    return 0;
}
