#include "support.h"

#include "visca_port.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace support {
namespace {
int remove_entry(const char *path, const struct stat *, int, FTW *) {
  return ::remove(path);
}

std::vector<std::string> list(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = ::opendir(dir.c_str())) {
    while (dirent *e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..")
        names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}
std::mutex spans_mu;
std::vector<write_times::span> spans_seen;

ssize_t timed_write(int fd, const void *buf, size_t len) {
  auto start = write_times::clock::now();
  ssize_t n = visca_port::real_ops().write(fd, buf, len);
  std::lock_guard<std::mutex> lock(spans_mu);
  spans_seen.push_back({start, write_times::clock::now()});
  return n;
}

const visca_port::line_ops &timed_ops() {
  static const visca_port::line_ops t = [] {
    visca_port::line_ops o = visca_port::real_ops();
    o.write = timed_write;
    return o;
  }();
  return t;
}
} // namespace

write_times::write_times() {
  std::lock_guard<std::mutex> lock(spans_mu);
  spans_seen.clear();
  visca_port::install(&timed_ops());
}

write_times::~write_times() { visca_port::install(nullptr); }

std::vector<write_times::span> write_times::spans() const {
  std::lock_guard<std::mutex> lock(spans_mu);
  return spans_seen;
}

write_times::clock::duration write_times::gap(size_t before,
                                              size_t after) const {
  auto s = spans();
  return s.at(after).start - s.at(before).end;
}

temp_dir::temp_dir() {
  char tmpl[] = "/tmp/visca-test-XXXXXX";
  if (!::mkdtemp(tmpl))
    throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

temp_dir::~temp_dir() {
  ::nftw(path_.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> temp_dir::entries() const { return list(path_); }

version_file::version_file()
    : path_(dir_ / "quelmar-mcu-version"),
      previous_(visca_port::version_path()) {
  visca_port::set_version_path(path_.c_str());
}

version_file::~version_file() { visca_port::set_version_path(previous_); }

std::optional<std::string> version_file::content() const {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  return read_file(path_);
}

std::optional<std::string> read_file(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0)
    return std::nullopt;
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

void write_file(const std::string &path, const std::string &content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0)
    throw std::runtime_error("cannot write " + path);
  if (::write(fd, content.data(), content.size()) !=
      static_cast<ssize_t>(content.size())) {
    ::close(fd);
    throw std::runtime_error("short write to " + path);
  }
  ::close(fd);
}

int open_fd_count() { return static_cast<int>(list("/proc/self/fd").size()); }

} // namespace support
