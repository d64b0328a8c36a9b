// Named settings: the section "environment" of the INI profile named by the
// leading option -i, then the process environment; and the small reader of
// profile files behind it (sections in square brackets, key=value lines).
//
// The profile is opened and read anew on every lookup rather than cached:
// lookups are few (a handful while the command text is parsed), and a fresh
// read can never serve a stale value.
//
// Lines are read through a window of 900 bytes: a line longer than that is
// cut into pieces of 900 bytes, each taken as a line of its own, so a value
// is never longer than one piece.
#include "driver/profile.h"

#include <fcntl.h>

#include <cstdlib>
#include <cstring>

#include "driver/cmd_data.h"
#include "driver/sys_io.h"

namespace {

constexpr uint32_t kWindow = 900;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

char FoldCase(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Section names and keys compare without regard to ASCII case.
bool SameNoCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (FoldCase(*a) != FoldCase(*b)) return false;
  }
  return *a == *b;
}

char* SkipBlanks(char* text) {
  while (IsBlank(*text)) ++text;
  return text;
}

// Cuts the trailing blanks of the text from `start` to `end` (exclusive).
void CutTrailingBlanks(char* start, char* end) {
  while (end > start && IsBlank(end[-1])) --end;
  *end = '\0';
}

// Moves the unconsumed bytes to the start of the window and reads more
// behind them. Returns false at the end of the file or on a read error.
bool FillWindow(int fd) {
  CmdData* cd = pCmdData;
  if (cd->iniLeft != 0 && cd->iniNext != cd->iniBuf) memmove(cd->iniBuf, cd->iniNext, cd->iniLeft);
  cd->iniNext = cd->iniBuf;
  ssize_t got = SysRead(fd, cd->iniBuf + cd->iniLeft, kWindow - cd->iniLeft);
  if (got <= 0) return false;
  cd->iniLeft += static_cast<uint32_t>(got);
  return true;
}

// True when `line` is a section header ('[' first, a ']' somewhere) whose
// name, blanks around it removed, is `section`.
bool IsSectionHeader(char* line, const char* section) {
  if (line[0] != '[') return false;
  char* close = strchr(line, ']');
  if (close == nullptr) return false;
  char* name = SkipBlanks(line + 1);
  if (name > close) name = close;
  CutTrailingBlanks(name, close);
  return SameNoCase(name, section);
}

// Looks `key` up in `section`. On success copies the value (blanks around
// it removed, at most size - 1 characters) into `buffer` and returns its
// length; returns -1 when the section or the key is missing.
int64_t FindProfileValue(int fd, const char* section, const char* key, char* buffer,
                         uint32_t size) {
  CmdData* cd = pCmdData;
  bool inSection = false;
  while (ReadProfileLine(fd) != 0) {
    char* line = cd->iniLine;
    if (!inSection) {
      inSection = IsSectionHeader(line, section);
      continue;
    }
    if (line[0] == '[') return -1;  // the next section: the key is missing
    char* equals = strchr(line, '=');
    if (equals == nullptr) continue;
    CutTrailingBlanks(line, equals);  // leading blanks belong to the key
    if (!SameNoCase(line, key)) continue;
    char* value = SkipBlanks(equals + 1);
    size_t len = strlen(value);
    while (len > 0 && IsBlank(value[len - 1])) --len;
    if (len > size - 1) len = size - 1;
    memcpy(buffer, value, len);
    buffer[len] = '\0';
    return static_cast<int64_t>(len);
  }
  return -1;
}

}  // namespace

uint32_t ReadProfileLine(int fd) {
  CmdData* cd = pCmdData;
  if (cd->iniLeft == 0) {
    cd->iniNext = cd->iniBuf;
    if (!FillWindow(fd)) return 0;
  }
  char* lf;
  while ((lf = static_cast<char*>(memchr(cd->iniNext, '\n', cd->iniLeft))) == nullptr) {
    if (cd->iniLeft == kWindow) {
      // A full window without a line end: this piece is a line of its own.
      cd->iniLine = cd->iniBuf;  // a full window always starts at iniBuf
      cd->iniBuf[kWindow] = '\0';
      cd->iniLeft = 0;
      return kWindow;
    }
    if (!FillWindow(fd)) {
      // The last line has no line end: read it as if it had one.
      cd->iniNext[cd->iniLeft++] = '\n';
    }
  }
  char* line = cd->iniNext;
  uint32_t len = static_cast<uint32_t>(lf - line) + 1;
  if (lf > line && lf[-1] == '\r') {
    lf[-1] = '\0';
  } else {
    *lf = '\0';
  }
  cd->iniNext = lf + 1;
  cd->iniLeft -= len;
  cd->iniLine = line;
  return len;
}

uint32_t GetQrxProfileStringUtil(const char* section, const char* key, const char* defaultText,
                                 char* buffer, uint32_t size, const char* fileName) {
  CmdData* cd = pCmdData;
  if (buffer == nullptr || size == 0) return 0;
  size_t defaultLen = defaultText != nullptr ? strnlen(defaultText, size - 1) : 0;
  if (defaultLen > 0 && buffer != defaultText) memmove(buffer, defaultText, defaultLen);
  buffer[defaultLen] = '\0';
  if (fileName == nullptr || strnlen(fileName, kNameSize) >= kNameSize) {
    return static_cast<uint32_t>(defaultLen);
  }
  if (fileName != cd->scratchName) memcpy(cd->scratchName, fileName, strlen(fileName) + 1);
  int fd = SysOpen(cd->scratchName, O_RDONLY);
  if (fd < 0) return static_cast<uint32_t>(defaultLen);
  cd->iniGuard = 0;
  cd->iniLeft = 0;
  cd->iniNext = cd->iniBuf;
  int64_t found = FindProfileValue(fd, section, key, buffer, size);
  SysClose(fd);
  return found >= 0 ? static_cast<uint32_t>(found) : static_cast<uint32_t>(defaultLen);
}

const char* CmdGetEnv(const char* name) {
  CmdData* cd = pCmdData;
  if (cd != nullptr && cd->iniName[0] != '\0' &&
      GetQrxProfileStringUtil("environment", name, "", cd->envValue, sizeof cd->envValue,
                              cd->iniName) > 0) {
    return cd->envValue;
  }
  return getenv(name);
}
