// The recovery of an interrupted change (recover_change.h).
#include "driver/recover_change.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "isi/journal.h"
#include "isi/lock_protocol.h"

namespace {

// Locks of the open file description where the system has them: the
// rollback opens and closes the data file on a descriptor of its own, which
// would release a classic lock of the process with it.
int SetLock(void* context, short type, uint64_t start, uint64_t len, bool wait) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(context));
  return IsiSetRecordLock(SysEnv(), fd, type, start, len, wait, true);
}

}  // namespace

Status RecoverInterruptedChange(const char* isiName, Status failure) {
  char journal[kNameSize + 16];
  struct stat st;
  if (!JournalPathFor(isiName, journal, sizeof journal)) return kOk;
  if (SysStat(journal, &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return kOk;
    // Whether a change waits to be rolled back must be known.
    CmdSetMsg("Unable to recover interrupted change from journal %s: %s\n", journal,
              strerror(errno));
    return failure;
  }
  char dataPath[4097] = "";
  int named = JournalDataPath(SysEnv(), isiName, dataPath, sizeof dataPath);
  // Invalidated, empty or cut short before its first sync: no change to
  // roll back, and perhaps a write handle's, kept between its changes.
  if (named == 0) return kOk;
  int fd = named == 1 && dataPath[0] != '\0' ? SysOpen(dataPath, O_RDWR) : -1;
  IsiLockCalls locks = {SetLock, reinterpret_cast<void*>(static_cast<intptr_t>(fd))};
  // The whole-file lock shared first: a compaction in exclusive mode holds
  // it exclusively, not the ISI lock.
  if (fd >= 0 && (IsiLockDataFile(locks, false, true) != kIsiLockHeld ||
                  IsiLockIndex(locks, true) != kIsiLockHeld)) {
    SysClose(fd);
    CmdSetMsg("Unable to lock ISI data file to recover from journal %s\n", journal);
    return failure;
  }
  int r = named < 0 ? named : JournalRecover(SysEnv(), isiName);
  if (fd >= 0) {
    IsiUnlockIndex(locks);
    SysClose(fd);
  }
  if (r < 0) {
    CmdSetMsg("Unable to recover interrupted change from journal %s: %s\n", journal, strerror(-r));
    return failure;
  }
  if (r > 0) CmdShowf(kJournalRecoveredFormat, journal);
  return kOk;
}
