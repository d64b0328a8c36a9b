// Indexes made sector by sector: tree shapes and damage that kelindex never
// builds, over a data file whose every record the tree indexes. A shape is
// laid out first (sectors, their entry counts, which slots have children);
// the keys are then numbered in key order and each sector's level set to
// its height, so that every shape is a sound tree until it is damaged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kt {

struct CraftedSector {
  uint32_t count = 0;      // entries
  std::vector<int> child;  // count + 1 slots (the last: rightmost): a sector index, or -1
  uint16_t level = 0;
  std::vector<uint32_t> keys;  // set by Number()
};

struct CraftedTree {
  std::vector<CraftedSector> sectors;  // [0] is the root
  int Add(uint32_t count);             // a sector without children; its index
  // Numbers the keys in key order; every level becomes the sector's height.
  void Number();

  // A spine of `levels` sectors of one entry each: each child hangs under
  // the entry (left) or under the rightmost slot (right).
  static CraftedTree Spine(uint32_t levels, bool left);
  // Up to `depth` levels of sectors of 0 to `most` entries (the root:
  // `most`, each slot with a child), a child in a slot at random, some of
  // them sectors without entries (empty gaps).
  static CraftedTree Random(uint64_t seed, uint32_t depth, uint32_t most);
  // Sectors of `entries` entries, every slot with a child, grown from the
  // root down `depth` levels; `uneven`: in each subtree 1 or 2 levels
  // fewer at random, so that levels fall by more than one.
  static CraftedTree TopDown(uint64_t seed, uint32_t entries, uint32_t depth, bool uneven);
};

// Where the sectors of a crafted tree stand: the root in the front, the
// others behind the front, the last first.
struct CraftedLayout {
  size_t sectors;  // of the tree
  bool recordNumbers;
  size_t At(int i) const;                            // byte offset of tree sector i
  uint32_t Pos(int i) const;                         // its position as an entry stores it
  static size_t Entry(size_t sectorAt, uint32_t e);  // byte offset of entry e
};

struct CraftOptions {
  bool recordNumbers = true;  // else byte offsets (variable-length records)
  bool swapped = false;       // written in the other byte order
  bool deleted = false;       // two deleted records, listed in a head DDR sector
  uint32_t repeat = 1;        // records in a row that carry one key
  uint64_t shuffle = 0;       // non-zero: the entries' records placed in an order drawn from it
  // Changes the native bytes (the damage) before they are translated.
  std::function<void(std::string* isi, const CraftedLayout& layout)> patch;
};

// The entry sizes and records of crafted indexes: 6-byte keys "K00000",
// 20-byte entries, 13-byte records (12 characters and LF). Record n carries
// the key of number n / repeat; the tree's entries name the records in key
// order (the duplicate sequence counting up among equal keys), or, when
// shuffled, in an order that steps backwards all over.
constexpr uint32_t kCraftKeyLength = 6, kCraftEntrySize = 20, kCraftRecordSize = 13;

struct Crafted {
  std::string isi, data;
};
// The index of `tree` and its data file "d.txt"; the stored command line
// is "d.txt,d.isi,-1-6" (with v for byte offsets).
Crafted Craft(const CraftedTree& tree, const CraftOptions& options);
// The key of key number `n`.
std::string CraftKey(uint32_t n);
// `v` written over the bytes at `at` of an index, in this machine's order.
void Put32(std::string* isi, size_t at, uint32_t v);
// A built index rewritten in the other byte order with the shared
// translators: the header, the deleted-record head sector when `ddrHead`,
// the `fullDdr` full deleted-record sectors behind the front, then key
// sectors.
void ToOtherByteOrder(std::string* isi, bool ddrHead, size_t fullDdr);

}  // namespace kt
