#include "visca_port.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace visca_port {
namespace {

int real_pending(int fd) {
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) < 0)
    return -1;
  return n;
}

ssize_t real_read(int fd, void *buf, size_t len) {
  return ::read(fd, buf, len);
}

ssize_t real_write(int fd, const void *buf, size_t len) {
  return ::write(fd, buf, len);
}

int real_apply_settings(int fd, const termios &settings) {
  return ::tcsetattr(fd, TCSANOW, &settings);
}

const line_ops real_table{real_pending, real_read, real_write, sleep_us,
                          real_apply_settings};
std::atomic<const line_ops *> current{&real_table};

int real_open(const char *path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

const file_ops real_files{real_open, real_write, ::close, ::rename, ::unlink};
std::atomic<const file_ops *> files{&real_files};
const file_ops &fs() { return *files.load(std::memory_order_acquire); }
std::atomic<const char *> version_file{"/tmp/quelmar-mcu-version"};
std::atomic<unsigned> temp_counter{0};

bool write_all(int fd, const void *buf, size_t len) {
  const auto *p = static_cast<const unsigned char *>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t w = fs().write(fd, p + done, len - done);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// Creates a new file next to path, exclusively, and returns its descriptor
// with its name in tmp; -1 when no such file could be made.
int create_temp_beside(const char *path, char *tmp, size_t tmp_size) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    // The clock only makes a clash with a stale name less likely; the
    // counter alone keeps the names apart when it cannot be read.
    unsigned tag = static_cast<unsigned>(monotonic_ns()) ^
                   (temp_counter.fetch_add(1) * 2654435761U);
    // A negative result (an encoding error) converts to a huge length.
    if (static_cast<size_t>(std::snprintf(tmp, tmp_size, "%s.%ld.%08x", path,
                                          static_cast<long>(::getpid()),
                                          tag)) >= tmp_size)
      return -1;
    int fd = fs().open(
        tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  return -1;
}

} // namespace

const line_ops &ops() { return *current.load(std::memory_order_acquire); }

void install(const line_ops *table) {
  current.store(table ? table : &real_table, std::memory_order_release);
}

const line_ops &real_ops() { return real_table; }

void install_files(const file_ops *table) {
  files.store(table ? table : &real_files, std::memory_order_release);
}

const file_ops &real_file_ops() { return real_files; }

int64_t monotonic_ns(int (*gettime)(clockid_t, timespec *)) {
  timespec ts{};
  if (gettime(CLOCK_MONOTONIC, &ts) != 0)
    return -1;
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

const char *version_path() { return version_file.load(); }

void set_version_path(const char *path) { version_file.store(path); }

int open_line(const char *path) {
  // Non-blocking from the open on, and it stays so. Opening without it
  // could hang on a modem line waiting for carrier. Reading with it is what
  // makes every wait bounded: the pending-byte count is only a hint, since
  // another reader of the same tty (a getty, a terminal program, an
  // application opened early) can take the bytes between the count and the
  // read, and a blocking read would then wait for a byte that may never
  // come. A write that cannot go out at once fails instead of waiting.
  return ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void configure_line(int fd, speed_t speed, termios &settings) {
  ::tcgetattr(fd, &settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
  settings.c_iflag = 0;
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  ::cfsetispeed(&settings, speed);
  ::cfsetospeed(&settings, speed);
  ops().apply_settings(fd, settings);
}

void close_line(int fd) { ::close(fd); }

bool replace_file(const char *path, const void *buf, size_t len) {
  char tmp[4096];
  int fd = create_temp_beside(path, tmp, sizeof tmp);
  if (fd < 0)
    return false;
  bool ok = write_all(fd, buf, len);
  // close() reports late write errors on some filesystems; a file that may
  // be short must not replace a good one.
  ok = (fs().close(fd) == 0) && ok;
  if (ok && fs().rename(tmp, path) == 0)
    return true;
  fs().unlink(tmp);
  return false;
}

} // namespace visca_port
