// Shell's method with halving gaps over sort words.
//
// A pass of gap g is g insertion sorts, one per chain (the words g apart).
// Done one word at a time, each insertion ends on a compare whose outcome
// the processor cannot foresee on random keys, and that miss is most of
// the sort's time. With vector units the same insertions run several at
// once, on different chains, so that one loop exit ends several of them:
//  - a gap of at least eight: words i, i+1, ... i+7 lie on eight different
//    chains, their insertions touch none of each other's words, and they
//    go down in step (lanes), each lane stopping where its own word stops;
//  - a smaller gap has too few chains for that: each chain keeps its top
//    eight words in a register (its window) and a word's place among them
//    is found by one compare of all eight.
// AVX-512 runs 8 or 16 lanes and the windows; AVX2 alone runs 4 or 8
// lanes for gaps of four or more and the plain loop below. Each chain's
// insertions are the same and come in the same order as one word at a
// time: the gaps, the chains and the result do not change. When a compare
// meets two words whose key bits agree, the items decide, one word at a
// time, as in the plain loop (a pass that meets many goes on so). Without
// AVX2 (or off x86-64) the plain loop does every pass.
#include "sort/shell_sort.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define KEL_SHELL_LANES 1
#include <immintrin.h>
#endif

namespace {

// Carries `moving` down its chain from position j, one gap a step, past
// every word that sorts after it, and stores it once where it stops, which
// leaves the array exactly as exchanging neighbours pair by pair.
void InsertDown(uint64_t* p, size_t j, size_t gap, uint64_t moving, const WordForm& f) {
  for (; j >= gap; j -= gap) {
    uint64_t other = p[j - gap];
    if (!WordAfter(f, other, moving)) break;
    p[j] = other;
  }
  p[j] = moving;
}

// One pass a word at a time, from word `start` on.
void ScalarPassFrom(uint64_t* p, size_t start, size_t n, size_t gap, const WordForm& f) {
  for (size_t i = start; i < n; ++i) InsertDown(p, i, gap, p[i], f);
}

void ScalarPass(uint64_t* p, size_t n, size_t gap, const WordForm& f) {
  ScalarPassFrom(p, gap, n, gap, f);
}

#ifdef KEL_SHELL_LANES

constexpr size_t kLanes = 8;  // 64-bit words in a 512-bit register

// Whether a pass whose compares met words agreeing in their key bits in
// `tied` of its first `done` groups (or windowed words) had better go on
// one word at a time: such compares are the items' to decide, one at a
// time either way, and the lanes around them only add work (keys that
// repeat a lot).
inline bool MostlyTied(size_t tied, size_t done) {
  return tied > 16 + done / 8;
}

// The lanes of `active` go on alone, lane k from position j + k: those
// whose compare met words agreeing in their key bits, which the items
// decide, and those still going when lane 0 has reached the foot of its
// chain (they may have one step left).
[[gnu::noinline]] void FinishLanes(uint64_t* p, size_t j, size_t gap, const uint64_t* moving,
                                   uint32_t active, const WordForm& f) {
  for (; active != 0; active &= active - 1) {
    int k = std::countr_zero(active);
    InsertDown(p, j + static_cast<size_t>(k), gap, moving[k], f);
  }
}

// A pass of gap ≥ 8 * V: groups of 8 * V consecutive words go down their
// chains in step, in V registers. The loads are whole (the group lies
// inside the array at every step), so no step waits on the last one's
// outcome but to decide whether to go on. The few words after the last
// whole group are inserted one at a time.
template <int V>
__attribute__((target("avx512f"))) void LanesPass(uint64_t* p, size_t n, size_t gap,
                                                  const WordForm& f) {
  constexpr size_t kGroup = kLanes * V;
  const __m512i indexMask = _mm512_set1_epi64(static_cast<long long>(f.indexMask));
  size_t i = gap, tiedGroups = 0;
  for (; i + kGroup <= n && !MostlyTied(tiedGroups, (i - gap) / kGroup); i += kGroup) {
    __m512i moving[V];
    __mmask8 active[V];
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      moving[v] = _mm512_loadu_si512(p + i + kLanes * v);
      active[v] = 0xFF;
    }
    size_t j = i;
    bool metTie = false;
    for (;;) {
      __m512i other[V];
      __mmask8 after[V], tied[V];
      uint32_t anyTied = 0, anyAfter = 0;
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        other[v] = _mm512_loadu_si512(p + j - gap + kLanes * v);
        after[v] = _mm512_mask_cmpgt_epu64_mask(active[v], other[v], moving[v]);
        tied[v] = _mm512_mask_cmple_epu64_mask(active[v], _mm512_xor_si512(other[v], moving[v]),
                                               indexMask);
        anyTied |= tied[v];
      }
      if (anyTied != 0) [[unlikely]] {
        metTie = true;
        for (int v = 0; v < V; ++v) {
          if (tied[v] == 0) continue;
          alignas(64) uint64_t m[kLanes];
          _mm512_store_si512(m, moving[v]);
          FinishLanes(p, j + kLanes * v, gap, m, tied[v], f);
          active[v] &= static_cast<__mmask8>(~tied[v]);
          after[v] &= static_cast<__mmask8>(~tied[v]);
        }
      }
      // A lane going on takes the word below; one stopping stores its own.
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        _mm512_mask_storeu_epi64(p + j + kLanes * v, active[v],
                                 _mm512_mask_blend_epi64(after[v], moving[v], other[v]));
        active[v] = after[v];
        anyAfter |= after[v];
      }
      if (anyAfter == 0) break;
      j -= gap;
      if (j < gap) [[unlikely]] {
        for (int v = 0; v < V; ++v) {
          if (active[v] == 0) continue;
          alignas(64) uint64_t m[kLanes];
          _mm512_store_si512(m, moving[v]);
          FinishLanes(p, j + kLanes * v, gap, m, active[v], f);
        }
        break;
      }
    }
    tiedGroups += metTie;
  }
  ScalarPassFrom(p, i, n, gap, f);
}

// WindowInsert's rarer cases, out of line: some lanes of the window `w`
// (lowest first) agree with the moving word m in their key bits, or every
// lane sorts after it. The lanes after it are found from the top lane down,
// as the plain insertion compares, the items deciding a tied lane only when
// reached; then the window moves up as in WindowInsert, in `w`.
[[gnu::noinline]] void WindowInsertSlow(uint64_t* p, size_t i, size_t gap, uint64_t* w, uint64_t m,
                                        uint32_t tied, uint32_t after, const WordForm& f) {
  int stay = kLanes;  // lanes from `stay` up sort after m and keep their place
  while (stay > 0) {
    const uint32_t bit = uint32_t{1} << (stay - 1);
    const bool goesUp = (tied & bit) != 0 ? TiedWordAfter(f, w[stay - 1], m) : (after & bit) != 0;
    if (!goesUp) break;
    --stay;
  }
  if (stay == 0) {
    // The word goes below the window: all eight move up a place.
    InsertDown(p, i - kLanes * gap, gap, m, f);
    return;
  }
  p[i - kLanes * gap] = w[0];
  for (int k = 0; k + 1 < stay; ++k) w[k] = w[k + 1];
  w[stay - 1] = m;
}

// Inserts word i into its chain, whose top eight words, positions i - 8g
// to i - g, are in `window` (lowest in lane 0) and nowhere else up to
// date. The window moves up one place: its lowest word leaves it for
// memory, where the chain's words below it are. (The masked forms with
// every lane set stand for the plain instructions, whose intrinsics start
// from an undefined register that g++ 12 warns about.)
__attribute__((target("avx512f"), always_inline)) inline bool WindowInsert(
    uint64_t* p, size_t i, size_t gap, __m512i& window, __m512i indexMask, const WordForm& f) {
  const uint64_t m = p[i];
  const __m512i moving = _mm512_set1_epi64(static_cast<long long>(m));
  const __mmask8 after = _mm512_cmpgt_epu64_mask(window, moving);
  const __mmask8 tied = _mm512_cmple_epu64_mask(_mm512_xor_si512(window, moving), indexMask);
  if (tied == 0 && after != 0xFF) [[likely]] {
    // Lane k of `above` holds the word over lane k once the window moves up.
    const __m512i above = _mm512_mask_alignr_epi64(moving, 0xFF, moving, window, 1);
    _mm512_mask_storeu_epi64(p + i - kLanes * gap, 1, window);
    window =
        _mm512_mask_blend_epi64(after, _mm512_mask_min_epu64(moving, 0xFF, above, moving), window);
    return false;
  }
  alignas(64) uint64_t w[kLanes];
  _mm512_store_si512(w, window);
  WindowInsertSlow(p, i, gap, w, m, tied, after, f);
  window = _mm512_load_si512(w);
  return tied != 0;
}

// A pass of gap G < 8 with one window per chain. The first eight words of
// each chain are inserted one at a time; the windows go back to memory at
// the end.
template <size_t G>
__attribute__((target("avx512f"))) void WindowPass(uint64_t* p, size_t n, const WordForm& f) {
  if (n < (kLanes + 1) * G) {
    ScalarPass(p, n, G, f);
    return;
  }
  for (size_t i = G; i < kLanes * G; ++i) InsertDown(p, i, G, p[i], f);
  const __m512i indexMask = _mm512_set1_epi64(static_cast<long long>(f.indexMask));
  const __m512i steps = _mm512_setr_epi64(0, G, 2 * G, 3 * G, 4 * G, 5 * G, 6 * G, 7 * G);
  __m512i window[G];
#pragma GCC unroll 8
  for (size_t c = 0; c < G; ++c)
    window[c] = _mm512_mask_i64gather_epi64(steps, 0xFF, steps, p + c, 8);
  size_t i = kLanes * G, tiedWords = 0;
  for (; i + G <= n && !MostlyTied(tiedWords, i - kLanes * G); i += G) {
#pragma GCC unroll 8
    for (size_t c = 0; c < G; ++c) tiedWords += WindowInsert(p, i + c, G, window[c], indexMask, f);
  }
  const bool toTheEnd = i + G > n;
#pragma GCC unroll 8
  for (size_t c = 0; c < G; ++c) {
    size_t top = i + c - G;  // the chain's last word
    if (toTheEnd && i + c < n) {
      WindowInsert(p, i + c, G, window[c], indexMask, f);
      top = i + c;
    }
    _mm512_i64scatter_epi64(p + top - (kLanes - 1) * G, steps, window[c], 8);
  }
  if (!toTheEnd) ScalarPassFrom(p, i, n, G, f);
}

__attribute__((target("avx512f"))) void Avx512Pass(uint64_t* p, size_t n, size_t gap,
                                                   const WordForm& f) {
  switch (gap) {
    case 1:
      return WindowPass<1>(p, n, f);
    case 2:
      return WindowPass<2>(p, n, f);
    case 3:
      return WindowPass<3>(p, n, f);
    case 4:
      return WindowPass<4>(p, n, f);
    case 5:
      return WindowPass<5>(p, n, f);
    case 6:
      return WindowPass<6>(p, n, f);
    case 7:
      return WindowPass<7>(p, n, f);
    default:
      break;
  }
  if (gap >= 2 * kLanes) return LanesPass<2>(p, n, gap, f);
  LanesPass<1>(p, n, gap, f);
}

// Lanes in 256-bit registers, four words each, V of them: gap ≥ 4 * V.
// AVX2 compares signed numbers only, so the words are compared with their
// top bit flipped.
template <int V>
__attribute__((target("avx2"))) void Avx2LanesPass(uint64_t* p, size_t n, size_t gap,
                                                   const WordForm& f) {
  constexpr size_t kWords = 4;
  constexpr size_t kGroup = kWords * V;
  const __m256i bias = _mm256_set1_epi64x(INT64_MIN);
  const __m256i indexMask = _mm256_set1_epi64x(static_cast<long long>(f.indexMask) ^ INT64_MIN);
  size_t i = gap, tiedGroups = 0;
  for (; i + kGroup <= n && !MostlyTied(tiedGroups, (i - gap) / kGroup); i += kGroup) {
    __m256i moving[V], movingBiased[V], active[V];
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      moving[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + kWords * v));
      movingBiased[v] = _mm256_xor_si256(moving[v], bias);
      active[v] = _mm256_set1_epi64x(-1);
    }
    size_t j = i;
    bool metTie = false;
    for (;;) {
      __m256i other[V], after[V], tied[V];
      __m256i anyTied = _mm256_setzero_si256(), anyAfter = _mm256_setzero_si256();
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        other[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + j - gap + kWords * v));
        const __m256i otherBiased = _mm256_xor_si256(other[v], bias);
        after[v] = _mm256_and_si256(active[v], _mm256_cmpgt_epi64(otherBiased, movingBiased[v]));
        const __m256i differ = _mm256_xor_si256(otherBiased, moving[v]);  // other ^ moving, biased
        tied[v] = _mm256_andnot_si256(_mm256_cmpgt_epi64(differ, indexMask), active[v]);
        anyTied = _mm256_or_si256(anyTied, tied[v]);
      }
      if (!_mm256_testz_si256(anyTied, anyTied)) [[unlikely]] {
        metTie = true;
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) {
          alignas(32) uint64_t m[kWords];
          _mm256_store_si256(reinterpret_cast<__m256i*>(m), moving[v]);
          FinishLanes(p, j + kWords * v, gap, m, _mm256_movemask_pd(_mm256_castsi256_pd(tied[v])),
                      f);
          active[v] = _mm256_andnot_si256(tied[v], active[v]);
          after[v] = _mm256_andnot_si256(tied[v], after[v]);
        }
      }
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        _mm256_maskstore_epi64(reinterpret_cast<long long*>(p + j + kWords * v), active[v],
                               _mm256_blendv_epi8(moving[v], other[v], after[v]));
        active[v] = after[v];
        anyAfter = _mm256_or_si256(anyAfter, after[v]);
      }
      if (_mm256_testz_si256(anyAfter, anyAfter)) break;
      j -= gap;
      if (j < gap) [[unlikely]] {
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) {
          alignas(32) uint64_t m[kWords];
          _mm256_store_si256(reinterpret_cast<__m256i*>(m), moving[v]);
          FinishLanes(p, j + kWords * v, gap, m, _mm256_movemask_pd(_mm256_castsi256_pd(active[v])),
                      f);
        }
        break;
      }
    }
    tiedGroups += metTie;
  }
  ScalarPassFrom(p, i, n, gap, f);
}

__attribute__((target("avx2"))) void Avx2Pass(uint64_t* p, size_t n, size_t gap,
                                              const WordForm& f) {
  if (gap >= 8) return Avx2LanesPass<2>(p, n, gap, f);
  if (gap >= 4) return Avx2LanesPass<1>(p, n, gap, f);
  ScalarPass(p, n, gap, f);
}

#endif  // KEL_SHELL_LANES

}  // namespace

ShellLanes ShellLanesHere() {
#ifdef KEL_SHELL_LANES
  if (__builtin_cpu_supports("avx512f")) return ShellLanes::kAvx512;
  if (__builtin_cpu_supports("avx2")) return ShellLanes::kAvx2;
#endif
  return ShellLanes::kScalar;
}

void ShellSort(uint64_t* p, size_t n, const WordForm& f, ShellLanes lanes) {
  (void)lanes;  // only x86-64 has a choice
  for (size_t gap = n / 2; gap > 0; gap /= 2) {
#ifdef KEL_SHELL_LANES
    if (lanes == ShellLanes::kAvx512) {
      Avx512Pass(p, n, gap, f);
      continue;
    }
    if (lanes == ShellLanes::kAvx2) {
      Avx2Pass(p, n, gap, f);
      continue;
    }
#endif
    ScalarPass(p, n, gap, f);
  }
}
