// The order of sort items and the in-memory sort of one sub-list.
//
// Only the 8-byte pointers in itemPtrArea move; the items stay where the
// scanner put them. Each pointer addresses an item's key; its record
// position lies 10 bytes before. The order is total (positions are unique),
// so both methods give the same result.
#include "sort/item_sort.h"

#include <cstring>
#include <utility>

#include "driver/cmd_data.h"
#include "sort/key_compare.h"
#include "sort/sort_item.h"

namespace {

// How many pointers ahead the sorts ask for the items they will compare
// next. In a large sort memory the items a pointer array addresses are
// scattered far beyond the caches; fetching them early hides that latency.
// It changes nothing but timing.
constexpr size_t kPrefetchAhead = 8;

inline void PrefetchItem(const uint8_t* key) {
  __builtin_prefetch(key);
}

}  // namespace

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
  if (n <= 1) return;
  if (cd->sortMethod == 0) {
    ShellSortItems(ptr, ptr + n - 1);
  } else if (cd->sortMethod == 1) {
    QuickSortItems(ptr, ptr + n - 1);
  }
}

namespace {

// Shell's method with halving gaps. Each gapped insertion carries its
// pointer down past every larger one and stores it once where it stops,
// which leaves the array exactly as exchanging neighbours pair by pair.
template <bool kLongKey>
void ShellSort(uint8_t** p, size_t n, uint32_t keyLen) {
  for (size_t gap = n / 2; gap > 0; gap /= 2) {
    for (size_t i = gap; i < n; ++i) {
      if (i + kPrefetchAhead < n) {
        PrefetchItem(p[i + kPrefetchAhead]);
        PrefetchItem(p[i + kPrefetchAhead - gap]);
      }
      uint8_t* moving = p[i];
      const uint64_t movingHead = KeyHeadOf<kLongKey>(moving, keyLen);
      size_t j = i;
      for (; j >= gap; j -= gap) {
        uint8_t* other = p[j - gap];
        uint64_t otherHead = KeyHeadOf<kLongKey>(other, keyLen);
        if (otherHead < movingHead) break;
        if (otherHead == movingHead && !ItemRestAfter(other, moving, keyLen)) break;
        p[j] = other;
      }
      if (j != i) p[j] = moving;
    }
  }
}

// Moves the middle pointer to the front as pivot, partitions lo..hi around
// it and returns the pivot's final index.
template <bool kLongKey>
size_t Partition(uint8_t** p, size_t lo, size_t hi, uint32_t keyLen) {
  size_t mid = lo + (hi - lo) / 2;
  std::swap(p[lo], p[mid]);
  const uint8_t* pivot = p[lo];
  const uint64_t pivotHead = KeyHeadOf<kLongKey>(pivot, keyLen);
  size_t m = lo;
  for (size_t k = lo + 1; k <= hi; ++k) {
    if (k + kPrefetchAhead <= hi) PrefetchItem(p[k + kPrefetchAhead]);
    uint64_t head = KeyHeadOf<kLongKey>(p[k], keyLen);
    bool pivotAfter = pivotHead != head ? pivotHead > head : ItemRestAfter(pivot, p[k], keyLen);
    if (pivotAfter) std::swap(p[++m], p[k]);
  }
  std::swap(p[lo], p[m]);
  return m;
}

// Sorts p[lo..hi]. Recursing into the smaller part and looping on the larger
// keeps the stack depth logarithmic; the result is fixed by the order.
template <bool kLongKey>
void QuickSortRange(uint8_t** p, size_t lo, size_t hi, uint32_t keyLen) {
  while (lo < hi) {
    size_t m = Partition<kLongKey>(p, lo, hi, keyLen);
    size_t leftCount = m - lo, rightCount = hi - m;
    if (leftCount < rightCount) {
      if (leftCount >= 2) QuickSortRange<kLongKey>(p, lo, m - 1, keyLen);
      lo = m + 1;
    } else {
      if (rightCount >= 2) QuickSortRange<kLongKey>(p, m + 1, hi, keyLen);
      if (leftCount < 2) return;
      hi = m - 1;
    }
  }
}

}  // namespace

void ShellSortItems(uint8_t** first, uint8_t** last) {
  const uint32_t keyLen = pCmdData->keyLen;
  size_t n = static_cast<size_t>(last - first) + 1;
  if (keyLen >= 8) {
    ShellSort<true>(first, n, keyLen);
  } else {
    ShellSort<false>(first, n, keyLen);
  }
}

void QuickSortItems(uint8_t** first, uint8_t** last) {
  const uint32_t keyLen = pCmdData->keyLen;
  size_t hi = static_cast<size_t>(last - first);
  if (keyLen >= 8) {
    QuickSortRange<true>(first, 0, hi, keyLen);
  } else {
    QuickSortRange<false>(first, 0, hi, keyLen);
  }
}
