// Record format detection: finds the data file's last end-of-record mark by
// reading the file backwards, and for fixed-length text data without a given
// length measures the last complete record, which fixes the record length.
#include "core/data_scan.h"

namespace {

struct MarkKind {
  uint8_t len, char1, char2, isiFlags;
  uint8_t boundary;  // the byte that ends the mark, and so a record
};
// Indexed by mark code.
constexpr MarkKind kMarks[4] = {
    {1, 0x0D, 0x00, kFmtEorCr, 0x0D},    // CR
    {2, 0x0D, 0x0A, kFmtEorCrLf, 0x0A},  // CRLF
    {1, 0x0A, 0x00, kFmtEorLf, 0x0A},    // LF
    {2, 0x0A, 0x0D, kFmtEorLfCr, 0x0D},  // LFCR
};

constexpr int32_t kSizeUnknown = -1;
constexpr int32_t kReadFailed = -2;

// One chunk read backwards: the file bytes [start, end), preceded in the
// buffer by the byte at start − 1 when the chunk does not begin the file, so
// that a two-byte mark split by the chunk boundary is still seen whole.
struct Chunk {
  uint8_t* buffer;
  uint64_t start = 0, end = 0;
  uint64_t first = 0;  // file position of buffer[0]: start, or start − 1
};

bool ReadChunk(const ScanReader& in, uint64_t end, uint32_t chunkMax, Chunk* ch) {
  uint64_t len = end < chunkMax ? end : chunkMax;
  ch->end = end;
  ch->start = end - len;
  ch->first = ch->start > 0 ? ch->start - 1 : 0;
  size_t want = static_cast<size_t>(end - ch->first);
  return in.read(in.ctx, ch->first, ch->buffer, want) == static_cast<ssize_t>(want);
}

uint8_t ByteAt(const Chunk& ch, uint64_t pos) {
  return ch.buffer[pos - ch.first];
}

// Scans the chunk from its last byte towards its first for a mark. Returns
// its code and sets *markStart to the position of its first byte, or -1.
int32_t FindMarkInChunk(const Chunk& ch, uint64_t* markStart) {
  for (uint64_t pos = ch.end; pos-- > ch.start;) {
    uint8_t b = ByteAt(ch, pos);
    if (b != 0x0A && b != 0x0D) continue;
    bool hasPrev = pos > ch.first;
    uint8_t prev = hasPrev ? ByteAt(ch, pos - 1) : 0;
    int32_t code;
    if (b == 0x0A) {
      code = hasPrev && prev == 0x0D ? kEorCrLf : kEorLf;
    } else {
      code = hasPrev && prev == 0x0A ? kEorLfCr : kEorCr;
    }
    *markStart = pos - (kMarks[code].len - 1);
    return code;
  }
  return -1;
}

void SetMark(IndexDefinition* cd, int32_t code) {
  cd->eorLen = kMarks[code].len;
  cd->eorChar1 = kMarks[code].char1;
  cd->eorChar2 = kMarks[code].char2;
  cd->eorIsiFlags = kMarks[code].isiFlags;
}

// Counts the bytes before `markStart` back to the previous record boundary
// byte or a 0x00 byte (the fill of a deleted record), loading earlier chunks
// as needed. Returns the count or kReadFailed; *atFileStart tells that the
// start of the file ended the count.
int64_t MeasureLastRecord(const ScanReader& in, uint32_t chunkMax, Chunk* ch, uint64_t markStart,
                          uint8_t boundary, bool* atFileStart) {
  uint64_t count = 0;
  *atFileStart = true;
  for (uint64_t pos = markStart; pos-- > 0;) {
    if (pos < ch->first && !ReadChunk(in, ch->start, chunkMax, ch)) return kReadFailed;
    uint8_t b = ByteAt(*ch, pos);
    if (b == boundary || b == 0x00) {
      *atFileStart = false;
      break;
    }
    ++count;
  }
  return static_cast<int64_t>(count);
}

}  // namespace

int32_t DetectEndOfRecord(DataScan* cd, uint8_t* buffer, uint32_t size) {
  const ScanReader& in = cd->reader;
  if (size < 2) return kReadFailed;
  uint32_t chunkMax = size - 1;
  int64_t fileSize = in.size(in.ctx);
  if (fileSize < 0) return kSizeUnknown;
  if (fileSize == 0) return kEorNone;
  bool measuring = !cd->allowVarLen && cd->recLenSpec == 0;

  Chunk ch;
  ch.buffer = buffer;
  int32_t code = -1;
  uint64_t markStart = 0;
  for (uint64_t end = static_cast<uint64_t>(fileSize); end > 0 && code < 0; end = ch.start) {
    if (!ReadChunk(in, end, chunkMax, &ch)) return kReadFailed;
    code = FindMarkInChunk(ch, &markStart);
    if (!measuring) break;  // only the last chunk is looked at
  }
  if (code < 0) return kEorNone;
  SetMark(cd, code);
  if (!measuring) return code;

  bool atFileStart = false;
  int64_t count =
      MeasureLastRecord(in, chunkMax, &ch, markStart, kMarks[code].boundary, &atFileStart);
  if (count < 0) return kReadFailed;
  if (atFileStart && count == 0) return kEorNone;
  uint64_t len = static_cast<uint64_t>(count) + cd->eorLen;
  cd->recLenFound = len < UINT32_MAX ? static_cast<uint32_t>(len) : UINT32_MAX;
  return code;
}
