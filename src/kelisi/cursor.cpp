// cursor: ordered access to the tree. A cursor keeps the path from the
// root to its entry as copies of the sectors with the entry or child slot
// it went through in each, so moving on never re-reads a sector above it.
//
// In-order, a sector with entries e0..en-1 yields the subtree of slot 0
// (e0's child), e0, the subtree of slot 1, e1, ..., en-1, then the subtree
// of slot n (the rightmost child). Every value read from the file is
// distrusted: a child must sit below its parent's level (so the path
// cannot cycle), the path holds at most kMaxDepth sectors, and a scan in
// one direction may load no more sectors than the file holds.
#include <cstring>
#include <new>

#include "kelisi/kelisi_internal.h"
#include "kelisi/tree.h"

namespace kisi {

namespace {

Frame& Top(kelisi_cursor* c) {
  return c->path[c->depth - 1];
}

int StartAtRoot(kelisi_cursor* c) {
  c->depth = 0;
  c->loads = 0;
  Frame& f = c->path[0];
  int st = LoadRoot(c->ix, f.sec);
  if (st != KELISI_OK) return st;
  f.pos = c->ix->hdr.root_position;
  f.idx = 0;
  c->depth = 1;
  return KELISI_OK;
}

// Loads the child at `pos` of the bottom frame as the new bottom frame.
int Push(kelisi_cursor* c, uint32_t pos, ReadHint hint) {
  if (c->depth >= kMaxDepth) return KELISI_E_CORRUPT;
  if (++c->loads > c->ix->fileSectors + kMaxDepth) return KELISI_E_CORRUPT;
  Frame& f = c->path[c->depth];
  int st = LoadKeySector(c->ix, pos, hint, f.sec);
  if (st != KELISI_OK) return st;
  if (SecLevel(f.sec) >= SecLevel(Top(c).sec)) return KELISI_E_CORRUPT;
  f.pos = pos;
  f.idx = 0;
  ++c->depth;
  return KELISI_OK;
}

// The bottom sector is done going forward: up to the first ancestor whose
// slot we came through has an entry after it.
int ClimbForward(kelisi_cursor* c) {
  for (;;) {
    if (c->depth <= 1) return KELISI_NOTFOUND;
    --c->depth;
    const Frame& p = Top(c);
    if (p.idx < SecCount(p.sec)) return KELISI_OK;
  }
}

int ClimbBackward(kelisi_cursor* c) {
  for (;;) {
    if (c->depth <= 1) return KELISI_NOTFOUND;
    --c->depth;
    Frame& p = Top(c);
    if (p.idx > 0) {
      --p.idx;
      return KELISI_OK;
    }
  }
}

int DescendFirst(kelisi_cursor* c, ReadHint hint) {
  for (;;) {
    Frame& f = Top(c);
    f.idx = 0;
    uint32_t child = SlotChild(c->ix, f.sec, 0);
    if (child == 0) return SecCount(f.sec) > 0 ? KELISI_OK : ClimbForward(c);
    int st = Push(c, child, hint);
    if (st != KELISI_OK) return st;
  }
}

int DescendLast(kelisi_cursor* c, ReadHint hint) {
  for (;;) {
    Frame& f = Top(c);
    uint32_t n = SecCount(f.sec);
    f.idx = n;
    uint32_t child = SlotChild(c->ix, f.sec, n);
    if (child == 0) {
      if (n == 0) return ClimbBackward(c);
      f.idx = n - 1;
      return KELISI_OK;
    }
    int st = Push(c, child, hint);
    if (st != KELISI_OK) return st;
  }
}

void Direction(kelisi_cursor* c, int dir) {
  if (c->dir != dir) c->loads = 0;
  c->dir = dir;
}

int StepNext(kelisi_cursor* c) {
  Direction(c, 1);
  Frame& f = Top(c);
  uint32_t slot = f.idx + 1;
  uint32_t child = SlotChild(c->ix, f.sec, slot);
  if (child != 0) {
    f.idx = slot;
    int st = Push(c, child, ReadHint::kForward);
    return st != KELISI_OK ? st : DescendFirst(c, ReadHint::kForward);
  }
  if (slot < SecCount(f.sec)) {
    f.idx = slot;
    return KELISI_OK;
  }
  return ClimbForward(c);
}

int StepPrev(kelisi_cursor* c) {
  Direction(c, -1);
  Frame& f = Top(c);
  uint32_t child = SlotChild(c->ix, f.sec, f.idx);
  if (child != 0) {
    int st = Push(c, child, ReadHint::kBackward);
    return st != KELISI_OK ? st : DescendLast(c, ReadHint::kBackward);
  }
  if (f.idx > 0) {
    --f.idx;
    return KELISI_OK;
  }
  return ClimbBackward(c);
}

// Descends to the first entry for which `less` is false: in each sector
// the first such entry, through its left child while there is one.
template <class Less>
int LowerBound(kelisi_cursor* c, Less less) {
  int st = StartAtRoot(c);
  c->dir = 1;
  while (st == KELISI_OK) {
    Frame& f = Top(c);
    uint32_t lo = 0, hi = SecCount(f.sec);
    while (lo < hi) {
      uint32_t mid = (lo + hi) / 2;
      if (less(EntryAt(c->ix, f.sec, mid))) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    f.idx = lo;
    uint32_t child = SlotChild(c->ix, f.sec, lo);
    if (child == 0) return lo < SecCount(f.sec) ? KELISI_OK : ClimbForward(c);
    st = Push(c, child, ReadHint::kRandom);
  }
  return st;
}

int SeekKey(kelisi_cursor* c, const uint8_t* key, uint32_t len) {
  return LowerBound(c, [key, len](const uint8_t* e) { return CompareKey(e, key, len) < 0; });
}

const uint8_t* Current(kelisi_cursor* c) {
  const Frame& f = Top(c);
  return EntryAt(c->ix, f.sec, f.idx);
}

inline __attribute__((always_inline)) void Fill(kelisi_cursor* c, kelisi_entry* e) {
  if (e == nullptr) return;
  const Frame& f = Top(c);
  const uint8_t* en = Current(c);
  e->key = EntryKey(en);
  e->key_length = c->ix->keyLength;
  e->record_offset = EntryOffset(c->ix, en);
  e->record_size = EntryRecSize(en);
  e->dup_seq = EntryDup(en);
  e->position = EntryPos(en);
  e->sector = f.pos;
  e->index = f.idx + 1;
}

// Where the cursor stood, taken before its path is given up.
struct Mark {
  uint8_t key[kIsiEntryKeyOfs + sizeof(IsiKeyEntry)];
  uint64_t offset;
};

void TakeMark(kelisi_cursor* c, Mark* m) {
  const uint8_t* en = Current(c);
  memcpy(m->key, EntryKey(en), c->ix->keyLength);
  m->offset = EntryOffset(c->ix, en);
}

// After the index was rewritten: the first entry at or after the marked
// one, by key and record position. *same tells whether it is that entry.
int Restart(kelisi_cursor* c, const Mark& m, bool* same) {
  const kelisi* ix = c->ix;
  uint32_t len = ix->keyLength;
  int st = LowerBound(c, [&](const uint8_t* e) {
    int k = CompareKey(e, m.key, len);
    return k != 0 ? k < 0 : EntryOffset(ix, e) < m.offset;
  });
  *same = st == KELISI_OK && CompareKey(Current(c), m.key, len) == 0 &&
          EntryOffset(ix, Current(c)) == m.offset;
  return st;
}

int First(kelisi_cursor* c) {
  int st = StartAtRoot(c);
  c->dir = 1;
  return st != KELISI_OK ? st : DescendFirst(c, ReadHint::kForward);
}

int Last(kelisi_cursor* c) {
  int st = StartAtRoot(c);
  c->dir = -1;
  return st != KELISI_OK ? st : DescendLast(c, ReadHint::kBackward);
}

// One step from the cursor's entry; a cursor whose index was rewritten
// since its path was read first finds its entry again.
int Step(kelisi_cursor* c, bool forward, Mark* m, bool keepMark) {
  if (c->depth == 0) return KELISI_NOTFOUND;
  if (c->gen != c->ix->generation) {
    // Sectors of another entry size cannot be read back for the mark.
    if (c->entrySize != c->ix->entrySize) return KELISI_NOTFOUND;
    TakeMark(c, m);
    bool same = false;
    int st = Restart(c, *m, &same);
    if (!forward) {
      if (st == KELISI_NOTFOUND) return Last(c);
      return st != KELISI_OK ? st : StepPrev(c);
    }
    if (st != KELISI_OK || !same) return st;
  } else if (keepMark) {
    TakeMark(c, m);
  }
  return forward ? StepNext(c) : StepPrev(c);
}

int NextDup(kelisi_cursor* c) {
  Mark m;
  int st = Step(c, true, &m, true);
  if (st == KELISI_OK && CompareKey(Current(c), m.key, c->dupLen) != 0) st = KELISI_NOTFOUND;
  return st;
}

// The common step of a scan, the next entry of the same leaf, needs no
// lock and no read: true when it was taken.
bool NextInLeaf(kelisi_cursor* c, kelisi_entry* e) {
  if (c == nullptr || c->depth == 0 || c->dir != 1 || (c->ix->flags & KELISI_SHARED) != 0 ||
      c->gen != c->ix->generation) {
    return false;
  }
  Frame& f = Top(c);
  uint32_t slot = f.idx + 1;
  if (slot >= SecCount(f.sec) || EntryChild(EntryAt(c->ix, f.sec, slot)) != 0) return false;
  f.idx = slot;
  Fill(c, e);
  return true;
}

// Runs one cursor operation under the handle's call scope; a cursor that
// finds nothing, or fails, is left unpositioned.
template <class Op>
int Run(kelisi_cursor* c, kelisi_entry* e, Op op) {
  if (c == nullptr) return KELISI_E_ARG;
  CallScope scope(c->ix);
  if (scope.status() != KELISI_OK) return scope.status();
  int st = op();
  if (st != KELISI_OK) {
    c->depth = 0;
    return st;
  }
  c->gen = c->ix->generation;
  c->entrySize = c->ix->entrySize;
  Fill(c, e);
  return KELISI_OK;
}

bool KeyArgsOk(const kelisi_cursor* c, const void* key, size_t len) {
  return c != nullptr && key != nullptr && len >= 1 && len <= c->ix->keyLength;
}

int Seek(kelisi_cursor* c, const void* key, size_t len, kelisi_entry* e, bool exact) {
  if (!KeyArgsOk(c, key, len)) return KELISI_E_ARG;
  const auto* k = static_cast<const uint8_t*>(key);
  uint32_t n = static_cast<uint32_t>(len);
  return Run(c, e, [c, k, n, exact] {
    c->dupLen = n;
    int st = SeekKey(c, k, n);
    if (st == KELISI_OK && exact && CompareKey(Current(c), k, n) != 0) st = KELISI_NOTFOUND;
    return st;
  });
}

}  // namespace
}  // namespace kisi

using kisi::Run;

extern "C" {

KELISI_API int kelisi_cursor_open(kelisi* ix, kelisi_cursor** out) {
  if (out == nullptr) return KELISI_E_ARG;
  *out = nullptr;
  if (ix == nullptr) return KELISI_E_ARG;
  auto* c = new (std::nothrow) kelisi_cursor;
  if (c == nullptr) return KELISI_E_NOMEM;
  c->ix = ix;
  c->dupLen = ix->keyLength;
  ++ix->openCursors;
  *out = c;
  return KELISI_OK;
}

KELISI_API int kelisi_cursor_close(kelisi_cursor* c) {
  if (c == nullptr) return KELISI_OK;
  --c->ix->openCursors;
  delete c;
  return KELISI_OK;
}

KELISI_API int kelisi_first(kelisi_cursor* c, kelisi_entry* e) {
  return Run(c, e, [c] {
    c->dupLen = c->ix->keyLength;
    return kisi::First(c);
  });
}

KELISI_API int kelisi_last(kelisi_cursor* c, kelisi_entry* e) {
  return Run(c, e, [c] {
    c->dupLen = c->ix->keyLength;
    return kisi::Last(c);
  });
}

KELISI_API int kelisi_seek(kelisi_cursor* c, const void* key, size_t len, kelisi_entry* e) {
  return kisi::Seek(c, key, len, e, false);
}

KELISI_API int kelisi_find(kelisi_cursor* c, const void* key, size_t len, kelisi_entry* e) {
  return kisi::Seek(c, key, len, e, true);
}

KELISI_API int kelisi_next(kelisi_cursor* c, kelisi_entry* e) {
  kisi::Mark m;
  if (kisi::NextInLeaf(c, e)) return KELISI_OK;
  return Run(c, e, [c, &m] { return kisi::Step(c, true, &m, false); });
}

KELISI_API int kelisi_prev(kelisi_cursor* c, kelisi_entry* e) {
  kisi::Mark m;
  return Run(c, e, [c, &m] { return kisi::Step(c, false, &m, false); });
}

KELISI_API int kelisi_next_dup(kelisi_cursor* c, kelisi_entry* e) {
  return Run(c, e, [c] { return kisi::NextDup(c); });
}

}  // extern "C"
