// The controller's only door to the platform: line I/O, sleeping, the
// clock and the version file's replacement.
//
// The product uses the real system calls. Tests and fuzzers install a
// scripted line and a virtual clock, so the reply reader and the waits can
// be driven without a tty and without sleeping, and failing file calls, so
// that every step of the replacement can be made to fail. This header is
// internal to the controller and its tests; it is not part of the public
// interface.
//
// Thread safety: install() and install_files() are meant for test set-up,
// before any thread uses the controller. The calls themselves are as
// thread-safe as the functions installed (the real ones are plain system
// calls).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

namespace visca_port {

struct line_ops {
  // Bytes the driver holds for reading on fd; negative when the query
  // failed. Only a hint: another reader may take them before a read does.
  int (*pending)(int fd);
  // As read(2) and write(2). On the line, read never blocks (see
  // open_line): it may return fewer bytes than pending said, or -1.
  ssize_t (*read)(int fd, void *buf, size_t len);
  ssize_t (*write)(int fd, const void *buf, size_t len);
  // Sleeps at least the given number of microseconds.
  void (*sleep_us)(unsigned usec);
  // As tcsetattr(fd, TCSANOW, &settings). Here so tests can see what the
  // controller asks the driver for: a pty forces 8 data bits and no parity
  // whatever it is asked, so those cannot be read back from it.
  int (*apply_settings)(int fd, const termios &settings);
};

// The real sleep, and a set-up that makes it precise: the kernel's
// default timer slack of 50 us would add that much to each of the reply
// reader's hundreds of 1 ms polls. Call tune_for_polling() once, early in
// a program that polls. Both live in visca_sleep.cpp, which a build may
// swap for another.
//
// sleep_us() sleeps on the monotonic clock with the 64-bit time call. On
// a kernel without it (before Linux 5.1) it falls back, once per process,
// to the 32-bit call; on a kernel with neither it keeps the pause by
// watching the clock rather than return early. An interrupted sleep
// resumes with the time left. Thread-safe.
void sleep_us(unsigned usec);
void tune_for_polling();

// A span of time in the layout of the kernel's 64-bit timespec.
struct sleep_span {
  int64_t sec;
  int64_t nsec;
};

// What sleep_us() is made of, with its system calls substitutable so the
// fallbacks can be tested on any kernel. Each call sleeps for span and
// returns 0 or an errno value; on EINTR span holds the time still left.
// now_ns reads the monotonic clock in nanoseconds, or returns -1.
struct sleep_calls {
  int (*time64)(sleep_span &span);
  int (*time32)(sleep_span &span);
  int64_t (*now_ns)();
};

class sleeper {
public:
  explicit sleeper(sleep_calls c) : calls(c) {}
  // Sleeps at least usec microseconds. Thread-safe.
  void sleep(unsigned usec);

private:
  sleep_calls calls;
  std::atomic<bool> time64_missing{false};
};

// The operations in force. Never null.
const line_ops &ops();

// Replaces the operations; nullptr restores the real ones. The table must
// outlive its use.
void install(const line_ops *table);

// The real operations, for substitutes that wrap them.
const line_ops &real_ops();

// Opens a serial device read/write, not as controlling terminal, in
// non-blocking mode, which it keeps: a read returns what is there or fails
// with EAGAIN, and never waits, whatever else reads the same tty; a write
// takes what fits in the driver's buffer. Returns the descriptor, which
// the caller owns, or -1.
int open_line(const char *path);
// Sets the line to raw 8N1 at speed, without flow control, starting from
// its current settings, which are left in settings. The control characters
// are kept as they were. Failures are not reported.
void configure_line(int fd, speed_t speed, termios &settings);
void close_line(int fd);

// The calls replace_file() makes, as open(2), write(2), close(2),
// rename(2) and unlink(2): substitutable so that tests can make each one
// fail.
struct file_ops {
  int (*open)(const char *path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void *buf, size_t len);
  int (*close)(int fd);
  int (*rename)(const char *from, const char *to);
  int (*unlink)(const char *path);
};

// Replaces the file operations; nullptr restores the real ones. The table
// must outlive its use. As install() above, for test set-up.
void install_files(const file_ops *table);
const file_ops &real_file_ops();

// The monotonic clock in nanoseconds as gettime reads it, or -1 when it
// cannot be read (a kernel or a system-call filter may refuse it).
int64_t monotonic_ns(int (*gettime)(clockid_t, timespec *) = ::clock_gettime);

// Path of the version file. The product writes "/tmp/quelmar-mcu-version";
// tests point it at a folder of their own. Not owned; must outlive its use.
const char *version_path();
void set_version_path(const char *path);

// Replaces the file at path with exactly len bytes from buf, so that a
// reader sees either the old file or the whole new one. The bytes go to a
// fresh file created exclusively in the same folder (mode 0666 less the
// umask), which is then renamed over path: a symbolic link at path is
// replaced, not followed; a FIFO there never blocks; a directory there
// makes it fail. Returns true when path holds the new content. Leaves no
// temporary file behind on any path.
bool replace_file(const char *path, const void *buf, size_t len);

} // namespace visca_port
