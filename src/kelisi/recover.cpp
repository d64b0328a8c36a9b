// recover: the rollback of an interrupted change on open (recover.h).
#include "kelisi/recover.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "isi/journal.h"
#include "isi/lock_protocol.h"
#include "kelisi.h"

namespace kisi {

namespace {

struct LockTarget {
  Io* io;
  int fd;
};

int SetLock(void* context, short type, uint64_t start, uint64_t len, bool wait) {
  auto* target = static_cast<LockTarget*>(context);
  return IoLock(*target->io, target->fd, type, start, len, wait);
}

bool JournalExists(Io& io, const char* journal) {
  struct stat st;
  return io.env->statPath(io.env, journal, &st) == 0;
}

// Whether the journal holds a change to roll back (one invalidated, empty
// or cut short before its first sync is a write handle's, kept between its
// changes, or harmless): 1, 0, or a negative errno. `data` gets the data
// file it names ("" for none).
int HoldsChange(Io& io, const char* isiPath, char* data, size_t cap) {
  data[0] = '\0';
  return JournalDataPath(io.env, isiPath, data, cap);
}

}  // namespace

int RecoverInterruptedChange(Io& io, const char* isiPath) {
  char journal[4096 + 16];
  if (!JournalPathFor(isiPath, journal, sizeof journal)) return KELISI_OK;
  if (!JournalExists(io, journal)) {
    // Whether there is one must be known: a failed look is a failed open.
    return errno == ENOENT || errno == ENOTDIR ? KELISI_OK : KELISI_E_OPEN;
  }
  // The locks lie on the data file the journal names; a journal that names
  // none is recovered without them.
  char data[4097];
  int hot = HoldsChange(io, isiPath, data, sizeof data);
  if (hot < 0) return KELISI_E_JOURNAL;
  if (hot == 0) return KELISI_OK;
  int named = data[0] != '\0' ? 1 : 0;
  int isiFd = io.env->openFile(io.env, isiPath, O_RDWR, 0);
  int dataFd = named == 1 ? io.env->openFile(io.env, data, O_RDWR, 0) : -1;
  bool writable = isiFd >= 0 && (named == 0 || dataFd >= 0);
  if (isiFd >= 0) IoClose(io, isiFd);
  if (!writable) {
    // A program may be making the change right now, holding the exclusive
    // ISI lock: once a shared one is granted, a journal still there is one
    // a crash left, which only a program that may write can roll back.
    int readFd = dataFd >= 0 ? dataFd : named == 1 ? IoOpen(io, data) : -1;
    if (readFd >= 0) {
      LockTarget target = {&io, readFd};
      IsiLockCalls locks = {SetLock, &target};
      if (IsiLockDataFile(locks, false, true) == kIsiLockHeld &&
          IsiLockIndex(locks, false) == kIsiLockHeld) {
        IsiUnlockIndex(locks);
      }
      IoClose(io, readFd);
    }
    return HoldsChange(io, isiPath, data, sizeof data) != 0 ? KELISI_E_JOURNAL : KELISI_OK;
  }
  LockTarget target = {&io, dataFd};
  IsiLockCalls locks = {SetLock, &target};
  // The whole-file lock shared first: a compaction in exclusive mode holds
  // it exclusively, not the ISI lock. Closing the descriptor releases both.
  if (dataFd >= 0 && (IsiLockDataFile(locks, false, true) != kIsiLockHeld ||
                      IsiLockIndex(locks, true) != kIsiLockHeld)) {
    IoClose(io, dataFd);
    return KELISI_E_LOCK;
  }
  int r = JournalRecover(io.env, isiPath);
  if (dataFd >= 0) {
    IsiUnlockIndex(locks);
    IoClose(io, dataFd);
  }
  return r < 0 ? KELISI_E_JOURNAL : KELISI_OK;
}

}  // namespace kisi
