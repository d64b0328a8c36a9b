// The data file of a compaction is not read; it is opened and locked so
// that no program that honours the locks changes it, or the index, while
// the index is rebuilt. The driver releases the ISI lock and closes the file
// when compaction ends (dataFd, dataLock).
#include "compact/data_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "compact/compact_messages.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/file_lock.h"

namespace {

constexpr uint64_t kLockBound2 = 0x7FFFFFFFFFFFFFFEull;

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
  if (LockFHe(rec, F_SETLK, 0, SEEK_SET) != 0) {
    return Refuse("Unable to exclusive lock for ISI data file: %%s\n", kErrLockExclusive);
  }
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
  if (LockFHs(rec, F_SETLK, 0, SEEK_SET) != 0) {
    // Nothing is held on this file: close it here, the driver then has
    // nothing to release.
    SysClose(fd);
    rec->fd = 0;
    cd->dataFd = 0;
    return Refuse("Unable to set share lock for ISI data file: %%s\n", kErrLockShared);
  }
  rec->lockBase = 0;
  rec->isiLockPos = kIsiLockPos;
  rec->lockBound1 = kIsiLockPos;
  rec->lockBound2 = kLockBound2;
  rec->lockPos2 = 0;
  // An in-place compaction rewrites the index others read: it needs the
  // ISI lock to itself. Compacting into a new file only reads it.
  if (FhStLockIsi(rec, cd->outFd == cd->inFd ? 1 : 0) != 0) {
    return Refuse("Unable to lock ISI data file: %%s\n", kErrLockShared);
  }
  if (cd->diagMode) CompactShowNamed("Compact TXT data file is locked: %%s", cd->dataName);
  return kOk;
}

}  // namespace

Status CompactLockDataFile(uint32_t recordCount) {
  return pCmdData->compactShared ? LockShared() : LockExclusive(recordCount);
}
