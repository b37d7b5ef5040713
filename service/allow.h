// Which controllers may talk to the camera: networks as ADDR[/PREFIX],
// IPv4 or IPv6. An empty list allows every address. An IPv4 address seen
// as IPv6 (::ffff:a.b.c.d) is taken as the IPv4 one.
//
// Thread safety: none needed; built once, then only read.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace ipd {

class allow_list {
public:
  // Adds "192.168.1.0/24", "10.0.0.7", "2001:db8::/32", "::1". False, with
  // the reason in error, when it is none of these.
  bool add(const std::string &network, std::string &error);
  bool permits(const sockaddr_storage &addr) const;
  bool empty() const { return nets_.empty(); }

private:
  struct net {
    bool v6;
    std::array<uint8_t, 16> bits;
    unsigned prefix;
  };
  std::vector<net> nets_;
};

} // namespace ipd
