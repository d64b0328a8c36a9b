// The command-text parser: file fields, work files, options, key
// specifications, the column table and the hand-over to the job.
#pragma once

#include <cstdint>

#include "driver/status.h"

// Parses the writable command text into the run context and opens the
// run's files. Returns 0, kUsageShown, kJobDone or a negative code.
Status parseMain(char* text);

// The two halves of parseMain. ParseCommandText reads the text into the run
// context and creates the work files; HandOverParsedCommand starts the job
// the text asked for (opening the data and ISI files, or showing or
// rebuilding from the stored command line) and settles the record length.
Status ParseCommandText(char* text);
Status HandOverParsedCommand();

// Adds the 1-based columns first..last to the column table as key bytes.
// Returns 0, 1 (a column is already a key byte) or 2 (table full).
int AddKeyRange(uint32_t first, uint32_t last);

// Removes everything up to and including the last '/' of `name`.
void StripDirectory(char* name);

// True when two texts are equal but for ASCII letter case.
bool SameTextIgnoringCase(const char* a, const char* b);
