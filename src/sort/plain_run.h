// The search that lets the scanner pass over the columns of a record that
// take no part in the key: the length of the run of bytes before the first
// byte that needs a closer look (the end-of-record mark's first byte, or a
// tab while tabs are expanded).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Index of the first byte of p[0..limit) equal to `a` or `b`; `limit` when
// there is none. Reads no byte at or beyond p + limit.
inline size_t PlainRun(const uint8_t* p, size_t limit, uint8_t a, uint8_t b) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  for (; i + 16 <= limit; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)));
    if (hits != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
#endif
  for (; i < limit; ++i) {
    if (p[i] == a || p[i] == b) return i;
  }
  return limit;
}
