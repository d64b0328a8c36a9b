// The data file of a compaction is not read; it is opened and locked so
// that no program that honours the locks changes it, or the index, while
// the index is rebuilt. The driver releases the ISI lock and closes the file
// when compaction ends (dataFd, dataLock).
#include "compact/data_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "compact/compact_messages.h"
#include "core/lock_protocol.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"

namespace {

// The lock calls on the data file, through the program's system calls.
int SetDataFileLock(void* context, short type, uint64_t start, uint64_t len, bool wait) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(context));
  return IsiSetRecordLock(SysEnv(), fd, type, start, len, wait, false);
}

IsiLockCalls DataFileLocks(int fd) {
  return {SetDataFileLock, reinterpret_cast<void*>(static_cast<intptr_t>(fd))};
}

// The lock record of the open data file; nullptr when memory is short.
FhRec* NewLockRecord(int fd) {
  FhRec* rec = static_cast<FhRec*>(CmdMalloc(sizeof(FhRec)));
  if (rec == nullptr) return nullptr;
  memset(rec, 0, sizeof *rec);
  rec->fd = fd;
  rec->fileSize = static_cast<uint64_t>(SysLseek(fd, 0, SEEK_END));
  pCmdData->dataLock = rec;
  return rec;
}

Status Refuse(const char* storedText, Status code) {
  CompactShowNamed(storedText, pCmdData->dataName);
  return code;
}

Status LockExclusive(uint32_t recordCount) {
  CmdData* cd = pCmdData;
  int fd = SysOpen(cd->dataName, O_RDWR | O_EXCL, 0666);
  if (fd < 0) {
    cd->dataFd = 0;
    return Refuse("Unable to open ISI data file in exclusive mode: %%s\n", kErrLockExclusive);
  }
  cd->dataFd = fd;
  FhRec* rec = NewLockRecord(fd);
  if (rec == nullptr) return kErrRecSizeMax;
  IsiLockCalls locks = DataFileLocks(fd);
  if (IsiLockDataFile(locks, true, false) != kIsiLockHeld) {
    return Refuse("Unable to exclusive lock for ISI data file: %%s\n", kErrLockExclusive);
  }
  SysLseek(fd, 0, SEEK_SET);
  if (rec->fileSize == 0 && recordCount != 0) {
    return Refuse("Unexpected file size truncated for ISI data file: %%s\n", kErrLockExclusive);
  }
  return kOk;
}

Status LockShared() {
  CmdData* cd = pCmdData;
  int fd = SysOpen(cd->dataName, O_RDWR, 0666);
  if (fd < 0) {
    cd->dataFd = 0;
    return Refuse("Unable to open ISI data file: %%s\n", kErrLockShared);
  }
  cd->dataFd = fd;
  FhRec* rec = NewLockRecord(fd);
  if (rec == nullptr) return kErrRecSizeMax;
  IsiLockCalls locks = DataFileLocks(fd);
  if (IsiLockDataFile(locks, false, false) != kIsiLockHeld) {
    // Nothing is held on this file: close it here, the driver then has
    // nothing to release.
    SysClose(fd);
    rec->fd = 0;
    cd->dataFd = 0;
    return Refuse("Unable to set share lock for ISI data file: %%s\n", kErrLockShared);
  }
  SysLseek(fd, 0, SEEK_SET);
  // An in-place compaction rewrites the index others read: it needs the
  // ISI lock to itself. Compacting into a new file only reads it.
  if (IsiLockIndex(locks, cd->outFd == cd->inFd) != kIsiLockHeld) {
    return Refuse("Unable to lock ISI data file: %%s\n", kErrLockShared);
  }
  rec->isiLocked = true;
  if (cd->diagMode) CompactShowNamed("Compact TXT data file is locked: %%s", cd->dataName);
  return kOk;
}

}  // namespace

Status CompactLockDataFile(uint32_t recordCount) {
  return pCmdData->compactShared ? LockShared() : LockExclusive(recordCount);
}

void CompactUnlockIsi() {
  CmdData* cd = pCmdData;
  FhRec* rec = cd->dataLock;
  if (rec == nullptr || rec->fd == 0 || !rec->isiLocked) return;
  IsiLockCalls locks = DataFileLocks(rec->fd);
  IsiUnlockIndex(locks);
  if (cd->diagMode) CompactShowNamed("Compact TXT data file is unlocked: %%s\n", cd->dataName);
}
