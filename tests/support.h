// Small helpers shared by the tests.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace support {

// A fresh folder under /tmp, removed with everything in it on destruction.
class temp_dir {
public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const {
    return path_ + "/" + name;
  }
  // Names in the folder, sorted.
  std::vector<std::string> entries() const;

private:
  std::string path_;
};

// Points the controller's version file into a temp_dir for one test.
class version_file {
public:
  version_file();
  ~version_file();
  const std::string &path() const { return path_; }
  const temp_dir &dir() const { return dir_; }
  // The file's content, or nothing when there is no regular file.
  std::optional<std::string> content() const;

private:
  temp_dir dir_;
  std::string path_;
  const char *previous_; // the path in force before
};

// Times every write the controller makes to its line, on the steady clock,
// while one of these lives; the writes still go to the real driver. Gaps
// between transmissions are measured here, at the sender, because the
// simulator stamps a message only when its thread wakes to read it, which
// a loaded machine may delay by more than the pause being measured.
class write_times {
public:
  using clock = std::chrono::steady_clock;
  struct span {
    clock::time_point start, end;
  };
  write_times();
  ~write_times();
  write_times(const write_times &) = delete;
  write_times &operator=(const write_times &) = delete;
  std::vector<span> spans() const;
  // From the end of write `before` to the start of write `after`.
  clock::duration gap(size_t before, size_t after) const;
};

std::optional<std::string> read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
// Open descriptors of this process.
int open_fd_count();

} // namespace support
