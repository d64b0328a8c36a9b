// Byte order: unaligned loads and stores of native numbers in byte buffers,
// and the in-place swaps that translate an ISI written on a machine of the
// other byte order. Everything that touches a multi-byte number inside a
// sector buffer goes through these.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t LoadU16(const uint8_t* p) {
  uint16_t v;
  memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t LoadU32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}
inline void StoreU16(uint8_t* p, uint16_t v) {
  memcpy(p, &v, sizeof v);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  memcpy(p, &v, sizeof v);
}

// Reverse the bytes at `p` in place and return the reversed value.
inline uint16_t SwapU16x(uint8_t* p) {
  uint16_t v = __builtin_bswap16(LoadU16(p));
  StoreU16(p, v);
  return v;
}
inline uint32_t SwapU32x(uint8_t* p) {
  uint32_t v = __builtin_bswap32(LoadU32(p));
  StoreU32(p, v);
  return v;
}
