// The front of an ISI to be compacted.
//
// Everything read here comes from a file another program may have written,
// so each value that later sizes a loop or an index into a buffer is checked
// before it is used: the key length sizes the entries, the root's count byte
// says how many of them the walk touches.
#include "compact/front.h"

#include <unistd.h>

#include <cstring>

#include "compact/compact_messages.h"
#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "core/sector_check.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"

namespace {

Status ReadFront(FhStRec* state) {
  off_t size = SysLseek(state->fd, 0, SEEK_END);
  if (size < 0 || SysLseek(state->fd, 0, SEEK_SET) != 0) return kErrNotIsi;
  pCmdData->compactIsiSize = static_cast<uint64_t>(size);
  ssize_t got = SysRead(state->fd, state->header, kIsiFrontSize);
  return got == static_cast<ssize_t>(kIsiFrontSize) ? kOk : kErrNotIsi;
}

// A count byte the sector cannot hold would make the walk run past the
// root's entries; the walk checks every other sector itself.
Status CheckRoot(const FhStRec* state) {
  IsiGeometry g = IsiGeometryOf(state->header, pCmdData->compactIsiSize);
  if ((IsiKeySectorFaults(g, state->root) & kIsiFaultCount) == 0) return kOk;
  return CompactRefuseDamaged("ISI tree damaged: the root holds %u entries, more than fit.\n",
                              IsiCount(state->root));
}

// Compaction reads the root at 1024 and keeps the header's addressing for
// the new file, whose positions follow the record format instead: record
// numbers unless the records are of variable length or space-compressed.
// A header that disagrees with either would pass into the new file and
// mislead every reader of it.
Status RefuseHeader(const FhStRec* state, IsiHeaderFault fault) {
  const uint8_t* h = state->header;
  switch (fault) {
    case kIsiBadKeyLength:
      return CompactRefuseDamaged("ISI header damaged: key length %u is not 1 to 150.\n",
                                  LoadU16(h + kHdrKeyLengthOfs));
    case kIsiBadAddressing:
      return CompactRefuseDamaged(
          "ISI header damaged: its addressing does not match its record format.\n");
    case kIsiBadRootPos:
    case kIsiHeaderSound:
      break;
  }
  return CompactRefuseDamaged("ISI header damaged: root position %u.\n",
                              LoadU32(h + kHdrRootPosOfs));
}

}  // namespace

Status CompactLoadFront(FhStRec* state) {
  Status s = ReadFront(state);
  if (s != kOk) return s;
  IsiHeaderFault fault = kIsiHeaderSound;
  s = FhStPrepareFront(state, &fault);
  pCmdData->isiSwapOut = (state->flags & kStSwapped) ? 1 : 0;
  if (s == kErrCorruptIsi) return RefuseHeader(state, fault);
  return s != kOk ? s : CheckRoot(state);
}
