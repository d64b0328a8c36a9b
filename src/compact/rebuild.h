// The body of compaction: old entries into sort trains, the new front and
// DDR chain, and the merge into a new tree.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "isi/sector_io.h"

// Reads every entry of the old tree into sort trains, writes the new
// header, root placeholder and DDR chain (after the backup when in place),
// cuts the file behind them and merges the trains into a new tree. The
// caller completes the tree and rewrites the header. 0 or a negative code.
Status CompactRebuildIsi(FhStRec* state);
// One sort sub-list from the walk: 0 when full, else the walk's result
// (kIsiCursorEnd with kStWalkAtEnd set at the end); -175 when a
// record-numbered entry has no record size.
int32_t CompactFillSubList(FhStRec* state);
// Copies the old DDR chain, newest first, into consecutive sectors written
// from `writePos` on, linked as if they stood from `newHeadPos` on. 0,
// -157, -3 or -175.
Status CompactCopyDdrIsi(FhStRec* state, uint32_t newHeadPos, uint32_t writePos);
