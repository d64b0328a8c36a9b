// recover: the rollback of an interrupted change on open (recover.h).
#include "kelisi/recover.h"

#include "core/recovery.h"
#include "kelisi.h"

namespace kisi {

int RecoverInterruptedChange(Io& io, const char* isiPath) {
  char journal[kIsiJournalNameMax];
  int err = 0;
  switch (IsiRecoverInterruptedChange(io.env, isiPath, journal, &err)) {
    case kIsiNothingToRecover:
    case kIsiRecovered:
      return KELISI_OK;
    case kIsiRecoveryUnknown:
      // Whether there is one must be known: a failed look is a failed open.
      return KELISI_E_OPEN;
    case kIsiRecoveryLocked:
      return KELISI_E_LOCK;
    default:
      return KELISI_E_JOURNAL;
  }
}

}  // namespace kisi
