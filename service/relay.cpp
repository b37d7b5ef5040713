#include "relay.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace viscaip {
namespace {

constexpr uint8_t kCameraReply = 0x90; // from camera 1
constexpr uint8_t kLengthError = 0x01;
constexpr uint8_t kSyntaxError = 0x02;
constexpr uint8_t kBufferFull = 0x03;
constexpr uint8_t kNotExecutable = 0x41;
// Clears the MCU's buffers; answered with 90 50 FF once all before it is.
const bytes kIfClear = {0x81, 0x01, 0x00, 0x01, 0xFF};
const bytes kIfClearDone = {0x90, 0x50, 0xFF};

// Logs show at most a message's worth.
std::string shown(const uint8_t *data, size_t size) {
  return hex(data, size, kMaxMessage);
}

// The reply address of camera n (1 to 7) is (n + 8) << 4.
uint8_t reply_address_for(uint8_t address) {
  if (address < 0x81 || address > 0x87)
    return kCameraReply;
  return static_cast<uint8_t>(((address & 0x0F) + 8) << 4);
}

std::string udp_key(const udp_peer &p) {
  std::string key = "u";
  key.append(reinterpret_cast<const char *>(&p.socket), sizeof p.socket);
  key.append(reinterpret_cast<const char *>(&p.addr),
             std::min<size_t>(p.len, sizeof p.addr));
  return key;
}

std::string tcp_key(uint64_t conn) {
  std::string key = "t";
  key.append(reinterpret_cast<const char *>(&conn), sizeof conn);
  return key;
}

} // namespace

std::string describe(const udp_peer &peer) {
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  // The kernel fills in as much as the family needs.
  if (peer.addr.ss_family == AF_INET) {
    const auto *a = reinterpret_cast<const sockaddr_in *>(&peer.addr);
    ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (peer.addr.ss_family == AF_INET6) {
    const auto *a = reinterpret_cast<const sockaddr_in6 *>(&peer.addr);
    ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
  }
  return "[" + std::string(host) + "]:" + std::to_string(port);
}

relay::relay(relay_limits limits) : limits_(limits) {}

std::string relay::name_of(const controller &c) {
  return c.udp ? "UDP controller " + describe(c.peer)
               : "TCP connection " + std::to_string(c.conn);
}

size_t relay::queued() const {
  size_t n = 0;
  for (const auto &c : controllers_)
    n += c.second.queue.size();
  return n;
}

bool relay::owes(uint64_t conn) const {
  const std::string key = tcp_key(conn);
  auto it = controllers_.find(key);
  return (it != controllers_.end() && !it->second.queue.empty()) ||
         referenced(key);
}

std::string describe(const relay_counters &c) {
  const std::pair<const char *, uint64_t> all[] = {
      {"forwarded", c.forwarded},     {"replies", c.replies},
      {"rejected", c.rejected},       {"busy", c.busy},
      {"duplicates", c.duplicates},   {"timeouts", c.timeouts},
      {"unsolicited", c.unsolicited}, {"undeliverable", c.undeliverable},
      {"resyncs", c.resyncs}};
  std::string text;
  for (const auto &kv : all)
    text += std::string(text.empty() ? "" : ", ") + kv.first + " " +
            std::to_string(kv.second);
  return text;
}

ms relay::deadline() const {
  if (in_flight_)
    return in_flight_->due;
  return late_ ? late_->due : -1;
}

template <class Text>
void relay::note(fault kind, ms now, Text text, outbox &out) {
  fault_log &f = faults_[kind];
  if (f.seen && now - f.last < limits_.log_interval) {
    ++f.suppressed;
    return;
  }
  std::string line = text();
  if (f.suppressed > 0)
    line += " (and " + std::to_string(f.suppressed) + " more like it)";
  out.log.push_back(line);
  f = fault_log{true, now, 0};
}

void relay::control(const udp_peer &to, uint16_t type, uint32_t sequence,
                    const bytes &payload, outbox &out) {
  out.datagrams.push_back({to, build(type, sequence, payload)});
}

relay::controller *relay::udp_controller(const udp_peer &from, ms now) {
  const std::string key = udp_key(from);
  auto it = controllers_.find(key);
  if (it != controllers_.end())
    return &it->second;
  if (udp_count_ >= limits_.udp_controllers) {
    // Forget the UDP controller heard from longest ago that has nothing
    // waiting and nothing on the MCU.
    auto victim = controllers_.end();
    for (auto c = controllers_.begin(); c != controllers_.end(); ++c) {
      if (!c->second.udp || !c->second.queue.empty() || referenced(c->first))
        continue;
      if (victim == controllers_.end() ||
          c->second.last_seen < victim->second.last_seen)
        victim = c;
    }
    if (victim == controllers_.end())
      return nullptr;
    controllers_.erase(victim);
    --udp_count_;
  }
  controller &c = controllers_[key];
  c.udp = true;
  c.peer = from;
  c.last_seen = now;
  ++udp_count_;
  return &c;
}

bool relay::referenced(const std::string &key) const {
  if ((in_flight_ && in_flight_->to.key == key) ||
      (late_ && late_->to.key == key))
    return true;
  for (const auto &s : sockets_)
    if (s && s->key == key)
      return true;
  return false;
}

void relay::datagram(const udp_peer &from, const uint8_t *data, size_t size,
                     ms now, outbox &out) {
  viscaip::datagram d;
  const header_fault hf = parse(data, size, d);
  if (hf == header_fault::short_header) {
    // Nothing to answer with: no sequence number.
    ++counters_.rejected;
    note(
        bad_datagram, now,
        [&] {
          return std::string("datagram of " + std::to_string(size) +
                             " bytes from " + describe(from) +
                             ": shorter than a header, dropped");
        },
        out);
    return;
  }
  if (hf == header_fault::bad_length) {
    ++counters_.rejected;
    note(
        bad_datagram, now,
        [&] {
          return std::string(
              "datagram from " + describe(from) +
              ": its length field does not match its payload of " +
              std::to_string(size - kHeader) + " bytes");
        },
        out);
    control(from, control_command, d.sequence, {0x0F, 0x02}, out);
    return;
  }
  switch (d.type) {
  case visca_command:
  case visca_inquiry:
  case device_setting:
    break;
  case control_command:
    if (d.length == 1 && d.payload[0] == 0x01) {
      // RESET: the controller counts afresh.
      auto it = controllers_.find(udp_key(from));
      if (it != controllers_.end())
        it->second.has_last = false;
      control(from, control_reply, d.sequence, {0x01}, out);
      return;
    }
    if (d.payload[0] == 0x0F)
      return; // a controller's error report: answering it could echo forever
    [[fallthrough]];
  default:
    ++counters_.rejected;
    note(
        bad_datagram, now,
        [&] {
          return std::string("datagram from " + describe(from) +
                             ": payload type " + shown(data, 2) + " with " +
                             shown(d.payload, d.length) +
                             " is not one a camera takes");
        },
        out);
    control(from, control_command, d.sequence, {0x0F, 0x02}, out);
    return;
  }

  controller *c = udp_controller(from, now);
  if (c == nullptr) {
    ++counters_.busy;
    note(
        too_many, now,
        [&] {
          return std::string("too many UDP controllers at once; " +
                             describe(from) + " turned away");
        },
        out);
    bytes busy{reply_address_for(d.payload[0]), 0x60, kBufferFull, kTerminator};
    out.datagrams.push_back({from, build(visca_reply, d.sequence, busy)});
    return;
  }
  c->last_seen = now;
  const bytes payload(d.payload, d.payload + d.length);
  if (c->has_last && c->last_sequence == d.sequence && c->last_type == d.type &&
      c->last_payload == payload) {
    if (c->last == outcome::performed) {
      ++counters_.duplicates;
      note(
          duplicate, now,
          [&] {
            return std::string("retransmission of sequence number " +
                               std::to_string(d.sequence) + " from " +
                               describe(from) +
                               " already performed: not executed again");
          },
          out);
      control(from, control_command, d.sequence, {0x0F, 0x01}, out);
      return;
    }
    if (c->last == outcome::pending)
      return; // the first sending's reply is on its way
  }
  c->has_last = true;
  c->last_type = d.type;
  c->last_sequence = d.sequence;
  c->last_payload = payload;
  c->last = outcome::pending;
  take(udp_key(from), *c, d.payload, d.length, d.sequence, now, out);
}

void relay::stream_bytes(uint64_t conn, const uint8_t *data, size_t size,
                         ms now, outbox &out) {
  const std::string key = tcp_key(conn);
  controller &c = controllers_[key];
  c.conn = conn;
  c.last_seen = now;
  c.stream.feed(data, size, [&](framer::event e, const bytes &run) {
    if (e == framer::event::message) {
      take(key, c, run.data(), run.size(), 0, now, out);
      return;
    }
    ++counters_.rejected;
    note(
        bad_message, now,
        [&] {
          return std::string("TCP connection " + std::to_string(conn) +
                             ": over 16 bytes without FF (" +
                             shown(run.data(), run.size()) +
                             "), skipped to the next FF");
        },
        out);
    reply(key, 0, reply_address_for(run[0]),
          {reply_address_for(run[0]), 0x60, kLengthError, kTerminator}, out);
  });
}

void relay::stream_closed(uint64_t conn) {
  // Routes to it stay until their replies come; those are then dropped.
  const std::string key = tcp_key(conn);
  controllers_.erase(key);
  ring_.erase(std::remove(ring_.begin(), ring_.end(), key), ring_.end());
}

void relay::take(const std::string &key, controller &c, const uint8_t *data,
                 size_t size, uint32_t sequence, ms now, outbox &out) {
  const route to{key, sequence, reply_address_for(data[0])};
  const message_fault mf = check_message(data, size);
  if (mf != message_fault::none) {
    ++counters_.rejected;
    note(
        bad_message, now,
        [&] {
          return std::string(
              name_of(c) + ": " + shown(data, size) +
              " is not one VISCA message (" +
              (mf == message_fault::length ? "length" : "syntax") + " error)");
        },
        out);
    fail(to, mf == message_fault::length ? kLengthError : kSyntaxError, out);
    return;
  }
  if (!line_up_) {
    note(
        line_gone, now,
        [&] {
          return std::string(
              "the MCU's line is down: answering not executable");
        },
        out);
    fail(to, kNotExecutable, out);
    return;
  }
  if (c.queue.size() >= limits_.queue) {
    ++counters_.busy;
    note(
        queue_full, now,
        [&] {
          return std::string(name_of(c) + " has " +
                             std::to_string(limits_.queue) +
                             " messages waiting: answering buffer full");
        },
        out);
    fail(to, kBufferFull, out);
    return;
  }
  bytes msg(data, data + size);
  msg[0] = 0x81;
  c.queue.push_back({std::move(msg), sequence, to.reply_address});
  if (!c.in_ring) {
    c.in_ring = true;
    ring_.push_back(key);
  }
  dispatch(now, out);
}

void relay::dispatch(ms now, outbox &out) {
  while (!in_flight_ && !late_ && line_up_ && !ring_.empty()) {
    const std::string key = ring_.front();
    ring_.pop_front();
    // Controllers leave the ring when their queue empties or they go.
    controller &c = controllers_.at(key);
    message m = std::move(c.queue.front());
    c.queue.pop_front();
    c.in_ring = !c.queue.empty();
    if (c.in_ring)
      ring_.push_back(key);
    out.line.insert(out.line.end(), m.data.begin(), m.data.end());
    in_flight_ = in_flight{{key, m.sequence, m.reply_address},
                           std::move(m.data),
                           now + limits_.answer_timeout,
                           event_,
                           true};
    ++counters_.forwarded;
  }
}

void relay::reply(const std::string &key, uint32_t sequence, uint8_t address,
                  const bytes &msg, outbox &out) {
  auto it = controllers_.find(key);
  if (it == controllers_.end()) {
    ++counters_.undeliverable;
    return;
  }
  bytes r = msg;
  r[0] = address;
  ++counters_.replies;
  if (it->second.udp)
    out.datagrams.push_back({it->second.peer, build(visca_reply, sequence, r)});
  else
    out.streams.push_back({it->second.conn, std::move(r)});
}

void relay::deliver(const route &to, const bytes &msg, outbox &out) {
  reply(to.key, to.sequence, to.reply_address, msg, out);
}

void relay::fail(const route &to, uint8_t code, outbox &out) {
  deliver(to, {to.reply_address, 0x60, code, kTerminator}, out);
  settle(to, outcome::failed);
}

void relay::settle(const route &to, outcome result) {
  auto it = controllers_.find(to.key);
  if (it == controllers_.end())
    return;
  controller &c = it->second;
  if (c.udp && c.has_last && c.last_sequence == to.sequence &&
      c.last == outcome::pending)
    c.last = result;
}

void relay::finish(ms now, outbox &out) {
  in_flight_.reset();
  dispatch(now, out);
}

void relay::line_bytes(const uint8_t *data, size_t size, ms now, outbox &out) {
  ++event_;
  line_.feed(data, size, [&](framer::event e, const bytes &run) {
    if (e == framer::event::message) {
      on_reply(run, now, out);
      return;
    }
    note(
        mcu_noise, now,
        [&] {
          return std::string("the MCU sent over 16 bytes without FF (" +
                             shown(run.data(), run.size()) + "): skipped");
        },
        out);
  });
  if (line_.noise() != line_noise_seen_) {
    note(
        mcu_noise, now,
        [&] {
          return std::string("noise from the MCU: " +
                             std::to_string(line_.noise() - line_noise_seen_) +
                             " bytes that start no reply, skipped");
        },
        out);
    line_noise_seen_ = line_.noise();
  }
}

void relay::on_reply(const bytes &msg, ms now, outbox &out) {
  // The framer gives at least an address byte and FF; "90 FF" is no
  // reply, and kind 0 matches nothing below.
  const uint8_t kind = msg[1] & 0xF0;
  const uint8_t y = msg[1] & 0x0F;
  auto &socket = sockets_[y];
  // An IF_Clear's answer; read in the call that sent the last one, it
  // can only be an earlier one's.
  if (late_ && msg == kIfClearDone &&
      ((late_->written && late_->sent_in != event_) || late_->clears > 1)) {
    if (late_->own_clear) {
      deliver(late_->to, msg, out);
      performed_late(out);
      late_->own_clear = false;
    }
    late_->heard = true;
    late_->due = now + limits_.resync_timeout; // for the rest's answers
    // The MCU has said all it had to say before the last IF_Clear.
    if (--late_->clears == 0)
      back_in_step(now, out);
    return;
  }
  // A message sent while this call's bytes were being read cannot have
  // been answered by them.
  const bool waiting =
      in_flight_ && in_flight_->written && in_flight_->sent_in != event_;
  // Whose a first reply is: the message on the line's, or the late one's.
  const route *first = waiting ? &in_flight_->to : late_ ? &late_->to : nullptr;
  if (kind == 0x40 && first) {
    const route to = *first;
    if (y != 0)
      socket = to;
    deliver(to, msg, out);
    answered(to, outcome::performed, now, out);
    return;
  }
  if ((kind == 0x50 || kind == 0x60) && y != 0 && socket) {
    // A completion or error of the command in socket y.
    const route owner = *socket;
    socket.reset();
    deliver(owner, msg, out);
    // A cancel that was on the line is answered by the same error.
    if (kind == 0x60 && waiting && in_flight_->data[1] == (0x20 | y)) {
      const route to = in_flight_->to;
      if (to.key != owner.key)
        deliver(to, msg, out);
      answered(to, outcome::performed, now, out);
    }
    return;
  }
  if ((kind == 0x50 || kind == 0x60) && first) {
    const route to = *first;
    deliver(to, msg, out);
    answered(to, kind == 0x50 ? outcome::performed : outcome::failed, now, out);
    return;
  }
  ++counters_.unsolicited;
  note(
      unsolicited, now,
      [&] {
        return "reply nobody waits for from the MCU: " +
               shown(msg.data(), msg.size());
      },
      out);
}

void relay::answered(const route &to, outcome result, ms now, outbox &out) {
  if (!late_) {
    settle(to, result);
    finish(now, out);
  } else if (result == outcome::performed) {
    performed_late(out);
  }
}

// The late message was carried out after all, though its controller was
// told it was not: its retransmission must not run it again.
void relay::performed_late(outbox &out) {
  const route &to = late_->to;
  auto it = controllers_.find(to.key);
  if (it == controllers_.end() || !it->second.udp)
    return; // a TCP resend cannot be told from a new message
  controller &c = it->second;
  const auto same = [&](const bytes &payload) {
    return payload.size() == late_->data.size() &&
           std::equal(payload.begin() + 1, payload.end(),
                      late_->data.begin() + 1);
  };
  if (c.has_last && c.last_sequence == to.sequence && same(c.last_payload))
    c.last = outcome::performed;
  // A retransmission already waiting gets what one sent now would.
  for (auto m = c.queue.begin(); m != c.queue.end();) {
    if (m->sequence != to.sequence || !same(m->data)) {
      ++m;
      continue;
    }
    ++counters_.duplicates;
    control(c.peer, control_command, to.sequence, {0x0F, 0x01}, out);
    m = c.queue.erase(m);
  }
  if (c.queue.empty() && c.in_ring) {
    c.in_ring = false;
    ring_.erase(std::remove(ring_.begin(), ring_.end(), to.key), ring_.end());
  }
}

void relay::back_in_step(ms now, outbox &out) {
  late_.reset();
  note(
      resync, now,
      [] { return std::string("the MCU answered IF_Clear: back in step"); },
      out);
  dispatch(now, out);
}

void relay::send_clear(ms now, outbox &out) {
  out.line.insert(out.line.end(), kIfClear.begin(), kIfClear.end());
  ++counters_.resyncs;
  ++late_->clears;
  late_->heard = false;
  late_->due = now + limits_.resync_timeout;
  late_->sent_in = event_;
}

void relay::line_blocked() {
  if (in_flight_)
    in_flight_->written = false;
  else if (late_)
    late_->written = false;
}

void relay::line_flushed(ms now) {
  if (in_flight_) {
    in_flight_->due = now + limits_.answer_timeout;
    in_flight_->written = true;
  } else if (late_) {
    late_->due = now + limits_.resync_timeout;
    late_->written = true;
  }
}

void relay::tick(ms now, outbox &out) {
  if (in_flight_ && now >= in_flight_->due) {
    ++counters_.timeouts;
    note(
        no_answer, now,
        [&] {
          return "no reply from the MCU within " +
                 std::to_string(limits_.answer_timeout) +
                 " ms: answering not executable, and sending IF_Clear to get "
                 "back in step";
        },
        out);
    in_flight gone = std::move(*in_flight_);
    in_flight_.reset();
    fail(gone.to, kNotExecutable, out);
    // The MCU may still carry it out: nothing else goes to the line until
    // an IF_Clear behind it is answered (the message's own, if it is one).
    const bool own = gone.data == kIfClear;
    late_ = late{gone.to,
                 std::move(gone.data),
                 now + limits_.resync_timeout,
                 gone.sent_in,
                 own,
                 own ? 1u : 0u,
                 false,
                 true};
    if (!own)
      send_clear(now, out);
    return;
  }
  if (late_ && now >= late_->due && late_->heard) {
    // It answered an IF_Clear, then nothing more for so long: the others
    // never reached it.
    back_in_step(now, out);
    return;
  }
  if (late_ && now >= late_->due) {
    note(
        resync, now,
        [&] {
          return "no answer to IF_Clear within " +
                 std::to_string(limits_.resync_timeout) +
                 " ms: answering what waits not executable, and sending it "
                 "again";
        },
        out);
    fail_waiting(out);
    late_->own_clear = false;
    send_clear(now, out);
  }
}

void relay::fail_waiting(outbox &out) {
  for (auto &entry : controllers_) {
    controller &c = entry.second;
    for (const message &m : c.queue)
      fail({entry.first, m.sequence, m.reply_address}, kNotExecutable, out);
    c.queue.clear();
    c.in_ring = false;
  }
  ring_.clear();
}

void relay::line_up(ms now, outbox &out) {
  line_up_ = true;
  line_.reset();
  for (auto &s : sockets_)
    s.reset();
  dispatch(now, out);
}

void relay::line_down(ms now, outbox &out) {
  line_up_ = false;
  line_.reset();
  late_.reset();
  // Completions of commands in the MCU's sockets will not come.
  for (auto &s : sockets_)
    s.reset();
  if (in_flight_) {
    fail(in_flight_->to, kNotExecutable, out);
    in_flight_.reset();
  }
  fail_waiting(out);
  note(
      line_gone, now, [] { return std::string("the MCU's line went away"); },
      out);
}

} // namespace viscaip
