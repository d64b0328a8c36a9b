// Closing the run's files and removing what a failed or interrupted run must
// not leave behind, closing the log, the SIGINT handler, and the entries
// through which an embedding host tunes or releases the run context.
//
// The interrupt handler may run at any point of the run, in the middle of a
// write or of this very clean-up. It therefore shares with CmdCloseAllFiles
// only a core that is safe there: it closes descriptors, deletes names held
// in fixed buffers and writes with write(2); it never frees memory and never
// closes a stream. The core closes a file, deletes it, and only then marks
// the descriptor field closed, so that whatever point the handler
// interrupts, running the core again closes and deletes at most once more
// (a harmless EBADF or ENOENT) and never misses a file.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"

uint64_t gRecCountTimeOut = 0;

namespace {

volatile sig_atomic_t gHandlerInstalled = 0;

constexpr char kInterruptText[] = "Processing aborted via user interrupt.\n";

// Copies a terminated name into scratchName and deletes that file. Only a
// bounded byte copy: this also runs inside the interrupt handler.
void DeleteThroughScratch(CmdData* cd, const char* name) {
  if (name == nullptr || name[0] == '\0') return;
  size_t i = 0;
  if (name != cd->scratchName) {
    for (; i + 1 < kNameSize && name[i] != '\0'; ++i) cd->scratchName[i] = name[i];
    if (name[i] != '\0') return;  // not a name this run could have created
    cd->scratchName[i] = '\0';
  }
  SysUnlink(cd->scratchName);
}

void CloseField(int32_t* field) {
  if (*field == -1) return;
  SysClose(*field);
  *field = -1;
}

// Closes the data, output and work files; with `abort` deletes the output
// ISI and a data file this run created. Safe inside the interrupt handler.
void CloseRunFiles(CmdData* cd, bool abort) {
  if (cd->inFd != -1) {
    SysClose(cd->inFd);
    // In place the ISI is both input and output: one descriptor, closed
    // once, and the file, being the input, is kept.
    if (cd->compactFlags != 0 && cd->outFd == cd->inFd) cd->outFd = -1;
    if (abort && cd->dataCreated) DeleteThroughScratch(cd, cd->inName);
    cd->inFd = -1;
  }
  if (cd->outFd != -1) {
    SysClose(cd->outFd);
    if (abort) DeleteThroughScratch(cd, cd->outName);
    cd->outFd = -1;
  }
  if (cd->tmpFd1 != -1) {
    SysClose(cd->tmpFd1);
    if (!cd->diagMode) DeleteThroughScratch(cd, cd->tmpName1);
    cd->tmpFd1 = -1;
  }
  if (cd->tmpFd2 != -1) {
    SysClose(cd->tmpFd2);
    if (!cd->diagMode) DeleteThroughScratch(cd, cd->tmpName2);
    cd->tmpFd2 = -1;
  }
}

// Writes the interrupt line on the message stream's descriptor (the stream
// is unbuffered, so nothing of it is pending) and closes a log the run owns.
void ReportInterrupt(CmdData* cd) {
  FILE* out = cd->msgOut;
  if (out == nullptr) return;
  int fd = fileno(out);  // reads the stream's descriptor field, takes no lock
  if (fd < 0) return;
  const char* text = kInterruptText;
  size_t left = sizeof kInterruptText - 1;
  while (left > 0) {
    ssize_t n = write(fd, text, left);
    if (n <= 0) break;
    text += n;
    left -= static_cast<size_t>(n);
  }
  if (cd->logOwned) close(fd);
}

// The backup of an in-place compaction. Once complete (compactFlags bit 4)
// it is kept: the ISI may be half rewritten, and the backup is the one copy
// of the original index. While it is still being written the ISI is
// untouched, and the partial copy is deleted, so that it is never taken for
// a good one.
void SettleBackup(CmdData* cd) {
  if (cd->backupFd == 0) return;
  SysClose(cd->backupFd);
  if ((cd->compactFlags & 4) == 0) DeleteThroughScratch(cd, cd->backupName);
  cd->backupFd = 0;
}

extern "C" void OnInterrupt(int) {
  CmdData* cd = pCmdData;
  if (cd != nullptr) {
    ReportInterrupt(cd);
    CloseField(&cd->errFd);
    CloseRunFiles(cd, true);
    SettleBackup(cd);
  }
  _exit(1);
}

}  // namespace

void CmdCloseAllFiles(uint8_t abort) {
  CmdData* cd = pCmdData;
  if (cd == nullptr) return;
  if (abort) {
    // A failed run keeps its error file only when it received an entry;
    // one opened just before the run was refused holds nothing.
    bool errFileEmpty = cd->errFd != -1 && cd->dupKeptCount == 0 && cd->dupIgnoredCount == 0;
    CloseField(&cd->errFd);
    if (errFileEmpty) DeleteThroughScratch(cd, cd->errName);
    CmdCloseLog();
  }
  CloseRunFiles(cd, abort != 0);
}

void CmdCloseLog() {
  CmdData* cd = pCmdData;
  if (cd == nullptr || cd->msgOut == nullptr) return;
  FILE* out = cd->msgOut;
  bool owned = cd->logOwned != 0;
  // The field is cleared before the stream is touched: an interrupt from
  // here on finds no stream, rather than one being closed.
  cd->msgOut = nullptr;
  cd->logOwned = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  fflush(out);
  if (owned) fclose(out);
}

void CmdInstallInterruptHandler() {
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  gHandlerInstalled = 1;
}

void CmdDeferInterrupt(sigset_t* previous) {
  sigset_t hold;
  sigemptyset(&hold);
  sigaddset(&hold, SIGINT);
  sigprocmask(SIG_BLOCK, &hold, previous);
}

void CmdAllowInterrupt(const sigset_t* previous) {
  sigprocmask(SIG_SETMASK, previous, nullptr);
}

void CmdHoldInterrupt() {
  if (!gHandlerInstalled) return;
  sigset_t previous;
  CmdDeferInterrupt(&previous);  // and never allowed again: the process ends with the run
}

void FhCmdRecTimeOut(uint64_t seconds) {
  gRecCountTimeOut = seconds;
}

void FhCmdCleanup() {
  CmdData* cd = pCmdData;
  pCmdData = nullptr;
  if (cd != nullptr && cd != &gCmdData) CmdFree(cd);
}
