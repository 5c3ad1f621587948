#pragma once
// Host and port texts of the line-channel endpoints, turned into what a socket takes.

#include <QString>

#include <cstdint>
#include <optional>

// Whether a host text is a name to be looked up (anything not empty that does not start with a
// digit); the client looks names up on the network thread without waiting (first IPv4 address).
bool isHostName(const QString& host);
// The IPv4 address (host byte order) of a host text that is not a name: empty is 0.0.0.0, a text
// starting with a digit is read as dotted IPv4. Nothing for a name, or a text that is no address.
std::optional<uint32_t> hostAddress(const QString& host);

// The port a port text stands for: empty is 0, a service name of the system's services database is
// that service's TCP port, anything else is read as an integer and cut to 16 bits. Text that is
// none of these raises ProgramError with the integer conversion message.
uint16_t resolvePort(const QString& port);
