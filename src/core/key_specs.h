// Key specifications as the option scan meets them: a first column,
// optionally '-' and a last column, completed by the next character that is
// neither a digit nor '-' (nor i, r, z, which leave it pending).
#pragma once

#include <cstdint>

#include "core/definition.h"
#include "core/status.h"

struct KeySpecState {
  uint32_t first;  // 1-based first column, 0 = none yet
  uint32_t last;   // 1-based last column, 0 = none yet
  bool dash;       // the '-' was seen
  int count;       // specifications stored in keySpecTable
};

// Takes a digit or '-' (as the scan reads it, ORed with 0x20).
Status KeySpecChar(const IndexDefinition* d, KeySpecState* ks, char c);

// Completes a pending specification: adds its columns to the column table
// and appends it to keySpecTable. A specification whose first column is 0
// adds nothing and stays pending.
Status CompleteKeySpec(IndexDefinition* d, KeySpecState* ks);
