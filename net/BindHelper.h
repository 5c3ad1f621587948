#pragma once
// Listening on a default port below 1024 without holding a privilege: the program itself never
// carries a capability (it loads Qt, and Qt loads plugins the user names), so it asks vorlax-bind,
// a tiny capable helper of its own, to open the listener and hand the socket over. Only the
// default plan's listening ports are asked for; any other low port needs what any program needs.

#include <QString>

#include <cstdint>

// True when a listener that could not bind `port` itself may ask the helper: a default listening
// port below 1024.
bool mayAskBindHelper(std::uint16_t port);

// Where this program looks for the helper: beside it in a build folder, where the install rules put
// it otherwise.
QString bindHelperPath();

// A TCP socket listening on address:port (IPv4, host byte order), opened by the helper; -1 with
// the reason in `error` when there is no helper or it refused or failed. Waits for the helper a
// few seconds at most.
int listenThroughBindHelper(std::uint32_t address, std::uint16_t port, QString& error);
