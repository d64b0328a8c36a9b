// The front of an ISI to be compacted.
//
// Everything read here comes from a file another program may have written,
// so each value that later sizes a loop or an index into a buffer is checked
// before it is used: the key length sizes the entries, the root's count byte
// says how many of them the translator and the walk touch.
#include "compact/front.h"

#include <unistd.h>

#include <cstring>

#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/byte_order.h"
#include "isi/isi_format.h"
#include "options/option_tables.h"

namespace {

constexpr uint32_t kHdrVersion = 4, kHdrFormat = 6, kHdrMode = 7, kHdrKeyLength = 10,
                   kHdrDataLength = 12, kHdrSpin = 32;

Status ReadFront(FhStRec* state) {
  off_t size = SysLseek(state->fd, 0, SEEK_END);
  if (size < 0 || SysLseek(state->fd, 0, SEEK_SET) != 0) return kErrNotIsi;
  pCmdData->compactIsiSize = static_cast<uint64_t>(size);
  ssize_t got = SysRead(state->fd, state->header, kIsiFrontSize);
  return got == static_cast<ssize_t>(kIsiFrontSize) ? kOk : kErrNotIsi;
}

// Sets the swap marks from the version word and brings the header into
// native order. -162 for a word that is no version word.
Status TakeByteOrder(FhStRec* state) {
  uint16_t version = LoadU16(state->header + kHdrVersion);
  if (!IsiVersionValid(version)) return kErrIsiVersion;
  if (version == kIsiVersionSwapped) {
    state->flags |= kStSwapped;
    pCmdData->isiSwapOut = 1;
    XlatIsiHeader(state, state->header);
  } else {
    state->flags &= ~kStSwapped;
    pCmdData->isiSwapOut = 0;
  }
  return kOk;
}

// The values the rest of compaction sizes its work by; -175 when they
// cannot be those of an index this program could read.
Status TakeHeaderValues(FhStRec* state) {
  const uint8_t* h = state->header;
  uint16_t keyLength = LoadU16(h + kHdrKeyLength);
  if (keyLength == 0 || keyLength > kMaxKeyBytes) return kErrCorruptIsi;
  state->keyLength = keyLength;
  state->entrySize = static_cast<uint16_t>(IsiEntrySize(keyLength));
  state->keysPerSector = kIsiKeyTrailerOfs / state->entrySize;
  state->spin = LoadU32(h + kHdrSpin);
  state->dataLength = LoadU32(h + kHdrDataLength);
  if (h[kHdrMode] & kModeRecNum) {
    state->flags |= kStRecNum;
  } else {
    state->flags &= ~kStRecNum;
  }
  // The count byte is read as it stands (it is a single byte); a count the
  // sector cannot hold would make the translator and the walk run past it.
  if (state->root[kIsiKeyTrailerOfs] > state->keysPerSector) return kErrCorruptIsi;
  return kOk;
}

}  // namespace

Status CompactLoadFront(FhStRec* state) {
  Status s = ReadFront(state);
  if (s != kOk) return s;
  if (memcmp(state->header, "SISI", 4) != 0) return kErrNotIsi;
  if ((s = TakeByteOrder(state)) != kOk) return s;
  if ((s = TakeHeaderValues(state)) != kOk) return s;
  if (state->flags & kStSwapped) {
    XlatIsiTree(state, state->root);
    XlatIsiDDR(state, state->ddr);
  }
  return kOk;
}

uint32_t CompactEorLength(uint8_t formatFlags) {
  if (formatFlags & 0x40) return 2;
  return (formatFlags & 0x80) ? 1 : 0;
}

uint64_t CompactBytePos(const FhStRec* state, uint32_t position) {
  return (state->flags & kStRecNum) ? uint64_t{position} * kIsiSector : position;
}
