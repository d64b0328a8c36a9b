// The backup of an in-place compaction.
//
// The backup must be a complete, durable copy before the ISI is touched:
// every short write counts as a failure, and the backup is synced to disk
// before compaction is allowed to overwrite the ISI. A rollback journal
// beside the ISI then names it, synced with its directory (which makes the
// backup's name durable too), so that whoever opens the index after a
// crash or power loss in the rewrite copies the backup back. The restore
// likewise cuts the ISI to the backup's length and syncs it before the
// journal, and then the backup, may go; each removal is made durable before
// the next, so that a journal never names a backup that is gone.
#include "compact/backup.h"

#include <unistd.h>

#include <cstring>

#include "compact/compact_messages.h"
#include "core/journal.h"
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
  if (cd->backupJournal != nullptr) {  // the next opener tries again
    JournalRelease(cd->backupJournal);
    cd->backupJournal = nullptr;
  }
  SysClose(cd->backupFd);
  cd->backupFd = 0;
  ReleaseCopyBuffer();
  CompactShowNamed(storedText, name);
  return kErrRestore;
}

// Syncs the directory the backup lies in.
int SyncBackupDirectory() {
  char dir[kNameSize];
  memcpy(dir, pCmdData->backupName, sizeof dir);
  char* slash = strrchr(dir, '/');
  if (slash == nullptr) return SysSyncDirectory(".");
  slash[slash == dir ? 1 : 0] = '\0';
  return SysSyncDirectory(dir);
}

// The journal that makes the synced backup the index's way back: created,
// naming the backup, and synced with its directory. Bit 4 goes on first: an
// interrupt from here on keeps the backup the journal may already name.
bool JournalTheBackup(off_t size) {
  CmdData* cd = pCmdData;
  cd->compactFlags |= 4;
  Journal* j = nullptr;
  const char* data = cd->dataFd != 0 ? cd->dataName : nullptr;
  if (JournalBegin(SysEnv(), cd->inName, cd->inFd, data, -1, &j) != 0) {
    cd->compactFlags &= ~4u;
    return false;
  }
  if (JournalSaveCopy(j, cd->backupName, static_cast<uint64_t>(size)) != 0 || JournalSync(j) != 0) {
    JournalDiscard(j);
    cd->compactFlags &= ~4u;
    return false;
  }
  cd->backupJournal = j;
  return true;
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
  // A copy of the index is no more readable than the index.
  struct stat st;
  if (SysEnv()->statFile(SysEnv(), cd->inFd, &st) != 0 ||
      SysChmod(cd->backupName, st.st_mode & 0666) != 0) {
    return FailBackup("Error writing the ISI backup file: %%s\n", cd->backupName);
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
  // overwritten right after this returns. Its name too: the journal that
  // names it may be one left from an earlier change, whose sync touches no
  // directory.
  if (r == -2 || SysFsync(cd->backupFd) != 0 || SyncBackupDirectory() != 0 ||
      !JournalTheBackup(size)) {
    return FailBackup("Error writing the ISI backup file: %%s\n", cd->backupName);
  }
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
  // The ISI is whole (compacted or restored) and synced: the journal goes,
  // durably, before its backup. A journal that stays keeps its backup.
  bool keep = false;
  if (cd->backupJournal != nullptr) {
    keep = JournalCommit(cd->backupJournal) != 0;
    cd->backupJournal = nullptr;
  }
  if (cd->backupFd != 0) {
    SysClose(cd->backupFd);
    cd->backupFd = 0;
    if (cd->backupName[0] != '\0' && !keep) {
      memcpy(cd->scratchName, cd->backupName, sizeof cd->scratchName);
      if (SysUnlink(cd->scratchName) == 0) SyncBackupDirectory();
    }
  }
  ReleaseCopyBuffer();
  return kOk;
}
