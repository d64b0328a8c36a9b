// Running the job and ending it: the index build or the compaction, what a
// failed job leaves behind, closing the job's files, the error file, the
// data-format verdict and the time line.
#include <cerrno>
#include <cstring>

#include "compact/backup.h"
#include "compact/compact.h"
#include "compact/data_lock.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/run_steps.h"
#include "driver/sys_io.h"
#include "isi/tree_build.h"

namespace {

// Deletes a file by name, through scratchName as every deletion of the run.
void DeleteFile(const char* name) {
  CmdData* cd = pCmdData;
  if (name == nullptr || name[0] == '\0') return;
  if (name != cd->scratchName) snprintf(cd->scratchName, kNameSize, "%s", name);
  SysUnlink(cd->scratchName);
}

// Closes a descriptor of the job; false (errno kept) when the close failed.
bool CloseJobFd(int32_t* field) {
  int fd = *field;
  int result = SysClose(fd);
  *field = -1;
  return result == 0;
}

// True when the data did not have the form the options promised.
bool DataFormatViolated() {
  const CmdData* cd = pCmdData;
  return (cd->noDups && cd->dupKeptCount != 0) || DataFormViolated(*cd);
}

// "HH:MM:SS" of a wall-clock time (the time-of-day part of its calendar text).
void ClockText(time_t when, char (&out)[9]) {
  struct tm parts;
  if (localtime_r(&when, &parts) == nullptr || strftime(out, sizeof out, "%H:%M:%S", &parts) == 0) {
    memcpy(out, "00:00:00", sizeof out);
  }
}

}  // namespace

Status RunIndexBuild() {
  CmdData* cd = pCmdData;
  SetSortGeometry();
  // A tree entry is the key plus 12 bytes, rounded up to a multiple of 4.
  Status status = indexMain(static_cast<int32_t>(cd->keySpecLen),
                            static_cast<int32_t>((cd->keySpecLen + 15) & 0xFFFC));
  CmdHoldInterrupt();
  if (status != kOk) HandleIndexFailure(status);
  return status;
}

void HandleIndexFailure(Status status) {
  CmdData* cd = pCmdData;
  if (cd->outFd != -1) {
    CloseJobFd(&cd->outFd);
    DeleteFile(cd->outName);
  }
  CmdReportIndexFailure(status);
  if (status == kErrRecSize || status == kErrRecSizeMax) cd->longRecFound = 1;
}

Status RunCompaction() {
  Status status = CompactIndex();
  CmdHoldInterrupt();
  if (status != kOk) HandleCompactFailure(status);
  ReleaseCompactionHolds();
  return status;
}

void HandleCompactFailure(Status status) {
  CmdData* cd = pCmdData;
  if (cd->outFd != -1) {
    if (cd->outFd == cd->inFd) {
      // In place: the ISI was being overwritten. Only a complete backup can
      // bring it back; without one it is left as the compaction left it.
      if ((cd->compactFlags & 4) != 0) {
        if (CompactRestoreIsi() != kOk) {
          CmdShowf("ISI can not be restored after fatal compact error for file: %s\n", cd->inName);
          SysFtruncate(cd->outFd, 0);
        } else {
          CmdShowf("ISI has been restored after fatal compact error for file: %s\n", cd->inName);
        }
      }
    } else {
      CloseJobFd(&cd->outFd);
      DeleteFile(cd->outName);
    }
  }
  CmdReportCompactFailure(status);
}

void ReleaseCompactionHolds() {
  CmdData* cd = pCmdData;
  if (cd->inFd == cd->outFd) CompactCloseBackupIsi();
  // The lock record may be missing when its allocation failed after the
  // data file was opened; there is then no lock to release.
  if (cd->compactShared && cd->dataFd != 0) CompactUnlockIsi();
  if (cd->dataFd != 0) {
    SysClose(cd->dataFd);
    cd->dataFd = 0;
  }
  FhRec* lock = cd->dataLock;
  cd->dataLock = nullptr;
  if (lock != nullptr) CmdFree(lock);
}

Status CloseJobFiles(Status status) {
  CmdData* cd = pCmdData;
  bool inPlace = cd->compactFlags != 0 && cd->outFd == cd->inFd;
  bool closeFailed = false;
  if (cd->outFd != -1) {
    int fd = cd->outFd;
    if (!CloseJobFd(&cd->outFd)) {
      CmdShowf("Close(outfile) failed. (errno=%d)\n", errno);
      closeFailed = true;
    }
    // In place the input is the same descriptor, now closed.
    if (cd->compactFlags != 0 && cd->inFd == fd) cd->inFd = -1;
  }
  if (cd->inFd != -1 && !CloseJobFd(&cd->inFd)) {
    CmdShowf("Close(infile) failed. (errno=%d)\n", errno);
    closeFailed = true;
  }
  if (closeFailed) {
    // A failed close may report a write the system had deferred, and the run
    // ends as failed: an index written into a file of its own is removed, as
    // after any failed build. An ISI compacted in place is the only copy and
    // stays.
    if (!inPlace) DeleteFile(cd->outName);
    status = 1;
  }
  CmdCloseAllFiles(0);
  return status;
}

Status SettleRunOutputs(Status status) {
  CmdData* cd = pCmdData;
  if (cd->errFd != -1) CloseJobFd(&cd->errFd);
  if (cd->errFileOn && cd->dupKeptCount == 0 && cd->dupIgnoredCount == 0) {
    DeleteFile(cd->errName);
  }
  // An index over data of another form than the options said would mislead
  // every program that reads through it. A compaction never read the data.
  if (DataFormatViolated() && cd->compactFlags == 0) {
    CmdOutInfoString("Data file is not in the correct format.  Index file will be deleted.\n");
    DeleteFile(cd->outName);
    status = kErrDataFormat;
  }
  return status;
}

void ReportRunTimes(time_t start, time_t stop) {
  char startText[9], stopText[9], elapsed[kElapsedTextSize];
  ClockText(start, startText);
  ClockText(stop, stopText);
  ctimex(static_cast<int64_t>(stop - start), elapsed, sizeof elapsed);
  CmdShowf("Start time = %s  Stop time = %s  Elapsed time = %s\n", startText, stopText, elapsed);
}
