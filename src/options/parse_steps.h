// The program's steps of parsing a command text around the reading of the
// definition (definition_parse.h), one routine per step, so that each can
// be driven on its own: the named settings, the work files, the checks
// after the option scan with what -d shows of them, and the settlement of
// the record length after the data file was opened.
#pragma once

#include <cstdint>

#include "core/definition_parse.h"
#include "core/status.h"

// Longest work-file directory: it and "/dsortXXXXXX" must fit kTmpDirSize.
constexpr uint32_t kMaxTmpDirLen = 247;

// Reads the data path, the file-name case setting and the terminal
// definition file. Returns 0 or kErrMemory.
Status ReadNamedSettings();
void ReadTerminalDefinition();

// The positional fields of the run's text (ScanFileFields), with the
// message of a line too long to store.
Status ScanRunFileFields(char** cursor);

// Creates the two work files in tmpDir, TMPDIR or /tmp.
Status CreateWorkFiles();

// The option scan of the run's text (ScanOptions); the usage text for '?'.
Status ScanRunOptions(char* cursor);

// The checks after the option scan: QRX_NOPATH, then CheckDefinition, then
// the column table shown with -d.
Status CheckAfterScan();

// Shows the column table (-d).
void ShowColumnTable();

// Settles the record length once the data file is open (recLenSpec gains
// the end-of-record bytes) and checks a binary file's size against it.
Status SettleRunRecordLength();

// "Indexing %s into %s\n" or "Compacting %s into %s\n".
void ShowJobLine();

// Formats like CmdShowf but without the 300-byte cut: for lines that carry
// whole file names or command lines. The text is not kept in msgBuf.
void ShowLongLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
