#pragma once
// A name lookup that a cancel can end. getaddrinfo cannot be interrupted, and a name server that
// never answers holds it for many seconds, so the lookup runs on a thread of its own and the caller
// waits for it together with a cancel descriptor. A cancelled lookup is left to finish on its own;
// its result is dropped.

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <optional>

using LookupWork = std::function<std::optional<uint32_t>()>;

// Runs `work` on a thread of its own and waits for its result; nothing when cancelFd (an event
// descriptor, -1 for none) turns readable first. `work` may outlive the call, so it must own
// everything it uses.
std::optional<uint32_t> runAbandonable(LookupWork work, int cancelFd);

// The first IPv4 address of a host name, looked up with the system's resolver; nothing when the
// name does not resolve or cancelFd turns readable first.
std::optional<uint32_t> lookUpHost(const QByteArray& name, int cancelFd);
