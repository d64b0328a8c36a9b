// The stages of one run, in the order FhSortIndex takes them. Each works on
// *pCmdData and is usable on its own with a prepared run context.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/status.h"

// Most characters the joined command text may hold.
constexpr uint32_t kMaxCommandText = 576;
// Smallest sort memory worth asking for; TakeSortMemory halves down to it.
constexpr uint64_t kMinSortMemory = 8192;
// A sort memory request must stay below this (one positive 32-bit count).
constexpr uint64_t kSortRequestLimit = 2147483648ull;

// ---- Start (driver.cpp) ---------------------------------------------------

// Writes the argument echo (when msgOut is not a terminal), the banner and
// the two notice lines, and makes msgOut unbuffered.
void ShowBanner(int argc, char** argv);
// Joins argv[index..] into parseLine with single spaces. Returns 0, or
// kErrCmdTooLong with its message in msgBuf.
Status JoinCommandText(int argc, char** argv, int index);
// Prints the text of a parser failure and a line end, closes and removes the
// run's files, releases the buffers. Returns `code`.
Status EndAfterParseFailure(Status code);

// ---- Memory (run_buffers.cpp) ---------------------------------------------

// Allocates outBuf, recBuf and parseLine. On failure prints "Insufficient
// Memory for Buffers.\n" and returns kErrMemory (the caller frees).
Status AllocRunBuffers();
// Sets the sort geometry and allocates the sort-train table and the sort
// memory. On failure prints the message, closes and removes the run's files,
// releases the buffers and returns kErrMemory.
Status AllocSortStructures();
// itemsInMem and itemPtrArea for the sort memory obtained and itemLen.
void SetSortGeometry();

// ---- Jobs and their end (job_end.cpp) -------------------------------------

// Runs the index build and handles its failure. Returns its status.
Status RunIndexBuild();
// Runs the compaction, handles its failure, and releases the backup, the
// data-file lock and the data file whatever the outcome. Returns its status.
Status RunCompaction();
// After a failed index build: removes the partial ISI, prints the message.
void HandleIndexFailure(Status status);
// After a failed compaction: restores or removes the output, prints the message.
void HandleCompactFailure(Status status);
// Ends the compaction's hold on its backup, data-file lock and data file.
void ReleaseCompactionHolds();
// Closes outFd and inFd (reporting a failing close, which makes the status 1)
// and the remaining files. Returns the status.
Status CloseJobFiles(Status status);
// Removes an error file without entries and applies the data-format
// verdict. Returns the status, -10 when the verdict deletes the index.
Status SettleRunOutputs(Status status);
// Prints the time line of a successful run.
void ReportRunTimes(time_t start, time_t stop);
