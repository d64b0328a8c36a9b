// Fuzz target: an ISI file of arbitrary bytes, as the readers of an
// existing index meet it: the front check, the three translators, the
// sequential walk, the DDR chain and the index information (-i).
//
// Checked: nothing is read outside a buffer (the sanitizers); translating
// twice gives the bytes back; the walk ends, with the end or a refusal,
// after a number of steps bounded by the file's size, and a refusal stays
// refused; -i ends with 0 or a code and its message, and no run leaves a
// descriptor or a file behind.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "fuzz_util.h"
#include "isi/byte_order.h"
#include "isi/isi_format.h"
#include "isi/sector_io.h"
#include "isi/seq_walk.h"
#include "options/stored_cmd_line.h"

namespace {

constexpr uint32_t kHdrDdrHead = 16;

void CheckTranslatorsRoundTrip(FhStRec* st) {
  uint8_t copy[kIsiFrontSize];
  memcpy(copy, st->header, sizeof copy);
  XlatIsiHeader(st, st->header);
  XlatIsiHeader(st, st->header);
  FZ_CHECK(memcmp(copy, st->header, kIsiHeaderSize) == 0);
  XlatIsiTree(st, st->root);
  XlatIsiTree(st, st->root);
  FZ_CHECK(memcmp(copy + kIsiRootPos, st->root, kIsiSector) == 0);
  uint16_t count = LoadU16(st->ddr + 508);
  if (count >= 1 && count <= 126) {
    XlatIsiDDR(st, st->ddr);
    XlatIsiDDR(st, st->ddr);
    FZ_CHECK(memcmp(copy + kIsiDdrHeadPos, st->ddr, kIsiSector) == 0);
  }
}

// The walk from the first key to its end or its refusal.
void Walk(FhStRec* st, uint64_t fileSize) {
  uint64_t sectors = fileSize / kIsiSector;
  // Each sector loaded yields at most its entries; a sound walk loads each
  // sector at most twice. Far more steps than that means the walk runs away.
  uint64_t limit = (2 * sectors + 3) * (kIsiKeyTrailerOfs / 16 + 1);
  st->flags |= kStWalkFromFirst;
  uint64_t steps = 0;
  int32_t r;
  while ((r = FhStIreadSeq(st)) == kWalkOk) FZ_CHECK(++steps <= limit);
  FZ_CHECK(r < 0);
  FZ_CHECK(FhStIreadSeq(st) == r);  // a walk that stopped stays stopped
}

// The DDR chain newest first, as compaction follows it; a cycle is cut off
// by the number of sectors the file has.
void FollowDdrChain(FhStRec* st, uint64_t fileSize) {
  uint32_t pos = LoadU32(st->header + kHdrDdrHead);
  for (uint64_t n = 0; pos != kIsiNoSector && n <= fileSize / kIsiSector; ++n) {
    if (FhStReadNewDDRSector(st, pos) != 0) break;
    pos = LoadU32(st->ddr + 504);
  }
}

void ReadAsIndex(const uint8_t* data, size_t size) {
  auto st = std::make_unique<FhStRec>();
  memset(st.get(), 0, sizeof *st);
  FhStInitRec(st.get());
  memcpy(st->front, data, size < kIsiFrontSize ? size : kIsiFrontSize);
  if (FhStPrepareFront(st.get()) != kOk) return;
  CheckTranslatorsRoundTrip(st.get());
  st->fd = SysOpen(fz::PathIn("f.isi").c_str(), O_RDONLY);
  FZ_CHECK(st->fd >= 0);
  Walk(st.get(), size);
  FollowDdrChain(st.get(), size);
  SysClose(st->fd);
}

void ShowIndexInformation() {
  fz::StartRun();
  CmdData* cd = pCmdData;
  snprintf(cd->inName, sizeof cd->inName, "f.isi");
  cd->showIndexInfo = 1;
  Status st = WriteCmdLine();
  FZ_CHECK(st <= 0);
  FZ_CHECK(memchr(cd->msgBuf, '\0', sizeof cd->msgBuf) != nullptr);
  FZ_CHECK(memchr(cd->inName, '\0', sizeof cd->inName) != nullptr);
  fz::EndRun();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::LeakGuard guard;
  fz::WriteFile(fz::PathIn("f.isi"), data, size);
  fz::StartRun();  // messages of the walk go to the run's buffer
  ReadAsIndex(data, size);
  fz::EndRun();
  ShowIndexInformation();
  unlink(fz::PathIn("f.isi").c_str());
  return 0;
}
