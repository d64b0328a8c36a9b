// parseMain: a command text from its first character to the hand-over to
// the job. The text is parsed into the run context (named settings, file
// fields, work files, options, key specifications, the column table); then
// an index build or compaction goes on to open its files, while index
// information and reindex go to the command line stored in the ISI.
#include <cstring>

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
  st = ScanFileFields(&cursor);
  if (st != kOk) return st;
  st = CreateWorkFiles();
  if (st != kOk) return st;
  st = FindOptionMarker(&cursor);
  if (st != kOk) return st;
  st = ScanOptions(cursor);
  if (st != kOk) return st;
  return CheckAfterScan();
}

Status CheckAfterScan() {
  CmdData* cd = pCmdData;
  if (const char* noPath = CmdGetEnv("QRX_NOPATH")) {
    if (cd->diagMode) ShowLongLine("'QRX_NOPATH=%s'\n", noPath);
    if (SameTextIgnoringCase(noPath, "ON")) cd->discardPath = 1;
  }
  // The ISI header marks an extended selection in the last byte of the tests.
  if (cd->primarySelForm == 'P')
    cd->primarySelTable[kMaxPrimaryTests - 1].matchChar = kSelExtendedMark;
  if (cd->binaryData) {
    if (cd->allowVarLen) return kErrConflictFsv;
    if (cd->recLenSpec == 0) return kErrNeedRecLen;
    cd->recLenFound = cd->recLenSpec;
  }
  if (cd->colCount == 0 && !cd->showIndexInfo && !cd->reindex && cd->compactFlags == 0) {
    return kErrIncomplete;
  }
  cd->colTable[cd->colCount] = ColumnEntry{};
  cd->colTable[cd->colCount].keyPos = kColEnd;
  SortColumnTable();
  if (cd->diagMode) ShowColumnTable();
  return kOk;
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
  st = SettleRecordLength();
  if (st != kOk) return st;
  ShowJobLine();
  return kOk;
}

Status SettleRecordLength() {
  CmdData* cd = pCmdData;
  if (cd->recLenSpec != 0) {
    cd->recLenSpec += cd->eorLen;  // the end-of-record bytes the data file showed
    if (cd->binaryWithEor) {
      cd->recLenFound = cd->recLenSpec;
      cd->eorLen = 0;
    }
  }
  if (cd->recLenFound == 0) cd->recLenFound = cd->recLenSpec;
  if (!cd->binaryData) return kOk;
  if (cd->recLenSpec == 0) return kErrNeedRecLen;
  off_t size = SysLseek(cd->inFd, 0, SEEK_END);
  if (size < 0) {
    CmdSetMsg("Unable to determine file size for input file: %s", cd->inName);
    return kErrFileSize;
  }
  return static_cast<uint64_t>(size) % cd->recLenSpec != 0 ? kErrRecSizeFileLen : kOk;
}

void ShowJobLine() {
  CmdData* cd = pCmdData;
  ShowLongLine(cd->compactFlags != 0 ? "Compacting %s into %s\n" : "Indexing %s into %s\n",
               cd->inName, cd->outName);
}
