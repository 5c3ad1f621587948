#pragma once
// What the program and its port helper vorlax-bind share: the ports the helper opens, and the one
// message by which it hands a listening socket over.
//
// The listening ports of the default port plan (chat 484, trade 488, plot 501, download 400, and
// 500, the download port a copy listens on after "Switch Ports"). They are all below 1024, where
// Linux lets only privileged programs listen; vorlax-bind opens these, and only these, for an
// ordinary user. Plain C++ with no Qt: the helper includes it too.

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>

inline constexpr std::uint16_t kDefaultListenPorts[] = {400, 484, 488, 500, 501};

inline constexpr bool isDefaultListenPort(long port) {
    for (const std::uint16_t p : kDefaultListenPorts) {
        if (p == port)
            return true;
    }
    return false;
}

// The hand-over: one byte, 'L', whose control part carries one descriptor (SCM_RIGHTS).
inline constexpr char kHandOverByte = 'L';

struct DescriptorMessage {
    char byte = kHandOverByte;
    iovec part{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};

    DescriptorMessage() {
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};
