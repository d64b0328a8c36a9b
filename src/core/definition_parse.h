// Reading a command text into an index's definition: the
// positional file fields and the line an index keeps of the text, the
// option marker, the options and key specifications with the p options
// between them, and the checks after them that finish the column table.
// The program's parser takes these steps around its own (the named
// settings, the work files, the hand-over to the job); the reader library
// reads the command line an index stores with the same steps
// (ParseDefinition). Nothing here prints or reads a setting: the codes
// returned say what went wrong.
#pragma once

#include <cstdint>

#include "core/definition.h"
#include "core/status.h"

// Longest positional file field (data, ISI, work directory) and the longest
// record-length field, in characters.
constexpr uint32_t kMaxFileField = 249;
constexpr uint32_t kMaxRecLenField = 254;
// Longest stored command line (kStoredLineSize less the terminator).
constexpr uint32_t kMaxStoredLine = 527;

// Copies one positional field at *cursor into `out` (at most `maxChars`
// characters and a terminator; `out` must hold maxChars + 1 bytes). ';' ends
// the field and stays under the cursor; ',' ends it and the spaces after it
// are skipped; ' ' ends it and the spaces after it, then one ',' and the
// spaces after that are skipped. With `lowerCase` every character is ORed
// with 0x20. Returns 0, kErrIncomplete (the text ends inside the field) or
// kErrNameTooLong (a character beyond maxChars).
Status ScanField(char** cursor, char* out, uint32_t maxChars, bool lowerCase);

// Reads the four positional fields into inName, outName, recLenSpec and
// tmpDir and composes storedCmdLine; leaves *cursor behind the fields.
// kErrCmdTooLong when the stored line would not fit the ISI header.
Status ScanFileFields(IndexDefinition* d, char** cursor);

// Moves *cursor past the option marker ('-' or ';').
Status FindOptionMarker(char** cursor);

// Scans options and key specifications from `cursor` to the end of the
// text. kUsageShown for '?' (the caller shows the usage).
Status ScanOptions(IndexDefinition* d, char* cursor);

// The checks after the option scan: the mark of an extended selection in
// the tests kept for the header, the binary record length, a text that
// names no key; then terminates and sorts the column table.
Status CheckDefinition(IndexDefinition* d);

// ScanFileFields, FindOptionMarker, ScanOptions and CheckDefinition on a
// command text that must build an index (no compaction, no i, r): the
// definition of the index an ISI header's stored line describes. `text`
// must stay as long as `d`: the terms of an extended selection point into
// it. kErrStoredLine for a text that asks for another job.
Status ParseDefinition(IndexDefinition* d, char* text);

// Sorts colTable[0..colCount) by column.
void SortColumnTable(IndexDefinition* d);

// Looks up the column-table entry of the 0-based `column`; appends an empty
// one when there is none and fewer than `limit` entries are in use.
// nullptr when the table has no room.
ColumnEntry* FindOrAddColumn(IndexDefinition* d, uint32_t column, int32_t limit);
// A column entry made by a p option may not be the 150th entry.
constexpr int32_t kSelColumnLimit = kMaxColumns - 1;

// Adds the 1-based columns first..last to the column table as key bytes.
// Returns 0, 1 (a column is already a key byte) or 2 (table full).
int AddKeyRange(IndexDefinition* d, uint32_t first, uint32_t last);

// A selection number: spaces only before it, digits with at most one '-'
// (not after the '.') and one '.', at least one digit, at most `maxChars`
// characters besides the leading spaces. Returns false when `chars` (of
// length `len`, not terminated) is no such number; else its value.
bool ReadSelNumber(const char* chars, uint32_t len, uint32_t maxChars, double* value);

// Longest literal of an extended selection term. A field may run past the
// end of a full input buffer; the look-ahead that completes it has only the
// spare room behind the buffer's data area, so a literal must fit there.
constexpr uint32_t kMaxSelLiteral = 160;
