// The external sort: sort trains in the two work files and their merge.
#pragma once

#include <cstdint>

#include "core/status.h"

Status SortMain();
// Appends the sorted sub-list to the current or a new train. 0 or -1.
Status SaveSortedSub();
Status DoFancyMerge();
// Slot of the smallest current item of the group; sets mergeWinner.
int32_t MergeSelect();
