// VISCA controller for the camera MCU on one serial line.
//
// Contract in brief:
// - The controller owns the descriptor in cam_fd from a successful
//   init_visca() until deinit_visca() or destruction; -1 means closed. It
//   never owns the device path text in camSerial.
// - Booleans: true means success (a reply accepted, the line opened), false
//   means it did not happen. Nothing throws and nothing is logged.
// - Times: the reply reader polls the driver up to 200 times, the
//   acknowledgement wait 100 times and the completion wait 200 times,
//   sleeping 1 ms after each poll that finds nothing pending; pauses inside
//   send_cmd_n_inq are 100 ms.
// - Threads: every exchange (visca_exec_inq_cmd, visca_exec_cmd and the
//   send_* helpers built on them) holds visca_uart_mutex from its first
//   drain to its last read, so exchanges from several threads never
//   interleave on the wire. init_visca, deinit_visca and visca_cls_rx take
//   no lock: open and close the line while no exchange runs.
// - Every accepted inquiry reply that carries a version (15 bytes or more)
//   records reply byte 14 and replaces the version file
//   "/tmp/quelmar-mcu-version" with it as signed decimal text.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>

// One outgoing inquiry and the reply read for it.
struct visca_inq_command {
  uint8_t cmd[16];          // the message to transmit
  int32_t cmd_length;       // bytes of cmd to transmit: payload length + 5
  bool cmd_fill;            // cleared by the exchange
  uint8_t inq[16];          // the reply, in the order read
  int32_t inq_length;       // length of the accepted reply; 0 after a rejection
  bool inq_fill;            // true once a reply was accepted
  sockaddr_in cliaddr;      // unused by the controller
  int32_t sockfd;           // unused by the controller
  uint32_t sequence_number; // unused by the controller
};

// One outgoing command and the answers seen for it.
struct visca_command {
  uint8_t cmd[16];          // the message to transmit
  int32_t cmd_length;       // bytes of cmd to transmit: payload length + 5
  bool cmd_fill;            // cleared by the builder and the exchange
  bool ack;                 // true once 90 41 FF was read
  bool comp;                // true once 90 51 FF was read after the ack
  sockaddr_in cliaddr;      // unused by the controller
  int32_t sockfd;           // unused by the controller
  uint32_t sequence_number; // unused by the controller
};

// A one-shot event: signal() wakes one wait(), or lets the next wait()
// return at once. Thread-safe.
class visca_ndi_event {
public:
  visca_ndi_event();
  ~visca_ndi_event();
  void wait();
  void signal();

private:
  std::mutex m_mutex;
  std::condition_variable m_condVar;
  bool m_notified;
};

class visca {
public:
  const char *camSerial; // device path, "/dev/ttyPS1"; not owned
  int32_t cam_fd;        // open line, or -1
  uint8_t camAddress;
  bool vid_fmt_switch;
  int32_t cap_cmd_index;
  int32_t exe_cmd_index;
  static const int32_t number_of_cmd = 2;
  std::mutex cam_mutex[number_of_cmd];
  visca_ndi_event m_visca_ndi_event;
  bool m_visca_ndi_event_cond;
  bool exec_visca_Running;

  visca();
  // Closes the line if the owner left it open.
  ~visca();
  visca(const visca &) = delete;
  visca &operator=(const visca &) = delete;

  // Opens camSerial and sets it to raw 8N1 at camBr (a termios B* value),
  // without flow control, in non-blocking mode, so that no wait can hang
  // on bytes another reader of the tty took; then drains it. A line already
  // open is closed first. False when the device cannot be opened (cam_fd is
  // then -1). Failures of the termios calls do not make it false.
  bool init_visca(speed_t &camBr);
  // Closes the line if open. Safe to call any number of times.
  void deinit_visca();
  // Throws away every byte pending on the line. Does nothing when closed.
  void visca_cls_rx();

  // Builds 81 09 tt ii <payload> FF into cmd. The payload is the cmd_bytes
  // (0 to 11) lowest bytes of prefil, most significant first.
  void create_inqcommand(visca_inq_command &cmd, int cmd_bytes, int cmd_type,
                         int cmd_id, uint64_t prefil);
  // Builds an inquiry and runs visca_exec_inq_cmd on it.
  bool send_inq_cmd(int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil);
  // Drains, transmits, reads one reply; on failure drains and transmits once
  // more. True when a reply 90 50 ... FF was accepted.
  bool visca_exec_inq_cmd(visca_inq_command &exec_cmd);

  // Builds 81 01 tt ii <payload> FF into cmd, as create_inqcommand.
  void create_command(visca_command &cmd, int cmd_bytes, int cmd_type,
                      int cmd_id, uint64_t prefil);
  // Builds a command and runs visca_exec_cmd on it; the outcome is dropped.
  void send_cmd(int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil);
  // send_cmd, a 100 ms pause, then send_inq_cmd with the same type and id.
  void send_cmd_n_inq(int cmd_bytes, int inq_bytes, int cmd_type, int cmd_id,
                      uint64_t prefil, uint64_t prefilinq);
  // Drains, transmits, waits for 90 41 FF then 90 51 FF; transmits once
  // more only when the acknowledgement is missing. The outcome is left in
  // exec_cmd.ack and exec_cmd.comp.
  void visca_exec_cmd(visca_command &exec_cmd);

private:
  std::mutex visca_uart_mutex;
  [[maybe_unused]] rusage before2;
  [[maybe_unused]] rusage after2;
  termios camOptions;
  std::thread exec_visca_thread;
  int8_t MCUVersion;

  void DumpMCUVersion();
  void saveFile(const char *filename, const void *buf, size_t bufSize);
  bool visca_wait_for_res(visca_inq_command &res_cmd);
  bool visca_wait_for_ack();
  bool visca_wait_for_cmp();
};
