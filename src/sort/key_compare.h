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

#include "core/sort_item.h"

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

// The first min(8, keyLen) key bytes as one big-endian number. Items whose
// heads differ order as their heads do. The sorts pick the form for keys
// of at least eight bytes (kLong) once, outside their loops.
template <bool kLong>
inline uint64_t KeyHeadOf(const uint8_t* key, uint32_t keyLen) {
  if constexpr (kLong) {
    return keycmp::Load64(key);
  } else {
    return keycmp::LoadShort(key, keyLen);
  }
}
inline uint64_t KeyHead(const uint8_t* key, uint32_t keyLen) {
  return keyLen >= 8 ? KeyHeadOf<true>(key, keyLen) : KeyHeadOf<false>(key, keyLen);
}

// For two items whose key heads are equal: true when the rest of a's key,
// or else its record position (10 bytes before the key), is the larger.
inline bool ItemRestAfter(const uint8_t* a, const uint8_t* b, uint32_t keyLen) {
  uint32_t i = 8;
  for (; i + 8 <= keyLen; i += 8) {
    uint64_t x = keycmp::Load64(a + i), y = keycmp::Load64(b + i);
    if (x != y) return x > y;
  }
  if (i < keyLen) {
    // The last eight bytes; those before i are known to be equal.
    uint64_t x = keycmp::Load64(a + keyLen - 8), y = keycmp::Load64(b + keyLen - 8);
    if (x != y) return x > y;
  }
  return ItemPosition(a - kItemKeyOfs) > ItemPosition(b - kItemKeyOfs);
}

// True when the item whose key is at `a` sorts after the one at `b`: the
// first differing key byte is larger in a, or all keyLen bytes are equal and
// a's record position is the larger.
inline bool ItemKeyAfter(const uint8_t* a, const uint8_t* b, uint32_t keyLen) {
  uint64_t x = KeyHead(a, keyLen), y = KeyHead(b, keyLen);
  if (x != y) return x > y;
  return ItemRestAfter(a, b, keyLen);
}
