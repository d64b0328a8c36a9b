// The p option: a simple test of one record column against one character,
// or an extended expression (see sel_expression.cpp), recorded in the
// column table and in primarySelTable for the ISI header.
#include "core/primary_option.h"
#include "core/definition_parse.h"

namespace {

// Inserts a test in column order, after the tests of the same column.
void InsertSelEntry(IndexDefinition* cd, uint32_t column, uint16_t flags, uint8_t matchChar) {
  int32_t at = cd->primarySelCount;
  while (at > 0 && cd->primarySelTable[at - 1].column > column) {
    cd->primarySelTable[at] = cd->primarySelTable[at - 1];
    --at;
  }
  PrimarySelEntry& e = cd->primarySelTable[at];
  e.column = static_cast<uint16_t>(column);
  e.ops = static_cast<uint8_t>(flags & (kColEqual | kColNotEqual));
  e.matchChar = matchChar;
  ++cd->primarySelCount;
}

// p{nnn}{=|#}{c}; the cursor stands on the first digit. Column 0 can never
// match and a column beyond the longest record cannot be tested: both are
// refused as malformed.
int ParseSimpleTest(IndexDefinition* cd, char** cursor) {
  char* p = *cursor;
  uint32_t column = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    column = column * 10 + static_cast<uint32_t>(*p - '0');
    if (column > 65535u - cd->eorLen) return 0;
  }
  if (column == 0) return 0;
  uint16_t op;
  if (*p == '=') {
    op = kColEqual;
  } else if (*p == '#') {
    op = kColNotEqual;
  } else {
    return 0;
  }
  ++p;
  // The match character, or one character between two double quotes.
  uint8_t match = static_cast<uint8_t>(*p);
  if (match == '\0') return 0;
  if (p[0] == '"' && p[1] != '\0' && p[2] == '"') {
    match = static_cast<uint8_t>(p[1]);
    p += 2;
  }
  ColumnEntry* e = FindOrAddColumn(cd, column - 1, kSelColumnLimit);
  if (e == nullptr) return 0;
  e->flags |= op;
  e->matchChar = match;
  InsertSelEntry(cd, column, e->flags, match);
  *cursor = p;
  return 1;
}

// p= or p# and an expression; the cursor stands on the '=' or '#'.
int ParseExtendedTest(IndexDefinition* d, char** cursor) {
  char* p = *cursor;
  uint16_t op = *p == '=' ? kColEqual : kColNotEqual;
  ++p;
  ColumnEntry* decision = GetPopt(d, &p);
  if (decision == nullptr) return 0;
  decision->flags |= op;
  decision->matchChar = static_cast<uint8_t>(*p);  // the character the expression ended on
  InsertSelEntry(d, decision->column + 1u, decision->flags, decision->matchChar);
  *cursor = p;
  return 1;
}

}  // namespace

int ParsePrimaryOption(IndexDefinition* cd, char** cursor) {
  if (cd->primarySelCount > 9) return 0;
  int ok = cd->primarySelForm == 'P' ? ParseExtendedTest(cd, cursor) : ParseSimpleTest(cd, cursor);
  if (ok) ++cd->pOptionCount;
  return ok;
}
