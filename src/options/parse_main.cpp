// parseMain: a command text from its first character to the hand-over to
// the job. The text is parsed into the run context (named settings, file
// fields, work files, options, key specifications, the column table); then
// an index build or compaction goes on to open its files, while index
// information and reindex go to the command line stored in the ISI.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/text_util.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/profile.h"
#include "driver/sys_io.h"
#include "options/parse_steps.h"
#include "options/parser.h"
#include "options/stored_cmd_line.h"
#include "sort/sort_open.h"

Status parseMain(char* text) {
  Status st = ParseCommandText(text);
  if (st != kOk) return st;
  return HandOverParsedCommand();
}

Status ParseCommandText(char* text) {
  CmdData* cd = pCmdData;
  if (cd->diagMode) ShowLongLine("Command line is:%s\n", text);
  Status st = ReadNamedSettings();
  if (st != kOk) return st;
  char* cursor = text;
  st = ScanRunFileFields(&cursor);
  if (st != kOk) return st;
  st = CreateWorkFiles();
  if (st != kOk) return st;
  st = FindOptionMarker(&cursor);
  if (st != kOk) return st;
  st = ScanRunOptions(cursor);
  if (st != kOk) return st;
  return CheckAfterScan();
}

Status ScanRunFileFields(char** cursor) {
  Status st = ScanFileFields(pCmdData, cursor);
  if (st == kErrCmdTooLong) {
    CmdSetMsg("The command line is too long to store in the ISI header (at most 527 characters).");
  }
  return st;
}

Status ScanRunOptions(char* cursor) {
  Status st = ScanOptions(pCmdData, cursor);
  if (st == kUsageShown) CmdHelp();
  return st;
}

Status CheckAfterScan() {
  CmdData* cd = pCmdData;
  if (const char* noPath = CmdGetEnv("QRX_NOPATH")) {
    if (cd->diagMode) ShowLongLine("'QRX_NOPATH=%s'\n", noPath);
    if (SameTextIgnoringCase(noPath, "ON")) cd->discardPath = 1;
  }
  Status st = CheckDefinition(cd);
  if (st == kOk && cd->diagMode) ShowColumnTable();
  return st;
}

void ShowColumnTable() {
  CmdData* cd = pCmdData;
  static const struct {
    uint16_t flag;
    const char* text;
  } kFlagTexts[] = {{kColKey, "  Key;"},          {kColNotEqual, "  != match;"},
                    {kColEqual, "  = match;"},    {kColExtended, "  extended;"},
                    {kColUpper, "  Upper Case;"}, {kColDescending, "  Descending;"}};
  CmdOutInfoString("  Col   Pos Char  Other\n");
  for (int32_t i = 0; i < cd->colCount; ++i) {
    const ColumnEntry& e = cd->colTable[i];
    char* line = cd->msgBuf;  // diagnostic lines are formatted in the message buffer
    const size_t room = kMsgBufSize;
    int pos = (e.flags & kColKey) ? e.keyPos + 1 : 0;
    size_t n = static_cast<size_t>(snprintf(line, room, "%5d %5d", e.column + 1, pos));
    if (e.matchChar != 0) {
      n += static_cast<size_t>(snprintf(line + n, room - n, "  '%c'", e.matchChar));
    } else {
      n += static_cast<size_t>(snprintf(line + n, room - n, "     "));
    }
    for (const auto& f : kFlagTexts) {
      if (e.flags & f.flag) n += static_cast<size_t>(snprintf(line + n, room - n, "%s", f.text));
    }
    snprintf(line + n, room - n, "\n");
    CmdOutInfoString(line);
  }
}

Status HandOverParsedCommand() {
  CmdData* cd = pCmdData;
  Status st;
  if (cd->compactFlags != 0) {
    st = sortOpen();
    if (st != kOk) return st;
    ShowJobLine();
    return kOk;
  }
  if (cd->showIndexInfo || cd->reindex) {
    st = WriteCmdLine();
    if (st != kOk) return st;
    return cd->showIndexInfo ? kJobDone : kOk;
  }
  st = sortOpen();
  if (st != kOk) return st;
  st = SettleRunRecordLength();
  if (st != kOk) return st;
  ShowJobLine();
  return kOk;
}

Status SettleRunRecordLength() {
  CmdData* cd = pCmdData;
  Status st = SettleRecordLength(cd);
  if (st == kErrFileSize) CmdSetMsg("Unable to determine file size for input file: %s", cd->inName);
  return st;
}

void ShowLongLine(const char* format, ...) {
  // Room for two whole file names or a whole command text and the words
  // around them.
  char line[1200];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  CmdOutInfoString(line);
}

void ShowJobLine() {
  CmdData* cd = pCmdData;
  ShowLongLine(cd->compactFlags != 0 ? "Compacting %s into %s\n" : "Indexing %s into %s\n",
               cd->inName, cd->outName);
}
