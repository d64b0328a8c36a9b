// Opening and locking the data file of the ISI being compacted.
#pragma once

#include "driver/status.h"

// Opens dataName and takes the locks of the mode in compactShared: the
// exclusive whole-file lock (refused at once when another process holds a
// conflicting one: -170), or the shared whole-file lock and then the ISI
// lock, exclusive for an in-place compaction, waited for (-169). -7 when the
// lock record cannot be allocated. `recordCount` is the header's record
// count, which an empty data file contradicts in exclusive mode.
Status CompactLockDataFile(uint32_t recordCount);
