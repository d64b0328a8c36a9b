// The positional fields of a command text: data file, ISI file, record
// length and work-file directory, each ended by ',', ' ' or ';', and the
// command line kept for the ISI header, composed while they are read.
#include <cstring>

#include "core/definition_parse.h"
#include "core/text_util.h"

namespace {

char* SkipSpaces(char* p) {
  while (*p == ' ') ++p;
  return p;
}

// Fields after the first are empty when the option marker comes first.
Status ScanOptionalField(char** cursor, char* out, uint32_t maxChars, bool lowerCase) {
  if (**cursor == '-') {
    out[0] = '\0';
    return kOk;
  }
  return ScanField(cursor, out, maxChars, lowerCase);
}

// The stored line is the data field, ",", the ISI field, "," and the rest of
// the text, all as typed (before r0 cuts any directory). The first part is
// laid down after the data field; it always fits, the whole line is checked
// against the 528 bytes of the ISI header's field when the rest is added.
void StartStoredLine(IndexDefinition* cd) {
  size_t inLen = strlen(cd->inName);
  memcpy(cd->storedCmdLine, cd->inName, inLen);
  cd->storedCmdLine[inLen] = ',';
  cd->storedCmdLine[inLen + 1] = '\0';
}

Status FinishStoredLine(IndexDefinition* cd, const char* rest) {
  size_t headLen = strlen(cd->storedCmdLine), outLen = strlen(cd->outName);
  size_t restLen = strlen(rest);
  if (headLen + outLen + 1 + restLen > kMaxStoredLine) return kErrCmdTooLong;
  char* p = cd->storedCmdLine + headLen;
  memcpy(p, cd->outName, outLen);
  p += outLen;
  *p++ = ',';
  memcpy(p, rest, restLen + 1);
  return kOk;
}

// "l" followed by the record length in decimal, 1 .. 65535 − eorLen.
Status ParseRecordLength(IndexDefinition* cd, const char* field) {
  if (field[0] == '\0') return kOk;
  if (field[0] != 'l') return kErrRecLenSpec;
  const uint32_t max = 65535u - cd->eorLen;
  cd->recLenSpec = 0;
  for (const char* p = field + 1; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return kErrRecLenSpec;
    cd->recLenSpec = cd->recLenSpec * 10 + static_cast<uint32_t>(*p - '0');
    if (cd->recLenSpec > max) return kErrRecLenSpec;
  }
  return cd->recLenSpec == 0 ? kErrRecLenSpec : kOk;
}

}  // namespace

Status ScanField(char** cursor, char* out, uint32_t maxChars, bool lowerCase) {
  char* p = *cursor;
  uint32_t n = 0;
  Status st = kOk;
  for (;; ++p) {
    char c = *p;
    if (c == '\0') {
      st = kErrIncomplete;
      break;
    }
    if (c == ';') break;
    if (c == ',') {
      p = SkipSpaces(p + 1);
      break;
    }
    if (c == ' ') {
      p = SkipSpaces(p + 1);
      if (*p == ',') p = SkipSpaces(p + 1);
      break;
    }
    if (n == maxChars) {
      st = kErrNameTooLong;
      break;
    }
    out[n++] = lowerCase ? static_cast<char>(c | 0x20) : c;
  }
  out[n] = '\0';
  *cursor = p;
  return st;
}

Status ScanFileFields(IndexDefinition* cd, char** cursor) {
  Status st = ScanField(cursor, cd->inName, kMaxFileField, false);
  if (st != kOk) return st;
  StartStoredLine(cd);
  // With r0 the stored command text is read without its directories, so
  // that the files are looked for here and along the data path.
  if (cd->reindexNoPath) StripDirectory(cd->inName);
  st = ScanOptionalField(cursor, cd->outName, kMaxFileField, false);
  if (st != kOk) {
    cd->outName[0] = '\0';
    return st;
  }
  st = FinishStoredLine(cd, *cursor);
  if (st != kOk) return st;
  if (cd->reindexNoPath) StripDirectory(cd->outName);
  st = ScanOptionalField(cursor, cd->tmpDir, kMaxRecLenField, true);
  if (st != kOk) return st;
  st = ParseRecordLength(cd, cd->tmpDir);
  if (st != kOk) return st;
  st = ScanOptionalField(cursor, cd->tmpDir, kMaxFileField, false);
  if (st != kOk) return st;
  // A drive letter alone ("c:") names the drive's root.
  if (strlen(cd->tmpDir) == 2 && cd->tmpDir[1] == ':') strcat(cd->tmpDir, "/");
  return kOk;
}

Status FindOptionMarker(char** cursor) {
  char* p = *cursor;
  while (*p != '-' && *p != ';') {
    if (*p == '\0') return kErrIncomplete;
    ++p;
  }
  *cursor = p + 1;
  return kOk;
}
