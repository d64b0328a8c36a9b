// The cursor over an index's tree (see tree_cursor.h).
#include "core/tree_cursor.h"

#include <cstring>

namespace {

IsiFrame& Top(IsiCursor* c) {
  return c->path[c->depth - 1];
}

int Damaged(IsiCursor* c, IsiDamage d, uint32_t pos) {
  c->damage = d;
  c->damagePos = pos;
  c->damageFrom = c->depth > 0 ? Top(c).pos : pos;
  c->depth = 0;
  return kIsiCursorDamaged;
}

// Hands a sector just entered to the tree's visitor.
int Visited(IsiCursor* c, uint64_t sector) {
  const IsiTree* t = c->tree;
  if (t->visit == nullptr || t->visit(t->visitCtx, c, sector)) return kIsiCursorOk;
  uint32_t pos = Top(c).pos;
  --c->depth;
  return Damaged(c, kIsiDamageTwice, pos);
}

int ClimbBackward(IsiCursor* c) {
  for (;;) {
    if (c->depth <= 1) {
      c->depth = 0;
      return kIsiCursorEnd;
    }
    --c->depth;
    IsiFrame& p = Top(c);
    if (p.idx > 0) {
      --p.idx;
      return kIsiCursorOk;
    }
  }
}

int DescendFirst(IsiCursor* c, IsiReadHint hint) {
  const IsiGeometry& g = c->tree->geo;
  for (;;) {
    IsiFrame& f = Top(c);
    f.idx = 0;
    uint32_t child = IsiSlotChild(g, f.sec, 0);
    if (child == 0) return IsiCount(f.sec) > 0 ? kIsiCursorOk : IsiClimbForward(c);
    int st = IsiPush(c, child, hint);
    if (st != kIsiCursorOk) return st;
  }
}

int DescendLast(IsiCursor* c, IsiReadHint hint) {
  const IsiGeometry& g = c->tree->geo;
  for (;;) {
    IsiFrame& f = Top(c);
    uint32_t n = IsiCount(f.sec);
    f.idx = n;
    uint32_t child = IsiSlotChild(g, f.sec, n);
    if (child == 0) {
      if (n == 0) return ClimbBackward(c);
      f.idx = n - 1;
      return kIsiCursorOk;
    }
    int st = IsiPush(c, child, hint);
    if (st != kIsiCursorOk) return st;
  }
}

// Marks `sector` in `seen`; false when it was marked already.
bool MarkOnce(uint64_t* seen, uint64_t sector) {
  uint64_t bit = uint64_t{1} << (sector % 64);
  uint64_t& word = seen[sector / 64];
  if (word & bit) return false;
  word |= bit;
  return true;
}

// A change of direction starts a new scan, whose loads are counted afresh.
void Direction(IsiCursor* c, int dir) {
  if (c->dir != dir) c->loads = 0;
  c->dir = dir;
}

}  // namespace

int IsiStartAtRoot(IsiCursor* c) {
  c->depth = 0;
  c->loads = 0;
  c->damage = kIsiSound;
  IsiTree* tree = c->tree;
  if (!tree->rootSound) {
    IsiDamage d = IsiDamageOf(IsiKeySectorFaults(tree->geo, tree->root), tree->walkMode);
    if (d != kIsiSound) return Damaged(c, d, tree->rootPos);
    tree->rootSound = 1;
  }
  IsiFrame& f = c->path[0];
  if (tree->inPlace) {
    f.sec = tree->root;
  } else {
    memcpy(f.copy, tree->root, kIsiSector);
    f.sec = f.copy;
  }
  f.pos = tree->rootPos;
  f.idx = 0;
  f.low = f.high = nullptr;
  c->depth = 1;
  return Visited(c, IsiSectorOffset(tree->geo.recNum, tree->rootPos) / kIsiSector);
}

// Loads the child at `pos` of the bottom frame's current slot as the new
// bottom frame, with every check a child must pass. The separators around
// the slot bound the child's keys: the entries before and at the slot, or
// where the slot is the first or the last, the parent's own bounds.
int IsiPush(IsiCursor* c, uint32_t pos, IsiReadHint hint) {
  const IsiGeometry& g = c->tree->geo;
  if (c->depth >= kIsiMaxFrames) return Damaged(c, kIsiDamageDepth, pos);
  if (++c->loads > g.fileSectors + kIsiMaxFrames) return Damaged(c, kIsiDamageTwice, pos);
  uint64_t sector;
  IsiDamage d = IsiKeySectorAt(g, pos, &sector);
  if (d != kIsiSound) return Damaged(c, d, pos);
  IsiFrame& f = c->path[c->depth];
  uint8_t* sound = nullptr;
  const IsiTree* tree = c->tree;
  const IsiSectorSource& src = tree->source;
  f.sec = src.load(src.ctx, sector, hint, f.copy, &sound);
  if (f.sec == nullptr) {
    c->depth = 0;
    return kIsiCursorRead;
  }
  const IsiFrame& parent = Top(c);
  d = IsiCheckChildLevel(f.sec, IsiLevel(parent.sec));
  if (d != kIsiSound) return Damaged(c, d, pos);
  if (sound == nullptr || *sound == 0) {
    d = IsiDamageOf(IsiKeySectorFaults(g, f.sec), tree->walkMode);
    if (d != kIsiSound) return Damaged(c, d, pos);
    if (sound != nullptr) *sound = 1;
  }
  uint32_t slot = parent.idx;
  const uint8_t* key = IsiEntry(g, parent.sec, slot) + kIsiEntryKeyOfs;
  f.low = slot > 0 ? key - g.entrySize : parent.low;
  f.high = slot < IsiCount(parent.sec) ? key : parent.high;
  d = IsiCheckBounds(g, f.sec, f.low, f.high, tree->walkMode);
  if (d != kIsiSound) return Damaged(c, d, pos);
  if (tree->walkMode == IsiWalkMode::kReadOnce && !MarkOnce(tree->seen, sector)) {
    return Damaged(c, kIsiDamageTwice, pos);
  }
  f.pos = pos;
  f.idx = 0;
  ++c->depth;
  return Visited(c, sector);
}

// The bottom sector is done going forward: up to the first ancestor whose
// slot we came through has an entry after it.
int IsiClimbForward(IsiCursor* c) {
  for (;;) {
    if (c->depth <= 1) {
      c->depth = 0;
      return kIsiCursorEnd;
    }
    --c->depth;
    const IsiFrame& p = Top(c);
    if (p.idx < IsiCount(p.sec)) return kIsiCursorOk;
  }
}

int IsiFirst(IsiCursor* c) {
  int st = IsiStartAtRoot(c);
  c->dir = 1;
  return st != kIsiCursorOk ? st : DescendFirst(c, IsiReadHint::kForward);
}

int IsiLast(IsiCursor* c) {
  int st = IsiStartAtRoot(c);
  c->dir = -1;
  return st != kIsiCursorOk ? st : DescendLast(c, IsiReadHint::kBackward);
}

int IsiNext(IsiCursor* c) {
  if (c->depth == 0) return kIsiCursorEnd;
  Direction(c, 1);
  IsiFrame& f = Top(c);
  uint32_t slot = f.idx + 1;
  uint32_t child = IsiSlotChild(c->tree->geo, f.sec, slot);
  if (child != 0) {
    f.idx = slot;
    int st = IsiPush(c, child, IsiReadHint::kForward);
    return st != kIsiCursorOk ? st : DescendFirst(c, IsiReadHint::kForward);
  }
  if (slot < IsiCount(f.sec)) {
    f.idx = slot;
    return kIsiCursorOk;
  }
  return IsiClimbForward(c);
}

int IsiPrev(IsiCursor* c) {
  if (c->depth == 0) return kIsiCursorEnd;
  Direction(c, -1);
  IsiFrame& f = Top(c);
  uint32_t child = IsiSlotChild(c->tree->geo, f.sec, f.idx);
  if (child != 0) {
    int st = IsiPush(c, child, IsiReadHint::kBackward);
    return st != kIsiCursorOk ? st : DescendLast(c, IsiReadHint::kBackward);
  }
  if (f.idx > 0) {
    --f.idx;
    return kIsiCursorOk;
  }
  return ClimbBackward(c);
}

const uint8_t* IsiCurrent(const IsiCursor* c) {
  const IsiFrame& f = IsiCurrentFrame(c);
  return IsiEntry(c->tree->geo, f.sec, f.idx);
}
