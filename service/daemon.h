// The event loop of quelmar-visca-ipd: one thread, one poll(2) over the
// signal descriptor, the MCU's line, the UDP sockets, the TCP listeners
// and connections. Everything it reads goes to the relay (relay.h), and
// what the relay puts out is sent after every call that can produce it,
// before anything else is read; this file holds the daemon's system calls
// and no protocol.
//
// Idle, with the line open, it waits in poll with no timeout: nothing
// wakes it until a datagram, a connection, a byte from the MCU or a
// signal arrives. While the line cannot be opened it tries again every
// second, and meanwhile answers what it can.
//
// Bounds, so that no peer can hold the loop or grow its memory: per
// wake-up, at most kUdpBatch datagrams from each UDP socket and kTcpBatch
// reads from each connection; kMaxConnections connections, each closed
// once kMaxStreamBacklog bytes of its replies wait unread; replies a full
// UDP socket would not take wait, kUdpBacklog per controller, and the rest
// are dropped and counted. A connection whose peer half-closes gets the
// replies it is still owed, then is closed (after kHalfCloseLingerMs at
// the latest). A reply for a connection that is gone or broken is dropped
// and counted.
//
// The line is opened and set up by the controller class (visca), in
// non-blocking mode; it is drained once when opened, before any message
// is written, and never while a message is on it.
#pragma once

#include "options.h"

#include <cstdint>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace ipd {

// Limits of the loop itself.
constexpr unsigned kMaxConnections = 16;          // TCP controllers at once
constexpr unsigned kMaxStreamBacklog = 64 * 1024; // replies a peer has not read
constexpr int kReopenIntervalMs = 1000;
// A line whose driver takes no byte for this long is taken as lost. Until
// then, what waits to be written has not reached the MCU, so no answer to
// it is overdue.
constexpr int kLineStuckMs = 2000;
constexpr int kUdpBatch = 64;      // datagrams per socket per wake-up
constexpr int kTcpBatch = 4;       // reads per connection per wake-up
constexpr size_t kTcpRead = 4096;  // bytes per read
constexpr size_t kUdpBacklog = 16; // unsent replies kept per UDP controller
// How long a half-closed connection waits for a completion it is owed.
constexpr int kHalfCloseLingerMs = 30000;

// The loop's system calls, as their namesakes; the product uses the real
// ones. Tests and the fuzz target put a simulated network,
// line and clock in their place and drive the real loop.
struct system_calls {
  int (*poll)(pollfd *fds, nfds_t count, int timeout_ms);
  // The signal descriptor's and the line's.
  ssize_t (*read)(int fd, void *buf, size_t len);
  ssize_t (*write)(int fd, const void *buf, size_t len);
  ssize_t (*recvfrom)(int fd, void *buf, size_t len, sockaddr *from,
                      socklen_t *from_len);
  ssize_t (*sendto)(int fd, const void *buf, size_t len, const sockaddr *to,
                    socklen_t to_len);
  ssize_t (*recv)(int fd, void *buf, size_t len);
  ssize_t (*send)(int fd, const void *buf, size_t len);
  // A new connection from listener, non-blocking and set up for replies,
  // with its peer's address; -1 when none waits or it failed.
  int (*accept)(int listener, sockaddr_storage *peer, socklen_t *len);
  int (*close)(int fd);
  // Opens the MCU's line and sets it up; its descriptor, or -1 with errno
  // set. Says why a set-up step failed where that matters.
  int (*open_line)(const std::string &path, unsigned speed);
  void (*close_line)(int fd);
  // Milliseconds of a monotonic clock.
  int64_t (*now_ms)();
  // One line for the operator, without its end.
  void (*say)(const std::string &text);
  // Tells the service manager the daemon's state ("READY=1\nSTATUS=...");
  // does nothing when none listens.
  void (*notify)(const std::string &state);
};

// The descriptors the loop serves, all its own from then on: it closes
// them when it returns.
struct descriptors {
  int signals = -1; // readable when the daemon is to stop
  std::vector<int> udp, tcp;
};

// Serves until the signal descriptor is readable and returns 0, or 1 when
// poll fails.
int serve(const options &o, const descriptors &d, const system_calls &sys);

// The calls become() makes, as their namesakes; substitutable in tests.
struct identity_calls {
  passwd *(*getpwnam)(const char *name);
  uid_t (*geteuid)();
  int (*initgroups)(const char *user, gid_t group);
  int (*setgid)(gid_t gid);
  int (*setuid)(uid_t uid);
  void (*say)(const std::string &text);
};
extern const identity_calls kRealIdentity;

// Becomes user, with its groups, for good (root cannot be taken back).
// 0 when done or already that user; otherwise the exit status, the reason
// said: 2 for a user that does not exist, 1 for a change not allowed.
int become(const std::string &user, const identity_calls &calls);

// Listens, serves until SIGTERM or SIGINT and returns the exit status:
// 0 when stopped by a signal, 1 when an address cannot be listened on.
// Blocks SIGTERM and SIGINT in the calling thread.
int run(const options &o);

} // namespace ipd
