// The deleted-record (DDR) chain of a compacted ISI: checked before the
// first write, then purged, kept, or copied into consecutive sectors behind
// the root.
#pragma once

#include "core/status.h"
#include "isi/sector_io.h"

// Follows the old chain from its newest sector to its end without writing
// anything: 0; -175 when a sector lies outside the file, is not a DDR
// sector, or the chain is longer than the file has sectors (a cycle); -3
// when a sector cannot be read. The DDR buffer is left as it was.
Status CompactCheckDdrChain(FhStRec* state);

// Writes the DDR area of the new file at 1536 and leaves outFd positioned
// behind it: the sector read at 1536 when the chain is purged (files with
// variable-length, space-compressed or appended records) or when there is
// none, else the copied chain (for an in-place compaction first appended
// behind the end of the file, then moved down). 0, -157, -3 or -175.
Status CompactWriteDdrChain(FhStRec* state);
