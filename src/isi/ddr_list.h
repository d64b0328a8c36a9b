// The deleted-record list written while the data file is scanned.
#pragma once

#include "core/status.h"

// Records the deleted record at byte `position` of the data file: 0, or
// kErrDdrWrite. The scan's deleted-record routine (deletedRecFn).
int32_t InsertDDRN(uint64_t position);
