// The order of sort items and the in-memory sort of one sub-list.
#pragma once

#include <cstdint>

// 1 when the item whose key is at `a` sorts after the one at `b`, else -1
// (never 0: record positions are unique).
int32_t CompareItems(const uint8_t* a, const uint8_t* b);

// Fills itemPtrArea for the sub-list in sortMem and sorts it with the
// method of sortMethod (0 Shell sort, 1 quicksort).
void SortSubList();
