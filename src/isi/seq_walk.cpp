// The sequential walk: each call returns the next entry of an existing ISI
// tree in key order. The walk descends along first entries with the parents
// on a path stack, and when a sector is done climbs to the parent and finds
// the entry whose child it has just left.
//
// The file may be damaged, so every step is checked: count bytes, child
// positions, the depth of the path, levels falling toward the leaves,
// the parent's listing of the child, and the total number of sectors
// loaded, which in a sound tree is at most twice the number of sectors in
// the file.
#include "isi/seq_walk.h"

#include <cstring>

#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "isi/byte_order.h"

IsiPathStack gIsiPathStack;

namespace {

constexpr uint32_t kCountOfs = kIsiKeyTrailerOfs, kLevelOfs = 506, kRightOfs = 508,
                   kHdrSpinOfs = 32;
constexpr uint32_t kChildOfs = 4;
constexpr uint32_t kMinEntrySize = 16;  // a one-byte key

uint32_t Count(const FhStRec* st) {
  return st->sector[kCountOfs];
}
uint32_t RightChild(const FhStRec* st) {
  return LoadU32(st->sector + kRightOfs);
}
uint8_t* EntryAt(const FhStRec* st, uint32_t index1) {
  return st->sector + (index1 - 1) * st->entrySize;
}
uint32_t ChildOf(const uint8_t* entry) {
  return LoadU32(entry + kChildOfs);
}

int32_t Push(uint32_t position) {
  if (gIsiPathStack.depth >= kIsiPathDepth) return kWalkStackFull;
  gIsiPathStack.pos[gIsiPathStack.depth++] = position;
  return kWalkOk;
}
int32_t Pop(uint32_t* position) {
  if (gIsiPathStack.depth == 0) return kWalkStackEmpty;
  *position = gIsiPathStack.pos[--gIsiPathStack.depth];
  return kWalkOk;
}

// Stops the walk with `code`; later calls return it again.
int32_t Fail(FhStRec* st, int32_t code) {
  st->walkError = code;
  if (pCmdData == nullptr) return code;
  switch (code) {
    case kWalkNotListed:
      CmdSetMsg("ISI tree damaged: key sector %u is not listed by the sector above it.\n",
                st->curSector);
      break;
    case kWalkBadCount:
      CmdSetMsg("ISI tree damaged: a key sector holds more entries than fit.\n");
      break;
    case kWalkBadChild:
      CmdSetMsg("ISI tree damaged: a child position names no key sector of the file.\n");
      break;
    case kWalkStackFull:
      CmdSetMsg("ISI tree damaged: more than %u levels below the root.\n", kIsiPathDepth);
      break;
    case kWalkLooping:
      CmdSetMsg("ISI tree damaged: key sectors are reached more than once.\n");
      break;
    case kWalkBadLevel:
      CmdSetMsg("ISI tree damaged: key sector %u is not below the sector above it.\n",
                st->curSector);
      break;
    default:
      break;
  }
  return code;
}

// Reads the sector at `position` into the walk buffer (the root comes from
// the root buffer) and checks its count byte.
int32_t LoadSector(FhStRec* st, uint32_t position) {
  if (++st->walkLoads > 2 * st->walkFileSectors + 2) return kWalkLooping;
  if (position == st->rootPos) {
    memcpy(st->sector, st->root, kIsiSector);
  } else {
    uint64_t offset = position;
    if (st->flags & kStRecNum) offset *= kIsiSector;
    if (offset % kIsiSector != 0 || offset < kIsiFrontSize ||
        offset / kIsiSector >= st->walkFileSectors) {
      return kWalkBadChild;
    }
    int32_t r = FhStReadSectorAt(st, offset, st->sector);
    if (r < 0) return r;
    if (st->flags & kStSwapped) XlatIsiTree(st, st->sector);
  }
  if (Count(st) > st->keysPerSector) return kWalkBadCount;
  st->curSector = position;
  return kWalkOk;
}

uint16_t Level(const FhStRec* st) {
  return LoadU16(st->sector + kLevelOfs);
}

// Levels fall toward the leaves, so a child at its parent's level or above
// (a leaf with a child, a sector that is its own ancestor) is damage.
int32_t Descend(FhStRec* st, uint32_t child) {
  uint16_t parentLevel = Level(st);
  int32_t r = Push(st->curSector);
  if (r == kWalkOk) r = LoadSector(st, child);
  if (r == kWalkOk && Level(st) >= parentLevel) r = kWalkBadLevel;
  return r;
}

// Makes entry `index1` of the current sector the one returned.
int32_t Deliver(FhStRec* st, uint32_t index1) {
  st->curIndex = static_cast<uint16_t>(index1);
  st->curEntry = EntryAt(st, index1);
  memcpy(&st->entry, st->curEntry, st->entrySize);
  st->spin = LoadU32(st->header + kHdrSpinOfs);
  return kWalkOk;
}

int32_t Finish(FhStRec* st) {
  st->flags |= kStWalkAtEnd;
  return kWalkEnd;
}

// The current sector is done: climb until a parent has an entry whose left
// subtree was the one just finished; that entry is next in key order.
int32_t Climb(FhStRec* st) {
  for (;;) {
    uint32_t left = st->curSector;
    if (gIsiPathStack.depth == 0) return Finish(st);
    uint32_t parent = 0;
    int32_t r = Pop(&parent);
    if (r == kWalkOk) r = LoadSector(st, parent);
    if (r != kWalkOk) return r;
    if (RightChild(st) == left) continue;
    uint32_t count = Count(st);
    for (uint32_t i = 1; i <= count; ++i) {
      if (ChildOf(EntryAt(st, i)) == left) return Deliver(st, i);
    }
    st->curSector = left;
    return kWalkNotListed;
  }
}

// From the start of the current sector down to the first entry in key order
// of its subtree.
int32_t DescendToFirst(FhStRec* st) {
  for (;;) {
    uint32_t next = Count(st) > 0 ? ChildOf(EntryAt(st, 1)) : RightChild(st);
    if (next == 0) return Count(st) > 0 ? Deliver(st, 1) : Climb(st);
    int32_t r = Descend(st, next);
    if (r != kWalkOk) return r;
  }
}

int32_t Start(FhStRec* st) {
  st->flags &= ~(kStWalkFromFirst | kStWalkAtEnd);
  st->walkError = 0;
  st->walkLoads = 0;
  gIsiPathStack.depth = 0;
  if (st->entrySize < kMinEntrySize || st->entrySize > sizeof(IsiKeyEntry) ||
      st->entrySize % 4 != 0) {
    return kWalkBadCount;
  }
  st->keysPerSector = kIsiKeyTrailerOfs / st->entrySize;
  off_t end = SysLseek(st->fd, 0, SEEK_END);
  if (end < 0) return -2;
  st->walkFileSectors = static_cast<uint64_t>(end) / kIsiSector;
  st->curSector = st->rootPos;
  int32_t r = LoadSector(st, st->rootPos);
  return r != kWalkOk ? r : DescendToFirst(st);
}

// After entry curIndex of the current sector: the next one in key order.
int32_t Next(FhStRec* st) {
  uint32_t index = st->curIndex;
  if (index < Count(st)) {
    uint32_t child = ChildOf(EntryAt(st, index + 1));
    if (child == 0) return Deliver(st, index + 1);
    int32_t r = Descend(st, child);
    return r != kWalkOk ? r : DescendToFirst(st);
  }
  uint32_t right = RightChild(st);
  if (right == 0) return Climb(st);
  int32_t r = Descend(st, right);
  return r != kWalkOk ? r : DescendToFirst(st);
}

}  // namespace

int32_t FhStIreadSeq(FhStRec* state) {
  int32_t r;
  if (state->flags & kStWalkFromFirst) {
    r = Start(state);
  } else if (state->flags & kStWalkAtEnd) {
    return kWalkEnd;
  } else if (state->walkError != 0) {
    return state->walkError;
  } else {
    r = Next(state);
  }
  if (r != kWalkOk && r != kWalkEnd) return Fail(state, r);
  return r;
}
