// The backup of an in-place compaction.
//
// The backup must be a complete, durable copy before the ISI is touched:
// every short write counts as a failure, and the backup is synced to disk
// before compaction is allowed to overwrite the ISI. The restore likewise
// cuts the ISI to the backup's length and syncs it before the backup may go.
#include "compact/backup.h"

#include <unistd.h>

#include <cstring>

#include "compact/compact_messages.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "options/file_names.h"

namespace {

constexpr uint32_t kCopyBlock = 65535;
constexpr char kBackupExt[] = ".bak";

// Copies `size` bytes from `from` to `to` through backupBuf, both from their
// current positions. 0; -1 when reading fails; -2 when writing fails or
// writes fewer bytes than were read. A source that ends early ends the copy.
int CopyBytes(int from, int to, off_t size) {
  CmdData* cd = pCmdData;
  while (size > 0) {
    size_t want = size < static_cast<off_t>(kCopyBlock) ? static_cast<size_t>(size) : kCopyBlock;
    ssize_t got = SysRead(from, cd->backupBuf, want);
    if (got < 0) return -1;
    if (got == 0) break;
    if (SysWrite(to, cd->backupBuf, static_cast<size_t>(got)) != got) return -2;
    size -= got;
  }
  return 0;
}

void ReleaseCopyBuffer() {
  CmdData* cd = pCmdData;
  if (cd->backupBuf != nullptr) {
    CmdFree(cd->backupBuf);
    cd->backupBuf = nullptr;
  }
}

// A failed backup is closed and deleted before the message: a partial copy
// must never be mistaken for a good one.
Status FailBackup(const char* storedText, const char* name) {
  CompactCloseBackupIsi();
  CompactShowNamed(storedText, name);
  return kErrInPlace;
}

// A failed restore closes the backup but keeps its file: it may be the only
// intact copy of the index left (the driver cuts the ISI to length 0 next).
Status FailRestore(const char* storedText, const char* name) {
  CmdData* cd = pCmdData;
  SysClose(cd->backupFd);
  cd->backupFd = 0;
  ReleaseCopyBuffer();
  CompactShowNamed(storedText, name);
  return kErrRestore;
}

}  // namespace

bool CompactBuildBackupName() {
  CmdData* cd = pCmdData;
  cd->backupName[0] = '\0';
  char name[kNameSize];
  if (!_makepath(name, cd->inDrive, cd->inDir, cd->inBase, cd->inExt)) return false;
  size_t len = strlen(name);
  if (len + sizeof kBackupExt > sizeof cd->backupName) return false;
  memcpy(cd->backupName, name, len);
  memcpy(cd->backupName + len, kBackupExt, sizeof kBackupExt);
  return true;
}

Status CompactSaveIsi() {
  CmdData* cd = pCmdData;
  if (!CompactBuildBackupName()) {
    cd->backupFd = 0;
    CompactShowNamed("Unable to create backup file: %%s\n", cd->inName);
    return kErrInPlace;
  }
  return CompactWriteBackup();
}

Status CompactWriteBackup() {
  CmdData* cd = pCmdData;
  // A new file, or one left from an earlier run cut to length 0. An
  // interrupt must find it recorded, to remove it while it is incomplete.
  sigset_t mask;
  CmdDeferInterrupt(&mask);
  int fd = CreateExclusive(cd->backupName);
  cd->backupFd = fd < 0 ? 0 : fd;
  CmdAllowInterrupt(&mask);
  if (fd < 0) {
    CompactShowNamed("Unable to create backup file: %%s\n", cd->backupName);
    return kErrInPlace;
  }
  cd->backupBuf = static_cast<uint8_t*>(CmdMalloc(kCopyBlock));
  if (cd->backupBuf == nullptr) {
    CompactCloseBackupIsi();
    CmdOutInfoString("Insufficient memory to backup ISI for in place compact option!\n");
    return kErrInPlace;
  }
  off_t size = SysLseek(cd->inFd, 0, SEEK_END);
  if (size < 0 || SysLseek(cd->inFd, 0, SEEK_SET) != 0) {
    return FailBackup("Error reading the ISI file: %%s\n", cd->inName);
  }
  if (SysLseek(cd->backupFd, 0, SEEK_SET) != 0) {
    return FailBackup("Error writing the ISI backup file: %%s\n", cd->backupName);
  }
  int r = CopyBytes(cd->inFd, cd->backupFd, size);
  if (r == -1) return FailBackup("Error reading the ISI file: %%s\n", cd->inName);
  // A backup that might not be on disk yet is no backup: the ISI is
  // overwritten right after this returns.
  if (r == -2 || SysFsync(cd->backupFd) != 0) {
    return FailBackup("Error writing the ISI backup file: %%s\n", cd->backupName);
  }
  cd->compactFlags |= 4;
  return kOk;
}

Status CompactRestoreIsi() {
  CmdData* cd = pCmdData;
  if (cd->backupFd == 0) return kOk;
  // The backup's copy buffer is still there: it goes with the backup.
  off_t size = SysLseek(cd->backupFd, 0, SEEK_END);
  if (cd->backupBuf == nullptr || size < 0 || SysLseek(cd->backupFd, 0, SEEK_SET) != 0) {
    return FailRestore("Error reading the ISI backup file: %%s\n", cd->backupName);
  }
  if (SysLseek(cd->inFd, 0, SEEK_SET) != 0) {
    return FailRestore("Error restoring/writing the ISI file: %%s\n", cd->inName);
  }
  int r = CopyBytes(cd->backupFd, cd->inFd, size);
  if (r == -1) return FailRestore("Error reading the ISI backup file: %%s\n", cd->backupName);
  // The new tree may have made the file longer than the original: cut it
  // back so that the ISI is the backup byte for byte, and make that durable
  // before the backup is deleted.
  if (r == -2 || SysFtruncate(cd->inFd, size) != 0 || SysFsync(cd->inFd) != 0) {
    return FailRestore("Error restoring/writing the ISI file: %%s\n", cd->inName);
  }
  CompactCloseBackupIsi();
  return kOk;
}

Status CompactCloseBackupIsi() {
  CmdData* cd = pCmdData;
  if (cd->backupFd != 0) {
    SysClose(cd->backupFd);
    cd->backupFd = 0;
    if (cd->backupName[0] != '\0') {
      memcpy(cd->scratchName, cd->backupName, sizeof cd->scratchName);
      SysUnlink(cd->scratchName);
    }
  }
  ReleaseCopyBuffer();
  return kOk;
}
