/* Tries what the probe's sandbox must deny and what it must allow, and
 * prints one line for each: "NAME allowed" or "NAME denied ERRNO_NAME".
 * The systemd image runs it under the probe unit's own [Service] sandbox
 * and once outside it, where everything must be allowed: so a denial is
 * the sandbox's doing, not something missing on the board. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static void report(const char *name, int ok) {
  if (ok)
    printf("%s allowed\n", name);
  else
    printf("%s denied %s\n", name, strerrorname_np(errno));
}

static int open_tty(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) {
    errno = ENODEV; /* missing: not a denial */
    return 0;
  }
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return 0;
  close(fd);
  return 1;
}

static int write_file_in(const char *dir) {
  char path[256];
  snprintf(path, sizeof path, "%s/.sandbox-check-%d", dir, (int)getpid());
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0)
    return 0;
  close(fd);
  unlink(path);
  return 1;
}

static int make_socket(int family) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return 0;
  close(fd);
  return 1;
}

/* Sets the clock to what it reads: harmless where it is allowed. */
static int set_clock(void) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0)
    return 0;
  return clock_settime(CLOCK_REALTIME, &now) == 0;
}

static int create_and_rename_in_tmp(void) {
  char from[64], to[64];
  snprintf(from, sizeof from, "/tmp/.sandbox-check-%d", (int)getpid());
  snprintf(to, sizeof to, "/tmp/.sandbox-check-%d.done", (int)getpid());
  int fd = open(from, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0)
    return 0;
  close(fd);
  int ok = rename(from, to) == 0;
  int saved = errno;
  unlink(from);
  unlink(to);
  errno = saved;
  return ok;
}

int main(void) {
  report("open-ttyPS0", open_tty("/dev/ttyPS0"));
  report("write-etc", write_file_in("/etc"));
  report("write-usr", write_file_in("/usr"));
  report("socket-inet", make_socket(AF_INET));
  report("socket-unix", make_socket(AF_UNIX));
  report("set-clock", set_clock());
  report("open-ttyPS1", open_tty("/dev/ttyPS1"));
  report("tmp-create-rename", create_and_rename_in_tmp());
  report("write-var-tmp", write_file_in("/var/tmp"));
  report("write-dev-shm", write_file_in("/dev/shm"));
  return 0;
}
