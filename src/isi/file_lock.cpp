// Advisory record locks on a data file that other programs share: the
// whole-file lock byte at the largest file offset, and the two-byte ISI lock
// just below it. Compaction takes them (compact/compact_index.cpp); the
// driver releases the ISI lock when compaction ends.
#include "isi/file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/status.h"
#include "driver/sys_io.h"

struct flock LockRegion(short type, uint64_t start, uint64_t length) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(length);
  return fl;
}

namespace {

// Consecutive failures of the waiting lock call after which the wait for the
// ISI lock gives up. A lock held by someone else does not fail the call (it
// blocks), so only a failure that keeps coming back (a deadlock report, a
// broken lock service) ends the wait, after about 600 x 100 microseconds
// plus the time of the calls themselves.
constexpr int kIsiLockMaxFailures = 600;
constexpr useconds_t kIsiLockRetryMicros = 100;

// The whole-file lock of either kind. EINVAL (a file system that does not
// know record locks) is taken as success: the file is then simply not
// shared through locks.
int32_t LockWholeFile(FhRec* rec, short type, int command, int64_t offset, int whence) {
  if (rec->fd == 0) return -1;
  struct flock fl = LockRegion(type, kWholeFileLockPos, 1);
  if (SysFcntlLock(rec->fd, command, &fl) != 0 && errno != EINVAL) {
    switch (errno) {
      case EACCES:
      case EAGAIN:
      case EDEADLK:
      case ENOLCK:
        return -3;
      default:
        return -4;
    }
  }
  SysLseek(rec->fd, static_cast<off_t>(offset), whence);
  return 0;
}

}  // namespace

int32_t LockFHe(FhRec* rec, int command, int64_t offset, int whence) {
  return LockWholeFile(rec, F_WRLCK, command, offset, whence);
}

int32_t LockFHs(FhRec* rec, int command, int64_t offset, int whence) {
  return LockWholeFile(rec, F_RDLCK, command, offset, whence);
}

int32_t Enqueue(FhRec* rec, uint64_t position, int exclusive) {
  if (rec->fd == 0) return -2;  // no file: nothing to wait for
  struct flock fl = LockRegion(exclusive ? F_WRLCK : F_RDLCK, position | rec->lockBase, 2);
  return SysFcntlLock(rec->fd, F_SETLKW, &fl) == 0 ? 0 : -2;
}

int32_t LockIsiWaitLoop(FhRec* rec, int exclusive) {
  for (int failures = 0; Enqueue(rec, rec->isiLockPos, exclusive) != 0;) {
    if (++failures >= kIsiLockMaxFailures) return kErrLockWait;
    usleep(kIsiLockRetryMicros);
  }
  rec->state |= kFhIsiLocked;
  return 0;
}

int32_t FhStLockIsi(FhRec* rec, int exclusive) {
  return LockIsiWaitLoop(rec, exclusive);
}

int32_t UnLockOneRecord(FhRec* rec, uint64_t position, uint64_t length) {
  if (rec->fd == 0) return -1;
  struct flock fl = LockRegion(F_UNLCK, position | rec->lockBase, length);
  return SysFcntlLock(rec->fd, F_SETLK, &fl) == 0 ? 0 : -2;
}

int32_t FhStUnLockIsi(FhRec* rec) {
  if ((rec->state & kFhIsiLocked) == 0) return 0;
  int32_t r = UnLockOneRecord(rec, rec->isiLockPos, 2);
  if (pCmdData->diagMode) {
    CmdBuildFormat("Compact TXT data file is unlocked: %%s\n");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    CmdShowf(gFormat, pCmdData->dataName);
#pragma GCC diagnostic pop
  }
  return r;
}
