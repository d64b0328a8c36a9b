// The recovery of an interrupted change (recovery.h).
#include "core/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "core/journal.h"
#include "core/lock_protocol.h"

namespace {

struct LockTarget {
  const kel::Env* env;
  int fd;
};

// Locks of the open file description where the system has them: the
// rollback opens and closes the data file on a descriptor of its own, which
// would release a classic lock of the process with it.
int SetLock(void* context, short type, uint64_t start, uint64_t len, bool wait) {
  auto* t = static_cast<LockTarget*>(context);
  for (;;) {
    int err = IsiSetRecordLock(t->env, t->fd, type, start, len, wait, true);
    if (err != EINTR) return err;
  }
}

int Open(const kel::Env* env, const char* path, int flags) {
  return env->openFile(env, path, flags, 0);
}

// Whether a change a crash left is still there, once a program that may
// be making it right now (holding the exclusive ISI lock) is done.
IsiRecovery WaitForTheWriter(const kel::Env* env, const char* isiPath, int dataFd, bool named,
                             const char* data, int* err) {
  int readFd = dataFd >= 0 ? dataFd : named ? Open(env, data, O_RDONLY) : -1;
  if (readFd >= 0) {
    LockTarget target = {env, readFd};
    IsiLockCalls locks = {SetLock, &target};
    if (IsiLockDataFile(locks, false, true) == kIsiLockHeld &&
        IsiLockIndex(locks, false) == kIsiLockHeld) {
      IsiUnlockIndex(locks);
    }
    env->close(env, readFd);
  }
  char again[4097];
  if (JournalDataPath(env, isiPath, again, sizeof again) == 0) return kIsiNothingToRecover;
  *err = EACCES;
  return kIsiRecoveryBlocked;
}

}  // namespace

IsiRecovery IsiRecoverInterruptedChange(const kel::Env* env, const char* isiPath, char* journal,
                                        int* err) {
  *err = 0;
  if (!JournalPathFor(isiPath, journal, kIsiJournalNameMax)) return kIsiNothingToRecover;
  struct stat st;
  if (env->statPath(env, journal, &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return kIsiNothingToRecover;
    *err = errno;
    return kIsiRecoveryUnknown;
  }
  char data[4097];
  data[0] = '\0';
  int hot = JournalDataPath(env, isiPath, data, sizeof data);
  if (hot < 0) {
    *err = -hot;
    return kIsiRecoveryFailed;
  }
  if (hot == 0) return kIsiNothingToRecover;
  bool named = data[0] != '\0';
  int isiFd = Open(env, isiPath, O_RDWR);
  int dataFd = named ? Open(env, data, O_RDWR) : -1;
  bool writable = isiFd >= 0 && (!named || dataFd >= 0);
  if (isiFd >= 0) env->close(env, isiFd);
  if (!writable) return WaitForTheWriter(env, isiPath, dataFd, named, data, err);
  LockTarget target = {env, dataFd};
  IsiLockCalls locks = {SetLock, &target};
  // Closing the descriptor releases both locks.
  if (dataFd >= 0 && (IsiLockDataFile(locks, false, true) != kIsiLockHeld ||
                      IsiLockIndex(locks, true) != kIsiLockHeld)) {
    env->close(env, dataFd);
    return kIsiRecoveryLocked;
  }
  int r = JournalRecover(env, isiPath);
  if (dataFd >= 0) {
    IsiUnlockIndex(locks);
    env->close(env, dataFd);
  }
  if (r < 0) {
    *err = -r;
    return kIsiRecoveryFailed;
  }
  return r > 0 ? kIsiRecovered : kIsiNothingToRecover;
}
