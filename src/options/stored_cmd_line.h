// The command line stored in an ISI header: index information (i) and
// reindex (r, r0).
#pragma once

#include "core/status.h"

// Shows the stored command line of the ISI named by inName and, for a
// reindex, parses it again. Returns 0 or a negative code.
Status WriteCmdLine();
