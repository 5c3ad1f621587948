#pragma once
// The two endpoints of a line-message channel, on blocking POSIX sockets.
//
// Wire format: a message is one or more lines on a connection of its own, each line being its bytes
// (no CR LF pair, no zero byte) followed by CR LF (0x0D 0x0A). The end of the connection ends the
// message; there is no header, length or acknowledgement, and the listener's side never writes.
//
// A sender writes its lines, disconnects and at once connects again, so one idle connection always
// waits at the peer for the next message. The listener keeps accepted connections on its dispatcher
// thread while they are idle and hands each to a worker thread once its first bytes (or its end)
// arrive; the worker runs the accept handler, which reads lines until the connection ends.
//
// Each endpoint has a file of its own: the client (net/TcpClient.h), the listener
// (net/TcpServer.h), the connection it hands to an accept handler (net/AcceptedConnection.h), the
// host and port texts (net/NameResolution.h) and the bounds they share (net/ChannelLimits.h).

#include "net/AcceptedConnection.h"
#include "net/ChannelLimits.h"
#include "net/NameResolution.h"
#include "net/TcpClient.h"
#include "net/TcpServer.h"
