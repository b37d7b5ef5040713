// The daemon's options: defaults, the configuration file, the command
// line over both, and what each refuses.
#include "allow.h"
#include "options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>
#include <map>

namespace {

std::map<std::string, std::string> files;

bool fake_read(const std::string &path, std::string &text, std::string &error) {
  auto it = files.find(path);
  if (it == files.end()) {
    error = "No such file or directory";
    return false;
  }
  text = it->second;
  return true;
}

bool parse(std::vector<std::string> args, ipd::options &o, std::string &error) {
  std::vector<char *> argv{const_cast<char *>("quelmar-visca-ipd")};
  for (auto &a : args)
    argv.push_back(a.data());
  return ipd::parse(static_cast<int>(argv.size()), argv.data(), o, error,
                    fake_read);
}

TEST(Options, DefaultsThenFileThenCommandLine) {
  files.clear();
  ipd::options o;
  std::string error;
  ASSERT_TRUE(parse({}, o, error)) << error;
  EXPECT_EQ(o.line, "/dev/ttyPS1");
  EXPECT_EQ(o.speed, 115200u);
  EXPECT_EQ(o.udp, std::vector<std::string>{"0.0.0.0:52381"});
  EXPECT_EQ(o.tcp, std::vector<std::string>{"0.0.0.0:5678"});

  files[ipd::kDefaultConfig] = "# shipped\n\nLINE=/dev/ttyUSB0\n"
                               "SPEED='9600'\n"
                               "UDP=\"127.0.0.1:52381 [::1]:52381\"\nTCP=\n"
                               "ALLOW=\"10.0.0.0/8 fd00::/8\"\n"
                               "RUN_AS=quelmar-visca\n";
  o = {};
  ASSERT_TRUE(parse({}, o, error)) << error;
  EXPECT_EQ(o.line, "/dev/ttyUSB0");
  EXPECT_EQ(o.speed, 9600u);
  EXPECT_EQ(o.udp,
            (std::vector<std::string>{"127.0.0.1:52381", "[::1]:52381"}));
  EXPECT_TRUE(o.tcp.empty()) << "an empty list turns TCP off";
  EXPECT_EQ(o.allow, (std::vector<std::string>{"10.0.0.0/8", "fd00::/8"}));
  EXPECT_EQ(o.run_as, "quelmar-visca");
  // A quote that is not closed is part of the value.
  files[ipd::kDefaultConfig] = "LINE=\"/dev/ttyS1\nUDP=\n";
  o = {};
  ASSERT_TRUE(parse({}, o, error)) << error;
  EXPECT_EQ(o.line, "\"/dev/ttyS1");
  EXPECT_TRUE(o.udp.empty());

  o = {};
  ASSERT_TRUE(parse({"--speed", "115200", "--tcp", "127.0.0.1:0", "--udp",
                     "127.0.0.2:1", "--allow", "::1", "--run-as", "nobody"},
                    o, error))
      << error;
  EXPECT_EQ(o.allow, std::vector<std::string>{"::1"});
  EXPECT_EQ(o.run_as, "nobody");
  EXPECT_EQ(o.speed, 115200u);
  EXPECT_EQ(o.udp, std::vector<std::string>{"127.0.0.2:1"});
  EXPECT_EQ(o.tcp, std::vector<std::string>{"127.0.0.1:0"});
}

TEST(Options, RefusalsNameWhatIsWrong) {
  files.clear();
  files["/etc/odd"] = "LINE=/dev/ttyS0\nBAUD=9600\n";
  files["/etc/empty-lists"] = "UDP=\nTCP=\n";
  struct bad {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"--speed", "57600"}, "speed must be 115200 or 9600"},
      {{"--udp", "52381"}, "is not ADDR:PORT"},
      {{"--udp", "::1:52381"}, "is not ADDR:PORT"},
      {{"--udp", "[::1:52381"}, "is not ADDR:PORT"},
      {{"--udp", "[]:52381"}, "is not ADDR:PORT"},
      {{"--udp", "127.0.0.1:"}, "is not ADDR:PORT"},
      {{"--udp", ":52381"}, "is not ADDR:PORT"},
      {{"--udp", "127.0.0.1:123456"}, "is not ADDR:PORT"},
      {{"--udp", "127.0.0.1:12a"}, "is not ADDR:PORT"},
      {{"--config"}, "bad argument '--config'"},
      {{"--speed"}, "bad argument '--speed'"},
      {{"--udp"}, "bad argument '--udp'"},
      {{"--tcp", "127.0.0.1:65536"}, "is not ADDR:PORT"},
      {{"--line"}, "bad argument '--line'"},
      {{"--allow", "10.0.0.0/33"}, "'10.0.0.0/33' is not ADDR or ADDR/PREFIX"},
      {{"--allow", "10.0.0.0/"}, "is not ADDR or ADDR/PREFIX"},
      {{"--allow", "::1/1x"}, "is not ADDR or ADDR/PREFIX"},
      {{"--allow", "host.example"}, "is not ADDR or ADDR/PREFIX"},
      {{"--verbose"}, "bad argument '--verbose'"},
      {{"--config", "/etc/missing"}, "cannot read /etc/missing"},
      {{"--config", "/etc/odd"}, "/etc/odd:2: unknown setting 'BAUD'"},
      {{"--config", "/etc/empty-lists"}, "nothing to listen on"},
  };
  for (const auto &c : cases) {
    ipd::options o;
    std::string error;
    EXPECT_FALSE(parse(c.args, o, error)) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  for (const char *text :
       {"LINE\n", "LINE=\n", "SPEED=1\n", "TCP=nope\n", "ALLOW=10.1\n"}) {
    ipd::options o;
    std::string error;
    EXPECT_FALSE(ipd::apply_config(text, "f", o, error)) << text;
    EXPECT_EQ(error.rfind("f:1: ", 0), 0u) << error;
  }
}

// Which peers an allow list lets in, IPv4-mapped IPv6 addresses included.
TEST(Options, AllowListMatchesByPrefix) {
  ipd::allow_list list;
  std::string error;
  EXPECT_TRUE(list.permits(sockaddr_storage{})) << "empty: everyone";
  for (const char *n : {"192.168.1.0/24", "10.0.0.7", "2001:db8::/33", "::/0"})
    ASSERT_TRUE(list.add(n, error)) << n;
  ipd::allow_list v4;
  for (const char *n : {"192.168.1.0/23", "10.0.0.7", "172.16.0.0/12"})
    ASSERT_TRUE(v4.add(n, error)) << n;
  auto addr = [](const char *text) {
    sockaddr_storage a{};
    const bool v6 = std::string(text).find(':') != std::string::npos;
    a.ss_family = v6 ? AF_INET6 : AF_INET;
    void *bytes = v6 ? static_cast<void *>(
                           &reinterpret_cast<sockaddr_in6 *>(&a)->sin6_addr)
                     : static_cast<void *>(
                           &reinterpret_cast<sockaddr_in *>(&a)->sin_addr);
    EXPECT_EQ(::inet_pton(a.ss_family, text, bytes), 1) << text;
    return a;
  };
  struct probe {
    const char *from;
    bool allowed;
  } cases[] = {
      {"192.168.0.1", true},      {"192.168.1.255", true},
      {"192.168.2.1", false},     {"10.0.0.7", true},
      {"10.0.0.8", false},        {"172.31.255.255", true},
      {"172.32.0.0", false},      {"::ffff:10.0.0.7", true},
      {"::ffff:10.0.0.6", false}, {"2001:db8::1", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(v4.permits(addr(c.from)), c.allowed) << c.from;
  EXPECT_TRUE(list.permits(addr("2001:db8::1")));
  sockaddr_storage unix_peer{};
  unix_peer.ss_family = AF_UNIX;
  EXPECT_FALSE(list.permits(unix_peer));
}

} // namespace
