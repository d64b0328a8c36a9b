// Compaction of an existing ISI file, in place or into a new file.
#pragma once

#include "core/status.h"
#include "isi/sector_io.h"

Status CompactIndex();
Status CompactCheckSpinIsi(FhStRec* state);
