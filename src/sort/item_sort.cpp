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
#include "sort/sort_item.h"

int32_t faster(const uint8_t* a, const uint8_t* b) {
  int d = memcmp(a, b, pCmdData->keyLen);  // unsigned byte order
  if (d != 0) return d > 0 ? 1 : -1;
  return ItemPosition(a - kItemKeyOfs) > ItemPosition(b - kItemKeyOfs) ? 1 : -1;
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

void ShellSortItems(uint8_t** first, uint8_t** last) {
  size_t n = static_cast<size_t>(last - first) + 1;
  for (size_t gap = n / 2; gap > 0; gap /= 2) {
    for (size_t i = gap; i < n; ++i) {
      for (size_t j = i; j >= gap && faster(first[j - gap], first[j]) > 0; j -= gap) {
        std::swap(first[j - gap], first[j]);
      }
    }
  }
}

namespace {

// Moves the middle pointer to the front as pivot, partitions lo..hi around
// it and returns the pivot's final index.
size_t Partition(uint8_t** p, size_t lo, size_t hi) {
  size_t mid = lo + (hi - lo) / 2;
  std::swap(p[lo], p[mid]);
  size_t m = lo;
  for (size_t k = lo + 1; k <= hi; ++k) {
    if (faster(p[lo], p[k]) == 1) std::swap(p[++m], p[k]);
  }
  std::swap(p[lo], p[m]);
  return m;
}

// Sorts p[lo..hi]. Recursing into the smaller part and looping on the larger
// keeps the stack depth logarithmic; the result is fixed by the order.
void QuickSortRange(uint8_t** p, size_t lo, size_t hi) {
  while (lo < hi) {
    size_t m = Partition(p, lo, hi);
    size_t leftCount = m - lo, rightCount = hi - m;
    if (leftCount < rightCount) {
      if (leftCount >= 2) QuickSortRange(p, lo, m - 1);
      lo = m + 1;
    } else {
      if (rightCount >= 2) QuickSortRange(p, m + 1, hi);
      if (leftCount < 2) return;
      hi = m - 1;
    }
  }
}

}  // namespace

void QuickSortItems(uint8_t** first, uint8_t** last) {
  QuickSortRange(first, 0, static_cast<size_t>(last - first));
}
