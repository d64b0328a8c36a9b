// Fuzz target: the command text. Arbitrary text goes through the parser's
// steps as parseMain takes them (named settings, file fields, work files,
// options, key specifications, p expressions, the checks after the scan),
// with the work files always made in the target's own directory, whatever
// work directory the text names. Nothing is opened beyond the work files,
// so no name an input makes up is ever created or truncated.
//
// Checked: no read or write outside a buffer (the sanitizers), the bounded
// fields stay terminated and within their limits, and the run leaves no
// descriptor and no file behind.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver/cmd_data.h"
#include "fuzz_util.h"
#include "options/parse_steps.h"

namespace {

Status ParseLikeParseMain(char* text) {
  CmdData* cd = pCmdData;
  Status st = ReadNamedSettings();
  if (st != kOk) return st;
  char* cursor = text;
  st = ScanRunFileFields(&cursor);
  if (st != kOk) return st;
  snprintf(cd->tmpDir, sizeof cd->tmpDir, "%s", fz::WorkDir().c_str());
  st = CreateWorkFiles();
  if (st != kOk) return st;
  st = FindOptionMarker(&cursor);
  if (st != kOk) return st;
  st = ScanRunOptions(cursor);
  if (st != kOk) return st;
  return CheckAfterScan();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kParseLineSize - 1) return 0;  // the driver refuses a longer text
  fz::LeakGuard guard;
  fz::StartRun();
  CmdData* cd = pCmdData;
  memcpy(cd->parseLine, data, size);
  cd->parseLine[size] = '\0';
  Status st = ParseLikeParseMain(cd->parseLine);
  FZ_CHECK(st <= 0);
  FZ_CHECK(memchr(cd->storedCmdLine, '\0', sizeof cd->storedCmdLine) != nullptr);
  FZ_CHECK(memchr(cd->inName, '\0', sizeof cd->inName) != nullptr);
  FZ_CHECK(memchr(cd->outName, '\0', sizeof cd->outName) != nullptr);
  FZ_CHECK(memchr(cd->msgBuf, '\0', sizeof cd->msgBuf) != nullptr);
  if (st == kOk) {
    FZ_CHECK(cd->keySpecLen <= 150);
    FZ_CHECK(cd->colCount >= 0 && cd->colCount <= static_cast<int32_t>(kMaxColumns));
    FZ_CHECK(cd->primarySelCount >= 0 && cd->primarySelCount <= 10);
    FZ_CHECK(cd->maxFillPct <= 100);
  }
  fz::EndRun();
  return 0;
}
