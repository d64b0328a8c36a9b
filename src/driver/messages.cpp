// Messages: the output routines, the usage text, the run-time count formats
// and the texts the driver prints for a failure code.
#include "driver/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "kel_version.h"

char gFormat[104];
const char* const gLongLongFormat = "ll";
const char* const operCancel = "The operation was canceled by the user!\n";
const char* const kDamagedIsiText = "Damaged ISI structure found in file named: ";

namespace {

void WriteOut(const char* text) {
  if (pCmdData == nullptr || pCmdData->msgOut == nullptr) return;
  fputs(text, pCmdData->msgOut);
  fflush(pCmdData->msgOut);
}

// The file a failed job was writing: a work file or the output ISI.
const char* FailingFileName() {
  CmdData* cd = pCmdData;
  if (cd->tmpFd1 >= 0 && cd->failFd == cd->tmpFd1 && cd->tmpName1 != nullptr) return cd->tmpName1;
  if (cd->tmpFd2 >= 0 && cd->failFd == cd->tmpFd2 && cd->tmpName2 != nullptr) return cd->tmpName2;
  return cd->outName;
}

// Lines shared by both job groups; returns false for a code they do not know.
bool ReportCommonJobFailure(Status code) {
  CmdData* cd = pCmdData;
  switch (code) {
    case kErrTempRead:
      CmdShowf("WARNING!  %s failed reading temporary work file.\n", cd->cmdName);
      return true;
    case kErrInputRead:
      CmdShowf("WARNING!  %s failed reading input file %s.\n", cd->cmdName, cd->inName);
      return true;
    default:
      return false;
  }
}

void ReportWriteFailure() {
  CmdShowf("WARNING!  %s failed writing to file %s.\n", pCmdData->cmdName, FailingFileName());
}

}  // namespace

void CmdOutInfoString(const char* text) {
  WriteOut(text);
  CmdInfoCallback(text);
}

uint8_t CmdOutInfoStringCan(const char* text) {
  if (pCmdData != nullptr && pCmdData->progressOn) WriteOut(text);
  return CmdInfoCallback(text);
}

uint8_t CmdInfoCallback(const char*) {
  return 0;
}

namespace {

// The fields of the command text, the options and the key specifications,
// with examples: the part of the usage text after its two command forms.
void ShowOptions(FILE* out) {
  static const char* const kPieces[] = {
      "\n  data - Data file spec              ",
      "    isi  - Index file spec",
      "\n  Lnnn - Record size for NULL file/Max record size for variable length records",
      "\n         (65533 Max)",
      "\n  tmppath - Location of temporary work files",
      "\nopts:\n",
      "  b = Treat space comp as binary char  ",
      "  c[={n}] = Compact ISI file\n",
      "  d = Allow duplicate keys             ",
      "  e = Error file of duplicate keys\n",
      "  f={nn} = Binary data & no EOR        ",
      "  g={nn} = Binary data with EOR\n",
      "  i = Display file index info          ",
      "  m{nn} = Max sector fill percent\n",
      "  n = Don't allow duplicate keys       ",
      "  n0= Duplicate keys ignored for NODUP\n",
      "  n$= Quietly ignore duplicate keys    ",
      "  o[={n}] = Set ISI OS type\n",
      "  p{nnn}{=|#}{c} = Primary record      ",
      "  q = Quit if unable to OPEN data file\n",
      "  r = Reindex file using index info    ",
      "  s = Allow space compression\n",
      "  u = Convert lower case to upper case ",
      "  v = Allow variable length records\n",
      "  w = Write all records at End Of File ",
      "  x = Disable record count\n",
      "  y = Don't put Drive in ISI header    ",
      "  z = Discard Path in ISI header\n",
      "  keyspecs: 1-10,21-30,15-20,...etc;  Up to 150 bytes can be used",
  };
  for (const char* piece : kPieces) fputs(piece, out);
  fprintf(out, "\nExamples: %s test,test,l100 -un,p11=A,1-10,20,30-40\n", utlname);
  fprintf(out, "          %s test.dat,test.is2 -11-20,1-5,7-8,21-30\n", utlname);
}

}  // namespace

void CmdHelp() {
  if (pCmdData == nullptr || pCmdData->msgOut == nullptr) return;
  FILE* out = pCmdData->msgOut;
  fprintf(out, "\n%s [-l{log}] {data}[,{isi}[,{Lnnn}[,{tmppath}]]] -[{opts}]{keyspecs}", utlname);
  fprintf(out, "\n%s isi -[i|r]", utlname);
  ShowOptions(out);
  fflush(out);
}

void ShowConventionalHelp(FILE* out) {
  fprintf(out,
          "usage: %1$s [-l{log}|-q{log}] [-0|-1] [-d] [-i{ini}] [-m{bytes}] [-t{trains}]\n"
          "            {data}[,{isi}[,{Lnnn}[,{tmppath}]]] -[{opts}]{keyspecs}\n"
          "       %1$s isi -i                 show the command line stored in an index\n"
          "       %1$s isi -r[0]              rebuild an index from its stored command line\n"
          "       %1$s isi[,new] -c[=0|=1]    compact an index in place or into a new file\n"
          "       %1$s -? | --help | --version\n"
          "\n%2$s\n"
          "Leading options, before the data file:\n"
          "  -l{log}     every message to the file log, created anew\n"
          "  -q{log}     every message appended to the file log\n"
          "  -0 | -1     the in-memory sort: Shell sort (the default) or quicksort\n"
          "  -d          diagnostics; the work files are kept\n"
          "  -i{ini}     an INI profile whose [environment] section overrides the environment\n"
          "  -m{bytes}   the sort memory (1048576 without -m)\n"
          "  -t{trains}  the sort trains allowed, 1 to 16383 (20000 without -t)\n"
          "  -?          the banner and the options below (exit status 1)",
          utlname, kProgramSummary);
  ShowOptions(out);
  ShowVersion(out);
}

void ShowVersion(FILE* out) {
  fprintf(out, "%s %s\n", utlname, KEL_VERSION);
}

void CmdSetMsg(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(pCmdData->msgBuf, kMsgBufSize, format, ap);
  va_end(ap);
}

void CmdVShowf(const char* format, va_list ap) {
  vsnprintf(pCmdData->msgBuf, kMsgBufSize, format, ap);
  CmdOutInfoString(pCmdData->msgBuf);
}

void CmdShowf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  CmdVShowf(format, ap);
  va_end(ap);
}

const char* CmdBuildFormat(const char* templ) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(gFormat, sizeof gFormat, templ, gLongLongFormat, gLongLongFormat);
#pragma GCC diagnostic pop
  return gFormat;
}

void CmdReportIndexFailure(Status code) {
  CmdData* cd = pCmdData;
  if (ReportCommonJobFailure(code)) return;
  switch (code) {
    case kErrBinaryEor:
      ReportCommonJobFailure(kErrInputRead);
      CmdShowf("Invalid EOR found for record starting at byte offset: %lld.\n",
               static_cast<long long>(cd->recStartPos));
      return;
    case kErrRecSize:
    case kErrRecSizeMax:
      CmdShowf("WARNING!  %s record size invalid for %s.\n", cd->cmdName, cd->inName);
      CmdShowf(code == kErrRecSize
                   ? "\bRecord length found was %i and specified record length was %i.\n"
                   : "\bRecord length found was %i and maximum record length was %i.\n",
               static_cast<int>(cd->recLenFound), static_cast<int>(cd->recLenSpec - cd->eorLen));
      return;
    case kErrLongRecord:
      CmdOutInfoString("A record longer than 65533 bytes was found.");
      return;
    case kErrMemory:
      return;
    case kErrTreeLevels: {
      uint64_t limit = 1;
      for (int i = 0; i < kMaxTreeLevels; ++i) limit *= cd->keysPerNode + 1ull;
      CmdBuildFormat(
          "\nError! Tree level limit (%%d) can only support %%%su records for this ISI file! ");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
      snprintf(cd->msgBuf, kMsgBufSize, gFormat, kMaxTreeLevels,
               static_cast<unsigned long long>(limit - 1));
#pragma GCC diagnostic pop
      CmdOutInfoString(cd->msgBuf);
      return;
    }
    default:
      ReportWriteFailure();
  }
}

void CmdReportCompactFailure(Status code) {
  CmdData* cd = pCmdData;
  if (ReportCommonJobFailure(code)) return;
  switch (code) {
    case kErrIsiWrite:
      CmdShowf("WARNING!  %s failed writing output data!\n", cd->cmdName);
      return;
    case kErrNotIsi:
      CmdShowf("%sstructure for file: %s.\n", "Not a valid .isi file ", cd->inName);
      return;
    case kErrIsiVersion:
      CmdShowf("%s %s.\n", "Invalid ISI version to compact file named: ", cd->inName);
      return;
    case kErrDdrCount:
      CmdShowf("%s %s.\n", "Invalid ISI Deleted Record count for file named: ", cd->inName);
      return;
    case kErrStoredLine:
      CmdShowf("%s %s.\n",
               "Invalid input ISI command line format found in file named: ", cd->inName);
      return;
    case kErrOwnLine:
      CmdShowf("%s\n", "Invalid input compact option command line (Internal)!");
      return;
    case kErrNewLineTooLong:
      CmdShowf("%s\n", "New compact command line too long to store in ISI header!");
      return;
    case kErrInPlace:
      CmdOutInfoString("Unable to execute in place ISI compact operation!\n");
      return;
    case kErrLockShared:
      CmdOutInfoString("Unable to execute ISI compact operation with locking!\n");
      return;
    case kErrLockExclusive:
      CmdOutInfoString("Unable to execute ISI compact operation!\n");
      return;
    case kErrCorruptIsi:
      CmdShowf("%s %s.\n", kDamagedIsiText, cd->inName);
      return;
    default:
      ReportWriteFailure();
  }
}
