#pragma once
// The two endpoints of a line-message channel.
//
// Wire format: a message is one or more lines on a connection of its own, each line being its bytes
// (no CR LF pair, no zero byte) followed by CR LF (0x0D 0x0A). The end of the connection ends the
// message; there is no header, length or acknowledgement, and the listener's side never writes.
//
// A sender writes its lines, disconnects and at once connects again, so one idle connection always
// waits at the peer for the next message. Every socket lives on the network thread, non-blocking
// and driven by readiness: the listener keeps accepted connections idle until their first bytes,
// reads each message whole, and hands it to the window as a value.
//
// Each part has a file of its own: the window's side of the client (net/TcpClient.h) and of the
// listener (net/TcpServer.h); their network-thread halves (net/LineClient.h, net/LineListener.h);
// an accepted connection (net/AcceptedConnection.h), the message reader (net/MessageReader.h), the
// host and port texts (net/NameResolution.h) and the bounds they share (net/ChannelLimits.h).

#include "net/AcceptedConnection.h"
#include "net/ChannelLimits.h"
#include "net/NameResolution.h"
#include "net/TcpClient.h"
#include "net/TcpServer.h"
