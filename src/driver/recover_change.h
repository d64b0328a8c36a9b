// The recovery of a change to an index that a crash interrupted: every job
// that opens an existing index (information, reindex, compaction) or writes
// a new index over one calls it first, so that a rollback journal beside the
// index is rolled back before anything reads the index or its data file.
#pragma once

#include "driver/status.h"

// When "<isiName>-journal" exists and holds a change: takes the shared
// whole-file lock and the exclusive ISI lock on the data file the journal
// names (a program still making that change holds one of them exclusively;
// once it is done, the journal is invalidated or gone), rolls the change
// back and removes the journal. A journal that holds no change (empty, or
// invalidated: a library write handle keeps it so between its changes) is
// left alone, silently. kOk when there was nothing to do or the change was
// rolled back (a line says so); else `failure`, with the message set.
Status RecoverInterruptedChange(const char* isiName, Status failure);
