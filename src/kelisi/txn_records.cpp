// txn_records: inserting and deleting records in a change: where a record
// goes in the data file, the bytes it is written with, whether it gets an
// entry (the header's record tests, the duplicate rules of n, n0 and n$),
// and what deleting it leaves behind (a zero-filled record, listed where the
// index keeps a deleted-record list). Every rule is decided per index; a
// change over several indexes of one data file applies them to each index
// of the set (a change of one index is a set of one), the record written
// once.
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
  st = RecordAt(t, rec->data(), got, offset + got >= t->d->dataSize, &held, &size);
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
  return static_cast<int64_t>(static_cast<kelisi_txn*>(ctx)->d->dataSize);
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

// What an insert finds in one index before anything is written: whether
// the index selects the record, its key there, and under n0 and n$ the
// entry of the record the index keeps for that key.
struct Plan {
  bool selected = false;
  bool kept = false;
  uint32_t keptPos = 0;
  uint16_t keptSize = 0;
  uint8_t key[kMaxKeyBytes] = {};
};

// Enters the record written at `offset` in one index as its plan says:
// the status kelisi_txn_insert gives for it, its entry in t->entry.
int Enter(kelisi_txn* t, const Plan& plan, uint64_t offset, uint16_t size) {
  kelisi* ix = t->ix;
  uint32_t pos = PositionOf(t, offset);
  if (!plan.selected) {
    Fill(t, plan.key, offset, size, 0, false, &t->entry);
    return KELISI_NO_ENTRY;
  }
  ++t->recordCount;
  if (plan.kept) {
    // n0, n$: the index keeps the record nearest the start of the file.
    uint64_t keptOffset = IsiRecordOffset(ix->recNum, plan.keptPos, plan.keptSize);
    if (offset > keptOffset) {
      Fill(t, plan.key, offset, size, 0, false, &t->entry);
      return KELISI_NO_ENTRY;
    }
    int st = TreeRepoint(t, plan.key, plan.keptPos, pos, size);
    if (st != KELISI_OK) return st;
    Fill(t, plan.key, offset, size, 0, true, &t->entry);
    return KELISI_OK;
  }
  uint16_t dup = 0;
  int st = TreeInsert(t, plan.key, pos, size, t->unique, &dup);
  if (st != KELISI_OK) return st;
  Fill(t, plan.key, offset, size, dup, true, &t->entry);
  return KELISI_OK;
}

// The place of a new record: the newest deleted record's while every
// index of the change keeps a deleted-record list (taken from the first
// whose list holds any, and taken out of every other list that holds it),
// else the end of the data file.
int Place(kelisi_txn* lead, uint64_t* offset) {
  kelisi_txn* from = nullptr;
  bool lists = true;
  for (kelisi_txn* t : lead->parts) {
    lists = lists && !t->variable && t->keepsList;
    if (from == nullptr && t->ddrHead != kIsiNoSector) from = t;
  }
  if (!lists || from == nullptr) {
    *offset = lead->d->dataSize + (lead->d->endIncomplete ? MarkLength(lead->ix->hdr) : 0);
    for (kelisi_txn* t : lead->parts) {
      if (!PositionFits(t, *offset) ||
          (t->ix->recNum && t->ix->recordStride != 0 && *offset % t->ix->recordStride != 0)) {
        return KELISI_E_UNSUPPORTED;
      }
    }
    *offset = TxnAppendOffset(lead);
    return KELISI_OK;
  }
  int st = DdrTake(from, offset);
  if (st != KELISI_OK) return TxnSpoil(from, st < 0 ? st : KELISI_E_CORRUPT);
  for (kelisi_txn* t : lead->parts) {
    if (t == from) continue;
    st = DdrRemove(t, *offset);
    if (st < 0) return TxnSpoil(t, st);
  }
  return KELISI_OK;
}

int Insert(kelisi_txn* lead, const uint8_t* text, size_t len, kelisi_entry* out) {
  for (kelisi_txn* t : lead->parts) t->entryStatus = KELISI_E_ARG;
  std::vector<uint8_t>& rec = lead->record;
  int st = MakeRecord(lead, text, len, &rec);
  if (st != KELISI_OK) return st;
  std::vector<Plan> plans(lead->parts.size());
  // Every index reads the record back before anything is written: one that
  // refuses it, or whose key rules refuse it, leaves the files alone.
  for (size_t k = 0; k < lead->parts.size(); ++k) {
    kelisi_txn* t = lead->parts[k];
    RecordReading reading;
    st = ReadBack(t, rec, &reading);
    if (st != KELISI_OK) return st;
    plans[k].selected = reading.selected;
    if (reading.selected) memcpy(plans[k].key, reading.key, t->ix->keyLength);
  }
  for (size_t k = 0; k < lead->parts.size(); ++k) {
    kelisi_txn* t = lead->parts[k];
    Plan& p = plans[k];
    if (!p.selected || !(t->firstOfKey || t->unique)) continue;
    st = TreeFindFirst(t, p.key, t->ix->keyLength, &p.keptPos, &p.keptSize, nullptr);
    if (st < 0) return TxnSpoil(t, st);
    p.kept = st == KELISI_OK;
    if (p.kept && !t->firstOfKey) return TxnSpoil(t, KELISI_E_DUPLICATE);
  }
  uint64_t offset = 0;
  st = Place(lead, &offset);
  if (st != KELISI_OK) return st;
  TxnPutData(lead, offset, rec.data(), rec.size());
  uint16_t size = static_cast<uint16_t>(rec.size());
  int result = KELISI_OK;
  for (size_t k = 0; k < lead->parts.size(); ++k) {
    kelisi_txn* t = lead->parts[k];
    st = Enter(t, plans[k], offset, size);
    if (st < 0) return st;
    t->entryStatus = st;
    if (k == 0) result = st;
  }
  if (out != nullptr) *out = lead->entry;
  return result;
}

// The rest of deleting the record of `size` bytes at `offset`, whose
// entry in lead->parts[by] (key `key`) is gone already: its entry in every
// other index, the record zeroed, its place listed in every list the index
// keeps, and under n0 and n$ the next record of the key given the entry.
int DeleteRecord(kelisi_txn* lead, size_t by, uint64_t offset, uint16_t size, const uint8_t* key) {
  size_t n = lead->parts.size();
  std::vector<uint8_t> keys(n * kMaxKeyBytes);
  std::vector<uint8_t> removed(n, 0);
  memcpy(&keys[by * kMaxKeyBytes], key, lead->parts[by]->ix->keyLength);
  removed[by] = 1;
  std::vector<uint8_t> rec(size);
  if (n > 1) {
    size_t got = 0;
    int st = TxnReadData(lead, offset, rec.data(), size, &got);
    if (st != KELISI_OK) return TxnSpoil(lead, st);
    for (size_t k = 0; k < n; ++k) {
      kelisi_txn* t = lead->parts[k];
      if (k == by || !PositionFits(t, offset)) continue;
      uint8_t* kk = &keys[k * kMaxKeyBytes];
      if (RecordKey(t->ix, rec.data(), got, kk) != KELISI_OK) continue;
      uint16_t had = 0;
      st = TreeRemove(t, kk, PositionOf(t, offset), &had);
      if (st < 0) return TxnSpoil(t, st);
      removed[k] = st == KELISI_OK;
    }
  }
  std::fill(rec.begin(), rec.end(), 0);
  TxnPutData(lead, offset, rec.data(), rec.size());
  for (size_t k = 0; k < n; ++k) {
    kelisi_txn* t = lead->parts[k];
    if (!t->variable) {
      int st = DdrAdd(t, offset);
      if (st != KELISI_OK) return st;
    }
    if (!removed[k]) continue;
    if (t->recordCount > 0) --t->recordCount;
    if (!t->firstOfKey) continue;
    // n0, n$: the next record of the key takes the entry.
    uint64_t next = 0;
    uint16_t nextSize = 0;
    const uint8_t* kk = &keys[k * kMaxKeyBytes];
    int st = FirstRecordOfKey(t, kk, &next, &nextSize);
    if (st == KELISI_NOTFOUND) continue;
    if (st != KELISI_OK) return TxnSpoil(t, st);
    uint16_t dup;
    st = TreeInsert(t, kk, PositionOf(t, next), nextSize, false, &dup);
    if (st != KELISI_OK) return st;
  }
  return KELISI_OK;
}

// Deletes the entry key/pos of the lead's index and its record.
int Delete(kelisi_txn* lead, const uint8_t* key, uint32_t pos) {
  uint16_t size = 0;
  int st = TreeRemove(lead, key, pos, &size);
  if (st != KELISI_OK) return st;
  return DeleteRecord(lead, 0, IsiRecordOffset(lead->ix->recNum, pos, size), size, key);
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

// Deletes the record at `offset` through the first index of the change
// that has an entry for it.
int DeleteAt(kelisi_txn* lead, uint64_t offset) {
  std::vector<uint8_t> rec;
  int st = ReadRecord(lead, offset, &rec);
  if (st != KELISI_OK) return st == KELISI_NOTFOUND ? st : TxnSpoil(lead, st);
  int result = KELISI_NOTFOUND;
  for (size_t k = 0; k < lead->parts.size(); ++k) {
    kelisi_txn* t = lead->parts[k];
    uint8_t key[kMaxKeyBytes];
    st = RecordKey(t->ix, rec.data(), rec.size(), key);
    if (st != KELISI_OK) {
      if (k == 0) result = st;
      continue;
    }
    if (!PositionFits(t, offset)) continue;
    uint16_t size = 0;
    st = TreeRemove(t, key, PositionOf(t, offset), &size);
    if (st == KELISI_NOTFOUND) continue;
    if (st != KELISI_OK) return st;
    return DeleteRecord(lead, k, offset, size, key);
  }
  return result;
}

template <class Op>
int Run(kelisi_txn* t, Op op) {
  if (t == nullptr) return KELISI_E_ARG;
  if (t->lead->spoiled != KELISI_OK) return t->lead->spoiled;
  return op();
}

}  // namespace
}  // namespace kisi

extern "C" {

KELISI_API int kelisi_txn_insert(kelisi_txn* t, const void* record, size_t len, kelisi_entry* out) {
  if (record == nullptr && len != 0) return KELISI_E_ARG;
  return kisi::Run(
      t, [&] { return kisi::Insert(t->lead, static_cast<const uint8_t*>(record), len, out); });
}

KELISI_API int kelisi_txn_delete(kelisi_txn* t, const kelisi_entry* e) {
  if (e == nullptr || e->key == nullptr) return KELISI_E_ARG;
  return kisi::Run(t, [&] {
    if (e->key_length != t->ix->keyLength) return static_cast<int>(KELISI_E_ARG);
    return kisi::Delete(t->lead, e->key, e->position);
  });
}

KELISI_API int kelisi_txn_delete_key(kelisi_txn* t, const void* key, size_t len, unsigned flags,
                                     uint64_t* deleted) {
  if (deleted != nullptr) *deleted = 0;
  if (key == nullptr || (flags & ~static_cast<unsigned>(KELISI_PREFIX)) != 0) return KELISI_E_ARG;
  return kisi::Run(t, [&] {
    if (len == 0 || len > t->ix->keyLength) return static_cast<int>(KELISI_E_ARG);
    return kisi::DeleteKey(t->lead, static_cast<const uint8_t*>(key), static_cast<uint32_t>(len),
                           deleted);
  });
}

KELISI_API int kelisi_txn_delete_at(kelisi_txn* t, uint64_t offset) {
  return kisi::Run(t, [&] { return kisi::DeleteAt(t->lead, offset); });
}

}  // extern "C"
