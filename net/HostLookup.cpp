#include "net/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// What the lookup thread and the waiting caller share; whichever lets go last closes it.
struct Pending {
    std::mutex mutex;
    std::optional<uint32_t> result;
    int doneFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Pending() {
        if (doneFd >= 0)
            ::close(doneFd);
    }
};

std::optional<uint32_t> systemLookup(const QByteArray& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    const auto* first = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const uint32_t address = ntohl(first->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return address;
}

} // namespace

std::optional<uint32_t> runAbandonable(LookupWork work, int cancelFd) {
    auto pending = std::make_shared<Pending>();
    if (pending->doneFd < 0 || cancelFd < 0)
        return work();
    std::thread([pending, work = std::move(work)] {
        const std::optional<uint32_t> result = work();
        {
            std::lock_guard lock(pending->mutex);
            pending->result = result;
        }
        [[maybe_unused]] const int written = ::eventfd_write(pending->doneFd, 1);
    }).detach();
    for (;;) {
        pollfd watched[2] = {{pending->doneFd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        const int ready = ::poll(watched, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || watched[1].revents != 0)
            return std::nullopt;
        if (watched[0].revents != 0) {
            std::lock_guard lock(pending->mutex);
            return pending->result;
        }
    }
}

std::optional<uint32_t> lookUpHost(const QByteArray& name, int cancelFd) {
    return runAbandonable([name] { return systemLookup(name); }, cancelFd);
}
