// The body of compaction: old entries into sort trains, the new front and
// DDR chain, and the merge into a new tree.
#pragma once

#include <cstdint>

#include "driver/status.h"
#include "isi/sector_io.h"

Status CompactRebuildIsi(FhStRec* state);
int32_t CompactFillSubList(FhStRec* state);
Status CompactCopyDdrIsi(FhStRec* state, uint32_t newHeadPos, uint32_t writePos);
