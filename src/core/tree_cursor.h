// The one reader of an index's tree: a cursor that loads key sectors in
// native order, checks each against the rules of core/sector_check, and
// steps to the next or previous entry in key order, or seeks. Compaction's
// walk and the reader library's cursors are both built on it; each
// supplies the sectors through an IsiSectorSource of its own (the
// program's sector I/O, the library's sector cache).
//
// A cursor keeps the path from the root to its entry (the sectors, as
// copies or where the source keeps them, with the entry or child slot it
// went through in each), so moving on never re-reads a sector above it. In
// key order a sector with entries e0..en-1 yields the subtree of slot 0
// (e0's child), e0, the subtree of slot 1, e1, ..., en-1, then the subtree
// of slot n (the rightmost child).
//
// Every value read from the file is distrusted. A cursor that meets damage
// stops with kIsiCursorDamaged before it would hand out an entry twice, skip
// one or step backwards: a child must lie below its parent's level (so the
// path cannot cycle), its keys between the separators around the slot it
// was reached through, the path holds at most kIsiPathDepth sectors below
// the root, and a scan in one direction loads no more sectors than the file
// holds. Over a tree read once (IsiWalkMode::kReadOnce) a cursor walks the
// entries as the tree holds them, in or out of order, whatever the levels
// of its leaves, and enters each sector once; it may then walk forward,
// never seek.
#pragma once

#include <cstdint>

#include "core/sector_check.h"

enum class IsiReadHint { kRandom, kForward, kBackward };

// Where a cursor's key sectors come from. `load` returns the key sector
// with sector number `sector` (inside the file) in native order, or nullptr
// when it cannot be read: copied into `out`, or, for a tree whose source
// keeps its sectors in place, where the source holds it. A source that
// remembers sectors sets *sound to a flag of its own for the sector, which
// the cursor sets once the sector has passed IsiKeySectorFaults (and finds
// set the next time); others set it to nullptr.
struct IsiSectorSource {
  const uint8_t* (*load)(void* ctx, uint64_t sector, IsiReadHint hint, uint8_t* out,
                         uint8_t** sound);
  void* ctx;
};

struct IsiCursor;

// The tree of one open index.
struct IsiTree {
  IsiGeometry geo;
  const uint8_t* root;  // the root sector, native (read with the header)
  uint32_t rootPos;     // its position, as the header stores it
  uint8_t rootSound;    // the root has passed IsiKeySectorFaults
  IsiSectorSource source;
  // The sectors `load` hands out, and the root, stay where they are,
  // unchanged, for as long as the tree is in use: a cursor then reads them
  // in place instead of copying each into its path.
  bool inPlace;
  // kSeekable (the default) or kReadOnce (a walk that sorts what it reads).
  // Without the separators' bounds, only marks tell a sector reached a
  // second time: a tree read once needs `seen`, one bit per sector of the
  // file, all clear before the walk.
  IsiWalkMode walkMode;
  uint64_t* seen;
  // When set, called for each sector the cursor enters once it has passed
  // every check, with the new frame at the bottom of the path; a visitor
  // that returns false has met the sector before (kIsiDamageTwice).
  bool (*visit)(void* ctx, const IsiCursor* c, uint64_t sector);
  void* visitCtx;
};

// One sector of a cursor's path.
struct IsiFrame {
  alignas(8) uint8_t copy[kIsiSector];  // the sector, unless it is read in place
  const uint8_t* sec;                   // the sector: `copy`, or where the source keeps it
  uint32_t pos;                         // as stored
  uint32_t idx;  // the entry (bottom of the path) or child slot (above it; count: rightmost)
  // The separators that bound this sector's keys: keys of entries in the
  // frames above it (nullptr: none on that side).
  const uint8_t* low;
  const uint8_t* high;
};

constexpr uint32_t kIsiMaxFrames = kIsiPathDepth + 1;  // the root and 48 levels below it

enum : int {
  kIsiCursorOk = 0,
  kIsiCursorEnd = 1,       // no entry there
  kIsiCursorRead = -1,     // a sector could not be read
  kIsiCursorDamaged = -2,  // damage: see damage and damagePos
};

// Plain data: a zero-filled cursor with its tree set is unpositioned. Its
// frames point into each other: a cursor is never copied.
struct IsiCursor {
  IsiTree* tree;
  uint32_t depth;  // frames in use; 0: not positioned
  int dir;         // +1 / -1: direction of the current scan
  uint64_t loads;  // sectors loaded by the current scan
  IsiDamage damage;
  uint32_t damagePos;   // the sector concerned, as stored
  uint32_t damageFrom;  // the sector above it, as stored (the root: its own position)
  IsiFrame path[kIsiMaxFrames];
};

// Each returns kIsiCursorOk with the cursor on an entry, kIsiCursorEnd with
// it unpositioned, or a failure (unpositioned too).
int IsiFirst(IsiCursor* c);
int IsiLast(IsiCursor* c);
int IsiNext(IsiCursor* c);
int IsiPrev(IsiCursor* c);

// The first entry for which `less` is false, in a tree ordered by it: in
// each sector the first such entry, through its left child while it has one.
template <class Less>
int IsiLowerBound(IsiCursor* c, Less less);

// The entry the cursor stands on, and the sector holding it.
const uint8_t* IsiCurrent(const IsiCursor* c);
inline const IsiFrame& IsiCurrentFrame(const IsiCursor* c) {
  return c->path[c->depth - 1];
}

// ---- Internals of IsiLowerBound ------------------------------------------------
int IsiStartAtRoot(IsiCursor* c);
int IsiPush(IsiCursor* c, uint32_t pos, IsiReadHint hint);
int IsiClimbForward(IsiCursor* c);

template <class Less>
int IsiLowerBound(IsiCursor* c, Less less) {
  int st = IsiStartAtRoot(c);
  c->dir = 1;
  const IsiGeometry& g = c->tree->geo;
  while (st == kIsiCursorOk) {
    IsiFrame& f = c->path[c->depth - 1];
    // Halving the range by selection rather than by branch: with keys in
    // random order each step's outcome is a coin toss, which a branch
    // mispredicts half the time. `lo` stays on an entry before the answer
    // or on the first; it ends within 0 .. count whatever the keys hold.
    const uint32_t count = IsiCount(f.sec);
    uint32_t lo = 0;
    if (count > 0) {
      for (uint32_t n = count; n > 1;) {
        uint32_t half = n / 2;
        lo = less(IsiEntry(g, f.sec, lo + half)) ? lo + half : lo;
        n -= half;
      }
      lo += less(IsiEntry(g, f.sec, lo)) ? 1 : 0;
    }
    f.idx = lo;
    uint32_t child = IsiSlotChild(g, f.sec, lo);
    if (child == 0) return lo < IsiCount(f.sec) ? kIsiCursorOk : IsiClimbForward(c);
    st = IsiPush(c, child, IsiReadHint::kRandom);
  }
  return st;
}
