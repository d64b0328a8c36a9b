// txn_records: inserting and deleting records in a change: where a record
// goes in the data file, the bytes it is written with, whether it gets an
// entry (the header's record tests, the duplicate rules of n, n0 and n$),
// and what deleting it leaves behind (a zero-filled record, listed where the
// index keeps a deleted-record list).
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/sector_check.h"
#include "core/sort_item.h"
#include "kelisi/scan.h"
#include "kelisi/txn_internal.h"

namespace kisi {

namespace {

constexpr size_t kMostRecord = 65535;  // a record's size is a 16-bit field

uint32_t MarkLength(const kelisi_header& h) {
  return h.binary ? 0 : h.eor_length;
}

uint32_t PositionOf(const kelisi_txn* t, uint64_t offset) {
  return static_cast<uint32_t>(t->ix->recNum ? offset / t->ix->recordStride : offset);
}

bool PositionFits(const kelisi_txn* t, uint64_t offset) {
  uint64_t pos = t->ix->recNum ? offset / t->ix->recordStride : offset;
  return pos <= UINT32_MAX;  // an entry holds a 32-bit position
}

// The record's text (no end-of-record bytes) made into the bytes the data
// file holds: padded to the record length (fixed length), its mark behind
// it. KELISI_E_TOO_LONG for one the records of the index cannot hold.
int MakeRecord(const kelisi_txn* t, const uint8_t* text, size_t len, std::vector<uint8_t>* rec) {
  const kelisi_header& h = t->ix->hdr;
  uint32_t mark = MarkLength(h);
  if (!t->variable && len > h.record_length) return KELISI_E_TOO_LONG;
  if (t->variable && len + mark > kMostRecord) return KELISI_E_TOO_LONG;
  rec->assign(text, text + len);
  if (!t->variable) rec->resize(h.record_length, kKeyBlank);
  rec->insert(rec->end(), h.eor, h.eor + mark);
  return KELISI_OK;
}

// Reads the record as a build would read the data file holding it: its
// key and whether it is selected. KELISI_E_RECORD (KELISI_E_TOO_LONG for
// a record longer than the index's records may be) when a build would read
// other records, or find the data out of the form the index promises.
int ReadBack(kelisi_txn* t, const std::vector<uint8_t>& rec, RecordReading* reading) {
  if (!t->recordScan) {
    t->recordScan = NewScan(t->ix, 2, ScanReader{});
    if (!t->recordScan) return KELISI_E_NOMEM;
  }
  Status st =
      ReadRecordBack(&t->recordScan->s, rec.data(), static_cast<uint32_t>(rec.size()), reading);
  if (st != kOk) return st == kErrMemory ? KELISI_E_NOMEM : KELISI_E_RECORD;
  if (!reading->whole) return KELISI_E_RECORD;
  if (!reading->formKept) return reading->tooLong ? KELISI_E_TOO_LONG : KELISI_E_RECORD;
  return KELISI_OK;
}

// The record that starts at `r`, of which `avail` bytes of the data file
// (as the change sees it) are at hand, `last` when they run to its end: OK
// with the bytes the file holds of it in *held and the size an entry gives
// it in *size, which for the file's last record may count end-of-record
// bytes the file does not hold; KELISI_NOTFOUND when no whole record
// starts there (or, not `last`, none ends within the bytes at hand).
int RecordAt(const kelisi_txn* t, const uint8_t* r, size_t avail, bool last, size_t* held,
             size_t* size) {
  const kelisi_header& h = t->ix->hdr;
  uint32_t mark = MarkLength(h);
  if (!t->variable) {
    *size = t->ix->recordStride;
    if (!last && avail < *size) return KELISI_NOTFOUND;
    *held = HeldBytes(h, r, *size, last ? avail : avail + 1);
  } else {
    size_t end = 0;
    while (end + mark <= avail &&
           !(mark > 0 && AtRecordMark(r + end, h.eor[0], mark > 1 ? h.eor[1] : 0))) {
      ++end;
    }
    if (end + mark <= avail) {
      *held = *size = end + mark;
    } else if (!last) {
      return KELISI_NOTFOUND;
    } else {
      // The last record ends with the file: as the build's scan ends it.
      *held = avail > 0 && r[avail - 1] == kEofMark && !h.binary ? avail - 1 : avail;
      *size = *held + mark;
    }
  }
  uint32_t span = IsiDeletedRecordSpan(h.format_flags, t->ix->recordStride);
  if (*held == 0 || *size > kMostRecord || IsiIsDeletedRecord(r, std::min<size_t>(span, *held))) {
    return KELISI_NOTFOUND;
  }
  return KELISI_OK;
}

// Reads the record at `offset` (the bytes the file holds of it): OK, or
// KELISI_NOTFOUND when no record starts there.
int ReadRecord(kelisi_txn* t, uint64_t offset, std::vector<uint8_t>* rec) {
  size_t want = t->variable ? kMostRecord : t->ix->recordStride;
  if (!t->variable && t->ix->recordStride != 0 && offset % t->ix->recordStride != 0) {
    return KELISI_NOTFOUND;
  }
  rec->resize(want);
  size_t got = 0;
  int st = TxnReadData(t, offset, rec->data(), want, &got);
  if (st != KELISI_OK) return st;
  size_t held = 0, size = 0;
  st = RecordAt(t, rec->data(), got, offset + got >= t->dataSize, &held, &size);
  rec->resize(held);
  return st;
}

// Under n0 and n$: the first record of the data file with `key` that the
// options select, as a build would keep it (KELISI_NOTFOUND: none). Scans
// the whole data file as the change sees it.
ssize_t ReadChangedData(void* ctx, uint64_t offset, void* buf, size_t len) {
  size_t got = 0;
  auto* t = static_cast<kelisi_txn*>(ctx);
  if (TxnReadData(t, offset, static_cast<uint8_t*>(buf), len, &got) != KELISI_OK) return -1;
  return static_cast<ssize_t>(got);
}

int64_t ChangedDataSize(void* ctx) {
  return static_cast<int64_t>(static_cast<kelisi_txn*>(ctx)->dataSize);
}

int FirstRecordOfKey(kelisi_txn* t, const uint8_t* key, uint64_t* offset, uint16_t* size) {
  constexpr uint32_t kBatch = 4096;
  std::unique_ptr<LibScan> scan =
      NewScan(t->ix, kBatch, ScanReader{ReadChangedData, ChangedDataSize, t});
  if (!scan) return KELISI_E_NOMEM;
  DataScan& s = scan->s;
  for (Status st = kOk; st == kOk;) {
    st = ScanSubList(&s);
    if (st != kOk && st != kSubListLast)
      return st == kErrMemory ? KELISI_E_NOMEM : KELISI_E_DATA_READ;
    // Items are in the order of the data: the first match is the first record.
    for (const uint8_t* item = s.sortMem; !IsEndOfRun(item); item += s.itemLen) {
      if (memcmp(item + kItemKeyOfs, key, s.keyLen) == 0) {
        *offset = ItemPosition(item);
        *size = ItemLength(item);
        return KELISI_OK;
      }
    }
  }
  return KELISI_NOTFOUND;
}

void Fill(kelisi_txn* t, const uint8_t* key, uint64_t offset, uint32_t size, uint16_t dup,
          bool entry, kelisi_entry* out) {
  if (out == nullptr) return;
  memset(out, 0, sizeof *out);
  memcpy(t->key, key, t->ix->keyLength);
  out->key = t->key;
  out->key_length = entry ? t->ix->keyLength : 0;
  out->record_offset = offset;
  out->record_size = size;
  out->dup_seq = dup;
  out->position = PositionOf(t, offset);
}

int Insert(kelisi_txn* t, const uint8_t* text, size_t len, kelisi_entry* out) {
  kelisi* ix = t->ix;
  std::vector<uint8_t>& rec = t->record;
  int st = MakeRecord(t, text, len, &rec);
  if (st != KELISI_OK) return st;
  RecordReading reading;
  st = ReadBack(t, rec, &reading);
  if (st != KELISI_OK) return st;
  uint8_t key[kMaxKeyBytes] = {};
  if (reading.selected) memcpy(key, reading.key, ix->keyLength);
  uint16_t size = static_cast<uint16_t>(rec.size());
  uint32_t keptPos = 0;
  uint16_t keptSize = 0;
  bool kept = false;
  if (reading.selected && (t->firstOfKey || t->unique)) {
    st = TreeFindFirst(t, key, ix->keyLength, &keptPos, &keptSize, nullptr);
    if (st < 0) return TxnSpoil(t, st);
    kept = st == KELISI_OK;
    if (kept && !t->firstOfKey) return TxnSpoil(t, KELISI_E_DUPLICATE);
  }
  // The place: the newest deleted record's, or the end of the file.
  bool reuse = !t->variable && t->keepsList && t->ddrHead != kIsiNoSector;
  uint64_t offset = reuse ? 0 : t->dataSize + (t->endIncomplete ? MarkLength(ix->hdr) : 0);
  if (!reuse && (!PositionFits(t, offset) ||
                 (ix->recNum && ix->recordStride != 0 && offset % ix->recordStride != 0))) {
    return KELISI_E_UNSUPPORTED;
  }
  if (reuse) {
    st = DdrTake(t, &offset);
    if (st != KELISI_OK) return TxnSpoil(t, st < 0 ? st : KELISI_E_CORRUPT);
  } else {
    offset = TxnAppendOffset(t);
  }
  TxnPutData(t, offset, rec.data(), rec.size());
  uint32_t pos = PositionOf(t, offset);
  if (!reading.selected) {
    Fill(t, key, offset, size, 0, false, out);
    return KELISI_NO_ENTRY;
  }
  ++t->recordCount;
  if (kept) {
    // n0, n$: the index keeps the record nearest the start of the file.
    uint64_t keptOffset = IsiRecordOffset(ix->recNum, keptPos, keptSize);
    if (offset > keptOffset) {
      Fill(t, key, offset, size, 0, false, out);
      return KELISI_NO_ENTRY;
    }
    st = TreeRepoint(t, key, keptPos, pos, size);
    if (st != KELISI_OK) return st;
    Fill(t, key, offset, size, 0, true, out);
    return KELISI_OK;
  }
  uint16_t dup = 0;
  st = TreeInsert(t, key, pos, size, t->unique, &dup);
  if (st != KELISI_OK) return st;
  Fill(t, key, offset, size, dup, true, out);
  return KELISI_OK;
}

// Deletes the entry key/pos and its record at `offset`.
int Delete(kelisi_txn* t, const uint8_t* key, uint32_t pos) {
  kelisi* ix = t->ix;
  uint16_t size = 0;
  int st = TreeRemove(t, key, pos, &size);
  if (st != KELISI_OK) return st;
  uint64_t offset = IsiRecordOffset(ix->recNum, pos, size);
  std::vector<uint8_t> zero(size, 0);
  TxnPutData(t, offset, zero.data(), zero.size());
  if (!t->variable) st = DdrAdd(t, offset);
  if (st != KELISI_OK) return st;
  if (t->recordCount > 0) --t->recordCount;
  if (!t->firstOfKey) return KELISI_OK;
  // n0, n$: the next record of the key takes the entry.
  uint64_t next = 0;
  uint16_t nextSize = 0;
  st = FirstRecordOfKey(t, key, &next, &nextSize);
  if (st == KELISI_NOTFOUND) return KELISI_OK;
  if (st != KELISI_OK) return TxnSpoil(t, st);
  uint16_t dup;
  return TreeInsert(t, key, PositionOf(t, next), nextSize, false, &dup);
}

// Deletes every record whose entry's first `len` key bytes are `key`, the
// first entry of the key first, as the change sees the index: under n0 and
// n$ the record that takes the entry over goes too.
int DeleteKey(kelisi_txn* t, const uint8_t* key, uint32_t len, uint64_t* deleted) {
  uint64_t n = 0;
  uint8_t found[kMaxKeyBytes];
  for (;;) {
    uint32_t pos = 0;
    uint16_t size = 0;
    int st = TreeFindFirst(t, key, len, &pos, &size, found);
    if (st == KELISI_NOTFOUND) break;
    if (st == KELISI_OK) st = Delete(t, found, pos);
    // The entry was just found: not finding it again is damage.
    if (st != KELISI_OK) return TxnSpoil(t, st == KELISI_NOTFOUND ? KELISI_E_CORRUPT : st);
    ++n;
  }
  if (deleted != nullptr) *deleted = n;
  return n == 0 ? KELISI_NOTFOUND : KELISI_OK;
}

int DeleteAt(kelisi_txn* t, uint64_t offset) {
  std::vector<uint8_t> rec;
  int st = ReadRecord(t, offset, &rec);
  if (st != KELISI_OK) return st == KELISI_NOTFOUND ? st : TxnSpoil(t, st);
  uint8_t key[kMaxKeyBytes];
  st = RecordKey(t->ix, rec.data(), rec.size(), key);
  if (st != KELISI_OK) return st;
  if (!PositionFits(t, offset)) return KELISI_NOTFOUND;
  return Delete(t, key, PositionOf(t, offset));
}

template <class Op>
int Run(kelisi_txn* t, Op op) {
  if (t == nullptr) return KELISI_E_ARG;
  if (t->spoiled != KELISI_OK) return t->spoiled;
  return op();
}

}  // namespace
}  // namespace kisi

extern "C" {

KELISI_API int kelisi_txn_insert(kelisi_txn* t, const void* record, size_t len, kelisi_entry* out) {
  if (record == nullptr && len != 0) return KELISI_E_ARG;
  return kisi::Run(t,
                   [&] { return kisi::Insert(t, static_cast<const uint8_t*>(record), len, out); });
}

KELISI_API int kelisi_txn_delete(kelisi_txn* t, const kelisi_entry* e) {
  if (e == nullptr || e->key == nullptr) return KELISI_E_ARG;
  return kisi::Run(t, [&] {
    if (e->key_length != t->ix->keyLength) return static_cast<int>(KELISI_E_ARG);
    return kisi::Delete(t, e->key, e->position);
  });
}

KELISI_API int kelisi_txn_delete_key(kelisi_txn* t, const void* key, size_t len, unsigned flags,
                                     uint64_t* deleted) {
  if (deleted != nullptr) *deleted = 0;
  if (key == nullptr || (flags & ~static_cast<unsigned>(KELISI_PREFIX)) != 0) return KELISI_E_ARG;
  return kisi::Run(t, [&] {
    if (len == 0 || len > t->ix->keyLength) return static_cast<int>(KELISI_E_ARG);
    return kisi::DeleteKey(t, static_cast<const uint8_t*>(key), static_cast<uint32_t>(len),
                           deleted);
  });
}

KELISI_API int kelisi_txn_delete_at(kelisi_txn* t, uint64_t offset) {
  return kisi::Run(t, [&] { return kisi::DeleteAt(t, offset); });
}

}  // extern "C"
