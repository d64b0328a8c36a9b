// The external sort: sort trains in the two work files and their merge.
#pragma once

#include <cstdint>

#include "core/status.h"

// One train of the merge group being merged.
struct MergeSlot {
  uint8_t* current;  // the train's smallest unmerged item, inside its block
  uint8_t* block;    // start of the train's block in the sort memory
  uint64_t nextPos;  // offset in the merge input of the train's next block
  uint32_t left;     // items of the block not yet merged, the current one included
};
constexpr int kMaxFanIn = 30;

Status SortMain();
// Appends the sorted sub-list to the current or a new train. 0 or -1.
Status SaveSortedSub();
Status DoFancyMerge();
// Slot of the smallest current item of the group; sets mergeWinner.
int32_t MergeSelect();
