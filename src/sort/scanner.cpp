// The record scanner: reads the data file front to back through recBuf and
// turns every record into a sort item (position, length in the file, key
// bytes). Deleted records go to the deleted-record routine; records failing
// the primary-record tests take no item; departures from the expected
// format are noted in the findings flags.
//
// Each record is first found whole in the buffer: one look for its mark,
// which also meets its tabs. A record that runs past the buffer's end is
// read again from its start, so that it lies in one piece; then its key is
// extracted (record_key.h) and its tests evaluated in place. Only key bytes
// are copied, and nothing grows with the number of records. Where the data
// end at an end-of-file mark, readPos is settled where fills read one after
// another would stand (SettleReadPosAt): it is the data length the index
// records.
#include "sort/scanner.h"

#include <cstring>

#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "sort/plain_run.h"
#include "sort/record_key.h"
#include "sort/sort_item.h"

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

// True when the buffer's data run to the end of the file: the last fill
// was short of a full buffer.
bool BufferEndsData() {
  return pCmdData->lastFillCount < kRecBufData;
}

// For a record that runs past the buffer's end: reads the buffer again from
// the record's start, so that the record lies in one piece (*before stays
// 0); or, for a text record that fills the buffer from its start already,
// moves on to the next buffer, adding the bytes passed to *before. Such a
// record is refused, but read to its end all the same: its length decides
// the findings. kByteReady, kDataEnded (the data end with the record) or
// kErrInputRead.
int32_t ReadOnPastBufferEnd(uint64_t* before) {
  CmdData* cd = pCmdData;
  if (*before == 0 && cd->recBufPtr != cd->recBuf) {
    cd->readPos = cd->recStartPos;
    // The bytes were there a moment ago: a read that finds none fails too.
    return fillInputBuffer(cd->inFd) > 0 ? kByteReady : kErrInputRead;
  }
  *before += static_cast<uint64_t>(cd->recBufCount);
  cd->recBufPtr += cd->recBufCount;
  cd->recBufCount = 0;
  int32_t n = fillInputBuffer(cd->inFd);
  if (n < 0) return kErrInputRead;
  return n > 0 ? kByteReady : kDataEnded;
}

// Finds the text record that starts at recBufPtr: its bytes up to the mark
// (or the end of the data) and its columns, a tab counting for the columns
// it stands for when tabs are expanded. kByteReady, or kErrInputRead.
int32_t LocateTextRecord(RecordSpan* r) {
  CmdData* cd = pCmdData;
  const bool expand = cd->spaceCompIsComp != 0;
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
    if (found || BufferEndsData()) {
      *r = RecordSpan{p, before + i, before + i + surplus, tabs, !found};
      return kByteReady;
    }
    int32_t more = ReadOnPastBufferEnd(&before);
    if (more < 0) return more;
    if (before == 0) {  // read again from the record's start
      surplus = 0;
      tabs = false;
    }
    if (more == kDataEnded) {
      *r = RecordSpan{p, before, before + surplus, tabs, true};
      return kByteReady;
    }
  }
}

// A binary record with its mark (option g) must end in it: its last two
// bytes for a two-byte mark, its last byte for a one-byte mark.
bool BinaryMarkOk(const uint8_t* p) {
  CmdData* cd = pCmdData;
  if (cd->isiEorLen == 2) return p[0] == cd->eorChar1 && p[1] == cd->eorChar2;
  return p[1] == cd->eorChar1;
}

// Finds the binary record of recLenFound bytes that starts at recBufPtr
// (fewer where the data end inside it). The record length is held below
// the buffer's size when the data file is opened, so a record that runs
// past the buffer's end fits once read again from its start. kByteReady,
// kErrBinaryEor, kErrLongRecord or kErrInputRead.
int32_t LocateBinaryRecord(RecordSpan* r) {
  CmdData* cd = pCmdData;
  const uint64_t need = cd->recLenFound;
  uint64_t before = 0;
  for (;;) {
    const uint8_t* p = cd->recBufPtr;
    const uint64_t avail = static_cast<uint64_t>(cd->recBufCount);
    if (avail >= need || BufferEndsData()) {
      uint64_t bytes = avail < need ? avail : need;
      // The mark is checked from the record's next to last byte on, the
      // byte after the data (zero) standing in for one that is missing.
      if (cd->binaryWithEor && need >= 2 && bytes + 1 >= need && !BinaryMarkOk(p + need - 2)) {
        return kErrBinaryEor;
      }
      *r = RecordSpan{p, bytes, bytes, false, bytes < need};
      return kByteReady;
    }
    if (p == cd->recBuf) return kErrLongRecord;
    int32_t more = ReadOnPastBufferEnd(&before);
    if (more != kByteReady) return more < 0 ? more : kErrInputRead;
  }
}

// Steps over the record and its mark: kByteReady with the next record's
// first byte current, kDataEnded, or kErrInputRead.
int32_t StepOver(const RecordSpan& r) {
  CmdData* cd = pCmdData;
  int32_t more = r.bytes > 0 ? AdvanceBy(static_cast<uint32_t>(r.bytes)) : kByteReady;
  for (uint32_t i = 0; more == kByteReady && !cd->binaryData && !r.ended && i < cd->eorLen; ++i) {
    more = Advance();
  }
  return more;
}

uint32_t ClampU32(uint64_t v) {
  return v < UINT32_MAX ? static_cast<uint32_t>(v) : UINT32_MAX;
}

// Record-length bookkeeping after a record: the length in effect taken from
// the first record when none is known, and long records under option s.
void NoteRecordLength(const uint8_t* item, uint64_t columns) {
  CmdData* cd = pCmdData;
  if (cd->recLenFound == 0) {
    uint32_t len = ClampU32(columns);
    if (cd->allowVarLen && len < kDefaultMaxVarLen) len = kDefaultMaxVarLen;
    cd->recLenFound = len + cd->eorLen;
  }
  if (!cd->binaryData && cd->allowSpaceComp && columns > cd->recLenFound) {
    if (cd->diagMode && !cd->longRecFound) {
      CmdShowf(
          "\nCreateSubList(1):\n1st Long Rec Length:%d at LFA:0x%.8llX Max Allowed "
          "RecordLength:%d!\n",
          static_cast<int>(ClampU32(columns)), static_cast<unsigned long long>(ItemPosition(item)),
          static_cast<int>(cd->recLenFound));
    }
    cd->longRecFound = 1;
  }
}

// The key layout of the run, from the column table's key bytes.
void PrepareKeyLayout() {
  CmdData* cd = pCmdData;
  KeyLayoutClear(&cd->keyLayout);
  for (int i = 0; i < kMaxColumns && cd->colTable[i].keyPos != kColEnd; ++i) {
    const ColumnEntry& e = cd->colTable[i];
    if ((e.flags & kColKey) && e.keyPos < cd->keyLen) {
      KeyLayoutAdd(&cd->keyLayout, e.column, e.keyPos, (e.flags & kColUpper) != 0);
    }
  }
  KeyLayoutFinish(&cd->keyLayout);
}

void WriteEndOfRun(uint8_t* item) {
  memset(item, 0xFF, pCmdData->itemLen);
}

// The records of one sub-list: CreateSubList but for the data length. Out
// of line, so that what follows it leaves the record loop's code alone.
[[gnu::noinline]] Status ScanSubList() {
  CmdData* cd = pCmdData;
  if (cd->itemsInMem < 2) {
    CmdShowf("Sort memory too small for a sort sub-list.\n");
    return kErrMemory;
  }
  if (cd->binaryData && cd->recLenFound == 0) return kErrRecSize;  // no binary record length
  uint8_t* item = cd->sortMem;
  cd->subListFree = cd->itemsInMem - 1;
  PrepareKeyLayout();
  for (;;) {
    if (cd->recBufCount == 0) {
      int32_t n = fillInputBuffer(cd->inFd);
      if (n < 0) return kErrInputRead;
      if (n == 0) break;
    }
    int32_t more = SkipZeroRun();
    if (more < 0) return more;
    if (more == kDataEnded) break;
    if (*cd->recBufPtr == kEofMark && !cd->binaryData) break;

    RecordSpan r;
    more = cd->binaryData ? LocateBinaryRecord(&r) : LocateTextRecord(&r);
    if (more < 0) return more;
    SetItemPosition(item, cd->recStartPos);
    ++cd->recCount;
    NoteRecordLength(item, r.columns);
    uint64_t len = cd->eorLen + r.bytes;
    if (len > kMaxFileRecLen - cd->eorLen) return kErrLongRecord;
    // A primary record takes an item (without p options every record is one).
    if (cd->pOptionCount == 0 || SelectRecord(r)) {
      ExtractKey(cd->keyLayout, r.text, r.bytes, r.tabs, item + kItemKeyOfs);
      SetItemLength(item, static_cast<uint16_t>(len));
      item += cd->itemLen;
      --cd->subListFree;
    }
    more = StepOver(r);
    if (more < 0) return more;
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

}  // namespace

Status CreateSubList() {
  Status s = ScanSubList();
  // Bytes are left in the buffer only when the data end at an end-of-file
  // mark: the byte at recStartPos.
  if (s == kSubListLast && pCmdData->recBufCount > 0) {
    Status settled = SettleReadPosAt(pCmdData->recStartPos);
    if (settled != kOk) return settled;
  }
  return s;
}
