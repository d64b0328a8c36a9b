// The record scanner: reads the data file front to back through recBuf and
// turns every record into a sort item (position, length in the file, key
// bytes gathered through the column table). Deleted records go to the
// deleted-record list; records failing the primary-record tests take no
// item; departures from the expected format are noted in the findings flags.
//
// Bytes are examined in place and only key bytes are copied, so the cost per
// data byte is constant and nothing grows with the number of records.
#include "sort/scanner.h"

#include <cstring>

#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "sort/plain_run.h"
#include "sort/small_copy.h"
#include "sort/sort_item.h"

namespace {

constexpr uint8_t kTab = 0x09;
constexpr uint8_t kEofMark = 0x1A;
constexpr uint16_t kMapSkip = 0x8000;
constexpr uint16_t kMapRejected = 0xFFFE;
constexpr uint16_t kMapDone = 0xFFFF;
constexpr uint32_t kMaxFileRecLen = 65535;  // less the mark: the longest record
constexpr uint32_t kDefaultMaxVarLen = 256;
// The bulk searches look at 16 bytes at a time: the bytes behind the data
// area of recBuf (the look-ahead byte and the spare room) take the reads
// that go past the last byte of a full buffer.
static_assert(kRecBufData + kPlainRunOverRead <= kRecBufSize);

// Results of stepping through the data besides failure statuses.
constexpr int32_t kDataEnded = 0;
constexpr int32_t kByteReady = 1;

// Consumes the current byte, refilling the buffer when it is used up.
int32_t Advance() {
  CmdData* cd = pCmdData;
  ++cd->recBufPtr;
  if (--cd->recBufCount > 0) return kByteReady;
  int32_t n = fillInputBuffer(cd->inFd);
  if (n < 0) return kErrInputRead;
  return n > 0 ? kByteReady : kDataEnded;
}

// Consumes `m` bytes at once (1 ≤ m ≤ recBufCount), refilling the buffer
// when they use it up, exactly as m single steps would.
int32_t AdvanceBy(uint32_t m) {
  CmdData* cd = pCmdData;
  cd->recBufPtr += m - 1;
  cd->recBufCount -= static_cast<int32_t>(m - 1);
  return Advance();
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

ScanState SaveScanState() {
  CmdData* cd = pCmdData;
  return {cd->readPos, cd->recStartPos, cd->recBufPtr, cd->recBufCount, cd->lastFillCount};
}

int32_t RestoreScanState(const ScanState& s) {
  CmdData* cd = pCmdData;
  if (cd->readPos != s.readPos) {  // reload the buffer the state points into
    cd->readPos = s.readPos - s.lastFillCount;
    int32_t n = fillInputBuffer(cd->inFd);
    if (n < 0) return n;
    if (static_cast<uint32_t>(n) != s.lastFillCount) return kErrInputRead;
  }
  cd->recStartPos = s.recStartPos;
  cd->recBufPtr = s.recBufPtr;
  cd->recBufCount = s.recBufCount;
  cd->lastFillCount = s.lastFillCount;
  return kByteReady;
}

Status AddDeletedRecord(uint64_t position) {
  CmdData* cd = pCmdData;
  ++cd->deletedCount;
  return cd->deletedRecFn(position);
}

// Fixed-length text data: zeros that are not a whole number of records mean
// the data is not made of fixed-length records.
void NoteBrokenZeroRun() {
  CmdData* cd = pCmdData;
  if (!cd->varLenFound) {
    if (cd->diagMode) {
      CmdShowf("\nCreateSubList(1): Variable record detected after deleted record!\n");
    }
    cd->posInvalidFound = 1;
  }
  cd->varLenFound = 1;
}

// Passes over the zero bytes at a record start. Deleted records (all zeros)
// of fixed-length text and binary data go to the deleted-record list;
// variable-length data just skips them. Returns kByteReady with a record's
// first byte current, kDataEnded, or a failure status.
int32_t SkipZeroRun() {
  CmdData* cd = pCmdData;
  if (*cd->recBufPtr != 0) return kByteReady;  // the common case: no zeros here
  bool binary = cd->binaryData != 0;
  bool fixedText = !binary && !cd->allowVarLen;
  uint32_t z = 0;
  ScanState saved{};
  int32_t more = kByteReady;
  while (*cd->recBufPtr == 0) {
    if (fixedText) {
      if (z == 0) {
        Status s = AddDeletedRecord(cd->recStartPos);
        if (s != kOk) return s;
        z = cd->recLenFound > 0 ? cd->recLenFound - 1 : 0;
      } else {
        --z;
      }
    } else if (binary) {
      if (z == 0) {
        saved = SaveScanState();
        z = cd->recLenFound;
      }
      if (--z == 0) {
        Status s = AddDeletedRecord(saved.recStartPos);
        if (s != kOk) return s;
      }
    }
    ++cd->recStartPos;
    more = Advance();
    if (more != kByteReady) break;
  }
  if (more < 0) return more;
  if (binary && z != 0) return RestoreScanState(saved);  // a record starting with zeros
  if (fixedText && z != 0) NoteBrokenZeroRun();
  return more;
}

// A binary record with its mark (option g) must end in it; checked when two
// bytes of the record remain (the second through the look-ahead byte).
bool BinaryMarkOk(const uint8_t* p) {
  CmdData* cd = pCmdData;
  if (cd->isiEorLen == 2) return p[0] == cd->eorChar1 && p[1] == cd->eorChar2;
  return p[1] == cd->eorChar1;
}

bool AtTextMark(const uint8_t* p) {
  CmdData* cd = pCmdData;
  return p[0] == cd->eorChar1 && (cd->eorChar2 == 0 || p[1] == cd->eorChar2);
}

struct RecordScan {
  uint64_t columns = 0;     // columns of the record, tabs expanded
  uint64_t tabSurplus = 0;  // columns added by tab expansion
  bool mapEnded = false;    // no further column takes part, or the record was rejected
};

void StoreKeyByte(uint8_t* item, uint16_t keyPos) {
  if (keyPos < pCmdData->keyLen) item[kItemKeyOfs + keyPos] = pCmdData->curChar;
}

// How many bytes ahead may be taken in bulk: those in the buffer, and in
// binary data only the record's own, short of its last two when its mark
// is checked there (the check looks at them one by one).
uint64_t BulkLimit(uint64_t remaining) {
  CmdData* cd = pCmdData;
  uint64_t limit = static_cast<uint64_t>(cd->recBufCount);
  if (cd->binaryData) {
    uint64_t rest = remaining;
    if (cd->binaryWithEor) rest = remaining > 2 ? remaining - 2 : 0;
    if (rest < limit) limit = rest;
  }
  return limit;
}

// How many of the bytes ahead (at most `limit`) belong to columns that take
// no part (at most `skip`) and need no closer look. Each such byte is one
// column and is passed over unseen, so it can be consumed in bulk.
uint32_t PlainBytesAhead(uint64_t skip, uint64_t limit) {
  CmdData* cd = pCmdData;
  if (skip < limit) limit = skip;
  if (cd->binaryData) return static_cast<uint32_t>(limit);
  uint8_t tab = cd->spaceCompIsComp ? kTab : cd->eorChar1;
  return static_cast<uint32_t>(PlainRunPadded(cd->recBufPtr, limit, cd->eorChar1, tab));
}

// A column table entry that makes its column a key byte and nothing else
// (no selection test): what MapColumn does for it is to fold the byte when
// asked and hand back the key position.
bool IsPlainKeyEntry(const ColumnEntry* e) {
  return e->keyPos != kColEnd && (e->flags & ~kColUpper) == kColKey;
}

// Fills colKeyRun from the column table, last entry first.
void PrepareKeyRuns() {
  CmdData* cd = pCmdData;
  int end = 0;
  while (end < kMaxColumns && cd->colTable[end].keyPos != kColEnd) ++end;
  cd->colKeyRun[end] = 0;
  for (int i = end - 1; i >= 0; --i) {
    const ColumnEntry& e = cd->colTable[i];
    const ColumnEntry& next = cd->colTable[i + 1];
    uint8_t run = 0;
    if (IsPlainKeyEntry(&e)) {
      run = 1;
      if (cd->colKeyRun[i + 1] > 0 && next.column == e.column + 1 && next.keyPos == e.keyPos + 1 &&
          next.flags == e.flags) {
        run = static_cast<uint8_t>(cd->colKeyRun[i + 1] + 1);
      }
    }
    cd->colKeyRun[i] = run;
  }
}

// Copies the bytes ahead (at most `limit`) into the key as one block while
// they fill the run of plain key columns that starts at `column` and need
// no closer look, exactly as MapColumn and the per-byte step would place
// them one by one; returns how many.
uint32_t CopyKeyRun(uint8_t* item, uint64_t column, uint64_t limit) {
  CmdData* cd = pCmdData;
  const ColumnEntry* e = cd->colCursor;
  uint64_t run = cd->colKeyRun[e - cd->colTable];
  if (run == 0 || e->column != column) return 0;
  if (run < limit) limit = run;
  const uint8_t* p = cd->recBufPtr;
  uint32_t n = static_cast<uint32_t>(limit);
  if (!cd->binaryData) {
    uint8_t tab = cd->spaceCompIsComp ? kTab : cd->eorChar1;
    n = static_cast<uint32_t>(PlainRunPadded(p, limit, cd->eorChar1, tab));
  }
  if (n == 0) return 0;
  bool upper = (e->flags & kColUpper) != 0;
  if (e->keyPos < cd->keyLen) {
    uint32_t stored = cd->keyLen - e->keyPos < n ? cd->keyLen - e->keyPos : n;
    uint8_t* key = item + kItemKeyOfs + e->keyPos;
    CopyFew(key, p, stored);
    if (upper) {
      for (uint32_t i = 0; i < stored; ++i) key[i] = UpperC(key[i]);
    }
  }
  cd->curChar = upper ? UpperC(p[n - 1]) : p[n - 1];
  cd->colCursor += n;
  return n;
}

// Scans the bytes of one record up to its mark (text) or its length
// (binary). Returns kByteReady with the mark current (or the next record's
// first byte for binary data), kDataEnded when the data ends inside the
// record, or a failure status.
int32_t ScanRecordBytes(uint8_t* item, RecordScan& rs) {
  CmdData* cd = pCmdData;
  bool binary = cd->binaryData != 0;
  uint64_t remaining = cd->recLenFound;  // binary data only
  uint64_t skip = 0;
  uint32_t tabRun = 0;
  for (;;) {
    if (tabRun == 0) {
      // Runs of skipped columns, and runs of plain key columns, in bulk.
      uint64_t limit = BulkLimit(remaining);
      uint32_t m = skip > 0 ? PlainBytesAhead(skip, limit) : CopyKeyRun(item, rs.columns, limit);
      if (m > 0) {
        if (skip > 0) skip -= m;
        rs.columns += m;
        remaining -= m;
        int32_t more = AdvanceBy(m);
        if (more != kByteReady) return more;
        continue;
      }
      // No key run starts here. When the cursor's entry is the end of the
      // table or lies at a later column, all MapColumn would say is how
      // many columns to pass over: set that skip without asking it.
      const ColumnEntry* e = cd->colCursor;
      if (skip == 0 && e->keyPos == kColEnd) {
        rs.mapEnded = true;  // no further column takes part
        skip = UINT64_MAX;
        continue;
      }
      if (skip == 0 && e->column > rs.columns) {
        skip = e->column - rs.columns;
        continue;
      }
    }
    const uint8_t* p = cd->recBufPtr;
    if (binary) {
      if (remaining == 0) return kByteReady;
      if (cd->binaryWithEor && remaining == 2 && !BinaryMarkOk(p)) return kErrBinaryEor;
    } else {
      if (AtTextMark(p)) return kByteReady;
      if (*p == kTab && tabRun == 0 && cd->spaceCompIsComp) {
        tabRun = 8 - static_cast<uint32_t>(rs.columns % 8);  // tab stops every 8 columns
        rs.tabSurplus += tabRun - 1;
        cd->spaceCompFound = 1;
      }
    }
    if (skip > 0) {
      --skip;
    } else {
      cd->curChar = tabRun > 0 ? ' ' : *p;
      uint32_t column = rs.columns < UINT32_MAX ? static_cast<uint32_t>(rs.columns) : UINT32_MAX;
      uint16_t k = MapColumn(column, &cd->curChar);
      if (k < kMapSkip) {
        StoreKeyByte(item, k);
      } else if (k >= kMapRejected) {
        rs.mapEnded = true;  // nothing further of this record is looked at
        skip = UINT64_MAX;
      } else {
        skip = k - kMapSkip;
      }
    }
    ++rs.columns;
    if (tabRun > 0 && --tabRun > 0) continue;  // the tab serves the next column too
    --remaining;
    int32_t more = Advance();
    if (more != kByteReady) return more;
  }
}

// Key columns beyond the end of a short record are blanks; tests on them
// see a blank.
void PadShortRecord(uint8_t* item, const RecordScan& rs) {
  CmdData* cd = pCmdData;
  if (rs.mapEnded) return;
  for (uint64_t col = rs.columns;; ++col) {
    cd->curChar = ' ';
    uint32_t column = col < UINT32_MAX ? static_cast<uint32_t>(col) : UINT32_MAX;
    uint16_t k = MapColumnPastEnd(column, &cd->curChar);
    if (k == kMapDone) return;
    StoreKeyByte(item, k);
  }
}

uint32_t ClampU32(uint64_t v) {
  return v < UINT32_MAX ? static_cast<uint32_t>(v) : UINT32_MAX;
}

// Record-length bookkeeping after a record: the length in effect taken from
// the first record when none is known, and long records under option s.
void NoteRecordLength(const uint8_t* item, const RecordScan& rs) {
  CmdData* cd = pCmdData;
  if (cd->recLenFound == 0) {
    uint32_t len = ClampU32(rs.columns);
    if (cd->allowVarLen && len < kDefaultMaxVarLen) len = kDefaultMaxVarLen;
    cd->recLenFound = len + cd->eorLen;
  }
  if (!cd->binaryData && cd->allowSpaceComp && rs.columns > cd->recLenFound) {
    if (cd->diagMode && !cd->longRecFound) {
      CmdShowf(
          "\nCreateSubList(1):\n1st Long Rec Length:%d at LFA:0x%.8llX Max Allowed "
          "RecordLength:%d!\n",
          static_cast<int>(ClampU32(rs.columns)),
          static_cast<unsigned long long>(ItemPosition(item)), static_cast<int>(cd->recLenFound));
    }
    cd->longRecFound = 1;
  }
}

void WriteEndOfRun(uint8_t* item) {
  memset(item, 0xFF, pCmdData->itemLen);
}

}  // namespace

Status CreateSubList() {
  CmdData* cd = pCmdData;
  if (cd->itemsInMem < 2) {
    CmdShowf("Sort memory too small for a sort sub-list.\n");
    return kErrMemory;
  }
  if (cd->binaryData && cd->recLenFound == 0) return kErrRecSize;  // no binary record length
  uint8_t* item = cd->sortMem;
  cd->subListFree = cd->itemsInMem - 1;
  PrepareKeyRuns();
  for (;;) {
    cd->selPassCount = 0;
    if (cd->recBufCount == 0) {
      int32_t n = fillInputBuffer(cd->inFd);
      if (n < 0) return kErrInputRead;
      if (n == 0) break;
    }
    int32_t more = SkipZeroRun();
    if (more < 0) return more;
    if (more == kDataEnded) break;
    if (*cd->recBufPtr == kEofMark && !cd->binaryData) break;

    SetItemPosition(item, cd->recStartPos);
    cd->colCursor = cd->colTable;
    RecordScan rs;
    more = ScanRecordBytes(item, rs);
    if (more < 0) return more;
    PadShortRecord(item, rs);
    ++cd->recCount;
    NoteRecordLength(item, rs);
    uint64_t len = cd->eorLen + (rs.columns - rs.tabSurplus);
    if (len > kMaxFileRecLen - cd->eorLen) return kErrLongRecord;
    SetItemLength(item, static_cast<uint16_t>(len));
    if (cd->selPassCount == cd->pOptionCount) {  // a primary record: keep its item
      item += cd->itemLen;
      --cd->subListFree;
    }
    for (uint32_t i = 0; more == kByteReady && !cd->binaryData && i < cd->eorLen; ++i) {
      more = Advance();  // step over the mark
      if (more < 0) return more;
    }
    cd->recStartPos += len;
    if (more == kDataEnded) break;
    if (cd->subListFree == 0) {
      WriteEndOfRun(item);
      return kOk;
    }
  }
  WriteEndOfRun(item);
  return kSubListLast;
}
