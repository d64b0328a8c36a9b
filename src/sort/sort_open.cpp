// Opening the data of a run: the data file (or the ISI to compact) is named
// and opened, its record format detected, the output ISI and the
// duplicate-key error file are created, and the input buffer is primed.
//
// Every failure leaves its message in msgBuf (the driver prints it, or its
// own fixed text) and the files opened so far open: the driver's clean-up
// closes them. An output that was not created leaves outName empty, so that
// the clean-up never deletes somebody else's file of that name.
#include "sort/sort_open.h"

#include <unistd.h>

#include <cstring>

#include "core/data_scan.h"
#include "core/text_util.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/recover_change.h"
#include "driver/sys_io.h"
#include "options/file_names.h"
#include "sort/build_scan.h"

namespace {

constexpr uint32_t kNameRoom = 256;            // what a resolved name may reach
constexpr size_t kHeaderNameMax = 255;         // the data name kept in the ISI header
constexpr uint64_t kRecNumLimit = 1ull << 32;  // byte addressing reaches 4 GiB
constexpr char kIsiExt[] = ".ISI";
constexpr char kErrExt[] = ".ERR";

const char* const kMarkTexts[] = {
    "CR.\n\r", "CRLF.\n\r", "LF.\n\r", "LFCR.\n\r", "OS DEFAULT (LF)'.\n\r", "not defined.\n\r"};

bool IsCompaction() {
  return pCmdData->compactFlags != 0;
}

// Copies `text` into a part of `room` bytes; false when it does not fit.
bool SetPart(char* part, size_t room, const char* text) {
  size_t n = strlen(text);
  if (n >= room) return false;
  memcpy(part, text, n + 1);
  return true;
}

// Lets the data-path search fill in the directory of a name given without
// one. The directory found replaces `dir` when it fits its room.
bool SearchDataPath(const char* name, char* dir, uint16_t* foundLen) {
  CmdData* cd = pCmdData;
  char found[kNameSize] = {};
  uint32_t n = FindFile(name, found, cd->dbPath);
  if (n == 0) return true;
  if (n >= kDirSize) return false;
  found[n] = '\0';
  memcpy(dir, found, n + 1);
  if (foundLen != nullptr) *foundLen = static_cast<uint16_t>(n);
  return true;
}

// Steps 1 to 3: the data name resolved, split, given its extension and,
// when it has no directory, searched along the data path.
Status ResolveDataName() {
  CmdData* cd = pCmdData;
  if (Dpt2KelFormatUtil(cd->inName, kNameRoom, cd->nameFmtChar, 0) == 0) {
    CmdSetMsg("Unable to resolve name for source file %s", cd->inName);
    return kErrResolveSource;
  }
  if (!_splitpath(cd->inName, cd->inDrive, cd->inDir, cd->inBase, cd->inExt)) {
    return kErrNameTooLong;
  }
  size_t extLen = strlen(cd->inExt);
  if (extLen > 0 && cd->inExt[extLen - 1] == '.') {
    cd->inExt[extLen - 1] = '\0';  // a name ending in a dot has no extension
  } else if (extLen == 0) {
    SetPart(cd->inExt, kExtSize, IsCompaction() ? cd->defIsiExt : cd->defDataExt);
  }
  if (cd->dbPath != nullptr && cd->inDir[0] == '\0') {
    if (!_makepath(cd->inName, cd->inDrive, cd->inDir, cd->inBase, cd->inExt)) {
      return kErrNameTooLong;
    }
    if (!SearchDataPath(cd->inName, cd->inDir, &cd->inFoundDirLen)) return kErrNameTooLong;
  }
  if (!_makepath(cd->inName, cd->inDrive, cd->inDir, cd->inBase, cd->inExt)) {
    return kErrNameTooLong;
  }
  return kOk;
}

// The data name must fit the 255 characters the ISI header keeps.
Status CheckHeaderNameLength() {
  CmdData* cd = pCmdData;
  size_t n = strlen(cd->inBase) + strlen(cd->inExt);
  if (cd->discardPath) {
    if (n > kHeaderNameMax) {
      CmdSetMsg("Filename+Extension size limited to 255 characters with 'z' option!");
      return kErrNameLimitZ;
    }
    return kOk;
  }
  if (!cd->noDriveInHeader) n += strlen(cd->inDrive);
  n += strlen(cd->inDir);
  if (n > kHeaderNameMax) {
    CmdSetMsg("Full Path+Filename+Extension size limited to 255 characters without 'z' option!");
    return kErrNameLimit;
  }
  return kOk;
}

// The data file opened (created empty when missing and allowed).
Status OpenData() {
  CmdData* cd = pCmdData;
  snprintf(cd->scratchName, kNameSize, "%s", cd->inName);
  if (IsCompaction()) {
    if (Status r = RecoverInterruptedChange(cd->inName, kErrOpenSource); r != kOk) return r;
    cd->inFd = SysOpen(cd->scratchName, O_RDWR, 0666);
    if (cd->inFd < 0) {
      CmdSetMsg("Unable to open input ISI file for compact: %s\n", cd->inName);
      return kErrOpenSource;
    }
    return kOk;
  }
  cd->inFd = SysOpen(cd->scratchName, O_RDONLY, 0666);
  if (cd->inFd < 0 && !cd->quitIfNoData) {
    sigset_t mask;
    CmdDeferInterrupt(&mask);  // an interrupt must find the new file recorded
    cd->inFd = SysOpen(cd->scratchName, O_RDWR | O_CREAT | O_TRUNC | O_EXCL, 0666);
    if (cd->inFd >= 0) cd->dataCreated = 1;
    CmdAllowInterrupt(&mask);
  }
  if (cd->inFd < 0) {
    CmdSetMsg("Can't open source file %s", cd->inName);
    return kErrOpenSource;
  }
  if (cd->recNumMode == 0) {
    off_t size = SysLseek(cd->inFd, 0, SEEK_END);
    if (size < 0) {
      CmdSetMsg("Unable to determine file size for input file: %s", cd->inName);
      return kErrFileSize;
    }
    if (static_cast<uint64_t>(size) >= kRecNumLimit) return kErrFileTooLarge;
  }
  return kOk;
}

// How the data's records end and, for fixed-length text, how long
// they are.
Status DetectRecordFormat() {
  CmdData* cd = pCmdData;
  int32_t code = kEorBinary;
  if (!cd->binaryData || cd->binaryWithEor) {
    code = DetectEndOfRecord(cd, cd->recBuf, kRecBufData);
    if (code == -1) {
      CmdSetMsg("Unable to determine file size for input file: %s", cd->inName);
      return kErrFileSize;
    }
    if (code < 0) {
      CmdSetMsg("Invalid number of bytes read from input file: %s", cd->inName);
      return kErrReadInput;
    }
  }
  Status st = CheckRecordFormat(cd);
  if (st == kErrNoRecLen) {
    CmdSetMsg("Unable to determine record length for fixed record length file: %s", cd->inName);
  } else if (st == kErrLongRecord) {
    CmdSetMsg("A record longer than 65533 bytes was found.");
  }
  if (st != kOk) return st;
  if (cd->diagMode) {
    CmdShowf("Opened %s as input file\n", cd->inName);
    CmdShowf("Expected End of Record for data file is %s", kMarkTexts[code]);
  }
  return kOk;
}

// The output name resolved and completed from the data name.
Status ResolveOutputName() {
  CmdData* cd = pCmdData;
  if (cd->outName[0] != '\0' &&
      Dpt2KelFormatUtil(cd->outName, kNameRoom, cd->nameFmtChar, 0) == 0) {
    CmdSetMsg("Unable to resolve name for output file %s", cd->outName);
    return kErrResolveOutput;
  }
  if (!_splitpath(cd->outName, cd->outDrive, cd->outDir, cd->outBase, cd->outExt)) {
    return kErrNameTooLong;
  }
  if (cd->outBase[0] == '\0') SetPart(cd->outBase, kBaseSize, cd->inBase);
  if (cd->outExt[0] == '\0') SetPart(cd->outExt, kExtSize, IsCompaction() ? cd->inExt : kIsiExt);
  if (cd->dbPath != nullptr && cd->outDir[0] == '\0') {
    if (!_makepath(cd->outName, cd->outDrive, cd->outDir, cd->outBase, cd->outExt)) {
      return kErrNameTooLong;
    }
    char ignored[kNameSize];  // the search's finding is not kept for the output
    FindFile(cd->outName, ignored, cd->dbPath);
  }
  if (cd->outDrive[0] == '\0' && cd->outDir[0] == '\0') {  // the index lands beside the data
    SetPart(cd->outDrive, kDriveSize, cd->inDrive);
    SetPart(cd->outDir, kDirSize, cd->inDir);
  }
  return kOk;
}

// Steps 8 to 10: the output ISI created, or the input itself for an
// in-place compaction.
Status CreateOutput() {
  CmdData* cd = pCmdData;
  bool sameName = KelStrCmp(cd->outBase, cd->inBase) == 0 && KelStrCmp(cd->outExt, cd->inExt) == 0;
  if (sameName && !IsCompaction()) {
    cd->outName[0] = '\0';
    return kErrSameName;
  }
  if (sameName) {
    cd->outIsInput = 1;
    cd->outFd = cd->inFd;
  }
  if (!_makepath(cd->outName, cd->outDrive, cd->outDir, cd->outBase, cd->outExt)) {
    cd->outName[0] = '\0';
    return kErrNameTooLong;
  }
  if (!cd->outIsInput) {
    // A change interrupted in the index written over is rolled back first
    // (a build did so before it opened its data).
    if (IsCompaction()) {
      if (Status r = RecoverInterruptedChange(cd->outName, kErrCreateOutput); r != kOk) {
        cd->outName[0] = '\0';
        return r;
      }
    }
    snprintf(cd->scratchName, kNameSize, "%s", cd->outName);
    sigset_t mask;
    CmdDeferInterrupt(&mask);  // an interrupt must find the new file recorded
    cd->outFd = CreateExclusive(cd->scratchName);
    CmdAllowInterrupt(&mask);
    // The data file (or the index to compact) keeps its permission bits:
    // a failed run must not leave it writable by everyone.
    if (cd->outFd < 0) {
      CmdSetMsg("Can't create output file %s", cd->outName);
      cd->outName[0] = '\0';
      return kErrCreateOutput;
    }
  }
  if (cd->diagMode) {
    CmdShowf(
        IsCompaction() ? "Compact mode using %s as output file\n" : "Created %s as output file\n",
        cd->outName);
  }
  return kOk;
}

// The duplicate-key error file, and the first buffer of data.
Status CreateErrorFileAndPrime() {
  CmdData* cd = pCmdData;
  if (cd->errFileOn) {
    if (!_makepath(cd->errName, cd->outDrive, cd->outDir, cd->outBase, kErrExt)) {
      return kErrNameTooLong;
    }
    snprintf(cd->scratchName, kNameSize, "%s", cd->errName);
    cd->errFd = SysOpen(cd->scratchName, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (cd->errFd < 0) {
      CmdSetMsg("Can't create output file %s", cd->errName);
      return kErrCreateOutput;
    }
    if (cd->diagMode) CmdShowf("Created %s as error file\n", cd->errName);
  }
  cd->readPos = 0;
  if (fillInputBuffer() < 0) {
    CmdSetMsg("Invalid number of bytes read from input file: %s", cd->inName);
    return kErrReadInput;
  }
  return kOk;
}

// A build over an index whose change a crash interrupted rolls the change
// back before it opens the data file, which the change may have grown or
// written over: the build then indexes the records as they were, and the
// journal is never replayed over the new index.
Status RecoverBesideOutput() {
  CmdData* cd = pCmdData;
  char name[kNameSize];
  if (!_makepath(name, cd->outDrive, cd->outDir, cd->outBase, cd->outExt)) return kOk;
  Status s = RecoverInterruptedChange(name, kErrCreateOutput);
  if (s != kOk) cd->outName[0] = '\0';
  return s;
}

}  // namespace

Status sortOpen() {
  Status s = ResolveDataName();
  if (s == kOk && !IsCompaction()) s = CheckHeaderNameLength();
  if (s == kOk && !IsCompaction()) s = ResolveOutputName();
  if (s == kOk && !IsCompaction()) s = RecoverBesideOutput();
  if (s == kOk) s = OpenData();
  if (s == kOk && !IsCompaction()) s = DetectRecordFormat();
  if (s == kOk && IsCompaction()) s = ResolveOutputName();
  if (s == kOk) s = CreateOutput();
  if (s == kOk && !IsCompaction()) s = CreateErrorFileAndPrime();
  return s;
}
