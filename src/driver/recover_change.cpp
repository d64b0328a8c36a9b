// The recovery of an interrupted change (recover_change.h), in the
// program's words.
#include "driver/recover_change.h"

#include <cstring>

#include "core/journal.h"
#include "core/recovery.h"
#include "driver/messages.h"
#include "driver/sys_io.h"

Status RecoverInterruptedChange(const char* isiName, Status failure) {
  char journal[kIsiJournalNameMax];
  int err = 0;
  switch (IsiRecoverInterruptedChange(SysEnv(), isiName, journal, &err)) {
    case kIsiNothingToRecover:
      return kOk;
    case kIsiRecovered:
      CmdShowf(kJournalRecoveredFormat, journal);
      return kOk;
    case kIsiRecoveryLocked:
      CmdSetMsg("Unable to lock ISI data file to recover from journal %s\n", journal);
      return failure;
    default:
      // Whether a change waits to be rolled back must be known.
      CmdSetMsg("Unable to recover interrupted change from journal %s: %s\n", journal,
                strerror(err));
      return failure;
  }
}
