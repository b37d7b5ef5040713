#include "fake_line.h"

#include <cerrno>

namespace fake {
namespace {

line *active = nullptr;

int pending(int) {
  if (active->fail_query)
    return -1;
  return static_cast<int>(active->pending_count());
}

ssize_t read(int, void *buf, size_t len) {
  ++active->reads;
  active->settle();
  line::read_event ev{len, {}, active->pending.size(), active->writes.size()};
  auto *out = static_cast<uint8_t *>(buf);
  size_t n = 0;
  while (n < len && !active->pending.empty()) {
    out[n++] = active->pending.front();
    ev.got.push_back(out[n - 1]);
    active->pending.pop_front();
  }
  active->read_log.push_back(std::move(ev));
  return static_cast<ssize_t>(n);
}

ssize_t write(int, const void *buf, size_t len) {
  if (active->fail_write) {
    errno = EIO;
    return -1;
  }
  const auto *p = static_cast<const uint8_t *>(buf);
  bytes data(p, p + len);
  active->writes.push_back({active->now_us, data});
  if (active->on_write)
    active->on_write(*active, data);
  return static_cast<ssize_t>(len);
}

void sleep_us(unsigned usec) {
  ++active->sleeps;
  active->now_us += usec;
}

// A scripted line has no settings to apply.
int apply_settings(int, const termios &) { return 0; }

const visca_port::line_ops table{pending, read, write, sleep_us,
                                 apply_settings};

} // namespace

installed::installed(line &l) {
  active = &l;
  visca_port::install(&table);
}

installed::~installed() {
  visca_port::install(nullptr);
  active = nullptr;
}

} // namespace fake
