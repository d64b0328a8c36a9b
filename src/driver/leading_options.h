// Leading options: the log file and the options that must take effect
// before the command text is parsed (-l -q -0 -1 -? -d -i -m -t).
#pragma once

#include "core/status.h"

// Opens the log named by -l/-q in argv[1] when argc > 2. Returns the index
// of the next argument to examine, or kErrNameTooLong (nothing opened) when
// the log name does not fit in scratchName; the caller reports that refusal
// once the banner is out.
int TakeLogOption(int argc, char** argv);

// Applies the leading options from argv[*index] on and advances *index to
// the first argument that is not an option. Prints its own messages.
// Returns 0, kUsageShown (-?), kErrIniParam (-i without a name) or
// kErrNameTooLong (an INI name longer than iniName holds).
Status TakeLeadingOptions(int argc, char** argv, int* index);
