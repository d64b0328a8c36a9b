// The index build: the reserved front, the one-pass bottom-up B-tree, the
// root, the head DDR sector and the header.
#pragma once

#include <cstdint>

#include "driver/status.h"

Status indexMain(int32_t keyLength, int32_t entrySize);
// Inserts the key of curItem into level treeLevel: 0, -2 (write) or -13.
int32_t InsertKey(uint32_t child);
// Writes the pending sector of level treeLevel; its position, or -2.
int64_t WriteLevelSector();
// The 17-sector block: 0, or 1 when memory is short.
int32_t AllocIsiBuffers();
// Shows the ISI write-failure message ("Unable to write segment ...").
void ShowIsiWriteFailure();
