// quelmar-visca-ipd's options: built-in defaults, then the configuration
// file, then the command line, each overriding the one before.
//
// The configuration file holds KEY=VALUE lines that a shell can source too
// (LINE, SPEED, UDP, TCP, ALLOW, RUN_AS; UDP and TCP take a list separated by
// spaces, and an empty one turns that transport off; ALLOW takes a list of
// networks, and an empty one allows every address); '#' starts a comment line,
// and a value may be quoted with " or '. A missing default file is no error; a
// missing file named with --config is.
#pragma once

#include <string>
#include <vector>

namespace ipd {

constexpr const char *kDefaultConfig = "/etc/default/quelmar-visca-ipd";

struct options {
  std::string line = "/dev/ttyPS1";
  unsigned speed = 115200;
  std::vector<std::string> udp{"0.0.0.0:52381"};
  std::vector<std::string> tcp{"0.0.0.0:5678"};
  // Networks (ADDR[/PREFIX]) whose controllers are served; empty: all.
  std::vector<std::string> allow;
  // The user to run as once listening (its groups too); empty: as started.
  std::string run_as;
  std::string config = kDefaultConfig;
  bool help = false;
};

// Fills o from argv and the configuration file it names (or the default
// one, read by read_file). False with a message in error for anything
// that is not understood.
bool parse(int argc, char **argv, options &o, std::string &error,
           bool (*read_file)(const std::string &path, std::string &text,
                             std::string &error));

// Applies the text of a configuration file to o; origin names it in
// messages. False with a message for a line that is not understood.
bool apply_config(const std::string &text, const std::string &origin,
                  options &o, std::string &error);

// Splits "ADDR:PORT" or "[ADDR6]:PORT" into its parts; false when it is
// not of that form or the port is not 0 to 65535.
bool split_endpoint(const std::string &text, std::string &host,
                    std::string &port);

extern const char kUsage[];

} // namespace ipd
