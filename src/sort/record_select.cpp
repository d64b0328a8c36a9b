// Primary-record selection of a record the scanner has found: the tests of
// the column table, in table order as the record's columns come, each on
// the byte its column shows (a blank under a tab or past the record's end).
// A failed test rejects the record there; nothing after it is looked at.
#include "driver/cmd_data.h"
#include "options/primary_select.h"
#include "sort/record_key.h"
#include "sort/scanner.h"

namespace {

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
bool TestPasses(const ColumnEntry* e, uint64_t column, uint8_t shown, const uint8_t* field) {
  if (e->flags & kColExtended) {
    ChkPopt(field, static_cast<uint32_t>(column));  // records hold far fewer columns
    if (!IsDecision(e)) return true;
    int v = GetState();
    if (e->flags & kColNotEqual) v -= 1;
    return v != 0;
  }
  if (e->flags & kColEqual) return shown == e->matchChar;
  return shown != e->matchChar;
}

}  // namespace

bool SelectRecord(const RecordSpan& r) {
  CmdData* cd = pCmdData;
  cd->selPassCount = 0;
  const ColumnEntry* e = cd->colTable;
  const ColumnEntry* end = cd->colTable + kMaxColumns;
  ColumnWalk walk(r.text, r.bytes);
  for (; e < end && e->keyPos != kColEnd && e->column < r.columns; ++e) {
    if (!IsTest(e)) continue;
    size_t at = r.tabs ? walk.ByteIndex(e->column) : e->column;
    uint8_t shown = r.tabs && r.text[at] == '\t' ? kKeyBlank : r.text[at];
    if (!TestPasses(e, e->column, shown, r.text + at)) {
      cd->selPassCount = 0;
      return false;
    }
    if (IsDecision(e)) ++cd->selPassCount;
  }
  // The entries left when the record has ended see a blank. The column an
  // expression is decided at counts on from the record's end, one for each
  // key byte met on the way; its bytes are those after the record's text.
  uint64_t column = r.columns;
  for (; e < end && e->keyPos != kColEnd; ++e) {
    if (IsDecision(e)) {
      if (!TestPasses(e, column, kKeyBlank, r.text + r.bytes)) {
        cd->selPassCount = 0;
        return false;
      }
      ++cd->selPassCount;
    }
    if (e->flags & kColKey) ++column;
  }
  return cd->selPassCount == cd->pOptionCount;
}
