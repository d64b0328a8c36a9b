// cursor: the C API's ordered access to the tree, on the shared tree cursor
// (core/tree_cursor): first, last, seek, find, next, prev and next_dup, the
// handle's call scope around each, and the restart of a cursor whose index
// was rewritten under it in shared mode.
#include <cstring>
#include <new>

#include "core/key_order.h"
#include "core/small_copy.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

int CursorStatus(int st) {
  switch (st) {
    case kIsiCursorOk:
      return KELISI_OK;
    case kIsiCursorEnd:
      return KELISI_NOTFOUND;
    case kIsiCursorRead:
      return KELISI_E_READ;
    default:
      return KELISI_E_CORRUPT;
  }
}

namespace {

// Compares an entry's key with `key` over `len` bytes.
int CompareKey(const uint8_t* entry, const uint8_t* key, uint32_t len) {
  return IsiCompareKeys(IsiEntryKey(entry), key, len);
}

int SeekKey(kelisi_cursor* c, const uint8_t* key, uint32_t len) {
  return CursorStatus(IsiLowerBound(
      &c->walk, [key, len](const uint8_t* e) { return CompareKey(e, key, len) < 0; }));
}

// Takes the entry the cursor now stands on: its key and duplicate sequence
// into the cursor, the rest into `e` (when given).
inline __attribute__((always_inline)) void Settle(kelisi_cursor* c, kelisi_entry* e) {
  const IsiFrame& f = IsiCurrentFrame(&c->walk);
  const uint8_t* en = IsiEntry(c->ix->tree.geo, f.sec, f.idx);
  CopyFew(c->key, IsiEntryKey(en), c->ix->keyLength);
  c->dup = IsiEntryDup(en);
  if (e == nullptr) return;
  e->key = c->key;
  e->key_length = c->ix->keyLength;
  e->record_offset = IsiEntryOffset(c->ix->tree.geo, en);
  e->record_size = IsiEntryRecSize(en);
  e->dup_seq = c->dup;
  e->position = IsiEntryPos(en);
  e->sector = f.pos;
  e->index = f.idx + 1;
}

// After the index was rewritten: the first entry at or after the one the
// cursor stood on, by key and duplicate sequence (equal keys stay in the
// order they arrived through a compaction and through changes in place).
// *same tells whether it is that entry.
int Restart(kelisi_cursor* c, bool* same) {
  const uint8_t* key = c->key;
  const uint16_t dup = c->dup;
  uint32_t len = c->ix->keyLength;
  int st = CursorStatus(IsiLowerBound(&c->walk, [&](const uint8_t* e) {
    int k = CompareKey(e, key, len);
    return k != 0 ? k < 0 : IsiEntryDup(e) < dup;
  }));
  const uint8_t* at = st == KELISI_OK ? IsiCurrent(&c->walk) : nullptr;
  *same = at != nullptr && CompareKey(at, key, len) == 0 && IsiEntryDup(at) == dup;
  return st;
}

int Move(kelisi_cursor* c, bool forward) {
  return CursorStatus(forward ? IsiNext(&c->walk) : IsiPrev(&c->walk));
}

// One step from the cursor's entry; a cursor whose index was rewritten
// since its path was read first finds its entry again.
int Step(kelisi_cursor* c, bool forward) {
  if (c->walk.depth == 0) return KELISI_NOTFOUND;
  if (c->gen != c->ix->generation) {
    // A key of another length cannot be sought in this index.
    if (c->entrySize != c->ix->entrySize) return KELISI_NOTFOUND;
    bool same = false;
    int st = Restart(c, &same);
    if (!forward) {
      if (st == KELISI_NOTFOUND) return CursorStatus(IsiLast(&c->walk));
      return st != KELISI_OK ? st : Move(c, false);
    }
    if (st != KELISI_OK || !same) return st;
  }
  return Move(c, forward);
}

// The next entry when its key equals the current one's over dupLen bytes
// (the cursor's copy of the key stays until the entry is taken).
int NextDup(kelisi_cursor* c) {
  int st = Step(c, true);
  if (st == KELISI_OK && CompareKey(IsiCurrent(&c->walk), c->key, c->dupLen) != 0) {
    st = KELISI_NOTFOUND;
  }
  return st;
}

// The common step of a scan, the next entry of the same leaf, needs no
// lock and no read: true when it was taken.
bool NextInLeaf(kelisi_cursor* c, kelisi_entry* e) {
  if (c == nullptr || c->walk.depth == 0 || c->walk.dir != 1 ||
      (c->ix->flags & KELISI_SHARED) != 0 || c->gen != c->ix->generation) {
    return false;
  }
  IsiFrame& f = c->walk.path[c->walk.depth - 1];
  uint32_t slot = f.idx + 1;
  if (slot >= IsiCount(f.sec) || IsiEntryChild(IsiEntry(c->ix->tree.geo, f.sec, slot)) != 0) {
    return false;
  }
  f.idx = slot;
  Settle(c, e);
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
    c->walk.depth = 0;
    return st;
  }
  c->gen = c->ix->generation;
  c->entrySize = c->ix->entrySize;
  Settle(c, e);
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
    if (st == KELISI_OK && exact && CompareKey(IsiCurrent(&c->walk), k, n) != 0) {
      st = KELISI_NOTFOUND;
    }
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
  c->walk.tree = &ix->tree;
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
    return kisi::CursorStatus(IsiFirst(&c->walk));
  });
}

KELISI_API int kelisi_last(kelisi_cursor* c, kelisi_entry* e) {
  return Run(c, e, [c] {
    c->dupLen = c->ix->keyLength;
    return kisi::CursorStatus(IsiLast(&c->walk));
  });
}

KELISI_API int kelisi_seek(kelisi_cursor* c, const void* key, size_t len, kelisi_entry* e) {
  return kisi::Seek(c, key, len, e, false);
}

KELISI_API int kelisi_find(kelisi_cursor* c, const void* key, size_t len, kelisi_entry* e) {
  return kisi::Seek(c, key, len, e, true);
}

KELISI_API int kelisi_next(kelisi_cursor* c, kelisi_entry* e) {
  if (kisi::NextInLeaf(c, e)) return KELISI_OK;
  return Run(c, e, [c] { return kisi::Step(c, true); });
}

KELISI_API int kelisi_prev(kelisi_cursor* c, kelisi_entry* e) {
  return Run(c, e, [c] { return kisi::Step(c, false); });
}

KELISI_API int kelisi_next_dup(kelisi_cursor* c, kelisi_entry* e) {
  return Run(c, e, [c] { return kisi::NextDup(c); });
}

}  // extern "C"
