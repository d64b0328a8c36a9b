// The form of the data as a build takes it: the record format the
// detection found against what the format can hold, the record length once
// the marks are known, the length of each record against it, and the
// verdict on the data as a whole (scanner.h).
#include "sort/scanner.h"

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
