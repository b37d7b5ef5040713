// The event loop of quelmar-visca-ipd: one thread, one poll(2) over the
// signal descriptor, the MCU's line, the UDP sockets, the TCP listeners
// and connections. Everything it reads goes to the relay (relay.h), and
// everything the relay answers is written out here; this file holds the
// daemon's system calls and no protocol.
//
// Idle, with the line open, it waits in poll with no timeout: nothing
// wakes it until a datagram, a connection, a byte from the MCU or a
// signal arrives. While the line cannot be opened it tries again every
// second, and meanwhile answers what it can.
//
// The line is opened and set up by the controller class (visca) and read
// and written through its platform layer, in non-blocking mode; nothing
// is ever drained while a message is on the line.
#pragma once

#include "options.h"

namespace ipd {

// Limits of the loop itself.
constexpr unsigned kMaxConnections = 16;          // TCP controllers at once
constexpr unsigned kMaxStreamBacklog = 64 * 1024; // replies a peer has not read
constexpr int kReopenIntervalMs = 1000;

// Listens, serves until SIGTERM or SIGINT and returns the exit status:
// 0 when stopped by a signal, 1 when an address cannot be listened on.
// Blocks SIGTERM and SIGINT in the calling thread.
int run(const options &o);

} // namespace ipd
