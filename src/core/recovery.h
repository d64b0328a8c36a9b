// The recovery of a change that a crash interrupted, the first thing every
// opener of an existing index does, the program and the reader library
// alike: when "<isi>-journal" lies beside the index and holds a change,
// the change is rolled back under the locks of the lock protocol, so that
// no reader ever sees a half-written index.
//
// The locks lie on the data file the journal names (a journal that names
// none is recovered without them): the shared whole-file lock first (a
// compaction in exclusive mode holds it exclusively), then the exclusive
// ISI lock, which a program still making the change holds; once that
// program is done, its journal is invalidated or gone. A process that may
// not write both files waits for the shared ISI lock instead, and finds
// out whether a change a crash left is still there.
#pragma once

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

// `journal` receives the journal's name (room for kIsiJournalNameMax
// bytes). *err gets the errno of a failure.
constexpr size_t kIsiJournalNameMax = 4096 + 16;
IsiRecovery IsiRecoverInterruptedChange(const kel::Env* env, const char* isiPath, char* journal,
                                        int* err);
