// Sector I/O of an open ISI file: the state record's layout, and the
// sector reads and writes that translate between the file's byte order and
// native.
#include "isi/sector_io.h"

#include <cerrno>
#include <cstring>

#include "core/byte_order.h"
#include "core/isi_xlat.h"
#include "core/sector_check.h"
#include "core/status.h"
#include "driver/sys_io.h"

namespace {

// Seeks and writes `len` bytes; 0 or -1.
int32_t WriteAt(int fd, uint64_t byteOffset, const uint8_t* data, uint32_t len) {
  if (SysLseek(fd, static_cast<off_t>(byteOffset), SEEK_SET) < 0) return -1;
  return SysWrite(fd, data, len) == static_cast<ssize_t>(len) ? 0 : -1;
}

}  // namespace

void FhStInitRec(FhStRec* state) {
  state->header = state->front;
  state->root = state->front + kIsiRootPos;
  state->ddr = state->front + kIsiDdrHeadPos;
  state->spare = state->spareBuf;
}

int32_t FhStPrepareFront(FhStRec* state, IsiHeaderFault* fault) {
  bool swapped = false;
  IsiFrontResult r = IsiPrepareFront(state->header, &swapped, fault);
  if (r == kIsiFrontNotIsi) return kErrNotIsi;
  if (r == kIsiFrontBadVersion) return kErrIsiVersion;
  if (swapped) {
    state->flags |= kStSwapped;
  } else {
    state->flags &= ~kStSwapped;
  }
  if (r != kIsiFrontSound) return kErrCorruptIsi;
  state->keyLength = LoadU16(state->header + kHdrKeyLengthOfs);
  state->entrySize = static_cast<uint16_t>(IsiEntrySize(state->keyLength));
  state->keysPerSector = IsiEntriesPerSector(state->entrySize);
  if (state->header[kHdrModeOfs] & kModeRecNum) {
    state->flags |= kStRecNum;
  } else {
    state->flags &= ~kStRecNum;
  }
  return kOk;
}

namespace {

const uint8_t* LoadFileKeySector(void* ctx, uint64_t sector, IsiReadHint, uint8_t* out,
                                 uint8_t** sound) {
  auto* state = static_cast<FhStRec*>(ctx);
  *sound = nullptr;
  if (FhStReadSector(state, sector * kIsiSector, out) != 0) return nullptr;
  if (state->flags & kStSwapped) IsiXlatKeySector(out, state->entrySize);
  return out;
}

}  // namespace

int FhStNextEntry(FhStRec* state, uint64_t fileSize) {
  int r;
  if (state->flags & kStWalkFromFirst) {
    state->flags &= ~(kStWalkFromFirst | kStWalkAtEnd);
    state->walkError = kIsiCursorOk;
    state->tree.geo = IsiGeometryOf(state->header, fileSize);
    state->tree.root = state->root;
    state->tree.rootPos = LoadU32(state->header + kHdrRootPosOfs);
    state->tree.rootSound = 0;
    state->tree.source = {LoadFileKeySector, state};
    state->tree.inPlace = false;
    // Compaction sorts the entries again and builds a new tree: keys out of
    // order and the levels of leaves are what it repairs.
    state->tree.walkMode = IsiWalkMode::kReadOnce;
    state->tree.seen = state->walkSeen;
    state->walk.tree = &state->tree;
    r = IsiFirst(&state->walk);
  } else if (state->walkError != kIsiCursorOk || (state->flags & kStWalkAtEnd)) {
    return state->walkError != kIsiCursorOk ? state->walkError : kIsiCursorEnd;
  } else {
    r = IsiNext(&state->walk);
  }
  if (r == kIsiCursorEnd) state->flags |= kStWalkAtEnd;
  if (r < 0) state->walkError = r;
  return r;
}

void FhStTranslateDdr(const FhStRec* state, uint8_t* sector) {
  if (LoadU32(state->header + kHdrDdrHeadOfs) != kIsiNoSector) IsiXlatDdrSector(sector);
}

int32_t FhStReadSector(FhStRec* state, uint64_t offset, uint8_t* buf) {
  if (offset % kIsiSector != 0) {
    errno = 0;
    return -1;
  }
  if (SysLseek(state->fd, static_cast<off_t>(offset), SEEK_SET) < 0) return -2;
  ssize_t n = SysRead(state->fd, buf, kIsiSector);
  return n == static_cast<ssize_t>(kIsiSector) ? 0 : -3;
}

int32_t FhStReadDdrSector(FhStRec* state, uint32_t position) {
  uint64_t offset = IsiSectorOffset((state->flags & kStRecNum) != 0, position);
  int32_t r = FhStReadSector(state, offset, state->ddr);
  if (r < 0) return r;
  if (state->flags & kStSwapped) FhStTranslateDdr(state, state->ddr);
  switch (IsiCheckDdrSector(state->ddr)) {
    case kIsiDdrMarker:
      return -8;
    case kIsiDdrCount:
      return -9;
    case kIsiDdrSound:
      break;
  }
  return 0;
}

int32_t FhStWriteHeaderSector(FhStRec* state, int fd) {
  if (!(state->flags & kStSwapped)) return WriteAt(fd, 0, state->header, kIsiHeaderSize);
  uint8_t copy[kIsiHeaderSize];
  memcpy(copy, state->header, sizeof copy);
  IsiXlatHeader(copy);
  return WriteAt(fd, 0, copy, sizeof copy);
}

int32_t FhStWriteKeySector(FhStRec* state, int fd, uint32_t byteOffset, const uint8_t* sector) {
  if (!(state->flags & kStSwapped)) return WriteAt(fd, byteOffset, sector, kIsiSector);
  uint8_t copy[kIsiSector];
  memcpy(copy, sector, sizeof copy);
  IsiXlatKeySector(copy, state->entrySize);
  return WriteAt(fd, byteOffset, copy, sizeof copy);
}

int32_t FhStWriteDDRSector(FhStRec* state, int fd, uint32_t byteOffset) {
  if (!(state->flags & kStSwapped)) return WriteAt(fd, byteOffset, state->ddr, kIsiSector);
  uint8_t copy[kIsiSector];
  memcpy(copy, state->ddr, sizeof copy);
  FhStTranslateDdr(state, copy);
  return WriteAt(fd, byteOffset, copy, sizeof copy);
}
