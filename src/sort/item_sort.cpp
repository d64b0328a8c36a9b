// The order of sort items and the in-memory sort of one sub-list.
//
// The items stay where the scanner put them; the sorts move 8-byte sort
// words (sort/sort_word.h) in itemPtrArea and turn them into key pointers
// once sorted. The order is total (positions are unique), so both methods
// give the same result.
#include "sort/item_sort.h"

#include <bit>
#include <cstring>
#include <utility>

#include "core/sort_item.h"
#include "driver/cmd_data.h"
#include "sort/key_compare.h"
#include "sort/shell_sort.h"

namespace {

// How many words ahead the sorts ask for the items that a tie between
// words will read. It changes nothing but timing.
constexpr size_t kPrefetchAhead = 8;

inline void PrefetchWord(const WordForm& f, uint64_t w) {
  __builtin_prefetch(KeyOfWord(f, w));
}

// The count of leading key bytes that all n keys share.
uint32_t SharedKeyBytes(const uint8_t* keys, uint32_t n, uint32_t itemLen, uint32_t keyLen) {
  uint32_t shared = keyLen;
  const uint8_t* k = keys + itemLen;
  for (uint32_t i = 1; i < n && shared > 0; ++i, k += itemLen) {
    uint32_t b = 0;
    for (; b + 8 <= shared; b += 8) {
      uint64_t x = keycmp::Load64(keys + b) ^ keycmp::Load64(k + b);
      if (x != 0) {
        b += static_cast<uint32_t>(std::countl_zero(x)) / 8;
        break;
      }
    }
    while (b < shared && keys[b] == k[b]) ++b;
    shared = b;
  }
  return shared;
}

// Up to eight key bytes from `p` (n of them, n ≥ 0), as a big-endian number
// whose first byte is the top byte: a shorter tail is padded with zero bits,
// which all keys of one length share.
inline uint64_t LeftAligned(const uint8_t* p, uint32_t n) {
  if (n >= 8) return keycmp::Load64(p);
  if (n == 0) return 0;
  return keycmp::LoadShort(p, n) << (64 - 8 * n);
}

// Writes the n sort words into `words` and returns their form.
WordForm MakeWords(uint64_t* words, const uint8_t* keys, uint32_t n) {
  const CmdData* cd = pCmdData;
  WordForm f{keys, cd->itemLen, cd->keyLen, 0};
  uint32_t indexBits = static_cast<uint32_t>(std::bit_width(n - 1));  // n ≥ 2
  f.indexMask = (uint64_t{1} << indexBits) - 1;
  uint32_t skip = SharedKeyBytes(keys, n, f.itemLen, f.keyLen);
  uint32_t rest = f.keyLen - skip;
  const uint8_t* k = keys + skip;
  for (uint32_t i = 0; i < n; ++i, k += f.itemLen) {
    uint64_t w = (LeftAligned(k, rest) & ~f.indexMask) | i;
    memcpy(words + i, &w, sizeof w);
  }
  return f;
}

// Moves the middle word to the front as pivot, partitions lo..hi around it
// and returns the pivot's final index.
size_t Partition(uint64_t* p, size_t lo, size_t hi, const WordForm& f) {
  size_t mid = lo + (hi - lo) / 2;
  std::swap(p[lo], p[mid]);
  const uint64_t pivot = p[lo];
  size_t m = lo;
  // Each word that sorts before the pivot is exchanged with the one after
  // the smaller part's end. The exchange is made whichever way the compare
  // goes, through a mask that is zero when it goes against (the words are
  // then written back as they were), so that no branch waits on a compare
  // whose outcome is a coin toss on random keys.
  for (size_t k = lo + 1; k <= hi; ++k) {
    const uint64_t w = p[k];
    const bool before = WordAfter(f, pivot, w);
    const uint64_t t = p[m + 1];
    const uint64_t flip = (w ^ t) & (uint64_t{0} - before);
    p[k] = w ^ flip;
    p[m + 1] = t ^ flip;
    m += before;
  }
  std::swap(p[lo], p[m]);
  return m;
}

// Sorts p[lo..hi]. Recursing into the smaller part and looping on the larger
// keeps the stack depth logarithmic; the result is fixed by the order.
void QuickSortRange(uint64_t* p, size_t lo, size_t hi, const WordForm& f) {
  while (lo < hi) {
    size_t m = Partition(p, lo, hi, f);
    size_t leftCount = m - lo, rightCount = hi - m;
    if (leftCount < rightCount) {
      if (leftCount >= 2) QuickSortRange(p, lo, m - 1, f);
      lo = m + 1;
    } else {
      if (rightCount >= 2) QuickSortRange(p, m + 1, hi, f);
      if (leftCount < 2) return;
      hi = m - 1;
    }
  }
}

// Sorts the words of the n items whose keys start at `keys`, then leaves in
// ptr[0..n-1] the key pointers in item order. The words take the pointers'
// room, one each.
void SortItemsAt(uint8_t** ptr, const uint8_t* keys, uint32_t n, int method) {
  uint64_t* words = reinterpret_cast<uint64_t*>(ptr);
  WordForm f = MakeWords(words, keys, n);
  // A sub-list that arrives in order (sorted data, or a sorted stretch of
  // it) is one either sort would leave as it is: one look at each
  // neighbour instead of a sort's every pass.
  uint32_t inOrder = 1;
  while (inOrder < n && !WordAfter(f, words[inOrder - 1], words[inOrder])) ++inOrder;
  if (inOrder < n && method == 0) ShellSort(words, n, f, ShellLanesHere());
  if (inOrder < n && method == 1) QuickSortRange(words, 0, n - 1, f);
  // The items are now read in sorted order: fetching a few ahead hides the
  // misses of a sort memory larger than the caches.
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t w;
    memcpy(&w, words + i, sizeof w);
    if (i + kPrefetchAhead < n) {
      uint64_t ahead;
      memcpy(&ahead, words + i + kPrefetchAhead, sizeof ahead);
      PrefetchWord(f, ahead);
    }
    const uint8_t* key = KeyOfWord(f, w);
    memcpy(ptr + i, &key, sizeof key);
  }
}

}  // namespace

bool TiedWordAfter(const WordForm& f, uint64_t a, uint64_t b) {
  return ItemKeyAfter(KeyOfWord(f, a), KeyOfWord(f, b), f.keyLen);
}

int32_t CompareItems(const uint8_t* a, const uint8_t* b) {
  return ItemKeyAfter(a, b, pCmdData->keyLen) ? 1 : -1;
}

void SortSubList() {
  CmdData* cd = pCmdData;
  uint8_t** ptr = cd->itemPtrArea;
  uint8_t* item = cd->sortMem;
  uint32_t n = 0;
  // Pointer n addresses the end-of-run item that follows the n real items.
  while (n < cd->itemsInMem) {
    ptr[n] = item + kItemKeyOfs;
    if (IsEndOfRun(item)) break;
    item += cd->itemLen;
    ++n;
  }
  if (n <= 1 || cd->sortMethod > 1) return;
  SortItemsAt(ptr, cd->sortMem + kItemKeyOfs, n, cd->sortMethod);
}
