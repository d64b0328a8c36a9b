// Copies and comparisons of a few bytes whose count is known only at run
// time (a key, a sort item, a tree entry: at most a few dozen bytes), done
// inline in a handful of word moves instead of a library call that costs
// more than the bytes themselves. Exact: nothing outside the n bytes is
// read or written. Longer spans go to memcpy and memcmp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace smallcopy {

template <size_t N>
inline void Move(uint8_t* dst, const uint8_t* src) {
  uint8_t tmp[N];
  memcpy(tmp, src, N);
  memcpy(dst, tmp, N);
}

template <size_t N>
inline bool Same(const uint8_t* a, const uint8_t* b) {
  uint8_t x[N], y[N];
  memcpy(x, a, N);
  memcpy(y, b, N);
  return memcmp(x, y, N) == 0;
}

}  // namespace smallcopy

// Copies n bytes from src to dst (the two do not overlap). Spans up to 32
// bytes are moved as two words that overlap in the middle.
inline void CopyFew(uint8_t* dst, const uint8_t* src, size_t n) {
  using smallcopy::Move;
  if (n > 32) {
    memcpy(dst, src, n);
  } else if (n >= 16) {
    Move<16>(dst, src);
    Move<16>(dst + n - 16, src + n - 16);
  } else if (n >= 8) {
    Move<8>(dst, src);
    Move<8>(dst + n - 8, src + n - 8);
  } else if (n >= 4) {
    Move<4>(dst, src);
    Move<4>(dst + n - 4, src + n - 4);
  } else if (n >= 2) {
    Move<2>(dst, src);
    Move<2>(dst + n - 2, src + n - 2);
  } else if (n == 1) {
    *dst = *src;
  }
}

// True when the n bytes at a and b are equal.
inline bool EqualFew(const uint8_t* a, const uint8_t* b, size_t n) {
  using smallcopy::Same;
  if (n > 32) return memcmp(a, b, n) == 0;
  if (n >= 16) return Same<16>(a, b) && Same<16>(a + n - 16, b + n - 16);
  if (n >= 8) return Same<8>(a, b) && Same<8>(a + n - 8, b + n - 8);
  if (n >= 4) return Same<4>(a, b) && Same<4>(a + n - 4, b + n - 4);
  if (n >= 2) return Same<2>(a, b) && Same<2>(a + n - 2, b + n - 2);
  return n == 0 || *a == *b;
}
