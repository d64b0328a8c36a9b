// tree: field access on native key entries as the library hands them out,
// and the key comparison of its searches.
#pragma once

#include <cstdint>
#include <cstring>

#include "isi/byte_order.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

inline uint32_t EntryPos(const uint8_t* e) {
  return LoadU32(e + kEntryPosOfs);
}
inline uint16_t EntryDup(const uint8_t* e) {
  return LoadU16(e + kEntryDupOfs);
}
inline uint16_t EntryRecSize(const uint8_t* e) {
  return LoadU16(e + kEntrySizeOfs);
}
inline const uint8_t* EntryKey(const uint8_t* e) {
  return e + kIsiEntryKeyOfs;
}

// The record's byte offset in the data file.
inline uint64_t EntryOffset(const kelisi* ix, const uint8_t* e) {
  return ix->recNum ? uint64_t{EntryPos(e)} * EntryRecSize(e) : EntryPos(e);
}

// Compares an entry's key with `key` over `len` bytes as unsigned bytes:
// <0, 0, >0. Eight bytes at a time, since lookups spend their time here.
inline int CompareKey(const uint8_t* entry, const uint8_t* key, uint32_t len) {
  const uint8_t* a = EntryKey(entry);
  uint32_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t x, y;
    memcpy(&x, a + i, 8);
    memcpy(&y, key + i, 8);
    if (x != y) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      x = __builtin_bswap64(x);
      y = __builtin_bswap64(y);
#endif
      return x < y ? -1 : 1;
    }
  }
  return i < len ? memcmp(a + i, key + i, len - i) : 0;
}

}  // namespace kisi
