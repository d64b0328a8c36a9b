// The extended form of the p option: an expression of string or numeric
// comparisons over record fields, joined by '&' (and) and '|' (or), parsed
// into the term table. Literals stay in the command text, which lives as long
// as the run, and are read from there while records are scanned.
#include <cstdlib>
#include <cstring>

#include "core/definition_parse.h"
#include "core/primary_option.h"
#include "core/text_util.h"

namespace {

constexpr uint32_t kMaxTermColumn = 32767;
constexpr uint32_t kMaxLiteralNumber = 48;  // number characters of a numeric literal

char* SkipSpaces(char* p) {
  while (*p == ' ') ++p;
  return p;
}

// An operator after optional spaces: < <= LE <> != # N > G >= GE = E L, the
// letters in either case. 0 when there is none.
uint32_t ReadOperator(char** cursor) {
  char* p = SkipSpaces(*cursor);
  uint32_t op;
  int used = 1;
  switch (ToUpperC(*p)) {
    case '<':
      op = p[1] == '=' ? kOpLessEq : p[1] == '>' ? kOpNotEqual : kOpLess;
      used = op == kOpLess ? 1 : 2;
      break;
    case '>':
      op = p[1] == '=' ? kOpGreaterEq : kOpGreater;
      used = op == kOpGreater ? 1 : 2;
      break;
    case '!':
      if (p[1] != '=') return 0;
      op = kOpNotEqual;
      used = 2;
      break;
    case 'L':
      op = ToUpperC(p[1]) == 'E' ? kOpLessEq : kOpLess;
      used = op == kOpLess ? 1 : 2;
      break;
    case 'G':
      op = ToUpperC(p[1]) == 'E' ? kOpGreaterEq : kOpGreater;
      used = op == kOpGreater ? 1 : 2;
      break;
    case '=':
    case 'E':
      op = kOpEqual;
      break;
    case '#':
    case 'N':
      op = kOpNotEqual;
      break;
    default:
      return 0;
  }
  *cursor = p + used;
  return op;
}

// A literal after optional spaces: characters between single quotes, a
// doubled quote standing for one (the text is shifted left in place to drop
// the second). Leaves the cursor after the closing quote.
bool ReadLiteral(char** cursor, const char** text, uint32_t* length) {
  char* p = SkipSpaces(*cursor);
  if (*p != '\'') return false;
  char* start = ++p;
  uint32_t n = 0;
  for (;; ++p, ++n) {
    if (*p == '\0' || n > kMaxSelLiteral) return false;
    if (*p != '\'') continue;
    if (p[1] != '\'') break;
    memmove(p + 1, p + 2, strlen(p + 2) + 1);
  }
  if (n == 0 || n > kMaxSelLiteral) return false;
  *text = start;
  *length = n;
  *cursor = p + 1;
  return true;
}

// column[N] operator 'literal'
bool ReadTerm(char** cursor, SelTerm* t) {
  char* p = *cursor;
  uint32_t column = GetCol(&p);
  if (column == 0) return false;
  t->column = column - 1;
  if (*p == 'N' || *p == 'n') {
    t->numeric = 1;
    ++p;
  }
  t->op = ReadOperator(&p);
  if (t->op == 0 || !ReadLiteral(&p, &t->text, &t->length)) return false;
  if (t->numeric && !ReadSelNumber(t->text, t->length, kMaxLiteralNumber, &t->value)) return false;
  *cursor = p;
  return true;
}

}  // namespace

uint32_t GetCol(char** cursor) {
  char* p = SkipSpaces(*cursor);
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint32_t>(*p - '0');
    if (value > kMaxTermColumn) value = kMaxTermColumn + 1;  // held: it is refused below
  }
  *cursor = p;
  return value >= 1 && value <= kMaxTermColumn ? value : 0;
}

ColumnEntry* GetPopt(IndexDefinition* cd, char** cursor) {
  char* p = *cursor;
  const bool quoted = *p == '"';
  if (quoted) ++p;
  ColumnEntry* decision = nullptr;
  uint8_t kind = kTermFirst;
  int n = 0;
  for (;; ++n) {
    if (n == kMaxSelTerms) return nullptr;
    SelTerm t{};
    if (!ReadTerm(&p, &t)) return nullptr;
    t.kind = kind;
    ColumnEntry* e = FindOrAddColumn(cd, t.column, kSelColumnLimit);
    if (e == nullptr) return nullptr;
    e->flags |= kColExtended;
    // The scanner decides at the highest column, when every term was seen.
    if (decision == nullptr || e->column > decision->column) decision = e;
    cd->selTerms[n] = t;
    char* q = SkipSpaces(p);
    if (*q != '&' && *q != '|') break;
    kind = *q == '&' ? kTermAnd : kTermOr;
    p = q + 1;
  }
  cd->selTerms[n + 1] = SelTerm{};
  cd->selTerms[n + 1].kind = kTermEnd;
  char* last = p - 1;  // the closing quote of the last literal
  char* q = SkipSpaces(p);
  if (quoted) {
    if (*q != '"') return nullptr;
    last = q;
  } else if (*q == '"') {
    return nullptr;
  }
  *cursor = last;
  return decision;
}

bool ReadSelNumber(const char* chars, uint32_t len, uint32_t maxChars, double* value) {
  uint32_t i = 0;
  while (i < len && chars[i] == ' ') ++i;
  const uint32_t n = len - i;
  char buf[64];
  if (n == 0 || n > maxChars || n >= sizeof buf) return false;
  bool minus = false, dot = false, digit = false;
  for (uint32_t j = i; j < len; ++j) {
    char c = chars[j];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '-' && !minus && !dot) {
      minus = true;
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      return false;
    }
  }
  if (!digit) return false;
  memcpy(buf, chars + i, n);
  buf[n] = '\0';
  *value = atof(buf);  // a '-' after digits ends the value
  return true;
}
