// The in-order walk of an existing ISI tree.
#pragma once

#include <cstdint>

#include "isi/sector_io.h"

// Copies the next entry in key order into state->entry: 0, -6 at the end,
// -4 path stack overflow, or a sector read code.
int32_t FhStIreadSeq(FhStRec* state);
