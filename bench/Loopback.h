#pragma once
// A listening TCP socket on 127.0.0.1 at a port the system chose, for the benchmarks' plain
// socket baselines.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

// Returns the listening descriptor; *address is where to connect.
inline int listenOnLoopback(sockaddr_in* address) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(address), sizeof *address);
    ::listen(listener, 1);
    socklen_t length = sizeof *address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(address), &length);
    return listener;
}
