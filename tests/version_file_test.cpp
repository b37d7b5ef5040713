// The version file is replaced whole through a fresh file and a rename, so
// whatever was planted at its path is never written through.
#include "fake_line.h"
#include "support.h"
#include "visca.h"
#include "visca_port.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using fake::bytes;

struct VersionFileTest : ::testing::Test, fake::rig {
  support::version_file file;

  bool accept_version(uint8_t v) {
    bytes r = fake::version_reply(v);
    line.on_write = [r](fake::line &l, const bytes &) { l.arrive(r); };
    return ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16);
  }

  std::vector<std::string> only_the_file() const {
    return {"quelmar-mcu-version"};
  }
};

TEST_F(VersionFileTest, PlantedSymlinkIsReplacedNotFollowed) {
  support::temp_dir elsewhere;
  const std::string victim = elsewhere / "victim";
  support::write_file(victim, "precious");
  ASSERT_EQ(::symlink(victim.c_str(), file.path().c_str()), 0);
  EXPECT_TRUE(accept_version(0x16));
  EXPECT_EQ(support::read_file(victim), "precious");
  EXPECT_EQ(file.content(), "22") << "the link should now be a file";
  EXPECT_EQ(file.dir().entries(), only_the_file());
}

TEST_F(VersionFileTest, PlantedFifoNeitherBlocksNorSurvives) {
  ASSERT_EQ(::mkfifo(file.path().c_str(), 0666), 0);
  EXPECT_TRUE(accept_version(0x16));
  EXPECT_EQ(file.content(), "22");
  EXPECT_EQ(file.dir().entries(), only_the_file());
}

TEST_F(VersionFileTest, DirectoryAtThePathMakesTheWriteFailQuietly) {
  ASSERT_EQ(::mkdir(file.path().c_str(), 0755), 0);
  EXPECT_TRUE(accept_version(0x16)) << "the MCU did answer";
  struct stat st {};
  ASSERT_EQ(::lstat(file.path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(file.dir().entries(), only_the_file()) << "temporary left behind";
}

TEST_F(VersionFileTest, NewFileGetsDefaultPermissionsLessTheUmask) {
  for (mode_t mask : {mode_t{022}, mode_t{0}, mode_t{077}}) {
    ::unlink(file.path().c_str());
    mode_t old = ::umask(mask);
    bool ok = accept_version(0x01);
    ::umask(old);
    ASSERT_TRUE(ok);
    struct stat st {};
    ASSERT_EQ(::stat(file.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << std::oct << mask;
  }
}

// The real file calls, with chosen ones made to fail: each entry of a
// script is the errno of one call in turn (0: let it through), after which
// every call goes through.
struct file_faults {
  static inline std::vector<int> write_script, open_script, close_script;
  static inline int opens = 0;
  visca_port::file_ops table = visca_port::real_file_ops();

  static int take(std::vector<int> &script) {
    if (script.empty())
      return 0;
    int err = script.front();
    script.erase(script.begin());
    return err;
  }
  file_faults() {
    write_script.clear();
    open_script.clear();
    close_script.clear();
    opens = 0;
    table.write = [](int fd, const void *buf, size_t len) -> ssize_t {
      if (int err = take(write_script)) {
        errno = err;
        return err == -1 ? 0 : -1; // -1 in the script: nothing written
      }
      return visca_port::real_file_ops().write(fd, buf, len);
    };
    table.open = [](const char *path, int flags, mode_t mode) {
      ++opens;
      if (int err = take(open_script)) {
        errno = err;
        return -1;
      }
      return visca_port::real_file_ops().open(path, flags, mode);
    };
    table.close = [](int fd) {
      int real = visca_port::real_file_ops().close(fd);
      if (int err = take(close_script)) {
        errno = err;
        return -1;
      }
      return real;
    };
    visca_port::install_files(&table);
  }
  ~file_faults() { visca_port::install_files(nullptr); }
};

TEST_F(VersionFileTest, InterruptedAndShortWritesAreCarriedToTheEnd) {
  {
    file_faults faults;
    faults.write_script = {EINTR, EINTR};
    EXPECT_TRUE(accept_version(0x80));
    EXPECT_EQ(file.content(), "-128");
  }
  file_faults faults;
  faults.table.write = [](int fd, const void *buf, size_t) -> ssize_t {
    return visca_port::real_file_ops().write(fd, buf, 1); // a byte a time
  };
  EXPECT_TRUE(accept_version(0x81));
  EXPECT_EQ(file.content(), "-127");
  EXPECT_EQ(file.dir().entries(), only_the_file());
}

TEST_F(VersionFileTest, FailedWriteOrCloseKeepsTheOldFileWhole) {
  const std::pair<const char *, void (*)(file_faults &)> cases[] = {
      {"no room", [](file_faults &f) { f.write_script = {ENOSPC}; }},
      {"nothing written", [](file_faults &f) { f.write_script = {-1}; }},
      {"late error at close", [](file_faults &f) { f.close_script = {EIO}; }},
  };
  for (const auto &[name, fault] : cases) {
    SCOPED_TRACE(name);
    support::write_file(file.path(), "-123456");
    file_faults faults;
    fault(faults);
    EXPECT_TRUE(accept_version(0x16)) << "the MCU did answer";
    EXPECT_EQ(file.content(), "-123456");
    EXPECT_EQ(file.dir().entries(), only_the_file()) << "temporary left";
  }
}

TEST_F(VersionFileTest, TemporaryNameInUseIsTriedAfreshAndThenGivenUp) {
  {
    file_faults faults;
    faults.open_script = {EEXIST, EEXIST};
    EXPECT_TRUE(accept_version(0x16));
    EXPECT_EQ(faults.opens, 3);
    EXPECT_EQ(file.content(), "22");
  }
  file_faults faults;
  faults.open_script = std::vector<int>(100, EEXIST);
  EXPECT_TRUE(accept_version(0x17));
  EXPECT_EQ(faults.opens, 64) << "a bounded number of names";
  EXPECT_EQ(file.content(), "22");
  EXPECT_EQ(file.dir().entries(), only_the_file());
}

TEST(VersionFilePath, NameWithNoRoomForItsTemporaryIsNotWritten) {
  support::temp_dir dir;
  // The temporary's name adds a suffix; with it the name overflows.
  const std::string path = dir / std::string(4096 - dir.path().size() - 8, 'v');
  file_faults faults;
  EXPECT_FALSE(visca_port::replace_file(path.c_str(), "22", 2));
  EXPECT_EQ(faults.opens, 0) << "a truncated name was tried";
  EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

TEST(MonotonicClock, AClockThatCannotBeReadSaysSo) {
  EXPECT_EQ(visca_port::monotonic_ns([](clockid_t, timespec *) {
              errno = EPERM;
              return -1;
            }),
            -1);
  int64_t a = visca_port::monotonic_ns(), b = visca_port::monotonic_ns();
  EXPECT_GE(a, 0);
  EXPECT_GE(b, a);
}

} // namespace
