// The run driver: one command from the raw argument vector to the status
// that main turns into the exit status. It sets up the run context, the log
// and the banner, takes the leading options, hands the command text to the
// parser and runs exactly one job: an index build or a compaction.
#include "driver/driver.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/leading_options.h"
#include "driver/messages.h"
#include "driver/run_steps.h"
#include "kel_version.h"
#include "options/parser.h"

const char* const VERSION = KEL_BANNER_VERSION;
const char* const utlname = "kelindex";
const char* const kProgramSummary = "Builds, shows, rebuilds and compacts ISI index files.";

namespace {

constexpr const char* kNoticeHelp = "-? shows the options.";

// Zero-fills the run context and applies the defaults. SIGINT is held off
// meanwhile: a zero-filled record has descriptor fields of 0, which the
// interrupt handler would take for open files.
void ResetRunContext(FILE* out) {
  sigset_t hold, previous;
  sigemptyset(&hold);
  sigaddset(&hold, SIGINT);
  sigprocmask(SIG_BLOCK, &hold, &previous);
  memset(static_cast<void*>(pCmdData), 0, sizeof(CmdData));
  CmdSetDefaults();
  pCmdData->msgOut = out;
  pCmdData->logOwned = 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// The end of a run that stops before any job: buffers and log released.
Status EndEarly(Status status) {
  CmdFreeBuffers();
  CmdCloseLog();
  return status;
}

// The parser finished the run itself (-20) or showed the usage text (-12).
Status EndAfterParserJob(Status status) {
  CmdCloseAllFiles(0);
  CmdCloseLog();
  CmdFreeBuffers();
  return status;
}

void ShowIniChoice() {
  CmdData* cd = pCmdData;
  if (cd->iniName[0] != '\0') {
    CmdShowf("Using INI file: '%s'\n", cd->iniName);
  } else {
    CmdOutInfoString("INI file NOT USED!\n");
  }
}

}  // namespace

void ShowBanner(int argc, char** argv) {
  CmdData* cd = pCmdData;
  FILE* out = cd->msgOut;
  if (out == nullptr) return;
  // Unbuffered before the first write, so that every message is on the
  // device when its call returns, also when the run is interrupted later.
  setvbuf(out, nullptr, _IONBF, 0);
  if (!isatty(fileno(out))) {
    // A file or pipe gets no progress lines, and starts with the command.
    cd->progressOn = 0;
    for (int i = 0; i < argc; ++i) fprintf(out, "%s ", argv[i]);
    fputs("\n", out);
  }
  fprintf(out, "\nKELVANE %s COMMAND   %s", cd->cmdName, VERSION);
  fprintf(out, "\n%s", kProgramSummary);
  fprintf(out, "\n%s\n", kNoticeHelp);
  fflush(out);
}

// The parser reads the command from a buffer of 576 characters. A longer
// command is refused as a whole rather than cut: a cut command could name
// other files or other key columns than the user wrote.
Status JoinCommandText(int argc, char** argv, int index) {
  CmdData* cd = pCmdData;
  size_t used = 0;
  cd->parseLine[0] = '\0';
  for (int i = index; i < argc; ++i) {
    size_t len = strlen(argv[i]);
    size_t gap = i > index ? 1 : 0;
    if (used + gap + len > kMaxCommandText) {
      cd->parseLine[0] = '\0';
      CmdSetMsg("The command line is too long (at most %u characters).", kMaxCommandText);
      return kErrCmdTooLong;
    }
    if (gap != 0) cd->parseLine[used++] = ' ';
    memcpy(cd->parseLine + used, argv[i], len);
    used += len;
    cd->parseLine[used] = '\0';
  }
  return kOk;
}

Status EndAfterParseFailure(Status code) {
  const char* text = ParseErrorText(code);
  CmdOutInfoString(text != nullptr ? text : pCmdData->msgBuf);
  CmdOutInfoString("\n");
  CmdCloseAllFiles(1);
  CmdFreeBuffers();
  return code;
}

Status FhSortIndex(int argc, char** argv, FILE* out) {
  if (pCmdData == nullptr) {
    // An embedding host without a run context of its own; FhCmdCleanup
    // releases this one.
    pCmdData = static_cast<CmdData*>(CmdMalloc(sizeof(CmdData)));
    if (pCmdData == nullptr) return kErrMemory;
  }
  ResetRunContext(out);
  CmdData* cd = pCmdData;

  int index = TakeLogOption(argc, argv);
  ShowBanner(argc, argv);
  if (argc < 2) {
    CmdHelp();
    return EndEarly(kUsageShown);
  }
  if (index < 0) {
    CmdOutInfoString("One of the filenames is too long.\n");
    return EndEarly(kErrNameTooLong);
  }

  cd->startTime = time(nullptr);
  cd->recStartPos = 0;
  cd->readPos = 0;
  cd->sortMethod = 0;
  if (AllocRunBuffers() != kOk) return EndEarly(kErrMemory);

  Status status = TakeLeadingOptions(argc, argv, &index);
  if (status != kOk) return EndEarly(status);
  status = JoinCommandText(argc, argv, index);
  if (status != kOk) return EndAfterParseFailure(status);
  if (cd->diagMode) ShowIniChoice();

  status = parseMain(cd->parseLine);
  if (status == kJobDone) return EndAfterParserJob(0);
  if (status == kUsageShown) return EndAfterParserJob(1);
  if (status != kOk) return EndAfterParseFailure(status);

  status = AllocSortStructures();
  if (status != kOk) return status;
  status = cd->compactFlags != 0 ? RunCompaction() : RunIndexBuild();
  status = CloseJobFiles(status);
  CmdFreeBuffers();
  status = SettleRunOutputs(status);
  if (status == kOk) ReportRunTimes(cd->startTime, time(nullptr));
  CmdCloseLog();
  return status;
}

int KelindexMain(int argc, char** argv) {
  // The conventions of other programs, for these two arguments alone: the
  // usage and the version on standard output, status 0.
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "--version") == 0)) {
    if (argv[1][2] == 'h') {
      ShowConventionalHelp(stdout);
    } else {
      ShowVersion(stdout);
    }
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
  }
  pCmdData = &gCmdData;
  CmdInstallInterruptHandler();
  return FhSortIndex(argc, argv, stdout) == 0 ? 0 : 1;
}
