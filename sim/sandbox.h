// Runs a program as if on the board: in a private mount namespace where
// /dev/ttyPS1 is a given tty (bound, so it vanishes with it; a path that
// does not exist becomes a dangling link) and /tmp is a given folder. Nothing
// of it is visible outside, and it all vanishes with the program.
//
// Needs root (or a kernel that lets the caller make mount namespaces).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace mcusim {

struct sandbox_options {
  std::string tty;               // the device bound at /dev/ttyPS1
  std::string tmp;               // the folder seen as /tmp
  std::vector<std::string> argv; // argv[0] is the program's path
  int out_fd = -1;               // the program's stdout; -1: inherited
  int err_fd = -1;               // the program's stderr; -1: inherited
  bool tmp_read_only = false;    // mount the private /tmp read-only
};

// Starts the program and returns its pid, or -1 with the reason in why
// when the namespace could not be built or the program not started.
pid_t sandbox_spawn(const sandbox_options &opt, std::string &why);

// Waits for pid; its exit status, or 128 + signal, or -1.
int sandbox_wait(pid_t pid);

} // namespace mcusim
