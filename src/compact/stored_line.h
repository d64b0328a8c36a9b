// The stored command line of an index compacted into a new file: it must
// name the new ISI, or a reindex would rebuild the old one.
#pragma once

#include <cstddef>

#include "core/status.h"

// `headerLine` is the stored line of the old header (data,isi,rest; a field
// of `fieldSize` bytes), `ownLine` this run's stored line (input,output,
// rest). Replaces the isi part of `headerLine` by the output name of
// `ownLine`. 0; -164 when `headerLine` has fewer than two commas (or no
// terminator); -165 when `ownLine` has; -166 when the result would not fit
// (at most fieldSize - 1 characters). `headerLine` is unchanged on failure.
Status CompactRewriteStoredLine(char* headerLine, size_t fieldSize, const char* ownLine);
