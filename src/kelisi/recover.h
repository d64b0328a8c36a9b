// recover: what every opening of an index does first when a rollback
// journal lies beside it or beside its data file (a change of this library
// or an in-place compaction was cut short by a crash): the change is rolled
// back, under the exclusive ISI lock, so that no reader ever sees a
// half-written index.
#pragma once

#include "kelisi/io.h"

namespace kisi {

// KELISI_OK when there is no journal, or one that holds no change (empty,
// or invalidated: a write handle keeps it so between its changes), or the
// change it held was rolled back (or finished meanwhile by the program
// making it, which held the ISI lock); KELISI_E_JOURNAL when a journal that
// holds a change stays: this process may not write the index or its data
// file, or the rollback failed.
// *recovered (may be null) tells whether a change was rolled back.
// `dataPath` (may be null) names the data file the caller opens the index
// with, beside which the journal of a change over several indexes may lie
// too; `journal` (may be null, else kIsiJournalNameMax bytes) gets the
// journal rolled back.
// `isiFd` (may be -1) is the caller's descriptor of the index.
int RecoverInterruptedChange(Io& io, const char* isiPath, bool* recovered = nullptr,
                             const char* dataPath = nullptr, char* journal = nullptr,
                             int isiFd = -1);

}  // namespace kisi
