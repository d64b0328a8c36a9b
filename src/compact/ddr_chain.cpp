// The DDR chain of a compacted ISI.
//
// The old chain is read newest first, from the head at 1536 (or, when no
// DDR sector stands there, from the sector the header names: a build whose
// newest DDR sector was full writes no head sector) along the links to the
// end. Each position read is checked against the file before it is used,
// and a chain is followed at most as many sectors as the file has, so a
// damaged chain ends compaction with -175 instead of a read of some other
// sector or a loop.
#include "compact/ddr_chain.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "compact/compact_messages.h"
#include "compact/front.h"
#include "compact/rebuild.h"
#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/sector_check.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "isi/tree_build.h"

namespace {

// A byte offset as the old file writes positions.
uint32_t ChainPos(const FhStRec* state, uint64_t byteOffset) {
  return static_cast<uint32_t>((state->flags & kStRecNum) ? byteOffset / kIsiSector : byteOffset);
}

Status NoDdrSectorAt(uint32_t position) {
  return CompactRefuseDamaged(
      "ISI deleted-record chain damaged: position %u names no DDR sector of the file.\n", position);
}

Status ChainTooLong() {
  return CompactRefuseDamaged(
      "ISI deleted-record chain damaged: it runs longer than the file has sectors.\n");
}

// Reads the old chain's sector at `position` into the DDR buffer.
Status ReadChainSector(FhStRec* state, uint32_t position) {
  IsiGeometry g = IsiGeometryOf(state->header, pCmdData->compactIsiSize);
  uint64_t sector;
  int32_t r = -1;
  if (IsiDdrSectorAt(g, position, &sector) == kIsiSound) r = FhStReadDdrSector(state, position);
  if (r == 0) return kOk;
  if (r == -2 || r == -3) return kErrTempRead;
  return NoDdrSectorAt(position);
}

// The newest sector of the old chain into the DDR buffer.
Status LoadChainHead(FhStRec* state, uint32_t head) {
  if (IsiCheckDdrSector(state->ddr) == kIsiDdrSound) return kOk;
  if (IsiSectorOffset((state->flags & kStRecNum) != 0, head) == kIsiDdrHeadPos) {
    return NoDdrSectorAt(head);
  }
  return ReadChainSector(state, head);
}

uint64_t MaxChainSectors() {
  return pCmdData->compactIsiSize / kIsiSector;
}

Status WriteFailed() {
  ShowIsiWriteFailure();
  pCmdData->failFd = pCmdData->outFd;
  return kErrIsiWrite;
}

// The sector read at 1536, as it stands, as the whole DDR area.
Status WriteDdrArea(FhStRec* state) {
  if (FhStWriteDDRSector(state, pCmdData->outFd, kIsiDdrHeadPos) != 0) return WriteFailed();
  return kOk;
}

// Follows the old chain without writing and counts its sectors; the DDR
// buffer is left as it was.
Status CountChain(FhStRec* state, uint64_t* sectors) {
  const uint8_t* h = state->header;
  uint32_t head = LoadU32(h + kHdrDdrHeadOfs);
  *sectors = 0;
  if (!IsiKeepsDeletedList(h[kHdrFormatOfs]) || head == kIsiNoSector) return kOk;
  uint8_t saved[kIsiSector];
  memcpy(saved, state->ddr, sizeof saved);
  Status s = LoadChainHead(state, head);
  for (*sectors = 1; s == kOk; ++*sectors) {
    uint32_t link = IsiDdrLink(state->ddr);
    if (link == kIsiNoSector) break;
    s = *sectors >= MaxChainSectors() ? ChainTooLong() : ReadChainSector(state, link);
  }
  memcpy(state->ddr, saved, sizeof saved);
  return s;
}

// In place, the old chain is still needed while the copy is written, so the
// copy goes behind the end of the file first and is then moved down to
// 1536, one sector at a time. The copy is never longer than the part of the
// file it came from, so source and destination never overlap.
Status CopyChainInPlace(FhStRec* state) {
  CmdData* cd = pCmdData;
  uint64_t sectors;
  Status s = CountChain(state, &sectors);
  if (s != kOk) return s;
  off_t end = SysLseek(cd->outFd, 0, SEEK_END);
  if (end < 0) return WriteFailed();
  // The sector writer addresses the file with 32-bit byte offsets.
  if (static_cast<uint64_t>(end) + sectors * kIsiSector > kIsiNoSector) {
    errno = EFBIG;
    return WriteFailed();
  }
  s = CompactCopyDdrIsi(state, kIsiDdrHeadPos, static_cast<uint32_t>(end));
  if (s != kOk) return s;
  off_t newEnd = SysLseek(cd->outFd, 0, SEEK_END);
  if (newEnd < 0) return WriteFailed();
  off_t dst = kIsiDdrHeadPos;
  for (off_t src = end; src < newEnd; src += kIsiSector, dst += kIsiSector) {
    if (SysLseek(cd->outFd, src, SEEK_SET) != src ||
        SysRead(cd->outFd, state->spare, kIsiSector) != static_cast<ssize_t>(kIsiSector)) {
      return kErrTempRead;
    }
    if (SysLseek(cd->outFd, dst, SEEK_SET) != dst ||
        SysWrite(cd->outFd, state->spare, kIsiSector) != static_cast<ssize_t>(kIsiSector)) {
      return WriteFailed();
    }
  }
  return kOk;
}

}  // namespace

Status CompactCheckDdrChain(FhStRec* state) {
  uint64_t sectors;
  return CountChain(state, &sectors);
}

Status CompactCopyDdrIsi(FhStRec* state, uint32_t newHeadPos, uint32_t writePos) {
  CmdData* cd = pCmdData;
  uint8_t* h = state->header;
  cd->deletedCount = 0;
  Status s = LoadChainHead(state, LoadU32(h + kHdrDdrHeadOfs));
  if (s != kOk) return s;
  StoreU32(h + kHdrDdrHeadOfs, ChainPos(state, newHeadPos));
  for (uint64_t copied = 1;; ++copied) {
    uint8_t* d = state->ddr;
    cd->deletedCount += IsiDdrCount(d);
    uint32_t link = IsiDdrLink(d);
    newHeadPos += kIsiSector;
    if (link != kIsiNoSector) StoreU32(d + kDdrLinkOfs, ChainPos(state, newHeadPos));
    if (FhStWriteDDRSector(state, cd->outFd, writePos) != 0) return WriteFailed();
    if (link == kIsiNoSector) {
      StoreU32(h + kHdrDeletedCountOfs, cd->deletedCount);
      return kOk;
    }
    writePos += kIsiSector;
    cd->lastSectorPos += cd->recNumMode ? 1 : kIsiSector;
    if (copied >= MaxChainSectors()) return ChainTooLong();
    if ((s = ReadChainSector(state, link)) != kOk) return s;
  }
}

Status CompactWriteDdrChain(FhStRec* state) {
  CmdData* cd = pCmdData;
  uint8_t* h = state->header;
  cd->deletedCount = 0;
  uint32_t head = LoadU32(h + kHdrDdrHeadOfs);
  if (!IsiKeepsDeletedList(h[kHdrFormatOfs])) {
    // Such files keep no deleted-record positions (their records are
    // appended at the end), so a chain found in one is dropped.
    // The sector is written while the header still names the chain, so that
    // a file of the other byte order gets its bytes back in its own order.
    if (head != kIsiNoSector) CmdOutInfoString("Deleted Data Record sectors purged from ISI!");
    Status s = WriteDdrArea(state);
    StoreU32(h + kHdrDdrHeadOfs, kIsiNoSector);
    return s;
  }
  if (head == kIsiNoSector) return WriteDdrArea(state);
  if (cd->outFd != cd->inFd) return CompactCopyDdrIsi(state, kIsiDdrHeadPos, kIsiDdrHeadPos);
  return CopyChainInPlace(state);
}
