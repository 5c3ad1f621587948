#include "net/BindHelper.h"

#include "net/BindHelperWire.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint16_t kFirstUnprivilegedPort = 1024;
constexpr int kHelperDeadlineMs = 5000;
constexpr char kHelperName[] = "vorlax-bind";

int receiveListener(int fd) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, kHelperDeadlineMs) <= 0)
        return -1;
    DescriptorMessage handed;
    if (::recvmsg(fd, &handed.message, MSG_CMSG_CLOEXEC) != 1 || handed.byte != kHandOverByte ||
        (handed.message.msg_flags & MSG_CTRUNC))
        return -1;
    const cmsghdr* header = CMSG_FIRSTHDR(&handed.message);
    if (!header || header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS ||
        header->cmsg_len != CMSG_LEN(sizeof(int)))
        return -1;
    int listener = -1;
    std::memcpy(&listener, CMSG_DATA(header), sizeof listener);
    return listener;
}

// Starts the helper with `childEnd` as its standard input and an empty environment.
pid_t startHelper(const QByteArray& path, const QByteArray& address, const QByteArray& port,
                  int childEnd) {
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, childEnd, STDIN_FILENO);
    char* argv[] = {const_cast<char*>(path.constData()), const_cast<char*>(address.constData()),
                    const_cast<char*>(port.constData()), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, path.constData(), &actions, nullptr, argv, envp);
    ::posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

} // namespace

// The installed helper lies at a fixed place relative to the program (set by the install rules);
// a program run from its build folder finds the helper built beside it.
QString bindHelperPath() {
    const QString bin = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const QFileInfo installed(bin + QStringLiteral(VORLAX_BIND_HELPER_FROM_BIN));
    if (installed.isExecutable())
        return installed.canonicalFilePath();
    return bin + QLatin1String(kHelperName);
}

bool mayAskBindHelper(std::uint16_t port) {
    return port < kFirstUnprivilegedPort && isDefaultListenPort(port);
}

int listenThroughBindHelper(std::uint32_t address, std::uint16_t port, QString& error) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    in_addr raw{htonl(address)};
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &raw, dotted, sizeof dotted);
    const QString path = bindHelperPath();
    const pid_t pid = startHelper(path.toLocal8Bit(), dotted, QByteArray::number(port), ends[1]);
    ::close(ends[1]);
    const int listener = pid < 0 ? -1 : receiveListener(ends[0]);
    ::close(ends[0]);
    if (pid > 0) {
        if (listener < 0)
            ::kill(pid, SIGKILL); // a helper that did not answer in time
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (listener < 0)
        error = QStringLiteral("%1 could not open the port for this program").arg(path);
    return listener;
}
