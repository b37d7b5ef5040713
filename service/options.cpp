#include "options.h"

#include "allow.h"

#include <sstream>

namespace ipd {

const char kUsage[] =
    "Usage: quelmar-visca-ipd [--line PATH] [--speed 115200|9600]\n"
    "                         [--udp ADDR:PORT]... [--tcp ADDR:PORT]...\n"
    "                         [--allow ADDR[/PREFIX]]... [--run-as USER]\n"
    "                         [--config FILE]\n"
    "       quelmar-visca-ipd --help\n"
    "\n"
    "Makes the board a network camera: VISCA over IP from PTZ controllers\n"
    "(Sony's framing on UDP, raw VISCA on TCP) goes to the camera MCU on\n"
    "the serial line, and each reply back to the controller that asked.\n"
    "Stays in the foreground, logs to standard error, stops on SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --line PATH      the MCU's serial line (default /dev/ttyPS1)\n"
    "  --speed BAUD     115200 (default) or 9600\n"
    "  --udp ADDR:PORT  listen for VISCA over IP here (default\n"
    "                   0.0.0.0:52381); may be repeated\n"
    "  --tcp ADDR:PORT  listen for raw VISCA here (default 0.0.0.0:5678);\n"
    "                   may be repeated\n"
    "  --allow NETWORK  serve only controllers in NETWORK (ADDR or\n"
    "                   ADDR/PREFIX, IPv4 or IPv6; default: all); may be\n"
    "                   repeated\n"
    "  --run-as USER    once listening, run as USER with its groups (the\n"
    "                   UART's among them); default: as started\n"
    "  --config FILE    read options from FILE first (default\n"
    "                   /etc/default/quelmar-visca-ipd, if present)\n"
    "  --help           show this text\n"
    "\n"
    "Exit status: 0 when stopped by SIGTERM or SIGINT, 1 when it cannot\n"
    "listen or become the user of --run-as, 2 for bad arguments or\n"
    "configuration.\n";

namespace {

bool set_speed(const std::string &value, options &o, std::string &error) {
  if (value == "115200" || value == "9600") {
    o.speed = static_cast<unsigned>(std::stoul(value));
    return true;
  }
  error = "speed must be 115200 or 9600, not '" + value + "'";
  return false;
}

bool check_endpoint(const std::string &value, std::string &error) {
  std::string host, port;
  if (split_endpoint(value, host, port))
    return true;
  error = "'" + value + "' is not ADDR:PORT";
  return false;
}

bool check_network(const std::string &value, std::string &error) {
  allow_list probe;
  return probe.add(value, error);
}

std::vector<std::string> words(const std::string &value) {
  std::istringstream in(value);
  std::vector<std::string> out;
  std::string w;
  while (in >> w)
    out.push_back(w);
  return out;
}

std::string unquote(const std::string &v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

std::string trim(const std::string &s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos)
    return "";
  const size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

} // namespace

bool split_endpoint(const std::string &text, std::string &host,
                    std::string &port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0)
    return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']')
      return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false; // an IPv6 address needs its brackets
  }
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  return std::stoul(port) <= 65535;
}

bool apply_config(const std::string &text, const std::string &origin,
                  options &o, std::string &error) {
  std::istringstream in(text);
  std::string raw;
  for (int number = 1; std::getline(in, raw); ++number) {
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#')
      continue;
    const std::string where = origin + ":" + std::to_string(number) + ": ";
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      error = where + "not KEY=VALUE";
      return false;
    }
    const std::string key = trim(line.substr(0, eq));
    const std::string value = unquote(trim(line.substr(eq + 1)));
    if (key == "LINE") {
      if (value.empty()) {
        error = where + "LINE is empty";
        return false;
      }
      o.line = value;
    } else if (key == "RUN_AS") {
      o.run_as = value;
    } else if (key == "SPEED") {
      if (!set_speed(value, o, error)) {
        error = where + error;
        return false;
      }
    } else if (key == "UDP" || key == "TCP") {
      auto list = words(value);
      for (const auto &w : list)
        if (!check_endpoint(w, error)) {
          error = where + error;
          return false;
        }
      (key == "UDP" ? o.udp : o.tcp) = list;
    } else if (key == "ALLOW") {
      auto list = words(value);
      for (const auto &w : list)
        if (!check_network(w, error)) {
          error = where + error;
          return false;
        }
      o.allow = list;
    } else {
      error = where + "unknown setting '" + key + "'";
      return false;
    }
  }
  return true;
}

bool parse(int argc, char **argv, options &o, std::string &error,
           bool (*read_file)(const std::string &, std::string &,
                             std::string &)) {
  // The file is named on the command line but read before it applies.
  bool named = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--config" && i + 1 < argc) {
      o.config = argv[++i];
      named = true;
    }
  }
  std::string text;
  if (read_file(o.config, text, error)) {
    if (!apply_config(text, o.config, o, error))
      return false;
  } else if (named) {
    error = "cannot read " + o.config + ": " + error;
    return false;
  }
  error.clear();

  std::vector<std::string> udp, tcp, allow;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--help") {
      o.help = true;
    } else if (a == "--config" && has_value) {
      ++i;
    } else if (a == "--line" && has_value) {
      o.line = argv[++i];
    } else if (a == "--run-as" && has_value) {
      o.run_as = argv[++i];
    } else if (a == "--speed" && has_value) {
      if (!set_speed(argv[++i], o, error))
        return false;
    } else if ((a == "--udp" || a == "--tcp") && has_value) {
      const std::string value = argv[++i];
      if (!check_endpoint(value, error))
        return false;
      (a == "--udp" ? udp : tcp).push_back(value);
    } else if (a == "--allow" && has_value) {
      const std::string value = argv[++i];
      if (!check_network(value, error))
        return false;
      allow.push_back(value);
    } else {
      error = "bad argument '" + a + "'";
      return false;
    }
  }
  // Listening addresses given on the command line replace the file's.
  if (!udp.empty())
    o.udp = udp;
  if (!tcp.empty())
    o.tcp = tcp;
  if (!allow.empty())
    o.allow = allow;
  if (o.udp.empty() && o.tcp.empty()) {
    error = "nothing to listen on: no UDP and no TCP address";
    return false;
  }
  return true;
}

} // namespace ipd
