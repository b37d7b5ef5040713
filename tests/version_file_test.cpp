// The version file is replaced whole through a fresh file and a rename, so
// whatever was planted at its path is never written through.
#include "fake_line.h"
#include "support.h"
#include "visca.h"

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

} // namespace
