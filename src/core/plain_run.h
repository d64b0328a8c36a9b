// The search that lets the scanner pass over the columns of a record in
// bulk: the length of the run of bytes before the first byte that needs a
// closer look (the end-of-record mark's first byte, or a tab while tabs are
// expanded).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Bytes PlainRunPadded may read beyond p + limit.
constexpr size_t kPlainRunOverRead = 15;

// Index of the first byte of p[0..limit) equal to `a` or `b`; `limit` when
// there is none. Looks at 16 bytes at a time, so it may read (never use)
// up to kPlainRunOverRead bytes beyond p + limit: the caller guarantees that
// they lie inside its buffer.
inline size_t PlainRunPadded(const uint8_t* p, size_t limit, uint8_t a, uint8_t b) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  for (size_t i = 0; i < limit; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    unsigned hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb))));
    if (limit - i < 16) hits &= (1u << (limit - i)) - 1;
    if (hits != 0) return i + static_cast<size_t>(__builtin_ctz(hits));
  }
  return limit;
#else
  for (size_t i = 0; i < limit; ++i) {
    if (p[i] == a || p[i] == b) return i;
  }
  return limit;
#endif
}
