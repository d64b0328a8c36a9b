// The compaction messages that name a file: each stored text holds one
// "%%s", which the shared format buffer turns into "%s" before the name is
// put in.
#pragma once

// Formats `storedText` into gFormat, then the result with `name` into msgBuf,
// and shows it.
void CompactShowNamed(const char* storedText, const char* name);
