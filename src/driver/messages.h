// Messages: the output routines, the usage text, the run-time count formats
// and the texts the driver prints for a failure code.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdint>

#include "core/status.h"

extern char gFormat[104];
extern const char* const gLongLongFormat;  // "ll"
extern const char* const operCancel;       // "The operation was canceled by the user!\n"
// An ISI whose header or tree cannot be trusted; shown as "%s %s." with the
// ISI's name by compaction, index information and reindex alike.
extern const char* const kDamagedIsiText;  // "Damaged ISI structure found in file named: "

// Writes `text` as it is to msgOut (when set) and flushes it.
void CmdOutInfoString(const char* text);
// A progress line: shown only when progressOn; returns non-zero to cancel.
uint8_t CmdOutInfoStringCan(const char* text);
// Hook through which every message also reaches an embedding host.
uint8_t CmdInfoCallback(const char* text);
// Writes the usage text.
void CmdHelp();
// kelindex --help: every command form, the leading options, the usage
// text's options and key specifications, and the version; kelindex
// --version: the version alone.
void ShowConventionalHelp(FILE* out);
void ShowVersion(FILE* out);

// Formats into msgBuf (bounded, cut to fit) and shows it.
void CmdShowf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void CmdVShowf(const char* format, va_list ap) __attribute__((format(printf, 1, 0)));
// Formats into msgBuf (bounded, cut to fit) without showing it.
void CmdSetMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Builds gFormat from a template holding "%%" and one "%s" per 64-bit
// modifier: "%%%su" becomes "%llu". Returns gFormat.
const char* CmdBuildFormat(const char* templ);

// Prints the message group of a failed index build.
void CmdReportIndexFailure(Status code);
// Prints the message group of a failed compaction.
void CmdReportCompactFailure(Status code);
