#pragma once
// The bounds and times of a line-message channel, shared by its endpoints (net/TcpChannel.h).

constexpr int kMaxLineBytes = 1024 * 1024; // longest line a receiver buffers, CR LF not counted
constexpr int kBacklog = 5;                // pending connections a listener's queue holds
constexpr int kWorkersPerListener = 10;    // accept handlers of one listener running at once
constexpr int kConnectTimeoutMs = 3000;    // one connection attempt gives up after this
constexpr int kSendTimeoutMs = 10000; // one line that the peer does not take gives up after this
constexpr int kMessageDeadlineMs = 10000; // a begun message must end within this
// Accepted connections one listener holds outside its handlers: idle ones and those whose message
// has begun but waits for a worker, together.
constexpr int kMaxHeldConnections = 64;
