// The item order in its fast form, shared by the in-memory sort, the train
// writer and the merge: key bytes compared as unsigned values, first to
// last, then the record position. Eight key bytes are compared at once as
// one big-endian number, which orders exactly as the bytes do one by one.
//
// Every load stays within the keyLen key bytes (a tail shorter than eight
// bytes is read in pieces), so an item at the very end of a buffer is safe.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "sort/sort_item.h"

namespace keycmp {

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

// The `n` bytes at `p` (1 ≤ n ≤ 7) as one big-endian number.
inline uint64_t LoadShort(const uint8_t* p, uint32_t n) {
  uint64_t v = 0;
  if (n & 4) {
    uint32_t w;
    memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
    v = w;
    p += 4;
  }
  if (n & 2) {
    uint16_t h;
    memcpy(&h, p, sizeof h);
    if constexpr (std::endian::native == std::endian::little) h = __builtin_bswap16(h);
    v = (v << 16) | h;
    p += 2;
  }
  if (n & 1) v = (v << 8) | *p;
  return v;
}

}  // namespace keycmp

// True when the item whose key is at `a` sorts after the one at `b`: the
// first differing key byte is larger in a, or all keyLen bytes are equal and
// a's record position (10 bytes before its key) is the larger.
inline bool ItemKeyAfter(const uint8_t* a, const uint8_t* b, uint32_t keyLen) {
  uint32_t i = 0;
  for (; i + 8 <= keyLen; i += 8) {
    uint64_t x = keycmp::Load64(a + i), y = keycmp::Load64(b + i);
    if (x != y) return x > y;
  }
  if (i < keyLen) {
    uint64_t x, y;
    if (keyLen >= 8) {
      // The last eight bytes; those before i are known to be equal.
      x = keycmp::Load64(a + keyLen - 8);
      y = keycmp::Load64(b + keyLen - 8);
    } else {
      x = keycmp::LoadShort(a, keyLen);
      y = keycmp::LoadShort(b, keyLen);
    }
    if (x != y) return x > y;
  }
  return ItemPosition(a - kItemKeyOfs) > ItemPosition(b - kItemKeyOfs);
}
