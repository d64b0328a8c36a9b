// Opening and locking the data file of the ISI being compacted, by the lock
// protocol of core/lock_protocol.
#pragma once

#include <cstdint>

#include "core/status.h"

// The file and lock record of the locked data file (dataLock).
struct FhRec {
  int32_t fd;         // 0 = not open
  bool isiLocked;     // the ISI lock is held
  uint64_t fileSize;  // when the file was opened
};

// Opens dataName and takes the locks of the mode in compactShared: the
// exclusive whole-file lock (refused at once when another process holds a
// conflicting one: -170), or the shared whole-file lock and then the ISI
// lock, exclusive for an in-place compaction, waited for (-169). -7 when the
// lock record cannot be allocated. `recordCount` is the header's record
// count, which an empty data file contradicts in exclusive mode.
Status CompactLockDataFile(uint32_t recordCount);

// Releases the ISI lock of a shared compaction when it was taken (the
// driver, when compaction ends; closing the data file then releases the
// whole-file lock).
void CompactUnlockIsi();
