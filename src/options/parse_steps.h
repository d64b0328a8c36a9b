// The steps of parsing a command text, one routine per step, so that each
// can be driven on its own: the named settings, the positional fields, the
// work files, the option scan, the checks after it, the column table and the
// settlement of the record length after the data file was opened.
#pragma once

#include <cstdint>

#include "driver/status.h"
#include "options/option_tables.h"

// Longest positional file field (data, ISI, work directory) and the longest
// record-length field, in characters.
constexpr uint32_t kMaxFileField = 249;
constexpr uint32_t kMaxRecLenField = 254;
// Longest work-file directory: it and "/dsortXXXXXX" must fit kTmpDirSize.
constexpr uint32_t kMaxTmpDirLen = 247;
// Longest stored command line (kStoredLineSize less the terminator).
constexpr uint32_t kMaxStoredLine = 527;

// Internal result of an option handler: the option scan ends here and the
// rest of the text is ignored. Never leaves the option scan.
constexpr Status kScanEnds = 1;

// Reads the data path, the file-name case setting and the terminal
// definition file. Returns 0 or kErrMemory.
Status ReadNamedSettings();
void ReadTerminalDefinition();

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
Status ScanFileFields(char** cursor);

// Creates the two work files in tmpDir, TMPDIR or /tmp.
Status CreateWorkFiles();

// Moves *cursor past the option marker ('-' or ';').
Status FindOptionMarker(char** cursor);

// Scans options and key specifications from `cursor` to the end of the text.
Status ScanOptions(char* cursor);

// The checks after the option scan; terminates and sorts the column table.
Status CheckAfterScan();

// Sorts colTable[0..colCount) by column and shows it with -d.
void SortColumnTable();
void ShowColumnTable();

// Looks up the column-table entry of the 0-based `column`; appends an empty
// one when there is none and fewer than `limit` entries are in use.
// nullptr when the table has no room.
ColumnEntry* FindOrAddColumn(uint32_t column, int32_t limit);
// A column entry made by a p option may not be the 150th entry.
constexpr int32_t kSelColumnLimit = kMaxColumns - 1;

// Settles the record length once the data file is open (recLenSpec gains
// the end-of-record bytes) and checks a binary file's size against it.
Status SettleRecordLength();

// "Indexing %s into %s\n" or "Compacting %s into %s\n".
void ShowJobLine();

// Formats like CmdShowf but without the 300-byte cut: for lines that carry
// whole file names or command lines. The text is not kept in msgBuf.
void ShowLongLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A selection number: spaces only before it, digits with at most one '-'
// (not after the '.') and one '.', at least one digit, at most `maxChars`
// characters besides the leading spaces. Returns false when `chars` (of
// length `len`, not terminated) is no such number; else its value.
bool ReadSelNumber(const char* chars, uint32_t len, uint32_t maxChars, double* value);

// Longest literal of an extended selection term. A field may run past the
// end of a full input buffer; the look-ahead that completes it has only the
// spare room behind the buffer's data area, so a literal must fit there.
constexpr uint32_t kMaxSelLiteral = 160;
