// visca-send: sends one VISCA command or inquiry through the controller, or
// to a network camera over VISCA over IP (UDP) or raw VISCA (TCP), and
// reports the outcome. A bring-up aid for the board and the simulated MCU.
#include "net_client.h"
#include "visca.h"
#include "viscaip.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: visca-send [--device PATH] [--speed 115200|9600]\n"
    "                  command|inquiry TYPE ID [PAYLOAD...]\n"
    "       visca-send --udp HOST[:PORT] | --tcp HOST[:PORT]\n"
    "                  [--seq N] [--timeout MS] [--times]\n"
    "                  command|inquiry TYPE ID [PAYLOAD...]\n"
    "       visca-send --udp HOST[:PORT] [--seq N] [--timeout MS] reset\n"
    "       visca-send --help\n"
    "\n"
    "Sends 81 01 TYPE ID PAYLOAD FF (a command) or 81 09 TYPE ID PAYLOAD FF\n"
    "(an inquiry) on the serial line and reports the acknowledgement and\n"
    "completion, or the reply. TYPE, ID and each payload byte are hex bytes;\n"
    "at most 8 payload bytes. The device defaults to /dev/ttyPS1 and the\n"
    "speed to 115200. An accepted inquiry reply also rewrites the version\n"
    "file, as the controller always does.\n"
    "\n"
    "Over the network it sends the same message to a camera and prints\n"
    "every reply as it comes, until the completion, the inquiry's reply,\n"
    "an error, or the timeout. 'reset' sends VISCA over IP's RESET, which\n"
    "starts the camera's count of sequence numbers afresh.\n"
    "\n"
    "Options:\n"
    "  --device PATH   the serial device (default /dev/ttyPS1)\n"
    "  --speed BAUD    115200 (default) or 9600\n"
    "  --udp HOST[:PORT]  send over VISCA over IP (default port 52381)\n"
    "  --tcp HOST[:PORT]  send as raw VISCA over TCP (default port 5678)\n"
    "  --seq N         the datagram's sequence number (default 1)\n"
    "  --timeout MS    how long to wait for the last reply over the\n"
    "                  network (default 5000)\n"
    "  --times         say how long after the sending each reply came\n"
    "  --help          show this text\n"
    "\n"
    "Exit status: 0 when the command completed, the inquiry was answered\n"
    "or the RESET acknowledged; 1 when it was not, 2 for bad arguments.\n";

[[noreturn]] void usage_error(const std::string &msg) {
  std::fprintf(stderr, "visca-send: %s\nTry 'visca-send --help'.\n",
               msg.c_str());
  std::exit(2);
}

int hex_byte(const char *text) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 16);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 0xFF)
    usage_error(std::string("not a hex byte: '") + text + "'");
  return static_cast<int>(v);
}

unsigned long long decimal(const char *text, unsigned long long max,
                           const char *what) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max)
    usage_error(std::string("bad ") + what + ": '" + text + "'");
  return v;
}

void print_bytes(const char *label, const uint8_t *data, int len) {
  std::printf("%s %s\n", label,
              viscaip::hex(data, static_cast<size_t>(len)).c_str());
}

// net::send, with the reason on standard error when the camera could not
// be reached.
int send_over_network(const net::target &target,
                      const std::vector<uint8_t> &msg) {
  std::string error;
  const int rc = net::send(target, msg, error);
  if (!error.empty())
    std::fprintf(stderr, "visca-send: %s\n", error.c_str());
  return rc;
}

} // namespace

int main(int argc, char **argv) {
  const char *device = "/dev/ttyPS1";
  speed_t speed = B115200;
  net::target target;
  std::vector<const char *> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--device" && i + 1 < argc) {
      device = argv[++i];
    } else if (a == "--speed" && i + 1 < argc) {
      std::string s = argv[++i];
      if (s == "115200")
        speed = B115200;
      else if (s == "9600")
        speed = B9600;
      else
        usage_error("speed must be 115200 or 9600");
    } else if ((a == "--udp" || a == "--tcp") && i + 1 < argc) {
      target.udp = a == "--udp";
      target.where = argv[++i];
    } else if (a == "--seq" && i + 1 < argc) {
      target.sequence = static_cast<uint32_t>(
          decimal(argv[++i], 0xFFFFFFFFull, "sequence number"));
    } else if (a == "--times") {
      target.times = true;
    } else if (a == "--timeout" && i + 1 < argc) {
      target.timeout_ms =
          static_cast<int>(decimal(argv[++i], 600000, "timeout"));
    } else if (a.size() > 1 && a[0] == '-') {
      usage_error("bad option '" + a + "'");
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() == 1 && std::string(args[0]) == "reset") {
    if (!target.udp || target.where.empty())
      usage_error("reset is VISCA over IP's: it needs --udp");
    // RESET: a control command whose payload is 01.
    target.reset = true;
    return send_over_network(target, {0x01});
  }
  if (args.size() < 3)
    usage_error("need command|inquiry, TYPE and ID");
  std::string kind = args[0];
  if (kind != "command" && kind != "inquiry")
    usage_error("first word must be 'command' or 'inquiry'");
  int type = hex_byte(args[1]);
  int id = hex_byte(args[2]);
  int payload_len = static_cast<int>(args.size()) - 3;
  if (payload_len > 8)
    usage_error("at most 8 payload bytes");
  uint64_t payload = 0;
  for (size_t i = 3; i < args.size(); ++i)
    payload = (payload << 8) | static_cast<uint64_t>(hex_byte(args[i]));

  visca ctl;
  if (!target.where.empty()) {
    // The controller only builds the message here.
    std::vector<uint8_t> msg;
    target.inquiry = kind == "inquiry";
    if (target.inquiry) {
      visca_inq_command rec{};
      ctl.create_inqcommand(rec, payload_len, type, id, payload);
      msg.assign(rec.cmd, rec.cmd + rec.cmd_length);
    } else {
      visca_command rec{};
      ctl.create_command(rec, payload_len, type, id, payload);
      msg.assign(rec.cmd, rec.cmd + rec.cmd_length);
    }
    return send_over_network(target, msg);
  }
  ctl.camSerial = device;
  if (!ctl.init_visca(speed)) {
    std::fprintf(stderr, "visca-send: cannot open %s: %s\n", device,
                 std::strerror(errno));
    return 1;
  }
  bool ok = false;
  if (kind == "command") {
    visca_command rec{};
    ctl.create_command(rec, payload_len, type, id, payload);
    print_bytes("sent:", rec.cmd, rec.cmd_length);
    ctl.visca_exec_cmd(rec);
    std::printf("acknowledged: %s\ncompleted: %s\n", rec.ack ? "yes" : "no",
                rec.comp ? "yes" : "no");
    ok = rec.ack && rec.comp;
  } else {
    visca_inq_command rec{};
    ctl.create_inqcommand(rec, payload_len, type, id, payload);
    print_bytes("sent:", rec.cmd, rec.cmd_length);
    ok = ctl.visca_exec_inq_cmd(rec);
    if (ok)
      print_bytes("reply:", rec.inq, rec.inq_length);
    else
      std::printf("reply: none accepted\n");
  }
  ctl.deinit_visca();
  return ok ? 0 : 1;
}
