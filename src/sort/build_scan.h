// The build's data scan on the run context: the data file (inFd) read
// through the program's system calls, the scan's notices shown with -d.
#pragma once

#include <cstdint>

#include "core/status.h"

struct CmdData;

// Makes the run context's scan read inFd and show its notices.
void UseBuildScan(CmdData* cd);

// Refills the input buffer from readPos (ScanFill on the run context).
int32_t fillInputBuffer();

// Fills the sort memory with one sub-list of the run's data. Returns 0
// (full), kSubListLast (data exhausted) or a failure status.
Status CreateSubList();
