// The order of an index's keys: their bytes compared as unsigned bytes,
// as the build sorts them and every reader seeks them.
#pragma once

#include <cstdint>
#include <cstring>

// Compares two keys of `len` bytes as unsigned bytes: <0, 0, >0. Eight
// bytes at a time, since lookups spend their time here; a key of eight
// bytes or more ends with its last eight bytes (overlapping those already
// found equal), so that no compare calls the library.
inline int IsiCompareKeys(const uint8_t* a, const uint8_t* b, uint32_t len) {
  auto differ = [](const uint8_t* p, const uint8_t* q, int* order) {
    uint64_t x, y;
    memcpy(&x, p, 8);
    memcpy(&y, q, 8);
    if (x == y) return false;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    x = __builtin_bswap64(x);
    y = __builtin_bswap64(y);
#endif
    *order = x < y ? -1 : 1;
    return true;
  };
  int order = 0;
  uint32_t i = 0;
  for (; i + 8 <= len; i += 8) {
    if (differ(a + i, b + i, &order)) return order;
  }
  if (i == len) return 0;
  if (len >= 8) return differ(a + len - 8, b + len - 8, &order) ? order : 0;
  return memcmp(a, b, len);
}
