// Messages of compaction: the stored texts that name a file, and the
// description of a damaged index shown before the driver's refusal line.
#pragma once

#include "core/status.h"

// Formats `storedText` (holding one "%%s") into gFormat, then the result
// with `name` into msgBuf, and shows it.
void CompactShowNamed(const char* storedText, const char* name);

// Shows what is damaged (formatted into msgBuf) and returns kErrCorruptIsi;
// the driver then names the file ("Damaged ISI structure found ...").
Status CompactRefuseDamaged(const char* format, ...) __attribute__((format(printf, 1, 2)));
