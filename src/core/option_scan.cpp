// The option scan: option letters and their forms, and the key
// specifications between them, from the option marker to the end of the
// command text. Letters are taken without regard to case (each character is
// ORed with 0x20, so the terminating NUL reads as a space).
#include <cstring>

#include "core/definition_parse.h"
#include "core/key_specs.h"
#include "core/primary_option.h"

namespace {

// A record length from f= or g= may have any number of digits; it is held
// below this cap so that it cannot wrap (opening the data file refuses
// every length above 65535 − eorLen).
constexpr uint32_t kRecLenCap = 1000000;

// The option scan ends here and the rest of the text is ignored (a
// handler's result; never leaves the scan).
constexpr Status kScanEnds = 1;

struct Scan {
  IndexDefinition* d;
  char* cur;          // the character being handled; handlers leave it on the last one they use
  KeySpecState keys;  // the pending key specification
  int optionCount;    // characters other than ' ' and ',' seen
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// c, c=0, c=1: compaction, which must be the only option.
Status TakeCompact(Scan* s) {
  IndexDefinition* cd = s->d;
  if (s->optionCount > 0 || cd->compactFlags != 0) return kErrConflictKeyOpts;
  cd->compactFlags |= 1;
  cd->compactShared = 1;
  if (s->cur[1] != '=') return kOk;
  if (s->cur[2] == '0') {
    cd->compactFlags |= 2;
  } else if (s->cur[2] == '1') {
    cd->compactShared = 0;
  } else {
    return kErrCompactOpt;
  }
  s->cur += 2;
  return kOk;
}

// i, r, r0, z: they leave a pending key specification pending.
bool TakeInfoLetter(Scan* s, char c) {
  IndexDefinition* cd = s->d;
  switch (c) {
    case 'i':
      cd->showIndexInfo = 1;
      return true;
    case 'r':
      cd->reindex = 1;
      if (s->cur[1] == '0') {
        cd->reindexNoPath = 1;
        ++s->cur;
      }
      return true;
    case 'z':
      cd->discardPath = 1;
      return true;
    default:
      return false;
  }
}

void TakeDuplicates(Scan* s) {
  IndexDefinition* cd = s->d;
  cd->noDups = 1;
  cd->errFileOn = 1;
  if (s->cur[1] == '0') {
    cd->dupIgnore = 1;
    ++s->cur;
  } else if (s->cur[1] == '$') {
    cd->dupIgnore = 1;
    cd->dupQuiet = 1;
    cd->errFileOn = 0;
    ++s->cur;
  }
}

// m{nn}: exactly two digits.
Status TakeFillPercent(Scan* s) {
  if (!IsDigit(s->cur[1]) || !IsDigit(s->cur[2])) return kErrFillPct;
  s->d->maxFillPct = static_cast<uint32_t>((s->cur[1] - '0') * 10 + (s->cur[2] - '0'));
  s->cur += 2;
  return kOk;
}

// o, o=1, o=2: the OS type kept in the ISI header.
Status TakeOsType(Scan* s) {
  IndexDefinition* cd = s->d;
  cd->isiOsType = 16;
  if (s->cur[1] != '=') return kOk;
  if (s->cur[2] == '1') {
    cd->isiOsType = 8;
  } else if (s->cur[2] != '2') {
    return kErrOsType;
  }
  s->cur += 2;
  return kOk;
}

// f, g, f={nn}, g={nn}: binary data of a fixed record length.
Status TakeBinary(Scan* s, char c) {
  IndexDefinition* cd = s->d;
  if (s->cur[1] == '=') {
    ++s->cur;
    uint32_t len = 0;
    while (IsDigit(s->cur[1])) {
      ++s->cur;
      len = len * 10 + static_cast<uint32_t>(*s->cur & 0x0F);
      if (len > kRecLenCap) len = kRecLenCap;
    }
    if (cd->recLenSpec != 0 && cd->recLenSpec != len) return kErrRecLenConflict;
    cd->recLenSpec = len;
  } else if (cd->recLenSpec == 0) {
    return kErrNeedRecLen;
  }
  cd->binaryData = 1;
  if (c == 'g') cd->binaryWithEor = 1;
  if (c == 'f') cd->eorLen = 0;
  return kOk;
}

// p: a simple test or, as the first p option only, an extended expression.
Status TakePrimary(Scan* s) {
  IndexDefinition* cd = s->d;
  bool extended = s->cur[1] == '=' || s->cur[1] == '#';
  if (extended && cd->primarySelForm != 0) return kErrPrimaryKey;
  cd->primarySelForm = extended ? 'P' : 'p';
  ++s->cur;
  if (ParsePrimaryOption(cd, &s->cur) == 0) {
    return cd->primarySelCount > 9 ? kErrTooManyP : kErrPrimaryKey;
  }
  return kOk;
}

// A letter that is not an option: ignored when the command shows or rebuilds
// an index, the end of the options after a space, else a syntax error.
Status TakeUnknown(const Scan* s) {
  IndexDefinition* cd = s->d;
  if (cd->showIndexInfo || cd->reindex) return kOk;
  return s->cur[-1] == ' ' ? kScanEnds : kErrKeySyntax;
}

Status TakeOptionLetter(Scan* s, char c) {
  IndexDefinition* cd = s->d;
  switch (c) {
    case ' ':
    case ',':
      return kOk;
    case '>':
      return kScanEnds;
    case 'b':
      cd->spaceCompIsComp = 0;
      return kOk;
    case 'n':
      TakeDuplicates(s);
      return kOk;
    case 'd':
      cd->noDups = 0;
      return kOk;
    case 'e':
      cd->errFileOn = 1;
      return kOk;
    case 'm':
      return TakeFillPercent(s);
    case 'o':
      return TakeOsType(s);
    case 'q':
      cd->quitIfNoData = 1;
      return kOk;
    case 's':
      cd->allowSpaceComp = 1;
      [[fallthrough]];
    case 'v':
      cd->allowVarLen = 1;
      cd->writeAtEnd = 1;
      cd->recNumMode = 0;
      return kOk;
    case 'w':
      cd->writeAtEnd = 1;
      return kOk;
    case 'y':
      cd->noDriveInHeader = 1;
      return kOk;
    case 'u':
      // Upper-casing applies to key bytes as they are added.
      if (cd->colCount > 0) return kErrUpperCaseOrder;
      cd->upperCaseKeys = 1;
      return kOk;
    case 'f':
    case 'g':
      return TakeBinary(s, c);
    case 'p':
      return TakePrimary(s);
    case 'x':
      cd->showRecCount = 0;
      return kOk;
    default:
      return TakeUnknown(s);
  }
}

Status TakeItem(Scan* s) {
  char c = static_cast<char>(*s->cur | 0x20);
  if (c == '?') return kUsageShown;
  if (c == 'c') return TakeCompact(s);
  if (c != ' ' && c != ',') {
    ++s->optionCount;
    if (s->d->compactFlags != 0) return kErrConflictKeyOpts;
  }
  if (TakeInfoLetter(s, c)) return kOk;
  if (IsDigit(c) || c == '-') return KeySpecChar(s->d, &s->keys, c);
  Status st = CompleteKeySpec(s->d, &s->keys);
  if (st != kOk) return st;
  return TakeOptionLetter(s, c);
}

}  // namespace

Status ScanOptions(IndexDefinition* cd, char* cursor) {
  cd->upperCaseKeys = 0;
  memset(cd->keySpecTable, 0, sizeof cd->keySpecTable);
  memset(cd->primarySelTable, 0, sizeof cd->primarySelTable);
  Scan s{cd, cursor, KeySpecState{}, 0};
  for (;; ++s.cur) {
    Status st = TakeItem(&s);
    if (st == kScanEnds) return kOk;
    if (st != kOk) return st;
    if (*s.cur == '\0') return kOk;
  }
}
