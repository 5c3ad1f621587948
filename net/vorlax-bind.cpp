// vorlax-bind ADDRESS PORT: the one part of Vorlax that holds a capability
// (cap_net_bind_service, given by the package). It opens a TCP listener on ADDRESS (dotted IPv4)
// and PORT, which must be one of the default plan's listening ports (net/BindHelperWire.h),
// and hands the listening socket to the program that started it, then ends.
//
// The program starts it with its standard input being one end of a Unix stream socket pair. On
// success the helper sends one byte carrying the listening socket as SCM_RIGHTS, and exits
// with 0; a refused request (another port, a malformed address, no socket on standard input)
// exits with 2, a failed bind with 1, each with one line on standard error.
//
// Deliberately small: no Qt, no plugins, no name lookups (which could load modules), nothing read
// from the environment. The kernel marks a program started with file capabilities as secure, so the
// dynamic loader ignores LD_PRELOAD and its kin.
#include "net/BindHelperWire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kRefused = 2;
constexpr int kBindFailed = 1;
constexpr int kBacklog = 5;
constexpr int kPeerSocket = STDIN_FILENO;

int refuse(const char* what, const char* value) {
    std::fprintf(stderr, "vorlax-bind: refused: %s%s\n", what, value);
    return kRefused;
}

// Digits only, no sign, no leading blanks; 0 when it is no port number.
long parsePort(const char* text) {
    long port = 0;
    if (*text == '\0')
        return 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || port > 65535)
            return 0;
        port = port * 10 + (*c - '0');
    }
    return port;
}

bool isUnixStreamSocket(int fd) {
    int domain = 0;
    int type = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0)
        return false;
    length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
        return false;
    return domain == AF_UNIX && type == SOCK_STREAM;
}

int listenOn(const in_addr& address, long port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(fd, kBacklog) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool handOver(int listener) {
    DescriptorMessage handed;
    cmsghdr* header = CMSG_FIRSTHDR(&handed.message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &listener, sizeof listener);
    return ::sendmsg(kPeerSocket, &handed.message, MSG_NOSIGNAL) == 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return refuse("usage: vorlax-bind ADDRESS PORT", "");
    const long port = parsePort(argv[2]);
    if (!isDefaultListenPort(port))
        return refuse("not a default listening port of Vorlax: ", argv[2]);
    in_addr address{};
    if (::inet_pton(AF_INET, argv[1], &address) != 1)
        return refuse("not an IPv4 address: ", argv[1]);
    if (!isUnixStreamSocket(kPeerSocket))
        return refuse("standard input is not the program's socket", "");
    const int listener = listenOn(address, port);
    if (listener < 0) {
        std::fprintf(stderr, "vorlax-bind: %s:%ld: %s\n", argv[1], port, std::strerror(errno));
        return kBindFailed;
    }
    return handOver(listener) ? EXIT_SUCCESS : kBindFailed;
}
