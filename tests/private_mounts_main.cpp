// Runs the tests in a mount namespace of their own where permitted, so
// that what a test mounts (a tiny tmpfs, say) never shows outside. This
// must happen before any thread starts.
#include "probe_run.h"

#include <sched.h>
#include <sys/mount.h>

bool probe_run::private_mounts = false;

int main(int argc, char **argv) {
  probe_run::private_mounts =
      ::unshare(CLONE_NEWNS) == 0 &&
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
