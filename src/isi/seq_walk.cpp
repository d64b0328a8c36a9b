// Compaction's walk (see seq_walk.h): the shared tree cursor over sectors
// read with the program's sector I/O.
#include "isi/seq_walk.h"

#include <cstring>

#include "driver/sys_io.h"
#include "isi/byte_order.h"
#include "isi/isi_xlat.h"

namespace {

bool LoadFileKeySector(void* ctx, uint64_t sector, IsiReadHint, uint8_t* out, uint8_t** sound) {
  auto* state = static_cast<FhStRec*>(ctx);
  *sound = nullptr;
  if (FhStReadSector(state, sector * kIsiSector, out) != 0) return false;
  if (state->flags & kStSwapped) IsiXlatKeySector(out, state->entrySize);
  return true;
}

int32_t Start(FhStRec* st) {
  st->flags &= ~(kStWalkFromFirst | kStWalkAtEnd);
  st->walkError = 0;
  off_t end = SysLseek(st->fd, 0, SEEK_END);
  if (end < 0) return kIsiCursorRead;
  st->tree.geo = IsiGeometryOf(st->header, static_cast<uint64_t>(end));
  st->tree.root = st->root;
  st->tree.rootPos = LoadU32(st->header + kHdrRootPosOfs);
  st->tree.rootSound = 0;
  st->tree.source = {LoadFileKeySector, st};
  st->walk.tree = &st->tree;
  return IsiFirst(&st->walk);
}

}  // namespace

int32_t FhStReadNextEntry(FhStRec* state) {
  int r;
  if (state->flags & kStWalkFromFirst) {
    r = Start(state);
  } else if (state->flags & kStWalkAtEnd) {
    return kWalkEnd;
  } else if (state->walkError != 0) {
    return state->walkError;
  } else {
    r = IsiNext(&state->walk);
  }
  switch (r) {
    case kIsiCursorOk:
      memcpy(&state->entry, IsiCurrent(&state->walk), state->entrySize);
      state->spin = LoadU32(state->header + kHdrSpinOfs);
      return kWalkOk;
    case kIsiCursorEnd:
      state->flags |= kStWalkAtEnd;
      return kWalkEnd;
    case kIsiCursorRead:
      return state->walkError = kWalkRead;
    default:
      return state->walkError = kWalkDamaged;
  }
}
