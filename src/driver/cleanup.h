// Ending a run in order: closing and removing files, the interrupt handler,
// the log, the elapsed-time text and the allocation wrappers.
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>

extern uint64_t gRecCountTimeOut;

// Closes every file of the run that is still open and sets its descriptor to
// -1; with `abort` it also closes the error file and the log and deletes the
// output ISI, a data file this run created and (unless diagMode) the work
// files. Calling it again does nothing more.
void CmdCloseAllFiles(uint8_t abort);
// Flushes msgOut, closes it when the run owns it, sets it to nullptr.
void CmdCloseLog();
// Installs the SIGINT handler: it reports the interrupt, closes and removes
// the run's files as CmdCloseAllFiles(1) does, and ends the process with
// exit status 1. The backup of an in-place compaction stays once complete
// and goes while still being written.
void CmdInstallInterruptHandler();
// Hold SIGINT off while a file is created and its descriptor field set. A
// signal is taken when a system call returns, so one that came while the
// file was being created would otherwise find it made but not yet recorded
// for the clean-up. CmdAllowInterrupt restores the mask, and a signal that
// came meanwhile is taken then.
void CmdDeferInterrupt(sigset_t* previous);
void CmdAllowInterrupt(const sigset_t* previous);
// Called when the job has returned: from here on the run settles its
// outcome (restoring an in-place ISI, removing a failed output, deleting
// the backup, closing the files), and an interrupt in the middle of that
// would leave a finished index reported as aborted, or a restore half
// done. SIGINT is therefore held off for the rest of the process, which
// ends with the run. Only with the handler installed (the program); an
// embedding host's signal mask is left alone.
void CmdHoldInterrupt();
// For an embedding host: the least number of seconds between two
// record-count progress lines.
void FhCmdRecTimeOut(uint64_t seconds);
// For an embedding host: releases a run context that FhSortIndex obtained
// itself and sets pCmdData to nullptr (the static gCmdData is never freed).
void FhCmdCleanup();

// Room for any elapsed-time text ctimex can write (hours of a 64-bit count).
constexpr size_t kElapsedTextSize = 24;
// Writes `seconds` as HH:MM:SS into `out`, never more than `outSize` bytes
// with the terminator. Times of 100 hours or more get as many hour digits as
// they need ("123:04:05"); a negative time (a clock set back during the run)
// is written as 00:00:00. Nine bytes hold every time below 100 hours; pass
// kElapsedTextSize to hold any.
void ctimex(int64_t seconds, char* out, size_t outSize);

// The run's allocations, from the run's Env (driver/sys_io.h).
void* CmdMalloc(uint32_t size);
void CmdFree(void* pointer);
