// The program's parser and record scanner, set up from a stored command
// line on a run context of their own, reading a data file read-only.
//
// The parse takes the steps of a build's parse that read the command text
// (the file fields, the option marker, the options and key specifications,
// the checks after them) and leaves out the named settings and the work
// files. Opening the data follows a build's opening of its input up to the
// first buffer of data, without creating the output or error files. The
// deleted-record list is switched off as it is under option w, so that the
// scanner never writes a DDR sector; deleted records are still counted.
#include "kelisi_cli/stored_scan.h"

#include <fcntl.h>

#include <cstring>
#include <new>

#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/messages.h"
#include "driver/run_steps.h"
#include "driver/sys_io.h"
#include "options/parse_steps.h"
#include "sort/build_scan.h"
#include "sort/scanner.h"
#include "sort/sort_item.h"
#include "sort/sort_open.h"

namespace kelisi_cli {

// Points pCmdData at the scan's run context for the life of one call.
class StoredScan::Current {
 public:
  explicit Current(CmdData* cd) : previous_(pCmdData) { pCmdData = cd; }
  ~Current() { pCmdData = previous_; }
  Current(const Current&) = delete;
  Current& operator=(const Current&) = delete;

 private:
  CmdData* previous_;
};

namespace {

constexpr uint64_t kByteAddressLimit = 1ull << 32;

// The text kelindex prints for a parser or opening failure.
std::string FailureText(Status code) {
  if (code == kUsageShown) return "it asks for the usage text";
  const char* text = ParseErrorText(code);
  std::string s = text != nullptr ? text : pCmdData->msgBuf;
  // kelindex's advice to look at its usage text is no help here.
  size_t advice = s.find("  Use -? option");
  if (advice != std::string::npos) s.erase(advice);
  while (!s.empty() && (s.back() == '\n' || s.back() == '.' || s.back() == ' ')) s.pop_back();
  if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z' && (s.size() < 2 || s[1] < 'A' || s[1] > 'Z')) {
    s[0] = static_cast<char>(s[0] - 'A' + 'a');
  }
  return s;
}

}  // namespace

StoredScan::StoredScan() : cd_(new (std::nothrow) CmdData()) {
  if (cd_ == nullptr) return;
  Current current(cd_);
  CmdSetDefaults();
  cd_->msgOut = nullptr;  // the scan speaks through its results only
  cd_->progressOn = 0;
  cd_->showRecCount = 0;
}

StoredScan::~StoredScan() {
  if (cd_ == nullptr) return;
  {
    Current current(cd_);
    if (cd_->inFd >= 0) SysClose(cd_->inFd);
    cd_->inFd = -1;
    CmdFreeBuffers();
  }
  delete cd_;
}

bool StoredScan::Parse(const char* storedLine, std::string* why) {
  if (cd_ == nullptr) {
    *why = "out of memory";
    return false;
  }
  Current current(cd_);
  if (AllocRunBuffers() != kOk) {
    *why = "out of memory";
    return false;
  }
  if (strlen(storedLine) > kMaxStoredLine) {
    *why = "it is longer than kelindex stores";
    return false;
  }
  // The text stays in parseLine for the life of the scan: the terms of an
  // extended selection point into it.
  strcpy(cd_->parseLine, storedLine);
  char* cursor = cd_->parseLine;
  Status st = ScanFileFields(cd_, &cursor);
  if (st == kOk) st = FindOptionMarker(&cursor);
  if (st == kOk) st = ScanOptions(cd_, cursor);
  if (st == kOk) st = CheckDefinition(cd_);
  if (st != kOk) {
    *why = FailureText(st);
    return false;
  }
  if (cd_->compactFlags != 0 || cd_->showIndexInfo || cd_->reindex) {
    *why = "it is not a command that builds an index";
    return false;
  }
  cd_->keyLen = cd_->keySpecLen;
  cd_->itemLen = cd_->keyLen + kItemKeyOfs;
  return true;
}

bool StoredScan::Open(const char* dataPath, std::string* why) {
  Current current(cd_);
  CmdData* cd = cd_;
  snprintf(cd->inName, kNameSize, "%s", dataPath);
  cd->inFd = SysOpen(dataPath, O_RDONLY);
  if (cd->inFd < 0) {
    *why = std::string("cannot open the data file ") + dataPath + ": " + strerror(errno);
    readFailed_ = true;
    return false;
  }
  if (cd->recNumMode == 0) {
    off_t size = SysLseek(cd->inFd, 0, SEEK_END);
    if (size < 0 || static_cast<uint64_t>(size) >= kByteAddressLimit) {
      *why = std::string("the data file ") + dataPath +
             " is too large for byte addressing (4 GiB or more)";
      return false;
    }
  }
  // How the records end, and for fixed-length text how long they are.
  if (!cd->binaryData || cd->binaryWithEor) {
    int32_t code = DetectEndOfRecord(cd, cd->recBuf, kRecBufData);
    if (code < 0) {
      *why = std::string("cannot read the data file ") + dataPath;
      readFailed_ = true;
      return false;
    }
  }
  if (!cd->allowVarLen && cd->recLenFound == 0 && cd->recLenSpec == 0) {
    *why = std::string("cannot determine the record length of ") + dataPath +
           " (no complete record and no length in the command line)";
    return false;
  }
  if (cd->recLenFound > kMaxFileRecLen - cd->eorLen) {
    *why = "a record longer than 65533 bytes was found";
    return false;
  }
  if (cd->binaryWithEor) cd->isiEorLen = cd->eorLen;
  cd->readPos = 0;
  if (fillInputBuffer() < 0) {
    *why = std::string("cannot read the data file ") + dataPath;
    readFailed_ = true;
    return false;
  }
  Status st = SettleRecordLength(cd);
  if (st != kOk) {
    *why = FailureText(st);
    return false;
  }
  // The scan counts deleted records but writes no DDR sectors: there is no
  // output to write them to.
  keepsDeletedList_ = cd->writeAtEnd == 0;
  cd->deletedRecFn = [](uint64_t) -> int32_t { return kOk; };
  cd->sortMemSize = TakeSortMemory(cd->maxMemory);
  if (cd->sortMemSize == 0) {
    *why = "out of memory";
    return false;
  }
  SetSortGeometry();
  return true;
}

int StoredScan::Next(const uint8_t** items, uint32_t* count, std::string* why) {
  Current current(cd_);
  CmdData* cd = cd_;
  Status st = CreateSubList();
  if (st != kOk && st != kSubListLast) {
    switch (st) {
      case kErrInputRead:
        *why = std::string("cannot read the data file ") + cd->inName;
        break;
      case kErrBinaryEor:
        *why = "the binary record at byte offset " + std::to_string(cd->recStartPos) +
               " does not end in its end-of-record mark";
        break;
      case kErrLongRecord:
        *why = "a record longer than 65533 bytes was found";
        break;
      default:
        *why = "the data file cannot be scanned (status " + std::to_string(st) + ")";
    }
    return -1;
  }
  *items = cd->sortMem;
  *count = cd->itemsInMem - 1 - cd->subListFree;
  return st == kOk ? 1 : 0;
}

void StoredScan::SetBatchMemory(uint64_t bytes) {
  cd_->maxMemory = bytes;
}

uint32_t StoredScan::KeyLength() const {
  return cd_->keyLen;
}
uint32_t StoredScan::ItemLength() const {
  return cd_->itemLen;
}
bool StoredScan::IgnoresDuplicates() const {
  return cd_->dupIgnore != 0;
}
bool StoredScan::RefusesDuplicates() const {
  return cd_->noDups != 0;
}
bool StoredScan::VariableLength() const {
  return cd_->allowVarLen != 0;
}
bool StoredScan::Binary() const {
  return cd_->binaryData != 0;
}
bool StoredScan::KeepsDeletedList() const {
  return keepsDeletedList_;
}
uint8_t StoredScan::EndOfRecordFlags() const {
  return cd_->eorIsiFlags;
}
uint32_t StoredScan::MarkLength() const {
  return cd_->binaryWithEor ? cd_->isiEorLen : cd_->eorLen;
}
uint32_t StoredScan::RecordSize() const {
  return cd_->recLenFound;
}
uint64_t StoredScan::RecordsScanned() const {
  return cd_->recCount;
}
uint32_t StoredScan::DeletedRecords() const {
  return cd_->deletedCount;
}

uint32_t StoredScan::HeaderRecordLength() const {
  const CmdData* cd = cd_;
  if (cd->recLenFound != 0) {
    uint32_t n = cd->recLenFound - (cd->binaryWithEor ? 0 : cd->eorLen);
    return cd->binaryWithEor ? n - cd->isiEorLen : n;
  }
  if (cd->recLenSpec != 0) return cd->recLenSpec - cd->eorLen;
  return 0;
}

std::string StoredScan::FormatViolation() const {
  const CmdData* cd = cd_;
  if (cd->varLenFound && !cd->allowVarLen) {
    return "a run of zero bytes that is not a whole number of records";
  }
  if (cd->spaceCompFound && !cd->allowSpaceComp) {
    return "tabs (space compression), which the options do not allow";
  }
  if (cd->longRecFound) return "a record longer than the maximum record length";
  return "";
}

}  // namespace kelisi_cli
