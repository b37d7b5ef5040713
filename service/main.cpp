// quelmar-visca-ipd: the board as a network camera. See daemon.h.
#include "daemon.h"
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

bool read_file(const std::string &path, std::string &text, std::string &error) {
  std::ifstream in(path);
  if (!in) {
    error = std::strerror(errno);
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

} // namespace

int main(int argc, char **argv) {
  ipd::options o;
  std::string error;
  if (!ipd::parse(argc, argv, o, error, read_file)) {
    std::fprintf(stderr,
                 "quelmar-visca-ipd: %s\nTry 'quelmar-visca-ipd --help'.\n",
                 error.c_str());
    return 2;
  }
  if (o.help) {
    std::fputs(ipd::kUsage, stdout);
    return 0;
  }
  return ipd::run(o);
}
