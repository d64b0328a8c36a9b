// The scan's input buffer: recBuf holds up to 65,536 bytes of the data read
// from readPos, plus one look-ahead byte so that the second byte of a
// two-byte end-of-record mark can be examined at the buffer's end.
#include "core/data_scan.h"
#include "core/record_key.h"

namespace {

constexpr uint32_t kFillRead = kRecBufData + 1;  // data area + look-ahead byte
constexpr int kFillRetries = 3;

// True when a short read of `n` bytes ends exactly at the end of the data.
bool EndsAtEndOfData(const DataScan* s, ssize_t n, uint32_t trimmed) {
  int64_t size = s->reader.size(s->reader.ctx);
  if (size < 0 || n < 0) return false;
  return static_cast<uint64_t>(n) + trimmed + s->readPos == static_cast<uint64_t>(size);
}

void Notice(const DataScan* s, ScanNotice what, uint64_t a = 0, uint64_t b = 0, uint64_t c = 0) {
  if (s->notice != nullptr) s->notice(s, what, a, b, c);
}

}  // namespace

int32_t ScanFill(DataScan* s) {
  s->recBufPtr = s->recBuf;
  int retries = kFillRetries;
  ssize_t n;
  bool lookAhead;
  for (;;) {
    uint32_t trimmed = 0;
    n = s->reader.read(s->reader.ctx, s->readPos, s->recBuf, kFillRead);
    lookAhead = n == static_cast<ssize_t>(kFillRead);
    if (lookAhead) {
      n = kRecBufData;
    } else if (n > 0 && s->recBuf[n - 1] == kEofMark && !s->binaryData) {
      --n;  // an end-of-file mark closing text data is not data
      trimmed = 1;
    }
    if (n == static_cast<ssize_t>(kRecBufData)) break;
    if (retries == 0) {
      Notice(s, kNoticeFillFailed);
      return kErrInputRead;
    }
    --retries;
    if (EndsAtEndOfData(s, n, trimmed)) break;
    Notice(s, kNoticeFillRetry, static_cast<uint64_t>(retries), s->readPos,
           static_cast<uint64_t>(n));
  }
  // At the end of the data there is no look-ahead byte: clear its slot so
  // that a mark's first byte at the very end is never paired with stale data.
  // An empty read leaves the buffer as it was (the scanner may return to it).
  if (!lookAhead && n > 0) s->recBuf[n] = 0;
  s->readPos += static_cast<uint64_t>(n);
  s->lastFillCount = static_cast<uint32_t>(n);
  s->recBufCount = static_cast<int32_t>(n);
  return static_cast<int32_t>(n);
}

Status SettleReadPosAt(DataScan* s, uint64_t pos) {
  const uint64_t fillStart = pos - pos % kRecBufData;
  if (s->readPos - s->lastFillCount == fillStart) return kOk;  // the buffer is that fill
  s->readPos = fillStart;
  // The byte at `pos` was read a moment ago: a fill without it fails too.
  int32_t n = ScanFill(s);
  return n > 0 && fillStart + static_cast<uint64_t>(n) > pos ? kOk : kErrInputRead;
}
