// The recovery of a change to an index that a crash interrupted: every job
// that opens an existing index (information, reindex, compaction) or writes
// a new index over one calls it first, so that a rollback journal beside the
// index is rolled back before anything reads the index or its data file.
#pragma once

#include "core/status.h"

// The recovery of core/recovery.h for the index named `isiName`. kOk when
// there was nothing to do or the change was rolled back (a line says so);
// else `failure`, with the message set.
Status RecoverInterruptedChange(const char* isiName, Status failure);
