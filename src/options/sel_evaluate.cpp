// Evaluating an extended selection expression against the record being
// scanned: each term when the scanner reaches its column (ChkPopt), the
// whole expression at the decision column (GetState). Runs for every
// selected column of every record: no allocation, and a system call only
// when a field runs past the end of a full input buffer.
#include <unistd.h>

#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "options/parse_steps.h"
#include "options/primary_select.h"
#include "sort/record_key.h"

namespace {

constexpr uint32_t kMaxFieldNumber = 49;  // number characters of a numeric field
constexpr uint32_t kSpareRoom = kRecBufSize - kRecBufData;
constexpr uint32_t kFalse = 1, kTrue = 2;

bool IsTerm(uint8_t kind) {
  return kind == kTermFirst || kind == kTermAnd || kind == kTermOr;
}

uint8_t KindAt(int i) {
  if (i > kMaxSelTerms) return kTermEnd;
  return pCmdData->selTerms[i].kind;
}

// Bytes of the record available from `field` on, at least `need` when the
// file has them. When the field runs past the end of a full buffer, the
// missing bytes are read behind the buffer's data area; that spare room
// bounds the read, and literals are bounded to fit it.
uint32_t AvailableBytes(const uint8_t* field, uint32_t need) {
  CmdData* cd = pCmdData;
  const uint8_t* end = cd->recBufPtr + cd->recBufCount;
  if (field < cd->recBuf || field > end) return 0;
  uint32_t avail = static_cast<uint32_t>(end - field);
  // A buffer that is not full holds the end of the file: nothing follows.
  if (avail >= need || end != cd->recBuf + kRecBufData) return avail;
  uint32_t want = need - avail;
  if (want > kSpareRoom) want = kSpareRoom;
  if (SysLseek(cd->inFd, static_cast<off_t>(cd->readPos), SEEK_SET) < 0) return avail;
  ssize_t got = SysRead(cd->inFd, cd->recBuf + kRecBufData, want);
  return got > 0 ? avail + static_cast<uint32_t>(got) : avail;
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

bool EvaluateTerm(const SelTerm& t, const uint8_t* field) {
  uint8_t buf[kMaxSelLiteral];
  uint32_t avail = AvailableBytes(field, t.length);
  uint32_t got = ReadField(field, avail, t.column, t.length, buf);
  if (!t.numeric) return Satisfies(t.op, CompareText(buf, got, t));
  double value;
  if (got < t.length) return false;
  if (!ReadSelNumber(reinterpret_cast<const char*>(buf), got, kMaxFieldNumber, &value)) {
    return false;
  }
  return Satisfies(t.op, value < t.value ? -1 : value > t.value ? 1 : 0);
}

}  // namespace

int ChkPopt(const uint8_t* field, uint32_t column) {
  SelTerm* terms = pCmdData->selTerms;
  for (int i = 0; i < kMaxSelTerms && IsTerm(terms[i].kind); ++i) {
    if (terms[i].column != column || terms[i].length > kMaxSelLiteral) continue;
    terms[i].result = EvaluateTerm(terms[i], field) ? kTrue : kFalse;
  }
  return 0;
}

// The expression is an or of and-groups: a false (or unevaluated) term skips
// the rest of its group, a true term goes on within its group, and a group
// whose terms all hold makes the expression true.
int GetState() {
  SelTerm* terms = pCmdData->selTerms;
  int value = 0;
  int i = 0;
  while (i < kMaxSelTerms && IsTerm(terms[i].kind)) {
    if (terms[i].result == kTrue) {
      if (KindAt(i + 1) != kTermAnd) {
        value = 1;
        break;
      }
      ++i;
      continue;
    }
    int next = i + 1;
    while (KindAt(next) == kTermAnd) ++next;
    if (KindAt(next) != kTermOr) break;
    i = next;
  }
  for (int k = 0; k < kMaxSelTerms && IsTerm(terms[k].kind); ++k) terms[k].result = 0;
  return value;
}
