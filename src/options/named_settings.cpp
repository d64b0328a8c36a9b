// The settings a command takes from named variables before its text is
// read: the data path, the case of composed file names, and the name-format
// character and default extensions of the terminal definition file.
#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "core/text_util.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/profile.h"
#include "driver/sys_io.h"
#include "options/parse_steps.h"

namespace {

// The value of the first of `names` that is set, or nullptr.
const char* FirstSetting(const char* const* names, int count) {
  for (int i = 0; i < count; ++i) {
    if (const char* value = CmdGetEnv(names[i])) return value;
  }
  return nullptr;
}

Status ReadDataPath() {
  CmdData* cd = pCmdData;
  static const char* const kNames[] = {"QRX_PATH", "VEZOR_DBPATH", "DBPATH"};
  const char* value = FirstSetting(kNames, 3);
  // A reindex parses a second command text; its data path replaces the first.
  if (cd->dbPath != nullptr) {
    CmdFree(cd->dbPath);
    cd->dbPath = nullptr;
  }
  if (value == nullptr) return kOk;
  size_t len = strlen(value);
  cd->dbPath = static_cast<char*>(CmdMalloc(static_cast<uint32_t>(len + 1)));
  if (cd->dbPath == nullptr) {
    CmdSetMsg("Insufficient Memory for Buffers.");
    return kErrMemory;
  }
  memcpy(cd->dbPath, value, len + 1);
  return kOk;
}

void ReadNameCase() {
  const char* value = CmdGetEnv("QRX_FNC");
  if (value == nullptr) value = CmdGetEnv("VEZOR_FNC");
  if (value != nullptr) pCmdData->lowerCaseNames = !SameTextIgnoringCase(value, "Mixed");
}

// Bytes of the terminal definition file that this program uses.
constexpr off_t kTermDefOfs = 512;  // name-format character
constexpr uint32_t kTermExtLenOfs = 2, kTermDataExtOfs = 3, kTermIsiExtOfs = 8;
constexpr uint8_t kMaxDefExtLen = 4;  // an extension slot holds '.', 4 characters, NUL

// Takes the three settings from the 16 bytes read at offset 512. The file is
// used as a whole or not at all: a file too short for the extension it
// announces, an extension length above 4 (the slots cannot hold it) or a
// name-format character of 0 (it would cut every converted name) leaves the
// defaults in force.
void ApplyTerminalDefinition(const uint8_t* bytes, ssize_t got) {
  CmdData* cd = pCmdData;
  if (got < static_cast<ssize_t>(kTermExtLenOfs + 1)) return;
  uint8_t n = bytes[kTermExtLenOfs];
  if (n > kMaxDefExtLen || got < static_cast<ssize_t>(kTermIsiExtOfs + n + 1)) return;
  if (bytes[0] == 0) return;
  cd->nameFmtChar = static_cast<char>(bytes[0]);
  cd->defExtLen = n;
  memcpy(cd->defDataExt + 1, bytes + kTermDataExtOfs, n);
  cd->defDataExt[n + 1] = '\0';
  memcpy(cd->defIsiExt + 1, bytes + kTermIsiExtOfs, n);
  cd->defIsiExt[n + 1] = '\0';
}

}  // namespace

Status ReadNamedSettings() {
  Status st = ReadDataPath();
  if (st != kOk) return st;
  ReadNameCase();
  ReadTerminalDefinition();
  return kOk;
}

void ReadTerminalDefinition() {
  CmdData* cd = pCmdData;
  static const char* const kDirNames[] = {"QRX_SYSTEM", "VEZOR_DBC", "DBC"};
  static const char* const kTermNames[] = {"QRX_TERM", "VEZOR_TERM", "TERM"};
  // The name is composed as each value is found: a value from the profile
  // lasts only until the next lookup.
  char name[250];
  const char* dir = FirstSetting(kDirNames, 3);
  int dirLen = snprintf(name, sizeof name, "%s/", dir != nullptr ? dir : "/usr/qrk");
  if (dirLen < 0 || static_cast<size_t>(dirLen) >= sizeof name) return;  // cannot be named
  const char* term = FirstSetting(kTermNames, 3);
  if (term == nullptr) return;
  size_t room = sizeof name - static_cast<size_t>(dirLen);
  int len = snprintf(name + dirLen, room, "%s.def", term);
  if (len < 0 || static_cast<size_t>(len) >= room) return;
  memcpy(cd->scratchName, name, sizeof name);
  int fd = SysOpen(cd->scratchName, O_RDWR, 0666);
  if (fd < 0) return;
  uint8_t bytes[16];
  ssize_t got = -1;
  if (SysLseek(fd, kTermDefOfs, SEEK_SET) == kTermDefOfs) got = SysRead(fd, bytes, sizeof bytes);
  SysClose(fd);
  ApplyTerminalDefinition(bytes, got);
}
