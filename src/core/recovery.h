// The recovery of a change that a crash interrupted, the first thing every
// opener of an existing index does, the program and the reader library
// alike: when "<isi>-journal" lies beside the index (a change of that
// index alone, or an in-place compaction) or "<data>-journal" beside its
// data file (a change over several indexes of the file) and holds a
// change, the change is rolled back under the locks of the lock protocol,
// every file it covers, so that no reader ever sees a half-written index.
// The data file is found by the name the index's header keeps, which no
// change rewrites, as a reader of the index looks for it (as written,
// beside the index, its last part beside the index), and by the name the
// caller gives.
//
// The locks lie on the data file the journal names (a journal that names
// none is recovered without them): the shared whole-file lock first (a
// compaction in exclusive mode holds it exclusively), then the exclusive
// ISI lock, which a program still making the change holds; once that
// program is done, its journal is invalidated or gone. A process that may
// not write both files waits for the shared ISI lock instead, and finds
// out whether a change a crash left is still there.
#pragma once

#include <cstddef>

#include "core/env.h"

enum IsiRecovery {
  kIsiNothingToRecover,  // no journal, or one that holds no change (empty, or
                         // invalidated: a write handle keeps it so between its changes)
  kIsiRecovered,         // the change was rolled back and the journal removed
  kIsiRecoveryUnknown,   // whether a journal is there cannot be told (*err)
  kIsiRecoveryLocked,    // the locks could not be taken
  kIsiRecoveryBlocked,   // a change a crash left stays: this process may not write the files
  kIsiRecoveryFailed,    // the rollback failed (*err)
};

// `journal` receives the name of the journal rolled back, or of the one
// that could not be (room for kIsiJournalNameMax bytes). *err gets the
// errno of a failure. `dataPath`, when not null, names the data file the
// caller opens the index with; `isiFd`, when not negative, is the caller's
// descriptor of the index, from which its header is read.
constexpr size_t kIsiJournalNameMax = 4096 + 16;
IsiRecovery IsiRecoverInterruptedChange(const kel::Env* env, const char* isiPath, char* journal,
                                        int* err, const char* dataPath = nullptr, int isiFd = -1);

// Where a reader of the index at `isiPath` looks for the data file its
// header names `dataName`, in order, into out (room for 3): the name as
// written, beside the index when relative, its last part beside the
// index. The count; 0 when the header names none.
size_t IsiDataFileCandidates(const char* dataName, const char* isiPath,
                             char (*out)[kIsiJournalNameMax]);
