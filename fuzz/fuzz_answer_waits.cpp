// The command exchange's acknowledgement and completion waits against
// arbitrary bytes in arbitrary chunkings.
#include "harness.h"
#include "visca.h"

namespace {
const fake::bytes kAck = {0x90, 0x41, 0xFF};
const fake::bytes kCompletion = {0x90, 0x51, 0xFF};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  harness::rig rig(data, size);
  const fake::line &line = rig.line;
  visca_command rec{};
  rig.ctl.create_command(rec, 1, 0x04, 0x07, 0x02);
  rig.ctl.visca_exec_cmd(rec);

  harness::check_reads_only_pending(line);
  CHECK(!line.writes.empty() && line.writes.size() <= 2);
  if (!rec.ack)
    CHECK(line.writes.size() == 2 && !rec.comp);

  // Answers are taken whole, three bytes at a time, only when pending.
  bool saw_ack = false;
  const fake::line::read_event *last_triple = nullptr;
  for (const auto &r : line.read_log) {
    if (r.asked != 3)
      continue;
    CHECK(r.pending_before >= 3);
    saw_ack = saw_ack || r.got == kAck;
    last_triple = &r;
  }
  if (rec.ack)
    CHECK(saw_ack);
  if (rec.comp) {
    CHECK(rec.ack && last_triple != nullptr);
    CHECK(last_triple->got == kCompletion && last_triple->pending_before == 3);
  }
  return 0;
}
