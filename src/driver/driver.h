// The run driver: one run from the argument vector to the exit status.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/status.h"

// The version text printed in the banner, and the program name used in the
// usage text and in stored command lines.
extern const char* const VERSION;
extern const char* const utlname;
// What the program does, in one line of its banner and of --help.
extern const char* const kProgramSummary;

// Runs one command. `out` receives every message unless a log is named.
Status FhSortIndex(int argc, char** argv, FILE* out);
// The process: the static run context, the interrupt handler and one run
// with messages on standard output. The exit status: 0, or 1 for a failure.
int KelindexMain(int argc, char** argv);

// Zero-fills nothing; applies the defaults of a fresh run to *pCmdData.
void CmdSetDefaults();

// Obtains the sort memory by halving the request down to 8,192 bytes.
// Returns the size obtained (0 = none) and leaves the block in sortMem.
uint64_t TakeSortMemory(uint64_t size);

// Releases every buffer the run holds (safe to call twice).
void CmdFreeBuffers();
