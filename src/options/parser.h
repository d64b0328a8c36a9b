// The command-text parser: file fields, options, key specifications, the
// column table and the hand-over to the job.
#pragma once

#include <cstdint>

#include "core/status.h"

// Parses the writable command text into the run context and opens the
// run's files. Returns 0, kUsageShown, kJobDone or a negative code.
Status parseMain(char* text);

// The two halves of parseMain. ParseCommandText reads the text into the run
// context and creates the work files; HandOverParsedCommand starts the job
// the text asked for (opening the data and ISI files, or showing or
// rebuilding from the stored command line) and settles the record length.
Status ParseCommandText(char* text);
Status HandOverParsedCommand();
