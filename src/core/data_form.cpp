// The form of the data as a build takes it: the record format the
// detection found against what the format can hold, the record length once
// the marks are known, the length of each record against it, and the
// verdict on the data as a whole (data_scan.h).
#include <cstring>

#include "core/data_scan.h"
#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "core/sort_item.h"

namespace {

struct Bytes {
  const uint8_t* p;
  uint32_t len;
};

ssize_t ReadBytes(void* ctx, uint64_t offset, void* buf, size_t len) {
  const Bytes* b = static_cast<const Bytes*>(ctx);
  if (offset >= b->len) return 0;
  size_t n = b->len - offset < len ? static_cast<size_t>(b->len - offset) : len;
  memcpy(buf, b->p + offset, n);
  return static_cast<ssize_t>(n);
}

int64_t BytesSize(void* ctx) {
  return static_cast<const Bytes*>(ctx)->len;
}

int32_t CountDeleted(uint64_t) {
  return kOk;
}

}  // namespace

Status CheckRecordFormat(IndexDefinition* d) {
  if (!d->allowVarLen && d->recLenFound == 0 && d->recLenSpec == 0) return kErrNoRecLen;
  if (d->recLenFound > kMaxFileRecLen - d->eorLen) return kErrLongRecord;
  if (d->binaryWithEor) d->isiEorLen = d->eorLen;
  return kOk;
}

Status SettleRecordLength(DataScan* s) {
  if (s->recLenSpec != 0) {
    s->recLenSpec += s->eorLen;  // the end-of-record bytes the data showed
    if (s->binaryWithEor) {
      s->recLenFound = s->recLenSpec;
      s->eorLen = 0;
    }
  }
  if (s->recLenFound == 0) s->recLenFound = s->recLenSpec;
  if (!s->binaryData) return kOk;
  if (s->recLenSpec == 0) return kErrNeedRecLen;
  int64_t size = s->reader.size(s->reader.ctx);
  if (size < 0) return kErrFileSize;
  return static_cast<uint64_t>(size) % s->recLenSpec != 0 ? kErrRecSizeFileLen : kOk;
}

ItemLengthNote NoteItemLength(DataScan* s, uint32_t length) {
  if (s->recLenFound == 0) {
    if (s->recLenSpec != 0) {
      s->recLenFound = s->recLenSpec;
    } else {
      s->recLenFound = (s->allowVarLen && length < 256) ? 256 : length;
    }
    return kItemAsExpected;
  }
  if (length == s->recLenFound) return kItemAsExpected;
  bool isShort = length < s->recLenFound;
  uint8_t& seen = isShort ? s->shortRecFound : s->longRecFound;
  ItemLengthNote note = seen ? kItemNotedBefore : isShort ? kItemShort : kItemLong;
  // A record of another length makes the data simply of variable length,
  // whatever the zero runs said.
  s->posInvalidFound = 0;
  seen = 1;
  s->varLenFound = 1;
  return note;
}

bool DataFormViolated(const DataScan& s) {
  return (s.varLenFound && !s.allowVarLen) || (s.spaceCompFound && !s.allowSpaceComp) ||
         s.longRecFound;
}

void RecordFormatFromHeader(IndexDefinition* d, uint8_t formatFlags, uint32_t recordLength) {
  const char* mark = IsiEorBytes(formatFlags);
  uint32_t markLen = d->binaryData && !d->binaryWithEor ? 0 : IsiEorLength(formatFlags);
  d->eorIsiFlags = formatFlags & kFmtEorMask;
  d->eorChar1 = static_cast<uint8_t>(mark[0]);
  d->eorChar2 = static_cast<uint8_t>(mark[1]);
  d->isiEorLen = static_cast<uint8_t>(markLen);
  // Binary records with marks (g) hold them as their last bytes.
  d->eorLen = d->binaryData ? 0 : static_cast<uint8_t>(markLen);
  d->recLenFound = recordLength + markLen;
}

Status ReadRecordBack(DataScan* s, const uint8_t* bytes, uint32_t len, RecordReading* out) {
  Bytes data{bytes, len};
  s->reader = ScanReader{ReadBytes, BytesSize, &data};
  s->notice = nullptr;
  s->deletedRecFn = CountDeleted;
  s->readPos = s->recStartPos = s->recCount = 0;
  s->lastRecordPos = UINT64_MAX;
  s->recBufCount = 0;
  s->deletedCount = 0;
  s->spaceCompFound = s->varLenFound = s->posInvalidFound = s->longRecFound = s->shortRecFound = 0;
  // The record format a build finds at the data's last record, which this
  // one may become: the same mark, and, where the length is measured from
  // that record, the same length.
  bool formatHeld = true;
  if (!s->binaryData || s->binaryWithEor) {
    const uint8_t eorLen = s->eorLen, eorChar1 = s->eorChar1, eorChar2 = s->eorChar2,
                  eorIsiFlags = s->eorIsiFlags, isiEorLen = s->isiEorLen;
    const uint32_t recLenFound = s->recLenFound;
    bool measured = !s->allowVarLen && s->recLenSpec == 0;
    int32_t code = DetectEndOfRecord(s, s->recBuf, kRecBufData);
    formatHeld = code >= 0 && code != kEorNone && s->eorIsiFlags == eorIsiFlags &&
                 (!measured || s->recLenFound == recLenFound);
    s->eorLen = eorLen;
    s->eorChar1 = eorChar1;
    s->eorChar2 = eorChar2;
    s->eorIsiFlags = eorIsiFlags;
    s->isiEorLen = isiEorLen;
    s->recLenFound = recLenFound;
  }
  Status st = ScanSubList(s);
  s->reader = ScanReader{};
  if (st != kOk && st != kSubListLast) return st;
  const uint8_t* item = s->sortMem;
  out->whole = formatHeld && s->recCount == 1 && s->deletedCount == 0 && s->lastRecordPos == 0 &&
               s->recStartPos == len;
  out->selected = out->whole && !IsEndOfRun(item);
  if (out->selected) {
    NoteItemLength(s, ItemLength(item));
    memcpy(out->key, item + kItemKeyOfs, s->keyLen);
  }
  out->formKept = !DataFormViolated(*s);
  out->tooLong = s->longRecFound != 0;
  return kOk;
}
