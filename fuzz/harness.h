// Shared by the fuzz targets: turns fuzz input into bytes arriving on a
// scripted line, and checks hold with a message instead of a bare abort.
#pragma once

#include "fake_line.h"
#include "visca_port.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <unistd.h>

namespace harness {

[[noreturn]] inline void violated(const char *what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond))                                                               \
      harness::violated(#cond);                                                \
  } while (0)

// Input as a run of chunks: a delay (in quarter milliseconds after the
// previous chunk), a length, then that many bytes. Arbitrary input gives
// arbitrary chunkings of an arbitrary byte stream over the polls.
inline void schedule(fake::line &line, const uint8_t *data, size_t size) {
  uint64_t at = 0;
  size_t i = 0;
  while (i + 2 <= size) {
    at += uint64_t{data[i]} * 250;
    size_t len = data[i + 1];
    i += 2;
    if (len > size - i)
      len = size - i;
    line.future.push_back({at, fake::bytes(data + i, data + i + len)});
    i += len;
  }
}

// A controller on a scripted line that delivers the fuzz input.
struct rig : fake::rig {
  rig(const uint8_t *data, size_t size) { schedule(line, data, size); }
};

// The waits may only read what is pending: a read on an empty line
// blocks the real probe.
inline void check_reads_only_pending(const fake::line &line) {
  for (const auto &r : line.read_log) {
    CHECK(r.pending_before > 0);
    CHECK(r.got.size() <= r.pending_before);
  }
}

// A private folder for the version file, removed at exit.
class version_dir {
public:
  version_dir() {
    char tmpl[] = "/tmp/visca-fuzz-XXXXXX";
    if (!::mkdtemp(tmpl))
      violated("mkdtemp");
    dir_ = tmpl;
    file_ = dir_ + "/quelmar-mcu-version";
    visca_port::set_version_path(file_.c_str());
  }
  ~version_dir() {
    ::unlink(file_.c_str());
    ::rmdir(dir_.c_str());
  }
  const std::string &file() const { return file_; }

private:
  std::string dir_, file_;
};

} // namespace harness
