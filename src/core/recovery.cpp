// The recovery of an interrupted change (recovery.h).
#include "core/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/isi_format.h"
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
IsiRecovery WaitForTheWriter(const kel::Env* env, const char* journal, int dataFd, bool named,
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
  if (JournalLockPath(env, journal, again, sizeof again) == 0) return kIsiNothingToRecover;
  *err = EACCES;
  return kIsiRecoveryBlocked;
}

// The recovery of the journal at `journal`, of either kind.
IsiRecovery RecoverJournal(const kel::Env* env, const char* journal, int* err) {
  struct stat st;
  if (env->statPath(env, journal, &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return kIsiNothingToRecover;
    *err = errno;
    return kIsiRecoveryUnknown;
  }
  char data[4097];
  data[0] = '\0';
  int hot = JournalLockPath(env, journal, data, sizeof data);
  if (hot < 0) {
    *err = -hot;
    return kIsiRecoveryFailed;
  }
  if (hot == 0) return kIsiNothingToRecover;
  bool named = data[0] != '\0';
  int dataFd = named ? Open(env, data, O_RDWR) : -1;
  bool writable = (!named || dataFd >= 0) && JournalFilesWritable(env, journal) == 1;
  if (!writable) return WaitForTheWriter(env, journal, dataFd, named, data, err);
  LockTarget target = {env, dataFd};
  IsiLockCalls locks = {SetLock, &target};
  // Closing the descriptor releases both locks.
  if (dataFd >= 0 && (IsiLockDataFile(locks, false, true) != kIsiLockHeld ||
                      IsiLockIndex(locks, true) != kIsiLockHeld)) {
    env->close(env, dataFd);
    return kIsiRecoveryLocked;
  }
  int r = JournalRecoverAt(env, journal, &dataFd, dataFd >= 0 ? 1 : 0);
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

constexpr size_t kIsiDataNameSize = 256;

// The data file name the index's header keeps (read as bytes: no change
// rewrites it, so it can be trusted before anything is rolled back), into
// out (kIsiDataNameSize + 1 bytes): "" when the file is none a reader
// takes for an index, or names none. False, with *err, when the index
// cannot be read: whether a journal waits must be known.
bool HeaderDataName(const kel::Env* env, const char* isiPath, int isiFd, char* out, int* err) {
  out[0] = '\0';
  int fd = isiFd >= 0 ? isiFd : Open(env, isiPath, O_RDONLY);
  if (fd < 0) {
    // The open of the index itself then says what is wrong.
    if (errno == ENOENT || errno == ENOTDIR || errno == EACCES) return true;
    *err = errno;
    return false;
  }
  char head[kHdrCmdLineOfs];
  errno = 0;
  ssize_t n = env->pread(env, fd, head, sizeof head, 0);
  int readErr = errno;
  if (fd != isiFd) env->close(env, fd);
  if (n < 0) {
    *err = readErr != 0 ? readErr : EIO;
    return false;
  }
  if (n != static_cast<ssize_t>(sizeof head) || memcmp(head, kIsiMagic, sizeof kIsiMagic) != 0) {
    return true;
  }
  memcpy(out, head + kHdrDataNameOfs, kIsiDataNameSize);
  out[kIsiDataNameSize] = '\0';
  return true;
}

// Whether the data file at `path` is there: 1, 0, or -1 with *err.
int DataFileThere(const kel::Env* env, const char* path, int* err) {
  struct stat st;
  if (env->statPath(env, path, &st) == 0) return 1;
  if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == EACCES) return 0;
  *err = errno;
  return -1;
}

}  // namespace

size_t IsiDataFileCandidates(const char* dataName, const char* isiPath,
                             char (*out)[kIsiJournalNameMax]) {
  if (dataName[0] == '\0') return 0;
  size_t n = 0;
  auto add = [&](const char* dir, size_t dirLen, const char* name) {
    size_t len = strlen(name);
    if (dirLen + len + 1 > kIsiJournalNameMax - 16) return;
    memcpy(out[n], dir, dirLen);
    memcpy(out[n] + dirLen, name, len + 1);
    ++n;
  };
  add("", 0, dataName);
  const char* slash = strrchr(isiPath, '/');
  size_t dirLen = slash != nullptr ? static_cast<size_t>(slash + 1 - isiPath) : 0;
  if (dataName[0] != '/' && dirLen > 0) add(isiPath, dirLen, dataName);
  const char* last = strrchr(dataName, '/');
  if (last != nullptr) add(isiPath, dirLen, last + 1);
  return n;
}

IsiRecovery IsiRecoverInterruptedChange(const kel::Env* env, const char* isiPath, char* journal,
                                        int* err, const char* dataPath, int isiFd) {
  *err = 0;
  // A change of this index alone lies beside it.
  IsiRecovery result = kIsiNothingToRecover;
  if (JournalPathFor(isiPath, journal, kIsiJournalNameMax)) {
    result = RecoverJournal(env, journal, err);
    if (result != kIsiNothingToRecover && result != kIsiRecovered) return result;
  }
  // A change over several indexes of the data file lies beside the data
  // file: the one the caller names, and any the header's name leads to.
  char name[kIsiDataNameSize + 1];
  if (!HeaderDataName(env, isiPath, isiFd, name, err)) return kIsiRecoveryUnknown;
  char candidates[4][kIsiJournalNameMax];
  const char* list[4];
  size_t n = 0;
  if (dataPath != nullptr && strlen(dataPath) + 16 < kIsiJournalNameMax) list[n++] = dataPath;
  size_t named = IsiDataFileCandidates(name, isiPath, candidates);
  for (size_t k = 0; k < named; ++k) list[n++] = candidates[k];
  char found[kIsiJournalNameMax];
  for (size_t k = 0; k < n; ++k) {
    int there = DataFileThere(env, list[k], err);
    if (there < 0) return kIsiRecoveryUnknown;
    if (there == 0 || !JournalPathForData(list[k], found, sizeof found)) continue;
    IsiRecovery r = RecoverJournal(env, found, err);
    if (r == kIsiNothingToRecover) continue;
    memcpy(journal, found, strlen(found) + 1);
    if (r != kIsiRecovered) return r;
    result = r;
  }
  return result;
}
