// The sort word: what the in-memory sorts move in place of a sort item.
//
// A sort word holds, above the item's index in the sub-list, the leading
// bits of the item's key past the bytes every key of the sub-list shares.
// Two words that differ in those bits order as their items do, without
// reading the items; only when they agree is the order taken from the items
// themselves (the rest of the key, then the record position).
#pragma once

#include <cstddef>
#include <cstdint>

// How one sub-list's sort words are made and read back.
struct WordForm {
  const uint8_t* keys;  // key of item 0; item i's key is itemLen bytes further per index
  uint32_t itemLen;
  uint32_t keyLen;
  uint64_t indexMask;  // the low bits of a word: the item's index
};

inline const uint8_t* KeyOfWord(const WordForm& f, uint64_t w) {
  return f.keys + static_cast<size_t>(w & f.indexMask) * f.itemLen;
}

// The order of two words whose key bits agree, from their items. Kept out
// of line: it is rare, and inlined it would crowd the sorts' loops.
[[gnu::noinline, gnu::cold]] bool TiedWordAfter(const WordForm& f, uint64_t a, uint64_t b);

// True when the item of word a sorts after the item of word b.
inline bool WordAfter(const WordForm& f, uint64_t a, uint64_t b) {
  if ((a ^ b) > f.indexMask) [[likely]]
    return a > b;  // the key bits differ
  return TiedWordAfter(f, a, b);
}
