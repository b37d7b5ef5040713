// Small helpers shared by the tests.
#pragma once

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

std::optional<std::string> read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
// Open descriptors of this process.
int open_fd_count();

} // namespace support
