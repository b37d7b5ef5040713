// visca-mcu-sim: a simulated camera MCU on a pseudo-terminal.
#include "mcu_sim.h"
#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <getopt.h>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "Usage: visca-mcu-sim [options] [-- command [args...]]\n"
    "\n"
    "Serves a simulated camera MCU on a new pseudo-terminal, prints the path\n"
    "of its slave and logs the traffic in hex with timestamps and the line's\n"
    "framing, and the camera's state after each change (power, zoom, focus,\n"
    "pan and tilt). Like a real MCU it insists on raw 8N1 without flow\n"
    "control at its own speed: a message framed otherwise gets silence (or\n"
    "noise). It answers as a camera would, from the state of a camera\n"
    "model (see --bare). The pty starts cooked, as a UART does after boot;\n"
    "setting up the line is up to the program that opens it.\n"
    "\n"
    "Without a command it serves until interrupted. With one, it runs the\n"
    "command in a private mount namespace where /dev/ttyPS1 leads to the\n"
    "simulated MCU and /tmp is a private folder, then prints the version\n"
    "file the command left there and exits with the command's status. The\n"
    "slave's path is then printed labelled, as \"mcu line: PATH\".\n"
    "This needs root.\n"
    "\n"
    "Options:\n"
    "  --speed BAUD       the speed the MCU answers at: 115200 (default),\n"
    "                     9600 or another standard rate\n"
    "  --version N        version byte the MCU reports, -128 to 255\n"
    "                     (default 22)\n"
    "  --noise            send noise at other speeds instead of silence\n"
    "  --bare             no camera model: every command is acknowledged\n"
    "                     and completed, every inquiry gets the probe's\n"
    "                     16-byte version reply\n"
    "  --script LIST      answers to the first messages, comma-separated:\n"
    "                     version, silent, garbage, ack, comp, ack+comp,\n"
    "                     error, overlong, stray (acknowledgement and\n"
    "                     completion with a stray byte behind); later\n"
    "                     messages get the unscripted answers\n"
    "  --gap MS           delay between acknowledgement and completion\n"
    "                     (0 to 60000, default 0: one burst); meanwhile\n"
    "                     the command holds one of the MCU's two sockets\n"
    "  --completion HEX=MS  the same delay for the commands that start with\n"
    "                     the hex bytes HEX (e.g. 81010602=3000, a long\n"
    "                     move); may be repeated, the first match counts\n"
    "  --delay MS         hold every answer back this long (0 to 60000)\n"
    "  --pace MODE        burst (default), trickle (a byte every 2 ms) or\n"
    "                     line (10 bit times a byte at the line's speed)\n"
    "  --link PATH        make PATH a symbolic link to the pty slave\n"
    "  --sandbox DIR      with a command: use DIR as its /tmp (default: a\n"
    "                     new temporary folder, removed afterwards)\n"
    "  --help             show this text\n"
    "\n"
    "Exit status: the command's, or 0 when interrupted; 2 for bad\n"
    "arguments; 1 when the pty or the namespace cannot be made.\n";

[[noreturn]] void usage_error(const std::string &msg) {
  std::fprintf(stderr, "visca-mcu-sim: %s\nTry 'visca-mcu-sim --help'.\n",
               msg.c_str());
  std::exit(2);
}

long number(const char *text, long lo, long hi, const char *what) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
    usage_error(std::string("bad ") + what + " '" + text + "'");
  return v;
}

mcusim::answer named_answer(const std::string &name, uint8_t version,
                            mcusim::milliseconds gap) {
  using mcusim::answer;
  if (name == "version")
    return answer::version(version);
  if (name == "silent")
    return answer::silence();
  if (name == "garbage")
    return answer::garbage();
  if (name == "ack")
    return answer::ack();
  if (name == "comp")
    return answer::completion();
  if (name == "ack+comp")
    return answer::ack_and_completion(gap);
  if (name == "error")
    return answer::error();
  if (name == "overlong")
    return answer::overlong();
  if (name == "stray")
    return answer::raw({0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF, 0x00});
  usage_error("unknown answer '" + name + "' in --script");
}

// "81010602=3000": a prefix of hex bytes and a delay in milliseconds.
std::pair<mcusim::bytes, long> completion_delay(const std::string &arg) {
  const size_t eq = arg.find('=');
  const std::string hex = arg.substr(0, eq);
  if (eq == std::string::npos || hex.empty() || hex.size() % 2 != 0 ||
      hex.size() > 32 ||
      hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    usage_error("bad --completion '" + arg + "': want HEX=MS");
  mcusim::bytes prefix;
  for (size_t i = 0; i < hex.size(); i += 2)
    prefix.push_back(
        static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return {prefix, number(arg.c_str() + eq + 1, 0, 60000, "completion delay")};
}

struct options {
  mcusim::config cfg;
  std::vector<std::string> script;
  long delay_ms = 0;
  long gap_ms = 0;
  std::vector<std::pair<mcusim::bytes, long>> delays;
  mcusim::pacing pace = mcusim::pacing::burst;
  std::string link;
  std::string sandbox;
  std::vector<std::string> command;
};

options parse(int argc, char **argv) {
  static const option longopts[] = {
      {"speed", required_argument, nullptr, 's'},
      {"version", required_argument, nullptr, 'v'},
      {"noise", no_argument, nullptr, 'n'},
      {"bare", no_argument, nullptr, 'B'},
      {"script", required_argument, nullptr, 'c'},
      {"delay", required_argument, nullptr, 'd'},
      {"gap", required_argument, nullptr, 'g'},
      {"completion", required_argument, nullptr, 'C'},
      {"pace", required_argument, nullptr, 'p'},
      {"link", required_argument, nullptr, 'l'},
      {"sandbox", required_argument, nullptr, 'b'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  options o;
  o.cfg.camera_model = true;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+", longopts, nullptr)) != -1) {
    switch (c) {
    case 's': {
      long baud = number(optarg, 1, 4000000, "speed");
      o.cfg.speed = mcusim::speed_of(static_cast<unsigned>(baud));
      if (o.cfg.speed == 0)
        usage_error(std::string("unsupported speed '") + optarg + "'");
      break;
    }
    case 'v':
      o.cfg.version =
          static_cast<uint8_t>(number(optarg, -128, 255, "version"));
      break;
    case 'n':
      o.cfg.noise_at_wrong_speed = true;
      break;
    case 'B':
      o.cfg.camera_model = false;
      break;
    case 'c': {
      std::string list = optarg;
      size_t start = 0;
      for (;;) {
        size_t comma = list.find(',', start);
        o.script.push_back(list.substr(start, comma - start));
        if (comma == std::string::npos)
          break;
        start = comma + 1;
      }
      for (const auto &name : o.script)
        named_answer(name, 0, {}); // reject unknown names now
      break;
    }
    case 'd':
      o.delay_ms = number(optarg, 0, 60000, "delay");
      break;
    case 'g':
      o.gap_ms = number(optarg, 0, 60000, "gap");
      break;
    case 'C':
      o.delays.push_back(completion_delay(optarg));
      break;
    case 'p':
      if (std::strcmp(optarg, "burst") == 0)
        o.pace = mcusim::pacing::burst;
      else if (std::strcmp(optarg, "trickle") == 0)
        o.pace = mcusim::pacing::trickle;
      else if (std::strcmp(optarg, "line") == 0)
        o.pace = mcusim::pacing::line_rate;
      else
        usage_error(std::string("bad pace '") + optarg + "'");
      break;
    case 'l':
      o.link = optarg;
      break;
    case 'b':
      o.sandbox = optarg;
      break;
    case 'h':
      std::fputs(kUsage, stdout);
      std::exit(0);
    default:
      usage_error(optopt
                      ? std::string("bad option '-") +
                            static_cast<char>(optopt) + "'"
                      : std::string("bad option '") + argv[optind - 1] + "'");
    }
  }
  for (int i = optind; i < argc; ++i)
    o.command.push_back(argv[i]);
  if (!o.sandbox.empty() && o.command.empty())
    usage_error("--sandbox needs a command after --");
  return o;
}

int remove_entry(const char *path, const struct stat *, int, FTW *) {
  return ::remove(path);
}

std::string read_version_file(const std::string &dir) {
  std::string path = dir + "/quelmar-mcu-version";
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0)
    return "(none)";
  char buf[64];
  ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  return n < 0 ? "(unreadable)"
               : "\"" + std::string(buf, static_cast<size_t>(n)) + "\"";
}

int run_command(const options &o, const std::string &tty) {
  std::string dir = o.sandbox;
  bool temporary = dir.empty();
  if (temporary) {
    char tmpl[] = "/tmp/visca-mcu-sim-XXXXXX";
    if (!::mkdtemp(tmpl)) {
      std::perror("visca-mcu-sim: mkdtemp");
      return 1;
    }
    dir = tmpl;
  }
  mcusim::sandbox_options so;
  so.tty = tty;
  so.tmp = dir;
  so.argv = o.command;
  std::string why;
  pid_t pid = mcusim::sandbox_spawn(so, why);
  int status = 1;
  if (pid < 0) {
    std::fprintf(stderr, "visca-mcu-sim: cannot run the command: %s\n",
                 why.c_str());
  } else {
    status = mcusim::sandbox_wait(pid);
    std::printf("exit status: %d\nversion file: %s\n", status,
                read_version_file(dir).c_str());
  }
  if (temporary)
    ::nftw(dir.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
  return status;
}

} // namespace

int main(int argc, char **argv) {
  options o = parse(argc, argv);
  // Block the stop signals before any thread starts, so that only the
  // sigwait below takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    mcusim::mcu sim(o.cfg);
    const auto start = mcusim::clock::now();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sim.set_observer([start](bool to_mcu, const mcusim::bytes &data,
                             const mcusim::framing &line) {
      double t =
          std::chrono::duration<double>(mcusim::clock::now() - start).count();
      std::printf("%9.3f s %-17s %s %s\n", t, mcusim::describe(line).c_str(),
                  to_mcu ? "-> MCU" : "<- MCU", mcusim::hex(data).c_str());
    });
    sim.set_state_observer([start](const std::string &state) {
      double t =
          std::chrono::duration<double>(mcusim::clock::now() - start).count();
      std::printf("%9.3f s camera: %s\n", t, state.c_str());
    });
    for (const auto &name : o.script) {
      auto a =
          named_answer(name, o.cfg.version, mcusim::milliseconds(o.gap_ms));
      sim.script(a.paced(o.pace));
    }
    sim.set_pacing(o.pace);
    sim.set_completion_gap(mcusim::milliseconds(o.gap_ms));
    for (const auto &d : o.delays)
      sim.set_completion_delay(d.first, mcusim::milliseconds(d.second));
    sim.set_hold(mcusim::milliseconds(o.delay_ms));
    // Alone, the bare path is for scripts to read; beside a command's
    // report it is labelled like the rest.
    if (o.command.empty())
      std::printf("%s\n", sim.slave_path().c_str());
    else
      std::printf("mcu line: %s (the command's /dev/ttyPS1)\n",
                  sim.slave_path().c_str());
    if (!o.link.empty()) {
      ::unlink(o.link.c_str());
      if (::symlink(sim.slave_path().c_str(), o.link.c_str()) < 0) {
        std::fprintf(stderr, "visca-mcu-sim: cannot link %s: %s\n",
                     o.link.c_str(), std::strerror(errno));
        return 1;
      }
    }
    int status = 0;
    if (!o.command.empty()) {
      pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
      status = run_command(o, sim.slave_path());
    } else {
      int sig = 0;
      sigwait(&stop, &sig);
    }
    if (!o.link.empty())
      ::unlink(o.link.c_str());
    return status;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "visca-mcu-sim: %s\n", e.what());
    return 1;
  }
}
