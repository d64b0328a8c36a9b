// Ending a run in order: closing and removing files, the interrupt handler,
// the log, the elapsed-time text and the allocation wrappers.
#pragma once

#include <cstdint>

extern uint64_t gRecCountTimeOut;

// Closes every file of the run; with `abort` also closes the log and deletes
// what a failed run must not leave behind.
void CmdCloseAllFiles(uint8_t abort);
// Flushes msgOut, closes it when the run owns it, sets it to nullptr.
void CmdCloseLog();
// Installs the SIGINT handler.
void CmdInstallInterruptHandler();
// For an embedding host.
void FhCmdRecTimeOut(uint64_t seconds);
void FhCmdCleanup();
// Writes `seconds` as HH:MM:SS into `out` (at least 9 bytes).
void ctimex(int64_t seconds, char* out);
void* CmdMalloc(uint32_t size);
void CmdFree(void* pointer);
