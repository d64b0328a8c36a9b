// Column mapping: walks the column table with one cursor per record and
// tells the scanner where each record byte goes in the key, which columns it
// may pass over, and whether the record fails its primary-record tests.
#include "driver/cmd_data.h"
#include "options/primary_select.h"
#include "sort/scanner.h"

namespace {

constexpr uint16_t kMapSkip = 0x8000;
// Largest skip count returned: beyond it the values 0xFFFE and 0xFFFF
// would be taken for a rejection or the end of the table. A longer gap is
// passed over in several steps.
constexpr uint32_t kMaxSkip = 0x7FFD;
constexpr uint16_t kMapRejected = 0xFFFE;
constexpr uint16_t kMapDone = 0xFFFF;

// Evaluates the selection test of `e` for column `column`: true when it
// passes. A column of an extended expression that is not the expression's
// decision entry only feeds the expression and passes.
bool TestPasses(const ColumnEntry* e, uint32_t column, uint8_t curChar) {
  CmdData* cd = pCmdData;
  bool decision = (e->flags & (kColNotEqual | kColEqual)) != 0;
  if (e->flags & kColExtended) {
    ChkPopt(cd->recBufPtr, column);
    if (!decision) return true;
    int v = GetState();
    if (e->flags & kColNotEqual) v -= 1;
    return v != 0;
  }
  if (e->flags & kColEqual) return curChar == e->matchChar;
  return curChar != e->matchChar;
}

bool IsTest(const ColumnEntry* e) {
  return (e->flags & (kColExtended | kColNotEqual | kColEqual)) != 0;
}

}  // namespace

uint16_t MapColumn(uint32_t column, uint8_t* curChar) {
  CmdData* cd = pCmdData;
  for (;;) {
    const ColumnEntry* e = cd->colCursor;
    if (e->keyPos == kColEnd) return kMapDone;
    if (e->column == column && IsTest(e)) {
      if (!TestPasses(e, column, *curChar)) {
        cd->selPassCount = 0;
        return kMapRejected;  // the entry stays current
      }
      if (e->flags & (kColNotEqual | kColEqual)) ++cd->selPassCount;
    }
    if (e->column == column && (e->flags & kColKey)) {
      if (e->flags & kColUpper) *curChar = UpperC(*curChar);
      ++cd->colCursor;
      return e->keyPos;
    }
    if (e->column > column) {
      uint32_t gap = e->column - column - 1;
      return static_cast<uint16_t>(kMapSkip + (gap < kMaxSkip ? gap : kMaxSkip));
    }
    ++cd->colCursor;
  }
}

uint16_t MapColumnPastEnd(uint32_t column, uint8_t* curChar) {
  CmdData* cd = pCmdData;
  for (;;) {
    const ColumnEntry* e = cd->colCursor;
    if (e->keyPos == kColEnd) return kMapDone;
    if (e->flags & (kColNotEqual | kColEqual)) {
      if (!TestPasses(e, column, *curChar)) {
        cd->selPassCount = 0;
        return kMapDone;
      }
      ++cd->selPassCount;
    }
    ++cd->colCursor;
    if (e->flags & kColKey) return e->keyPos;
  }
}
