// The order of sort items and the in-memory sort of one sub-list.
#pragma once

#include <cstdint>

// 1 when the item whose key is at `a` sorts after the one at `b`, else -1
// (never 0: record positions are unique).
int32_t CompareItems(const uint8_t* a, const uint8_t* b);

// Fills itemPtrArea for the sub-list in sortMem and sorts it.
void SortSubList();

void ShellSortItems(uint8_t** first, uint8_t** last);
void QuickSortItems(uint8_t** first, uint8_t** last);
