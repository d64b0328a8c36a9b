// The p option as the option scan meets it: a simple test of one column,
// or an extended expression, recorded in the definition's column table,
// term table and tests.
#pragma once

#include <cstdint>

#include "core/definition.h"

// Parses one p option; `cursor` stands after the letter p and is left on the
// last character consumed. Returns 1, or 0 when the option is malformed or a
// limit is reached.
int ParsePrimaryOption(IndexDefinition* d, char** cursor);

// Parses an extended expression; returns its decision entry or nullptr.
ColumnEntry* GetPopt(IndexDefinition* d, char** cursor);

// Reads a column number 1..32767 after optional spaces; 0 otherwise.
uint32_t GetCol(char** cursor);
