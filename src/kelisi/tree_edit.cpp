// tree_edit: the B-tree of an index changed in place, on the sectors of a
// change (txn_internal.h).
//
// Insertion is the classic one: the new entry goes into the sector where a
// search for the key after its equal keys ends (a leaf, or an inner sector
// whose slot there has no child); a sector that overflows splits in two
// around its middle entry, which moves up into the parent, up to the root.
// The root stays at its fixed place: when it splits, its two halves move
// into two new sectors and the root keeps the middle entry alone, one level
// higher. Both halves of a split keep the level of the sector split.
//
// Deletion leaves sectors partly filled (compaction restores the fill) but
// keeps two rules that make every later step simple: a sector other than
// the root has at least one entry, and a sector without children is at
// level 0. An entry whose two neighbouring child slots both lead to entries
// is replaced by its in-order predecessor, taken from the bottom of its
// left subtree; otherwise it is removed with the child slot that leads to
// nothing, and a sector left empty gives its place in the parent to its one
// child. A root left without entries takes in its only child.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "isi/byte_order.h"
#include "isi/sector_check.h"
#include "kelisi/txn_internal.h"

namespace kisi {

namespace {

constexpr uint64_t kRootSector = kIsiRootPos / kIsiSector;

struct Step {
  uint64_t sector;
  uint32_t slot;  // the child slot (inner) or entry (bottom) the path goes through
};
using Path = std::vector<Step>;

uint32_t Count(const uint8_t* s) {
  return s[kKeyCountOfs];
}
uint8_t* EntryAt(const kelisi_txn* t, uint8_t* s, uint32_t i) {
  return s + static_cast<size_t>(i) * t->tree.geo.entrySize;
}
uint32_t SlotChild(const kelisi_txn* t, const uint8_t* s, uint32_t slot) {
  return IsiSlotChild(t->tree.geo, s, slot);
}
void SetSlotChild(const kelisi_txn* t, uint8_t* s, uint32_t slot, uint32_t child) {
  if (slot < Count(s)) {
    StoreU32(EntryAt(t, s, slot) + kEntryChildOfs, child);
  } else {
    StoreU32(s + kKeyRightOfs, child);
  }
}
int Compare(const kelisi_txn* t, const uint8_t* entry, const uint8_t* key) {
  return IsiCompareKeys(IsiEntryKey(entry), key, t->tree.geo.keyLength);
}

// A sector without children is a leaf, at level 0.
void FixLevel(const kelisi_txn* t, uint8_t* s) {
  if (!IsiHasChildren(t->tree.geo, s)) StoreU16(s + kKeyLevelOfs, 0);
}

// Lays entries [from, to) of `ents` with the child slots `ch` (one more
// than entries) into sector s, at `level`.
void Lay(const kelisi_txn* t, uint8_t* s, const std::vector<uint8_t>& ents,
         const std::vector<uint32_t>& ch, uint32_t from, uint32_t to, uint16_t level) {
  uint32_t es = t->tree.geo.entrySize;
  memset(s, 0, kIsiSector);
  for (uint32_t i = from; i < to; ++i) {
    uint8_t* e = s + static_cast<size_t>(i - from) * es;
    memcpy(e, ents.data() + static_cast<size_t>(i) * es, es);
    StoreU32(e + kEntryChildOfs, ch[i]);
  }
  s[kKeyCountOfs] = static_cast<uint8_t>(to - from);
  StoreU32(s + kKeyRightOfs, ch[to]);
  StoreU16(s + kKeyLevelOfs, level);
  // Half of an inner sector whose slots there were all empty is a leaf.
  FixLevel(t, s);
}

// Inserts `entry` (its child field set) at slot path[d].slot of the sector
// path[d].sector; the slot behind it gets `right`, or keeps the child the
// slot had when `setRight` is false.
int InsertAt(kelisi_txn* t, const Path& path, size_t d, const uint8_t* entry, bool setRight,
             uint32_t right) {
  uint64_t sector = path[d].sector;
  uint32_t slot = path[d].slot;
  uint8_t* s = TxnWrite(t, sector, PageKind::kKey);
  if (s == nullptr) return t->spoiled;
  uint32_t es = t->tree.geo.entrySize, n = Count(s);
  if (n < t->tree.geo.perSector) {
    // Room in the sector: the entries behind the slot move up one place,
    // their children with them; the slot behind the new entry keeps its
    // child unless a new one is given.
    memmove(EntryAt(t, s, slot + 1), EntryAt(t, s, slot), static_cast<size_t>(n - slot) * es);
    memcpy(EntryAt(t, s, slot), entry, es);
    s[kKeyCountOfs] = static_cast<uint8_t>(n + 1);
    if (setRight) SetSlotChild(t, s, slot + 1, right);
    return KELISI_OK;
  }
  std::vector<uint8_t> ents(static_cast<size_t>(n + 1) * es);
  std::vector<uint32_t> ch(n + 2);
  memcpy(ents.data(), s, static_cast<size_t>(slot) * es);
  memcpy(ents.data() + static_cast<size_t>(slot) * es, entry, es);
  memcpy(ents.data() + static_cast<size_t>(slot + 1) * es, s + static_cast<size_t>(slot) * es,
         static_cast<size_t>(n - slot) * es);
  for (uint32_t i = 0; i < slot; ++i) ch[i] = SlotChild(t, s, i);
  ch[slot] = LoadU32(entry + kEntryChildOfs);
  ch[slot + 1] = setRight ? right : SlotChild(t, s, slot);
  for (uint32_t i = slot + 1; i <= n; ++i) ch[i + 1] = SlotChild(t, s, i);
  uint32_t total = n + 1;
  uint16_t level = IsiLevel(s);
  if (total <= t->tree.geo.perSector) {
    Lay(t, s, ents, ch, 0, total, level);
    return KELISI_OK;
  }
  uint32_t m = total / 2;
  uint8_t median[sizeof(IsiKeyEntry)];
  memcpy(median, ents.data() + static_cast<size_t>(m) * es, es);
  if (sector == kRootSector) {
    uint64_t left = TxnNewSector(t, PageKind::kKey);
    uint64_t rightSec = TxnNewSector(t, PageKind::kKey);
    if (t->spoiled != KELISI_OK) return t->spoiled;
    Lay(t, TxnWrite(t, left, PageKind::kKey), ents, ch, 0, m, level);
    Lay(t, TxnWrite(t, rightSec, PageKind::kKey), ents, ch, m + 1, total, level);
    memset(s, 0, kIsiSector);
    memcpy(s, median, es);
    StoreU32(s + kEntryChildOfs, TxnPos(t, left));
    s[kKeyCountOfs] = 1;
    StoreU32(s + kKeyRightOfs, TxnPos(t, rightSec));
    StoreU16(s + kKeyLevelOfs, static_cast<uint16_t>(level + 1));
    return KELISI_OK;
  }
  uint64_t fresh = TxnNewSector(t, PageKind::kKey);
  if (t->spoiled != KELISI_OK) return t->spoiled;
  Lay(t, s, ents, ch, 0, m, level);
  Lay(t, TxnWrite(t, fresh, PageKind::kKey), ents, ch, m + 1, total, level);
  StoreU32(median + kEntryChildOfs, TxnPos(t, sector));
  return InsertAt(t, path, d - 1, median, true, TxnPos(t, fresh));
}

// Reads a key sector of the path below `parentLevel`, checked as every
// reader checks it.
int ReadChecked(kelisi_txn* t, uint64_t sector, int parentLevel, uint8_t* out) {
  // The change's own sectors are sound: it made them so.
  if (const Page* p = TxnPage(t, sector)) {
    memcpy(out, p->data, kIsiSector);
    return KELISI_OK;
  }
  int st = TxnRead(t, sector, PageKind::kKey, out);
  if (st != KELISI_OK) return st;
  if (IsiKeySectorFaults(t->tree.geo, out) != 0) return KELISI_E_CORRUPT;
  if (parentLevel >= 0 && IsiLevel(out) >= parentLevel) return KELISI_E_CORRUPT;
  return KELISI_OK;
}

// Walks down from stored position `pos` through sectors without entries
// (each has one slot, its rightmost child), calling visit(sector) on each,
// until a sector holds an entry (*has then true) or the chain ends.
template <typename Visit>
int WalkEmptyChain(kelisi_txn* t, uint32_t pos, bool* has, Visit visit) {
  alignas(8) uint8_t s[kIsiSector];
  *has = false;
  for (uint32_t depth = 0; pos != 0; ++depth) {
    uint64_t sector;
    if (depth > kIsiPathDepth || TxnKeySector(t, pos, &sector) != KELISI_OK) {
      return KELISI_E_CORRUPT;
    }
    int st = TxnRead(t, sector, PageKind::kKey, s);
    if (st != KELISI_OK) return st;
    if (Count(s) > t->tree.geo.perSector) return KELISI_E_CORRUPT;
    if (Count(s) > 0) {
      *has = true;
      return KELISI_OK;
    }
    pos = IsiRightChild(s);
    visit(sector);
  }
  return KELISI_OK;
}

// True (in *has) when the subtree at stored position `pos` holds an entry.
int SubtreeHasEntries(kelisi_txn* t, uint32_t pos, bool* has) {
  return WalkEmptyChain(t, pos, has, [](uint64_t) {});
}

// Frees a subtree without entries: a chain of empty sectors.
int FreeSubtree(kelisi_txn* t, uint32_t pos) {
  bool has = false;
  return WalkEmptyChain(t, pos, &has, [t](uint64_t sector) { TxnFreeSector(t, sector); });
}

// A root without entries takes in its only child, as often as it can.
void CollapseRoot(kelisi_txn* t) {
  uint8_t* root = TxnWrite(t, kRootSector, PageKind::kKey);
  while (root != nullptr && Count(root) == 0 && IsiRightChild(root) != 0) {
    uint64_t child;
    if (TxnKeySector(t, IsiRightChild(root), &child) != KELISI_OK) {
      TxnSpoil(t, KELISI_E_CORRUPT);
      return;
    }
    if (TxnRead(t, child, PageKind::kKey, root) != KELISI_OK) {
      TxnSpoil(t, KELISI_E_READ);
      return;
    }
    if (IsiKeySectorFaults(t->tree.geo, root) != 0) {
      TxnSpoil(t, KELISI_E_CORRUPT);
      return;
    }
    TxnFreeSector(t, child);
  }
  if (root != nullptr) FixLevel(t, root);
}

// Removes entry path.back().slot of sector path.back().sector.
int RemoveAt(kelisi_txn* t, Path& path) {
  size_t d = path.size() - 1;
  uint64_t sector = path[d].sector;
  uint32_t j = path[d].slot;
  uint8_t* s = TxnWrite(t, sector, PageKind::kKey);
  if (s == nullptr) return t->spoiled;
  uint32_t n = Count(s), es = t->tree.geo.entrySize;
  uint32_t left = SlotChild(t, s, j), right = SlotChild(t, s, j + 1);
  bool leftHas = false, rightHas = false;
  int st = SubtreeHasEntries(t, left, &leftHas);
  if (st == KELISI_OK) st = SubtreeHasEntries(t, right, &rightHas);
  if (st != KELISI_OK) return TxnSpoil(t, st);
  if (leftHas && rightHas) {
    // The in-order predecessor: the last entry at the bottom of the right
    // edge of the left subtree. Its own right slot leads to no entry.
    path[d].slot = j;
    alignas(8) uint8_t u[kIsiSector];
    uint32_t pos = left;
    for (;;) {
      uint64_t us;
      if (path.size() > kIsiPathDepth + 1 || TxnKeySector(t, pos, &us) != KELISI_OK) {
        return TxnSpoil(t, KELISI_E_CORRUPT);
      }
      st = TxnRead(t, us, PageKind::kKey, u);
      if (st != KELISI_OK) return TxnSpoil(t, st);
      bool has = false;
      st = SubtreeHasEntries(t, IsiRightChild(u), &has);
      if (st != KELISI_OK) return TxnSpoil(t, st);
      if (has) {
        path.push_back({us, Count(u)});
        pos = IsiRightChild(u);
        continue;
      }
      if (Count(u) == 0) return TxnSpoil(t, KELISI_E_CORRUPT);
      path.push_back({us, Count(u) - 1});
      break;
    }
    const uint8_t* pred = EntryAt(t, u, Count(u) - 1);
    s = TxnWrite(t, sector, PageKind::kKey);
    uint8_t* e = EntryAt(t, s, j);
    uint32_t child = LoadU32(e + kEntryChildOfs);
    memcpy(e, pred, es);
    StoreU32(e + kEntryChildOfs, child);
    return RemoveAt(t, path);
  }
  uint32_t keep = leftHas ? left : rightHas ? right : 0;
  if (left != 0 && left != keep) st = FreeSubtree(t, left);
  if (st == KELISI_OK && right != 0 && right != keep) st = FreeSubtree(t, right);
  if (st != KELISI_OK) return TxnSpoil(t, st);
  s = TxnWrite(t, sector, PageKind::kKey);
  memmove(EntryAt(t, s, j), EntryAt(t, s, j + 1), static_cast<size_t>(n - 1 - j) * es);
  memset(EntryAt(t, s, n - 1), 0, es);
  s[kKeyCountOfs] = static_cast<uint8_t>(n - 1);
  SetSlotChild(t, s, j, keep);
  FixLevel(t, s);
  if (d == 0) {
    CollapseRoot(t);
    return t->spoiled;
  }
  if (n - 1 > 0) return KELISI_OK;
  // An empty sector gives its place in the parent to its one child.
  uint8_t* parent = TxnWrite(t, path[d - 1].sector, PageKind::kKey);
  if (parent == nullptr) return t->spoiled;
  SetSlotChild(t, parent, path[d - 1].slot, keep);
  FixLevel(t, parent);
  TxnFreeSector(t, sector);
  if (d - 1 == 0) CollapseRoot(t);
  return t->spoiled;
}

// The path of the cursor, as sector numbers and slots.
int PathOf(const kelisi_txn* t, const IsiCursor& c, Path* path) {
  path->clear();
  for (uint32_t i = 0; i < c.depth; ++i) {
    uint64_t sector = kRootSector;
    if (i > 0 && TxnKeySector(t, c.path[i].pos, &sector) != KELISI_OK) return KELISI_E_CORRUPT;
    path->push_back({sector, c.path[i].idx});
  }
  return KELISI_OK;
}

// Puts the cursor on the entry with this key and record position.
int FindEntry(kelisi_txn* t, IsiCursor* c, const uint8_t* key, uint32_t pos) {
  c->tree = &t->tree;
  int st = IsiLowerBound(c, [t, key](const uint8_t* e) { return Compare(t, e, key) < 0; });
  while (st == kIsiCursorOk) {
    const uint8_t* e = IsiCurrent(c);
    if (Compare(t, e, key) != 0) return KELISI_NOTFOUND;
    if (IsiEntryPos(e) == pos) return KELISI_OK;
    st = IsiNext(c);
  }
  return CursorStatus(st);
}

}  // namespace

int TreeInsert(kelisi_txn* t, const uint8_t* key, uint32_t pos, uint16_t size, bool unique,
               uint16_t* dup) {
  Path path;
  alignas(8) uint8_t s[kIsiSector];
  uint64_t sector = kRootSector;
  int parentLevel = -1;
  bool equal = false;
  uint16_t prevDup = 0;
  for (;;) {
    if (path.size() > kIsiPathDepth) return TxnSpoil(t, KELISI_E_CORRUPT);
    int st = ReadChecked(t, sector, parentLevel, s);
    if (st != KELISI_OK) return TxnSpoil(t, st);
    uint32_t lo = 0, hi = Count(s);
    while (lo < hi) {
      uint32_t mid = (lo + hi) / 2;
      if (Compare(t, EntryAt(t, s, mid), key) <= 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    // The nearest entry before the new one is the last passed on the left.
    if (lo > 0) {
      const uint8_t* e = EntryAt(t, s, lo - 1);
      equal = Compare(t, e, key) == 0;
      prevDup = IsiEntryDup(e);
    }
    path.push_back({sector, lo});
    uint32_t child = SlotChild(t, s, lo);
    if (child == 0) break;
    if (TxnKeySector(t, child, &sector) != KELISI_OK) return TxnSpoil(t, KELISI_E_CORRUPT);
    parentLevel = IsiLevel(s);
  }
  if (equal && unique) return TxnSpoil(t, KELISI_E_DUPLICATE);
  *dup = equal ? static_cast<uint16_t>(prevDup + 1) : 0;
  uint8_t entry[sizeof(IsiKeyEntry)] = {};
  StoreU32(entry + kEntryPosOfs, pos);
  StoreU32(entry + kEntryChildOfs, 0);
  StoreU16(entry + kEntryDupOfs, *dup);
  StoreU16(entry + kEntrySizeOfs, size);
  memcpy(entry + kIsiEntryKeyOfs, key, t->tree.geo.keyLength);
  return InsertAt(t, path, path.size() - 1, entry, false, 0);
}

int TreeRemove(kelisi_txn* t, const uint8_t* key, uint32_t pos, uint16_t* size) {
  std::unique_ptr<IsiCursor> c(new (std::nothrow) IsiCursor());
  if (!c) return KELISI_E_NOMEM;
  int st = FindEntry(t, c.get(), key, pos);
  if (st != KELISI_OK) return st == KELISI_NOTFOUND ? st : TxnSpoil(t, st);
  *size = IsiEntryRecSize(IsiCurrent(c.get()));
  Path path;
  if (PathOf(t, *c, &path) != KELISI_OK) return TxnSpoil(t, KELISI_E_CORRUPT);
  return RemoveAt(t, path);
}

int TreeFindFirst(kelisi_txn* t, const uint8_t* key, uint32_t len, uint32_t* pos, uint16_t* size,
                  uint8_t* found) {
  std::unique_ptr<IsiCursor> c(new (std::nothrow) IsiCursor());
  if (!c) return KELISI_E_NOMEM;
  c->tree = &t->tree;
  auto compare = [key, len](const uint8_t* e) { return IsiCompareKeys(IsiEntryKey(e), key, len); };
  int st =
      CursorStatus(IsiLowerBound(c.get(), [&compare](const uint8_t* e) { return compare(e) < 0; }));
  if (st != KELISI_OK) return st;
  const uint8_t* e = IsiCurrent(c.get());
  if (compare(e) != 0) return KELISI_NOTFOUND;
  *pos = IsiEntryPos(e);
  *size = IsiEntryRecSize(e);
  if (found != nullptr) memcpy(found, IsiEntryKey(e), t->tree.geo.keyLength);
  return KELISI_OK;
}

int TreeRepoint(kelisi_txn* t, const uint8_t* key, uint32_t oldPos, uint32_t pos, uint16_t size) {
  std::unique_ptr<IsiCursor> c(new (std::nothrow) IsiCursor());
  if (!c) return KELISI_E_NOMEM;
  int st = FindEntry(t, c.get(), key, oldPos);
  if (st != KELISI_OK) return TxnSpoil(t, st == KELISI_NOTFOUND ? KELISI_E_CORRUPT : st);
  Path path;
  if (PathOf(t, *c, &path) != KELISI_OK) return TxnSpoil(t, KELISI_E_CORRUPT);
  uint8_t* s = TxnWrite(t, path.back().sector, PageKind::kKey);
  if (s == nullptr) return t->spoiled;
  uint8_t* e = EntryAt(t, s, path.back().slot);
  StoreU32(e + kEntryPosOfs, pos);
  StoreU16(e + kEntrySizeOfs, size);
  return KELISI_OK;
}

namespace {

// The key sector and slot that name key sector `target` (stored position),
// searched below `sector`: by the first key of the target where it has one
// (only the slots whose range holds that key), else everywhere above its
// level.
bool FindParent(kelisi_txn* t, uint64_t sector, uint32_t target, const uint8_t* targetKey,
                uint16_t targetLevel, uint32_t depth, uint64_t* parent, uint32_t* slot) {
  alignas(8) uint8_t s[kIsiSector];
  if (depth > kIsiPathDepth || TxnRead(t, sector, PageKind::kKey, s) != KELISI_OK) return false;
  uint32_t n = Count(s);
  if (n > t->tree.geo.perSector || IsiLevel(s) <= targetLevel) return false;
  uint32_t from = 0, to = n;
  if (targetKey != nullptr) {
    while (from < n && Compare(t, EntryAt(t, s, from), targetKey) < 0) ++from;
    to = from;
    while (to < n && Compare(t, EntryAt(t, s, to), targetKey) <= 0) ++to;
  }
  for (uint32_t i = from; i <= to; ++i) {
    uint32_t child = SlotChild(t, s, i);
    if (child == 0) continue;
    if (child == target) {
      *parent = sector;
      *slot = i;
      return true;
    }
    uint64_t cs;
    if (TxnKeySector(t, child, &cs) != KELISI_OK) continue;
    if (FindParent(t, cs, target, targetKey, targetLevel, depth + 1, parent, slot)) return true;
  }
  return false;
}

}  // namespace

int TreeMoveSector(kelisi_txn* t, uint64_t from, uint64_t hole) {
  uint32_t fromPos = TxnPos(t, from), holePos = TxnPos(t, hole);
  alignas(8) uint8_t s[kIsiSector];
  // A sector of the deleted-record chain: its predecessor's link, or the
  // header, names it.
  uint32_t prev = kIsiNoSector;
  uint64_t links = 0;
  for (uint32_t pos = t->ddrHead; pos != kIsiNoSector && links++ <= t->sectors;) {
    uint64_t sector;
    if (IsiDdrSectorAt(t->tree.geo, pos, &sector) != kIsiSound) break;
    if (sector == from) {
      int st = TxnRead(t, from, PageKind::kDdr, s);
      if (st != KELISI_OK) return st;
      uint8_t* h = TxnWrite(t, hole, PageKind::kDdr);
      if (h == nullptr) return t->spoiled;
      memcpy(h, s, kIsiSector);
      if (prev == kIsiNoSector) {
        t->ddrHead = holePos;
      } else {
        uint64_t ps;
        IsiDdrSectorAt(t->tree.geo, prev, &ps);
        uint8_t* p = TxnWrite(t, ps, PageKind::kDdr);
        if (p == nullptr) return t->spoiled;
        StoreU32(p + kDdrLinkOfs, holePos);
      }
      return KELISI_OK;
    }
    if (TxnRead(t, sector, PageKind::kDdr, s) != KELISI_OK) break;
    prev = pos;
    pos = IsiDdrLink(s);
  }
  // A key sector: its parent's slot names it.
  int st = TxnRead(t, from, PageKind::kKey, s);
  if (st != KELISI_OK) return st;
  uint64_t parent = 0;
  uint32_t slot = 0;
  const uint8_t* key = Count(s) > 0 ? IsiEntryKey(s) : nullptr;
  bool found = FindParent(t, kRootSector, fromPos, key, IsiLevel(s), 0, &parent, &slot) ||
               (key != nullptr &&
                FindParent(t, kRootSector, fromPos, nullptr, IsiLevel(s), 0, &parent, &slot));
  uint8_t* h = TxnWrite(t, hole, PageKind::kKey);
  if (h == nullptr) return t->spoiled;
  memcpy(h, s, kIsiSector);
  if (!found) return KELISI_OK;  // named by nothing: it goes with the cut
  uint8_t* p = TxnWrite(t, parent, PageKind::kKey);
  if (p == nullptr) return t->spoiled;
  SetSlotChild(t, p, slot, holePos);
  return KELISI_OK;
}

}  // namespace kisi
