#include "mcu_sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace mcusim {
namespace {

constexpr uint8_t kTerminator = 0xFF;
constexpr milliseconds kTrickleGap{2};
// Longer than any VISCA message: a run this long without FF is noise.
constexpr size_t kMaxMessage = 64;

bool is_address(uint8_t b) { return (b & 0xF0) == 0x80; }

[[noreturn]] void fail(const char *what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

struct rate {
  speed_t speed;
  unsigned baud;
};
constexpr rate kRates[] = {
    {B1200, 1200},     {B2400, 2400},    {B4800, 4800},   {B9600, 9600},
    {B19200, 19200},   {B38400, 38400},  {B57600, 57600}, {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}};

timespec to_timespec(clock::duration d) {
  if (d < clock::duration::zero())
    d = clock::duration::zero();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{static_cast<time_t>(ns / 1000000000),
                  static_cast<long>(ns % 1000000000)};
}

} // namespace

unsigned baud_of(speed_t speed) {
  for (const auto &r : kRates)
    if (r.speed == speed)
      return r.baud;
  return 0;
}

speed_t speed_of(unsigned baud) {
  for (const auto &r : kRates)
    if (r.baud == baud)
      return r.speed;
  return 0;
}

std::string hex(const bytes &data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    out += buf;
  }
  return out;
}

framing framing::of(const termios &t) {
  framing f;
  f.speed = ::cfgetospeed(&t);
  switch (t.c_cflag & CSIZE) {
  case CS5:
    f.data_bits = 5;
    break;
  case CS6:
    f.data_bits = 6;
    break;
  case CS7:
    f.data_bits = 7;
    break;
  default:
    f.data_bits = 8;
  }
  f.parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
  f.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
  f.rtscts = (t.c_cflag & CRTSCTS) != 0;
  return f;
}

bool framing::readable_at(speed_t want) const {
  return speed == want && data_bits == 8 && parity == 'N' && !rtscts;
}

std::string describe(const framing &f) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%u %u%c%u%s", baud_of(f.speed), f.data_bits,
                f.parity, f.stop_bits, f.rtscts ? " rtscts" : "");
  return buf;
}

answer answer::silence() { return answer{}; }

answer answer::raw(bytes data) {
  answer a;
  a.segments.push_back(
      segment{std::move(data), microseconds{0}, pacing::burst});
  return a;
}

answer answer::version(uint8_t v) {
  bytes reply(16, 0x00);
  reply[0] = 0x90;
  reply[1] = 0x50;
  reply[14] = v;
  reply[15] = kTerminator;
  return raw(std::move(reply));
}

answer answer::ack() { return raw({0x90, 0x41, 0xFF}); }
answer answer::completion() { return raw({0x90, 0x51, 0xFF}); }

answer answer::ack_and_completion(milliseconds gap) {
  if (gap.count() == 0)
    return raw({0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF});
  answer a = ack();
  a.then(completion().after(gap));
  return a;
}

answer answer::error() { return raw({0x90, 0x60, 0x02, 0xFF}); }
answer answer::garbage() { return raw({0x00, 0x13, 0xA7, 0x5C, 0x22}); }

answer answer::overlong() {
  bytes run(32, 0x11);
  run[0] = 0x90;
  return raw(std::move(run));
}

answer &answer::after(microseconds delay) {
  if (!segments.empty())
    segments.front().delay = delay;
  return *this;
}

answer &answer::paced(pacing pace) {
  for (auto &s : segments)
    s.pace = pace;
  return *this;
}

answer &answer::then(const answer &next) {
  segments.insert(segments.end(), next.segments.begin(), next.segments.end());
  return *this;
}

answer &answer::until_next_message() {
  held_for_next = true;
  return *this;
}

answer &answer::hang_up_after(int count) {
  hangup_after = count;
  return *this;
}

void unique_fd::reset(int fd) {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = fd;
}

mcu::mcu(config cfg) : cfg_(cfg) {
  // Each descriptor is owned as soon as it exists: a throw below closes
  // those already opened.
  master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (master_.get() < 0)
    fail("posix_openpt");
  char name[128];
  if (::grantpt(master_.get()) < 0 || ::unlockpt(master_.get()) < 0 ||
      ::ptsname_r(master_.get(), name, sizeof name) != 0)
    fail("pty set-up");
  slave_name_ = name;
  // Held open so that the tty, and the settings the controller gave it,
  // outlive the controller's close, as a UART's do. Its settings are left
  // as the kernel made them: setting up the line is the controller's job.
  slave_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (slave_.get() < 0)
    fail("open pty slave");
  // The serving loop reads until EAGAIN and inject() must never block.
  int flags = ::fcntl(master_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK) < 0)
    fail("fcntl O_NONBLOCK");
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) < 0)
    fail("pipe2");
  wake_[0].reset(wake[0]);
  wake_[1].reset(wake[1]);
  thread_ = std::thread([this] { serve(); });
}

mcu::~mcu() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  [[maybe_unused]] ssize_t w = ::write(wake_[1].get(), "x", 1);
  thread_.join();
  // The descriptors close themselves.
}

void mcu::script(answer a) {
  std::lock_guard<std::mutex> lock(mu_);
  script_.push_back(std::move(a));
}

void mcu::set_default(answer a) {
  std::lock_guard<std::mutex> lock(mu_);
  default_ = std::move(a);
  has_default_ = true;
}

void mcu::set_hold(microseconds hold) {
  std::lock_guard<std::mutex> lock(mu_);
  hold_ = hold;
}

void mcu::set_pacing(pacing pace) {
  std::lock_guard<std::mutex> lock(mu_);
  pace_ = pace;
}

void mcu::set_completion_gap(milliseconds gap) {
  std::lock_guard<std::mutex> lock(mu_);
  gap_ = gap;
}

void mcu::set_completion_delay(bytes prefix, milliseconds gap) {
  std::lock_guard<std::mutex> lock(mu_);
  delays_.emplace_back(std::move(prefix), gap);
}

void mcu::set_observer(traffic_fn fn) {
  std::lock_guard<std::mutex> lock(mu_);
  observer_ = std::move(fn);
}

void mcu::set_state_observer(state_fn fn) {
  std::lock_guard<std::mutex> lock(mu_);
  state_observer_ = std::move(fn);
}

size_t mcu::inject(const bytes &data) {
  std::lock_guard<std::mutex> lock(mu_);
  size_t done = 0;
  // After a hang-up there is no line: nothing goes in.
  while (master_.get() >= 0 && done < data.size()) {
    ssize_t w = ::write(master_.get(), data.data() + done, data.size() - done);
    if (w <= 0)
      break; // full (EAGAIN): the rest overruns
    done += static_cast<size_t>(w);
  }
  return done;
}

std::vector<received> mcu::log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

size_t mcu::interleaved() const {
  std::lock_guard<std::mutex> lock(mu_);
  return interleaved_;
}

bool mcu::hung_up() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hung_up_;
}

size_t mcu::stray() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stray_;
}

// The master shares the slave's settings, whoever holds the slave.
framing mcu::line_framing() const {
  termios t{};
  if (master_.get() < 0 || ::tcgetattr(master_.get(), &t) < 0)
    return framing{};
  return framing::of(t);
}

void mcu::notify(bool to_mcu, const bytes &data, const framing &line) {
  traffic_fn fn;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fn = observer_;
  }
  if (fn)
    fn(to_mcu, data, line);
}

void mcu::report_state() {
  state_fn fn;
  std::string state;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!state_changed_ || !state_observer_)
      return;
    state_changed_ = false;
    fn = state_observer_;
    state = camera_.describe(clock::now());
  }
  fn(state);
}

void mcu::serve() {
  // Wake-ups to the microsecond, as a UART's timing is: the default slack
  // of 50 us is half a byte at 115200 baud.
  ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
  while (master_.get() >= 0) {
    pollfd fds[2] = {{master_.get(), POLLIN, 0}, {wake_[0].get(), POLLIN, 0}};
    if (::poll(fds, 2, next_completion_ms()) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[1].revents)
      return;
    if (fds[0].revents & POLLIN)
      take_input(false);
    if (!complete_due(line_framing()))
      return;
    // Answer in arrival order; messages that come in meanwhile join the
    // log and wait their turn.
    for (;;) {
      received next;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (pending_.empty())
          break;
        next = pending_.front();
        pending_.pop_front();
      }
      if (!send(pick(next.data, next.frame), next.frame, next.at))
        return;
      report_state();
    }
  }
}

int mcu::next_completion_ms() const {
  std::lock_guard<std::mutex> lock(mu_);
  int wait = -1;
  const auto now = clock::now();
  for (const auto &due : socket_due_) {
    if (due == clock::time_point{})
      continue;
    // Rounded up, so that the wake-up finds it due.
    auto left = std::chrono::ceil<milliseconds>(due - now).count();
    int ms = static_cast<int>(std::max<long long>(0, left));
    wait = wait < 0 ? ms : std::min(wait, ms);
  }
  return wait;
}

bool mcu::complete_due(const framing &line) {
  for (uint8_t y = 1; y <= 2; ++y) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto &due = socket_due_[y - 1];
      if (due == clock::time_point{} || due > clock::now())
        continue;
      due = clock::time_point{};
      state_changed_ |= socket_parts_[y - 1] != 0; // a move arrived
      socket_parts_[y - 1] = 0;
    }
    if (!send(answer::raw({0x90, static_cast<uint8_t>(0x50 | y), kTerminator}),
              line, clock::now()))
      return false;
    report_state();
  }
  return true;
}

void mcu::take_input(bool holding) {
  uint8_t buf[4096];
  ssize_t got;
  while ((got = ::read(master_.get(), buf, sizeof buf)) > 0) {
    // Judged when the bytes arrive: the framing may pass through other
    // values while the far end reprograms its UART.
    const framing line = line_framing();
    for (ssize_t i = 0; i < got; ++i)
      take_byte(buf[i], line, holding);
  }
}

void mcu::take_byte(uint8_t b, const framing &line, bool holding) {
  // Not a message (noise, or echo of our own answers): skip it up to and
  // including its terminator.
  if (inbox_.empty() && !skipping_ && !is_address(b))
    skipping_ = true;
  if (skipping_) {
    skipping_ = b != kTerminator;
    std::lock_guard<std::mutex> lock(mu_);
    ++stray_;
    return;
  }
  inbox_.push_back(b);
  if (b != kTerminator) {
    if (inbox_.size() >= kMaxMessage) {
      std::lock_guard<std::mutex> lock(mu_);
      stray_ += inbox_.size();
      inbox_.clear();
      skipping_ = true;
    }
    return;
  }
  received msg{std::move(inbox_), clock::now(), line, holding};
  inbox_.clear();
  notify(true, msg.data, line);
  std::lock_guard<std::mutex> lock(mu_);
  interleaved_ += holding ? 1 : 0;
  log_.push_back(msg);
  pending_.push_back(std::move(msg));
}

answer mcu::pick(const bytes &msg, const framing &line) {
  if (!line.readable_at(cfg_.speed))
    return cfg_.noise_at_wrong_speed ? answer::garbage() : answer::silence();
  std::lock_guard<std::mutex> lock(mu_);
  answer a;
  if (!script_.empty()) {
    a = std::move(script_.front());
    script_.pop_front();
  } else {
    a = has_default_ ? default_ : camera_answer(msg);
    a.paced(pace_);
  }
  if (!a.segments.empty() && hold_.count() > 0)
    a.segments.front().delay += hold_;
  return a;
}

answer mcu::camera_answer(const bytes &msg) {
  // Messages are whole: an address byte, at least one more byte, FF.
  const uint8_t kind = msg[1];
  const size_t len = msg.size();
  const auto now = clock::now();
  if (kind == 0x09) {
    if (len == 5 && msg[2] == 0x00 && msg[3] == 0x02) {
      // Vendor 0x0020, model 0x0001, ROM version, socket count.
      return answer::raw({0x90, 0x50, 0x00, 0x20, 0x00, 0x01, 0x00,
                          cfg_.version, 0x02, kTerminator});
    }
    if (!cfg_.camera_model || (len >= 5 && msg[2] == 0x7E && msg[3] == 0x7E))
      return answer::version(cfg_.version); // the probe's
    if (auto reply = camera_.inquire(msg, now))
      return answer::raw(std::move(*reply));
    return answer::error();
  }
  if (kind == 0x01 && len == 5 && msg[2] == 0x00 && msg[3] == 0x01) {
    // IF_Clear: the command buffers are emptied without completions, and
    // what they were doing stops.
    for (auto &due : socket_due_)
      due = clock::time_point{};
    camera_.stop(camera::all_parts, now);
    state_changed_ = cfg_.camera_model;
    return answer::raw({0x90, 0x50, kTerminator});
  }
  if ((kind & 0xF0) == 0x20 && len == 3) {
    const uint8_t y = kind & 0x0F;
    const bool busy =
        (y == 1 || y == 2) && socket_due_[y - 1] != clock::time_point{};
    if (busy) {
      socket_due_[y - 1] = clock::time_point{};
      camera_.stop(socket_parts_[y - 1], now);
      state_changed_ |= socket_parts_[y - 1] != 0;
    }
    return answer::raw({0x90, static_cast<uint8_t>(0x60 | y),
                        static_cast<uint8_t>(busy ? 0x04 : 0x05), kTerminator});
  }
  if (kind != 0x01 || len < 4)
    return answer::error();
  return command_answer(msg, now);
}

answer mcu::command_answer(const bytes &msg, clock::time_point now) {
  int y = 0;
  while (y < 2 && socket_due_[y] != clock::time_point{})
    ++y;
  if (y == 2) // both sockets busy: not carried out
    return answer::raw({0x90, 0x60, 0x03, kTerminator});
  camera::outcome done; // a bare MCU carries out anything at once
  if (cfg_.camera_model) {
    done = camera_.command(msg, now);
    if (done.status == camera::outcome::syntax_error)
      return answer::error();
    if (done.status == camera::outcome::not_executable)
      return answer::raw({0x90, 0x60, 0x41, kTerminator});
    state_changed_ = true;
  }
  // A delay set for the command stands; otherwise it completes when the
  // camera has carried it out, and no sooner than the general gap.
  milliseconds gap =
      std::max(gap_, std::chrono::ceil<milliseconds>(done.takes));
  for (const auto &d : delays_) {
    if (d.first.size() <= msg.size() &&
        std::equal(d.first.begin(), d.first.end(), msg.begin())) {
      gap = d.second;
      break;
    }
  }
  const auto sock = static_cast<uint8_t>(y + 1);
  if (gap.count() == 0)
    return answer::raw({0x90, static_cast<uint8_t>(0x40 | sock), kTerminator,
                        0x90, static_cast<uint8_t>(0x50 | sock), kTerminator});
  socket_due_[y] = now + hold_ + gap;
  socket_parts_[y] = done.moves;
  return answer::raw({0x90, static_cast<uint8_t>(0x40 | sock), kTerminator});
}

bool mcu::wait_quietly(clock::time_point until) {
  for (;;) {
    auto left = until - clock::now();
    if (left <= clock::duration::zero())
      return true;
    timespec ts = to_timespec(left);
    pollfd fds[2] = {{master_.get(), POLLIN, 0}, {wake_[0].get(), POLLIN, 0}};
    int r = ::ppoll(fds, 2, &ts, nullptr);
    if (r < 0 && errno != EINTR)
      return false;
    if (r > 0 && fds[1].revents)
      return false;
    if (r > 0 && (fds[0].revents & POLLIN))
      take_input(true);
  }
}

bool mcu::send(const answer &a, const framing &line,
               clock::time_point arrived) {
  const unsigned baud = baud_of(line.speed);
  const size_t limit = a.hangup_after < 0 ? static_cast<size_t>(-1)
                                          : static_cast<size_t>(a.hangup_after);
  size_t total = 0;
  if (a.held_for_next) {
    size_t seen;
    {
      std::lock_guard<std::mutex> lock(mu_);
      seen = log_.size();
    }
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (log_.size() > seen)
          break;
      }
      if (!wait_quietly(clock::now() + milliseconds(1)))
        return false;
    }
  }
  // The first delay counts from the message's arrival, as a real MCU's
  // work on a message starts when it is received, even while it is still
  // sending an earlier answer; after a held answer, from the next message.
  clock::time_point from = a.held_for_next ? clock::now() : arrived;
  for (const auto &seg : a.segments) {
    if (!wait_quietly(from + seg.delay))
      return false;
    from = clock::now();
    auto next_byte = clock::now();
    size_t i = 0;
    while (i < seg.data.size() && total < limit) {
      size_t chunk = seg.pace == pacing::burst ? seg.data.size() - i : 1;
      chunk = std::min(chunk, limit - total);
      if (seg.pace == pacing::line_rate && baud > 0) {
        // Ten bit times a byte: start, eight data bits, stop. The line is
        // full duplex: what arrives meanwhile is read, and stamped, as it
        // comes.
        next_byte += std::chrono::nanoseconds(10000000000ULL / baud);
        if (!wait_quietly(next_byte))
          return false;
      }
      if (!write_all(seg.data.data() + i, chunk))
        return false;
      i += chunk;
      total += chunk;
      if (seg.pace == pacing::trickle && i < seg.data.size() &&
          !wait_quietly(clock::now() + kTrickleGap))
        return false;
    }
    if (i > 0)
      notify(false,
             bytes(seg.data.begin(), seg.data.begin() + static_cast<long>(i)),
             line);
  }
  if (total >= limit) {
    hang_up();
    return false;
  }
  return true;
}

bool mcu::write_all(const uint8_t *data, size_t len) {
  while (len > 0) {
    ssize_t w = ::write(master_.get(), data, len);
    if (w > 0) {
      data += w;
      len -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR)
      return false;
    // The slave's input queue is full: wait until the controller reads.
    pollfd fds[2] = {{master_.get(), POLLOUT, 0}, {wake_[0].get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR)
      return false;
    if (fds[1].revents)
      return false;
  }
  return true;
}

// Called on the serving thread only.
void mcu::hang_up() {
  std::lock_guard<std::mutex> lock(mu_);
  master_.reset();
  slave_.reset();
  hung_up_ = true;
}

} // namespace mcusim
