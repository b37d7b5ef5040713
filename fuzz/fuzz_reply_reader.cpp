// The inquiry exchange and its reply reader against arbitrary bytes in
// arbitrary chunkings.
#include "harness.h"
#include "support.h"
#include "visca.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static harness::version_dir dir;
  ::unlink(dir.file().c_str());

  harness::rig rig(data, size);
  const fake::line &line = rig.line;
  visca_inq_command rec{};
  rig.ctl.create_inqcommand(rec, 1, 0x7E, 0x7E, 0x16);
  const bool ok = rig.ctl.visca_exec_inq_cmd(rec);

  CHECK(!line.writes.empty() && line.writes.size() <= 2);
  harness::check_reads_only_pending(line);
  CHECK(rec.inq_length >= 0 && rec.inq_length <= 16);
  CHECK(ok == rec.inq_fill);

  const auto version = support::read_file(dir.file());
  if (!ok) {
    CHECK(!version);
    return 0;
  }
  // The accepted reply is what the reader read, one byte a read, right
  // after the last transmission, ending with the only byte pending.
  const size_t len = static_cast<size_t>(rec.inq_length);
  CHECK(len >= 3);
  CHECK(rec.inq[0] == 0x90 && rec.inq[1] == 0x50 && rec.inq[len - 1] == 0xFF);
  size_t first = 0;
  while (first < line.read_log.size() &&
         line.read_log[first].writes_before < line.writes.size())
    ++first;
  CHECK(first + len <= line.read_log.size());
  for (size_t i = 0; i < len; ++i) {
    const auto &r = line.read_log[first + i];
    CHECK(r.asked == 1 && r.got.size() == 1 && r.got[0] == rec.inq[i]);
    const bool ends = r.got[0] == 0xFF && r.pending_before == 1;
    CHECK(ends == (i == len - 1));
  }
  // The version comes only from a reply that carries it.
  if (len >= 15)
    CHECK(version ==
          std::to_string(static_cast<int>(static_cast<int8_t>(rec.inq[14]))));
  else
    CHECK(!version);
  return 0;
}
