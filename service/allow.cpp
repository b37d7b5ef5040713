#include "allow.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace ipd {
namespace {

bool match(const uint8_t *a, const uint8_t *b, unsigned prefix) {
  const unsigned whole = prefix / 8, rest = prefix % 8;
  if (std::memcmp(a, b, whole) != 0)
    return false;
  const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return rest == 0 || ((a[whole] ^ b[whole]) & mask) == 0;
}

} // namespace

bool allow_list::add(const std::string &network, std::string &error) {
  const size_t slash = network.find('/');
  const std::string host = network.substr(0, slash);
  net n{};
  n.v6 = host.find(':') != std::string::npos;
  const unsigned width = n.v6 ? 128 : 32;
  n.prefix = width;
  error = "'" + network + "' is not ADDR or ADDR/PREFIX";
  if (::inet_pton(n.v6 ? AF_INET6 : AF_INET, host.c_str(), n.bits.data()) != 1)
    return false;
  if (slash != std::string::npos) {
    const std::string p = network.substr(slash + 1);
    if (p.empty() || p.size() > 3 ||
        p.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(p) > width)
      return false;
    n.prefix = static_cast<unsigned>(std::stoul(p));
  }
  error.clear();
  nets_.push_back(n);
  return true;
}

bool allow_list::permits(const sockaddr_storage &addr) const {
  if (nets_.empty())
    return true;
  const uint8_t *bytes = nullptr;
  bool v6 = false;
  if (addr.ss_family == AF_INET) {
    bytes = reinterpret_cast<const uint8_t *>(
        &reinterpret_cast<const sockaddr_in *>(&addr)->sin_addr);
  } else if (addr.ss_family == AF_INET6) {
    const auto &a6 = reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_addr;
    bytes = a6.s6_addr;
    v6 = !IN6_IS_ADDR_V4MAPPED(&a6);
    if (!v6)
      bytes += 12;
  } else {
    return false;
  }
  for (const net &n : nets_)
    if (n.v6 == v6 && match(bytes, n.bits.data(), n.prefix))
      return true;
  return false;
}

} // namespace ipd
