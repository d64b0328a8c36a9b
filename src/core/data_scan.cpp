// The data scan (data_scan.h): reads the data front to back through recBuf
// and turns every record into a sort item (position, length in the file,
// key bytes). Deleted records go to the deleted-record routine; records
// failing the primary-record tests take no item; departures from the
// expected format are noted in the findings flags.
//
// Each record is first found whole in the buffer: one look for its mark,
// which also meets its tabs. A record that runs past the buffer's end is
// read again from its start, so that it lies in one piece; then its key is
// extracted (record_key.h) and its tests evaluated in place. Only key bytes
// are copied, and nothing grows with the number of records.
#include "core/data_scan.h"

#include <cstring>

#include "core/plain_run.h"
#include "core/record_key.h"
#include "core/selection.h"
#include "core/sort_item.h"

namespace {

constexpr uint8_t kTab = 0x09;
constexpr uint32_t kDefaultMaxVarLen = 256;
// The search for a record's mark looks at 16 bytes at a time: the bytes
// behind the data area of recBuf (the look-ahead byte and the spare room)
// take the reads that go past the last byte of a full buffer.
static_assert(kRecBufData + kPlainRunOverRead <= kRecBufSize);

// Results of stepping through the data besides failure statuses.
constexpr int32_t kDataEnded = 0;
constexpr int32_t kByteReady = 1;

// Consumes the current byte, refilling the buffer when it is used up.
int32_t Advance(DataScan* cd) {
  ++cd->recBufPtr;
  if (--cd->recBufCount > 0) return kByteReady;
  int32_t n = ScanFill(cd);
  if (n < 0) return kErrInputRead;
  return n > 0 ? kByteReady : kDataEnded;
}

// Consumes `m` bytes at once (1 ≤ m ≤ recBufCount), refilling the buffer
// when they use it up, exactly as m single steps would.
int32_t AdvanceBy(DataScan* cd, uint32_t m) {
  cd->recBufPtr += m - 1;
  cd->recBufCount -= static_cast<int32_t>(m - 1);
  return Advance(cd);
}

// Where a run of zero bytes began in binary data, to return there when the
// run proves to be the start of a real record.
struct ScanState {
  uint64_t readPos;
  uint64_t recStartPos;
  uint8_t* recBufPtr;
  int32_t recBufCount;
  uint32_t lastFillCount;
};

ScanState SaveScanState(const DataScan* cd) {
  return {cd->readPos, cd->recStartPos, cd->recBufPtr, cd->recBufCount, cd->lastFillCount};
}

int32_t RestoreScanState(DataScan* cd, const ScanState& s) {
  if (cd->readPos != s.readPos) {  // reload the buffer the state points into
    cd->readPos = s.readPos - s.lastFillCount;
    int32_t n = ScanFill(cd);
    if (n < 0) return n;
    if (static_cast<uint32_t>(n) != s.lastFillCount) return kErrInputRead;
  }
  cd->recStartPos = s.recStartPos;
  cd->recBufPtr = s.recBufPtr;
  cd->recBufCount = s.recBufCount;
  cd->lastFillCount = s.lastFillCount;
  return kByteReady;
}

Status AddDeletedRecord(DataScan* cd, uint64_t position) {
  ++cd->deletedCount;
  return cd->deletedRecFn(position);
}

// Fixed-length text data: zeros that are not a whole number of records mean
// the data is not made of fixed-length records.
void NoteBrokenZeroRun(DataScan* cd) {
  if (!cd->varLenFound) {
    if (cd->notice != nullptr) cd->notice(cd, kNoticeZeroRunBroken, 0, 0, 0);
    cd->posInvalidFound = 1;
  }
  cd->varLenFound = 1;
}

// Passes over the zero bytes at a record start. Deleted records (all zeros)
// of fixed-length text and binary data go to the deleted-record list;
// variable-length data just skips them. Returns kByteReady with a record's
// first byte current, kDataEnded, or a failure status.
int32_t SkipZeroRun(DataScan* cd) {
  if (*cd->recBufPtr != 0) return kByteReady;  // the common case: no zeros here
  bool binary = cd->binaryData != 0;
  bool fixedText = !binary && !cd->allowVarLen;
  uint32_t z = 0;
  ScanState saved{};
  int32_t more = kByteReady;
  while (*cd->recBufPtr == 0) {
    if (fixedText) {
      if (z == 0) {
        Status s = AddDeletedRecord(cd, cd->recStartPos);
        if (s != kOk) return s;
        z = cd->recLenFound > 0 ? cd->recLenFound - 1 : 0;
      } else {
        --z;
      }
    } else if (binary) {
      if (z == 0) {
        saved = SaveScanState(cd);
        z = cd->recLenFound;
      }
      if (--z == 0) {
        Status s = AddDeletedRecord(cd, saved.recStartPos);
        if (s != kOk) return s;
      }
    }
    ++cd->recStartPos;
    more = Advance(cd);
    if (more != kByteReady) break;
  }
  if (more < 0) return more;
  if (binary && z != 0) return RestoreScanState(cd, saved);  // a record starting with zeros
  if (fixedText && z != 0) NoteBrokenZeroRun(cd);
  return more;
}

// True when the buffer's data run to the end of the file: the last fill
// was short of a full buffer.
bool BufferEndsData(const DataScan* cd) {
  return cd->lastFillCount < kRecBufData;
}

// For a record that runs past the buffer's end: reads the buffer again from
// the record's start, so that the record lies in one piece (*before stays
// 0); or, for a text record that fills the buffer from its start already,
// moves on to the next buffer, adding the bytes passed to *before. Such a
// record is refused, but read to its end all the same: its length decides
// the findings. kByteReady, kDataEnded (the data end with the record) or
// kErrInputRead.
int32_t ReadOnPastBufferEnd(DataScan* cd, uint64_t* before) {
  if (*before == 0 && cd->recBufPtr != cd->recBuf) {
    cd->readPos = cd->recStartPos;
    // The bytes were there a moment ago: a read that finds none fails too.
    return ScanFill(cd) > 0 ? kByteReady : kErrInputRead;
  }
  *before += static_cast<uint64_t>(cd->recBufCount);
  cd->recBufPtr += cd->recBufCount;
  cd->recBufCount = 0;
  int32_t n = ScanFill(cd);
  if (n < 0) return kErrInputRead;
  return n > 0 ? kByteReady : kDataEnded;
}

// Finds the text record that starts at recBufPtr: its bytes up to the mark
// (or the end of the data) and its columns, a tab counting for the columns
// it stands for when tabs are expanded. kByteReady, or kErrInputRead.
int32_t LocateTextRecord(DataScan* cd, RecordSpan* r) {
  const bool expand = ExpandsTabs(*cd);
  const uint8_t tab = expand ? kTab : cd->eorChar1;
  uint64_t before = 0;  // bytes in earlier buffers, of a record longer than the buffer
  uint64_t surplus = 0;
  bool tabs = false;
  for (;;) {
    const uint8_t* p = cd->recBufPtr;
    const size_t avail = static_cast<size_t>(cd->recBufCount);
    size_t i = 0;
    for (;; ++i) {
      i += PlainRunPadded(p + i, avail - i, cd->eorChar1, tab);
      if (i == avail || AtRecordMark(p + i, cd->eorChar1, cd->eorChar2)) break;
      if (p[i] == kTab && expand) {
        surplus += TabColumns(before + i + surplus) - 1;
        tabs = true;
        cd->spaceCompFound = 1;
      }
    }
    bool found = i < avail;
    if (found || BufferEndsData(cd)) {
      *r = RecordSpan{p, before + i, before + i + surplus, tabs, !found, avail};
      return kByteReady;
    }
    int32_t more = ReadOnPastBufferEnd(cd, &before);
    if (more < 0) return more;
    if (before == 0) {  // read again from the record's start
      surplus = 0;
      tabs = false;
    }
    if (more == kDataEnded) {
      *r = RecordSpan{p, before, before + surplus, tabs, true, 0};
      return kByteReady;
    }
  }
}

// A binary record with its mark (option g) must end in it: its last two
// bytes for a two-byte mark, its last byte for a one-byte mark.
bool BinaryMarkOk(const DataScan* cd, const uint8_t* p) {
  if (cd->isiEorLen == 2) return p[0] == cd->eorChar1 && p[1] == cd->eorChar2;
  return p[1] == cd->eorChar1;
}

// Finds the binary record of recLenFound bytes that starts at recBufPtr
// (fewer where the data end inside it). The record length is held below
// the buffer's size when the data file is opened, so a record that runs
// past the buffer's end fits once read again from its start. kByteReady,
// kErrBinaryEor, kErrLongRecord or kErrInputRead.
int32_t LocateBinaryRecord(DataScan* cd, RecordSpan* r) {
  const uint64_t need = cd->recLenFound;
  uint64_t before = 0;
  for (;;) {
    const uint8_t* p = cd->recBufPtr;
    const uint64_t avail = static_cast<uint64_t>(cd->recBufCount);
    if (avail >= need || BufferEndsData(cd)) {
      uint64_t bytes = avail < need ? avail : need;
      // The mark is checked from the record's next to last byte on, the
      // byte after the data (zero) standing in for one that is missing.
      if (cd->binaryWithEor && need >= 2 && bytes + 1 >= need && !BinaryMarkOk(cd, p + need - 2)) {
        return kErrBinaryEor;
      }
      *r = RecordSpan{p, bytes, bytes, false, bytes < need, avail};
      return kByteReady;
    }
    if (p == cd->recBuf) return kErrLongRecord;
    int32_t more = ReadOnPastBufferEnd(cd, &before);
    if (more != kByteReady) return more < 0 ? more : kErrInputRead;
  }
}

// Steps over the record and its mark: kByteReady with the next record's
// first byte current, kDataEnded, or kErrInputRead.
int32_t StepOver(DataScan* cd, const RecordSpan& r) {
  int32_t more = r.bytes > 0 ? AdvanceBy(cd, static_cast<uint32_t>(r.bytes)) : kByteReady;
  for (uint32_t i = 0; more == kByteReady && !cd->binaryData && !r.ended && i < cd->eorLen; ++i) {
    more = Advance(cd);
  }
  return more;
}

uint32_t ClampU32(uint64_t v) {
  return v < UINT32_MAX ? static_cast<uint32_t>(v) : UINT32_MAX;
}

// Record-length bookkeeping after a record: the length in effect taken from
// the first record when none is known, and long records under option s.
void NoteRecordLength(DataScan* cd, const uint8_t* item, uint64_t columns) {
  if (cd->recLenFound == 0) {
    uint32_t len = ClampU32(columns);
    if (cd->allowVarLen && len < kDefaultMaxVarLen) len = kDefaultMaxVarLen;
    cd->recLenFound = len + cd->eorLen;
  }
  if (!cd->binaryData && cd->allowSpaceComp && columns > cd->recLenFound) {
    if (cd->notice != nullptr && !cd->longRecFound) {
      cd->notice(cd, kNoticeLongRecord, ClampU32(columns), ItemPosition(item), cd->recLenFound);
    }
    cd->longRecFound = 1;
  }
}

void WriteEndOfRun(const DataScan* cd, uint8_t* item) {
  memset(item, 0xFF, cd->itemLen);
}

// A field of an extended selection that runs past the bytes in the buffer
// goes on in the data when the buffer is full; a buffer that is not full
// holds the end of the data, and nothing follows. The bytes come to the
// spare room behind the data area.
uint32_t FetchPastBuffer(void* ctx, uint8_t* dest, uint32_t want) {
  DataScan* cd = static_cast<DataScan*>(ctx);
  if (dest != cd->recBuf + kRecBufData) return 0;
  constexpr uint32_t kSpareRoom = kRecBufSize - kRecBufData;
  if (want > kSpareRoom) want = kSpareRoom;
  ssize_t got = cd->reader.read(cd->reader.ctx, cd->readPos, dest, want);
  return got > 0 ? static_cast<uint32_t>(got) : 0;
}

}  // namespace

Status ScanSubList(DataScan* cd) {
  if (cd->itemsInMem < 2) return kErrMemory;
  if (cd->binaryData && cd->recLenFound == 0) return kErrRecSize;  // no binary record length
  uint8_t* item = cd->sortMem;
  cd->subListFree = cd->itemsInMem - 1;
  KeyLayoutOfColumns(cd->colTable, cd->keyLen, &cd->keyLayout);
  const SelFetch fetch{FetchPastBuffer, cd};
  for (;;) {
    if (cd->recBufCount == 0) {
      int32_t n = ScanFill(cd);
      if (n < 0) return kErrInputRead;
      if (n == 0) break;
    }
    int32_t more = SkipZeroRun(cd);
    if (more < 0) return more;
    if (more == kDataEnded) break;
    if (*cd->recBufPtr == kEofMark && !cd->binaryData) break;

    RecordSpan r;
    more = cd->binaryData ? LocateBinaryRecord(cd, &r) : LocateTextRecord(cd, &r);
    if (more < 0) return more;
    SetItemPosition(item, cd->recStartPos);
    cd->lastRecordPos = cd->recStartPos;
    ++cd->recCount;
    NoteRecordLength(cd, item, r.columns);
    uint64_t len = cd->eorLen + r.bytes;
    if (len > kMaxFileRecLen - cd->eorLen) return kErrLongRecord;
    // A primary record takes an item (without p options every record is one).
    if (cd->pOptionCount == 0 || SelectRecord(*cd, r, fetch)) {
      ExtractKey(cd->keyLayout, r.text, r.bytes, r.tabs, item + kItemKeyOfs);
      SetItemLength(item, static_cast<uint16_t>(len));
      item += cd->itemLen;
      --cd->subListFree;
    }
    more = StepOver(cd, r);
    if (more < 0) return more;
    cd->recStartPos += len;
    if (more == kDataEnded) break;
    if (cd->subListFree == 0) {
      WriteEndOfRun(cd, item);
      return kOk;
    }
  }
  WriteEndOfRun(cd, item);
  return kSubListLast;
}
