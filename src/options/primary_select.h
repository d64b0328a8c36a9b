// Primary-record selection: the p option, simple and extended, and the
// evaluation of an extended expression against a record.
#pragma once

#include <cstdint>

#include "options/option_tables.h"

// Parses one p option; `cursor` stands after the letter p and is left on the
// last character consumed. Returns 1, or 0 when the option is malformed or a
// limit is reached.
int ParsePrimaryOption(char** cursor);

// Parses an extended expression; returns its decision entry or nullptr.
ColumnEntry* GetPopt(char** cursor);

// Reads a column number 1..32767 after optional spaces; 0 otherwise.
uint32_t GetCol(char** cursor);

// Evaluates every term on `column` against the record bytes at `field`.
int ChkPopt(const uint8_t* field, uint32_t column);

// Combines the term results: 1 true, 0 false; resets every result.
int GetState();
