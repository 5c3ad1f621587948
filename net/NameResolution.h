#pragma once
// Host and port texts of the line-channel endpoints, turned into what a socket takes.

#include <QString>

#include <cstdint>
#include <optional>

// The IPv4 address (host byte order) a host text stands for: empty is 0.0.0.0, a text starting with
// a digit is read as dotted IPv4, anything else is looked up by name (first IPv4 address).
// Nothing when the text is not an address or the name does not resolve, or when cancelFd (an event
// descriptor, -1 for none) turns readable while the name is being looked up.
std::optional<uint32_t> resolveHost(const QString& host, int cancelFd = -1);

// The port a port text stands for: empty is 0, a service name of the system's services database is
// that service's TCP port, anything else is read as an integer and cut to 16 bits. Text that is
// none of these raises ProgramError with the integer conversion message.
uint16_t resolvePort(const QString& port);
