#include "ipd_run.h"

#include "ipd_command.h" // QUELMAR_IPD_COMMAND, emulator included

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace ipd_run {
namespace {

int remaining_ms(clock::time_point until) {
  auto left = std::chrono::duration_cast<milliseconds>(until - clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

bool readable(int fd, clock::time_point until) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do
    r = ::poll(&p, 1, remaining_ms(until));
  while (r < 0 && errno == EINTR);
  return r > 0;
}

sockaddr_in loopback(const char *address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

} // namespace

ipd_daemon::ipd_daemon(std::vector<std::string> extra) {
  std::vector<std::string> args = QUELMAR_IPD_COMMAND;
  for (const char *a : {"--config", "/dev/null", "--udp", "127.0.0.1:0",
                        "--tcp", "127.0.0.1:0"})
    args.push_back(a);
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) < 0)
    throw std::runtime_error("pipe2");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipe_fds[1], 2);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  const int rc =
      ::posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(pipe_fds[1]);
  err_ = pipe_fds[0];
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + args[0]);
  }
  reader_ = std::thread([this] {
    std::string partial;
    char buf[512];
    ssize_t n;
    while ((n = ::read(err_, buf, sizeof buf)) > 0 ||
           (n < 0 && errno == EINTR)) {
      if (n < 0)
        continue;
      partial.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = partial.find('\n')) != std::string::npos) {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(partial.substr(0, nl));
        partial.erase(0, nl + 1);
        cv_.notify_all();
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    eof_ = true;
    cv_.notify_all();
  });
  // "... on UDP 127.0.0.1:PORT", "... on TCP 127.0.0.1:PORT"
  for (const char *proto : {"UDP 127.0.0.1:", "TCP 127.0.0.1:"}) {
    const int at = wait_for_log(proto);
    if (at < 0 && stop() != -2) // stopped, so the reader can be joined
      throw std::runtime_error(std::string("the daemon did not listen on ") +
                               proto);
    const std::string line = log()[static_cast<size_t>(at)];
    const int port = std::stoi(line.substr(line.rfind(':') + 1));
    (proto[0] == 'U' ? udp_port_ : tcp_port_) = port;
  }
}

ipd_daemon::~ipd_daemon() {
  // Stopped as a service manager stops it, so that a coverage build
  // writes its counts.
  stop();
  if (reader_.joinable())
    reader_.join();
  ::close(err_);
}

int ipd_daemon::wait_for_log(const std::string &text, size_t skip,
                             milliseconds patience) {
  std::unique_lock<std::mutex> lock(mu_);
  int found = -1;
  cv_.wait_for(lock, patience, [&] {
    for (size_t i = skip; i < lines_.size(); ++i)
      if (lines_[i].find(text) != std::string::npos) {
        found = static_cast<int>(i);
        return true;
      }
    return eof_;
  });
  return found;
}

std::vector<std::string> ipd_daemon::log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

int ipd_daemon::stop() {
  if (pid_ <= 0)
    return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  // The reader sees end of file once the daemon has exited.
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, kPatience, [&] { return eof_; }))
      ::kill(pid_, SIGKILL);
  }
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (reader_.joinable())
    reader_.join();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ipd_daemon::pause() {
  ASSERT_EQ(::kill(pid_, SIGSTOP), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid_, &status, WUNTRACED), pid_);
  ASSERT_TRUE(WIFSTOPPED(status));
}

void ipd_daemon::resume() { ASSERT_EQ(::kill(pid_, SIGCONT), 0); }

udp_controller::udp_controller(int daemon_port, const char *address, int port)
    : daemon_port_(daemon_port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(address, port);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
    ::close(fd_); // the destructor does not run after a throw
    throw std::runtime_error(std::string("cannot bind a controller to ") +
                             address);
  }
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
  port_ = ntohs(a.sin_port);
}

udp_controller::~udp_controller() { ::close(fd_); }

void udp_controller::send_raw(const bytes &datagram) {
  sockaddr_in to = loopback("127.0.0.1", daemon_port_);
  ASSERT_EQ(::sendto(fd_, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(datagram.size()));
}

void udp_controller::send(uint16_t type, uint32_t sequence,
                          const bytes &payload) {
  send_raw(viscaip::build(type, sequence, payload));
}

std::optional<reply> udp_controller::receive(milliseconds patience) {
  if (!readable(fd_, clock::now() + patience))
    return std::nullopt;
  uint8_t buf[2048];
  const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  viscaip::datagram d;
  if (n < 0 || viscaip::parse(buf, static_cast<size_t>(n), d) !=
                   viscaip::header_fault::none) {
    ADD_FAILURE() << "not a VISCA-over-IP datagram from the daemon";
    return std::nullopt;
  }
  return reply{d.type, d.sequence, bytes(d.payload, d.payload + d.length)};
}

tcp_controller::tcp_controller(int daemon_port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = loopback("127.0.0.1", daemon_port);
  if (fd_ < 0 ||
      ::connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
    ::close(fd_);
    throw std::runtime_error("cannot connect to the daemon");
  }
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

tcp_controller::~tcp_controller() { close(); }

void tcp_controller::close() {
  ::close(fd_); // harmless on -1
  fd_ = -1;
}

namespace {
// Whether the kernel lists a connection to local_port in CLOSE_WAIT (state
// 08 in /proc/net/tcp, whose addresses are HEX_IP:HEX_PORT).
bool in_close_wait(uint16_t local_port) {
  char port[8];
  std::snprintf(port, sizeof port, ":%04X", local_port);
  std::ifstream in("/proc/net/tcp");
  std::string sl, local, remote, state, rest;
  while (in >> sl >> local >> remote >> state && std::getline(in, rest))
    if (remote.size() > 5 && remote.substr(remote.size() - 5) == port &&
        state == "08")
      return true;
  return false;
}

// Whether done() came true within the patience, looking every millisecond:
// what the kernel shows of a socket changes with no event to wait on.
bool poll_until(const std::function<bool()> &done) {
  for (auto until = clock::now() + kPatience; clock::now() < until;) {
    if (done())
      return true;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return false;
}
} // namespace

void tcp_controller::close_and_wait() {
  sockaddr_in me{};
  socklen_t len = sizeof me;
  ASSERT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr *>(&me), &len), 0);
  close();
  closed_port_ = ntohs(me.sin_port);
  if (!poll_until([this] { return in_close_wait(closed_port_); }))
    ADD_FAILURE() << "the daemon never saw the connection's end";
}

void tcp_controller::wait_until_daemon_closes() {
  if (!poll_until([this] { return !in_close_wait(closed_port_); }))
    ADD_FAILURE() << "the daemon never closed its end";
}

void tcp_controller::half_close() { ASSERT_EQ(::shutdown(fd_, SHUT_WR), 0); }

bool tcp_controller::closed_by_daemon(milliseconds patience) {
  uint8_t b;
  return pending_.empty() && readable(fd_, clock::now() + patience) &&
         ::recv(fd_, &b, 1, 0) == 0;
}

void tcp_controller::send(const bytes &data) {
  ASSERT_EQ(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(data.size()));
}

void tcp_controller::send_unchecked(const bytes &data) {
  [[maybe_unused]] ssize_t n =
      ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
}

std::optional<bytes> tcp_controller::receive(milliseconds patience) {
  const auto until = clock::now() + patience;
  for (;;) {
    for (size_t i = 0; i < pending_.size(); ++i)
      if (pending_[i] == 0xFF) {
        bytes msg(pending_.begin(), pending_.begin() + long(i) + 1);
        pending_.erase(pending_.begin(), pending_.begin() + long(i) + 1);
        return msg;
      }
    if (!readable(fd_, until))
      return std::nullopt;
    uint8_t buf[256];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0)
      return std::nullopt;
    pending_.insert(pending_.end(), buf, buf + n);
  }
}

namespace {

std::string run(std::vector<std::string> words,
                const std::vector<std::string> &args, const char *redirect,
                int &status) {
  std::string cmd;
  words.insert(words.end(), args.begin(), args.end());
  for (const auto &w : words)
    cmd += "'" + w + "' ";
  cmd += redirect;
  FILE *p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[256];
  size_t n;
  while (p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  const int rc = p == nullptr ? -1 : ::pclose(p);
  status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

} // namespace

std::string run_send(const std::vector<std::string> &args, int &status) {
  return run(QUELMAR_SEND_COMMAND, args, "", status);
}

std::string run_daemon(const std::vector<std::string> &args, int &status,
                       const std::vector<std::string> &prefix) {
  std::vector<std::string> words = prefix;
  for (const std::string &w : std::vector<std::string> QUELMAR_IPD_COMMAND)
    words.push_back(w);
  return run(words, args, "2>&1", status);
}

bool emulated() { return std::string(QUELMAR_EMULATOR) != ""; }

long resident_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = -1;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
    in.ignore(1 << 20, '\n');
  }
  return -1;
}

udp_drops kernel_udp_drops() {
  udp_drops d;
  // Two "Udp:" lines: the names, then the values.
  std::ifstream snmp("/proc/net/snmp");
  std::string line, names;
  while (std::getline(snmp, line))
    if (line.rfind("Udp:", 0) == 0) {
      if (names.empty()) {
        names = line;
        continue;
      }
      std::istringstream n(names), v(line);
      std::string name, value;
      while (n >> name && v >> value) {
        if (name == "RcvbufErrors")
          d.rcvbuf = std::stol(value);
        if (name == "SndbufErrors")
          d.sndbuf = std::stol(value);
      }
      break;
    }
  // One line per CPU, in hex; the second column is the dropped count.
  std::ifstream softnet("/proc/net/softnet_stat");
  std::string processed, dropped;
  while (softnet >> processed >> dropped && std::getline(softnet, line))
    d.backlog += std::stol(dropped, nullptr, 16);
  return d;
}

long socket_drops(int local_port) {
  char port[8];
  std::snprintf(port, sizeof port, ":%04X", local_port);
  std::ifstream in("/proc/net/udp");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string sl, local, field, last;
    if (!(f >> sl >> local) || local.size() < 5 ||
        local.substr(local.size() - 5) != port)
      continue;
    while (f >> field)
      last = field;
    return std::stol(last);
  }
  return -1;
}

} // namespace ipd_run
