// Primary-record selection of one record (selection.h): the simple tests
// of the column table on the bytes their columns show, and an extended
// expression term by term as the record's columns come (EvaluateTerms),
// combined at its decision column (Combine). Runs for every record the
// build scans: no allocation, and a fetch only when a field runs past the
// bytes in memory.
#include "core/selection.h"

#include <cstring>

#include "core/definition_parse.h"

namespace {

constexpr uint32_t kMaxFieldNumber = 49;  // number characters of a numeric field
constexpr uint8_t kFalse = 1, kTrue = 2;  // 0: not evaluated

// What each term gave for the record being decided.
struct TermResults {
  uint8_t of[kMaxSelTerms];
};

bool IsTerm(uint8_t kind) {
  return kind == kTermFirst || kind == kTermAnd || kind == kTermOr;
}

uint8_t KindAt(const IndexDefinition& d, int i) {
  if (i > kMaxSelTerms) return kTermEnd;
  return d.selTerms[i].kind;
}

// The record's bytes and what follows them, with the fetch that brings more.
struct Source {
  const uint8_t* end;  // after the readable bytes
  const SelFetch& fetch;
};

// Bytes available from `field` on, at least `need` when there are that
// many: the readable ones, and those the fetch brings behind them.
uint32_t AvailableBytes(const Source& src, const uint8_t* field, uint32_t need) {
  uint32_t avail = static_cast<uint32_t>(src.end - field);
  if (avail >= need || src.fetch.more == nullptr) return avail;
  return avail + src.fetch.more(src.fetch.ctx, const_cast<uint8_t*>(src.end), need - avail);
}

// Reads `len` positions of the field at record column `column` into `out`,
// a tab standing for spaces up to the next tab stop.
// Stops early at a line feed or where the record's bytes end; returns the
// positions read.
uint32_t ReadField(const uint8_t* field, uint32_t avail, uint32_t column, uint32_t len,
                   uint8_t* out) {
  uint32_t pos = 0;
  for (uint32_t i = 0; pos < len && i < avail; ++i) {
    uint8_t b = field[i];
    if (b == '\n') break;
    if (b != '\t') {
      out[pos++] = b;
      continue;
    }
    for (uint32_t spaces = TabColumns(column + pos); spaces > 0 && pos < len; --spaces) {
      out[pos++] = ' ';
    }
  }
  return pos;
}

bool Satisfies(uint32_t op, int cmp) {
  switch (op) {
    case kOpLess:
      return cmp < 0;
    case kOpGreater:
      return cmp > 0;
    case kOpEqual:
      return cmp == 0;
    case kOpNotEqual:
      return cmp != 0;
    case kOpLessEq:
      return cmp <= 0;
    case kOpGreaterEq:
      return cmp >= 0;
    default:
      return false;
  }
}

// A field cut short (line feed, end of data) compares less than the literal
// at the position where it ends.
int CompareText(const uint8_t* got, uint32_t gotLen, const SelTerm& t) {
  const uint8_t* lit = reinterpret_cast<const uint8_t*>(t.text);
  for (uint32_t i = 0; i < gotLen; ++i) {
    if (got[i] != lit[i]) return got[i] < lit[i] ? -1 : 1;
  }
  return gotLen < t.length ? -1 : 0;
}

bool EvaluateTerm(const SelTerm& t, const Source& src, const uint8_t* field) {
  uint8_t buf[kMaxSelLiteral];
  uint32_t avail = AvailableBytes(src, field, t.length);
  uint32_t got = ReadField(field, avail, t.column, t.length, buf);
  if (!t.numeric) return Satisfies(t.op, CompareText(buf, got, t));
  double value;
  if (got < t.length) return false;
  if (!ReadSelNumber(reinterpret_cast<const char*>(buf), got, kMaxFieldNumber, &value)) {
    return false;
  }
  return Satisfies(t.op, value < t.value ? -1 : value > t.value ? 1 : 0);
}

// Every term on `column`, against the bytes at `field`.
void EvaluateTerms(const IndexDefinition& d, const Source& src, const uint8_t* field,
                   uint64_t column, TermResults* results) {
  const SelTerm* terms = d.selTerms;
  for (int i = 0; i < kMaxSelTerms && IsTerm(terms[i].kind); ++i) {
    if (terms[i].column != column || terms[i].length > kMaxSelLiteral) continue;
    results->of[i] = EvaluateTerm(terms[i], src, field) ? kTrue : kFalse;
  }
}

// The expression is an or of and-groups: a false (or unevaluated) term skips
// the rest of its group, a true term goes on within its group, and a group
// whose terms all hold makes the expression true. The results are cleared
// for the next decision.
bool Combine(const IndexDefinition& d, TermResults* results) {
  bool value = false;
  int i = 0;
  while (i < kMaxSelTerms && IsTerm(d.selTerms[i].kind)) {
    if (results->of[i] == kTrue) {
      if (KindAt(d, i + 1) != kTermAnd) {
        value = true;
        break;
      }
      ++i;
      continue;
    }
    int next = i + 1;
    while (KindAt(d, next) == kTermAnd) ++next;
    if (KindAt(d, next) != kTermOr) break;
    i = next;
  }
  memset(results->of, 0, sizeof results->of);
  return value;
}

bool IsDecision(const ColumnEntry* e) {
  return (e->flags & (kColNotEqual | kColEqual)) != 0;
}

bool IsTest(const ColumnEntry* e) {
  return (e->flags & kColExtended) != 0 || IsDecision(e);
}

// Evaluates the test of `e` at `column`, whose byte shows as `shown` and
// whose bytes for an extended expression start at `field`: true when it
// passes. A column of an extended expression that is not the expression's
// decision entry only feeds the expression and passes.
bool TestPasses(const IndexDefinition& d, const Source& src, const ColumnEntry* e, uint64_t column,
                uint8_t shown, const uint8_t* field, TermResults* results) {
  if (e->flags & kColExtended) {
    EvaluateTerms(d, src, field, column, results);
    if (!IsDecision(e)) return true;
    bool value = Combine(d, results);
    return (e->flags & kColNotEqual) ? !value : value;
  }
  if (e->flags & kColEqual) return shown == e->matchChar;
  return shown != e->matchChar;
}

}  // namespace

bool SelectRecord(const IndexDefinition& d, const RecordSpan& r, const SelFetch& fetch) {
  if (d.pOptionCount == 0) return true;
  const Source src{r.text + r.readable, fetch};
  TermResults results;
  // Simple tests alone have no terms to remember.
  if (SelectsByExpression(d)) memset(results.of, 0, sizeof results.of);
  uint32_t passed = 0;
  // The entries before the first test are key bytes alone; the record
  // passes them by when it reaches the last of them (past the record's
  // end, each key byte counts in the column of a decision, below).
  const int32_t first = d.firstTestEntry;
  const ColumnEntry* e =
      first > 0 && d.colTable[first - 1].column < r.columns ? d.colTable + first : d.colTable;
  const ColumnEntry* end = d.colTable + kMaxColumns;
  ColumnWalk walk(r.text, r.bytes);
  for (; e < end && e->keyPos != kColEnd && e->column < r.columns; ++e) {
    if (!IsTest(e)) continue;
    size_t at = r.tabs ? walk.ByteIndex(e->column) : e->column;
    uint8_t shown = r.tabs && r.text[at] == '\t' ? kKeyBlank : r.text[at];
    if (!TestPasses(d, src, e, e->column, shown, r.text + at, &results)) return false;
    if (IsDecision(e)) ++passed;
  }
  // The entries left when the record has ended see a blank. The column an
  // expression is decided at counts on from the record's end, one for each
  // key byte met on the way; its bytes are those after the record's text.
  uint64_t column = r.columns;
  for (; e < end && e->keyPos != kColEnd; ++e) {
    if (IsDecision(e)) {
      if (!TestPasses(d, src, e, column, kKeyBlank, r.text + r.bytes, &results)) return false;
      ++passed;
    }
    if (e->flags & kColKey) ++column;
  }
  return passed == d.pOptionCount;
}
