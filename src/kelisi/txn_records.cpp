// txn_records: inserting and deleting records in a change: where a record
// goes in the data file, the bytes it is written with, whether it gets an
// entry (the header's record tests, the duplicate rules of n, n0 and n$),
// and what deleting it leaves behind (a zero-filled record, listed where the
// index keeps a deleted-record list).
#include <algorithm>
#include <cstring>
#include <vector>

#include "isi/sector_check.h"
#include "kelisi/txn_internal.h"

namespace kisi {

namespace {

constexpr size_t kMostRecord = 65535;  // a record's size is a 16-bit field
constexpr size_t kScanBlock = 1u << 20;

uint32_t MarkLength(const kelisi_header& h) {
  return h.binary ? 0 : h.eor_length;
}

// The byte a record test sees at 0-based `column`: the record's byte, a
// blank under a tab where tabs stand for blanks, a blank past its end.
uint8_t Shown(const kelisi_header& h, const uint8_t* text, size_t len, uint32_t column) {
  bool tabs = h.space_compression && !h.binary;
  uint64_t at = 0;
  for (size_t i = 0; i < len; ++i) {
    uint64_t width = tabs && text[i] == '\t' ? TabColumns(at) : 1;
    if (column < at + width) return tabs && text[i] == '\t' ? kKeyBlank : text[i];
    at += width;
  }
  return kKeyBlank;
}

// The header's record tests, every one of which a record must pass.
bool Selected(const kelisi_header& h, const uint8_t* text, size_t len) {
  for (uint32_t i = 0; i < h.test_count; ++i) {
    const kelisi_test& k = h.tests[i];
    uint8_t shown = Shown(h, text, len, k.column - 1);
    if ((k.op == '=') != (shown == k.ch)) return false;
  }
  return true;
}

uint32_t PositionOf(const kelisi_txn* t, uint64_t offset) {
  return static_cast<uint32_t>(t->ix->recNum ? offset / t->ix->recordStride : offset);
}

bool PositionFits(const kelisi_txn* t, uint64_t offset) {
  uint64_t pos = t->ix->recNum ? offset / t->ix->recordStride : offset;
  return pos <= UINT32_MAX;  // an entry holds a 32-bit position
}

// The record's text (no end-of-record bytes) made into the bytes the data
// file holds; a status when the file cannot hold it.
int MakeRecord(const kelisi_txn* t, const uint8_t* text, size_t len, std::vector<uint8_t>* rec) {
  const kelisi_header& h = t->ix->hdr;
  uint32_t mark = MarkLength(h);
  if (!t->variable && len > h.record_length) return KELISI_E_TOO_LONG;
  if (t->variable && len + mark > kMostRecord) return KELISI_E_TOO_LONG;
  // An end-of-record byte inside the text would end the record there.
  for (uint32_t i = 0; i < mark; ++i) {
    if (memchr(text, h.eor[i], len) != nullptr) return KELISI_E_RECORD;
  }
  rec->assign(text, text + len);
  if (!t->variable) rec->resize(h.record_length, kKeyBlank);
  rec->insert(rec->end(), h.eor, h.eor + mark);
  uint32_t span = IsiDeletedRecordSpan(h.format_flags, t->ix->recordStride);
  if (rec->empty() || IsiIsDeletedRecord(rec->data(), std::min<size_t>(span, rec->size()))) {
    return KELISI_E_RECORD;
  }
  return KELISI_OK;
}

// Reads the record at `offset`: fixed length, or up to its end-of-record
// bytes. KELISI_NOTFOUND when no record starts there.
int ReadRecord(kelisi_txn* t, uint64_t offset, std::vector<uint8_t>* rec) {
  const kelisi_header& h = t->ix->hdr;
  uint32_t mark = MarkLength(h);
  size_t want = t->variable ? kMostRecord : t->ix->recordStride;
  if (!t->variable && t->ix->recordStride != 0 && offset % t->ix->recordStride != 0) {
    return KELISI_NOTFOUND;
  }
  rec->resize(want);
  size_t got = 0;
  int st = TxnReadData(t, offset, rec->data(), want, &got);
  if (st != KELISI_OK) return st;
  rec->resize(got);
  if (t->variable) {
    size_t end = 0;
    while (end + mark <= got && !(mark > 0 && AtRecordMark(rec->data() + end, h.eor[0],
                                                          mark > 1 ? h.eor[1] : 0))) {
      ++end;
    }
    if (end + mark > got) return KELISI_NOTFOUND;
    rec->resize(end + mark);
  } else if (got != want) {
    return KELISI_NOTFOUND;
  }
  uint32_t span = IsiDeletedRecordSpan(h.format_flags, t->ix->recordStride);
  if (rec->empty() || IsiIsDeletedRecord(rec->data(), std::min<size_t>(span, rec->size()))) {
    return KELISI_NOTFOUND;
  }
  return KELISI_OK;
}

// Under n0 and n$: the first live record of the data file with `key` that
// the header's tests select, as a build would keep it (KELISI_NOTFOUND:
// none). Reads the whole data file.
int FirstRecordOfKey(kelisi_txn* t, const uint8_t* key, uint64_t* offset, uint16_t* size) {
  const kelisi_header& h = t->ix->hdr;
  uint32_t mark = MarkLength(h), stride = t->ix->recordStride;
  std::vector<uint8_t> block(kScanBlock + kMostRecord);
  uint8_t k[kMaxKeyBytes];
  uint64_t at = 0;
  while (at < t->dataSize) {
    size_t got = 0;
    int st = TxnReadData(t, at, block.data(), block.size(), &got);
    if (st != KELISI_OK) return st;
    size_t i = 0;
    while (i < got) {
      size_t len;
      if (!t->variable) {
        if (i + stride > got) break;
        len = stride;
      } else {
        if (block[i] == 0) {  // the zero bytes of deleted records
          ++i;
          continue;
        }
        size_t end = i;
        while (end + mark <= got &&
               !(mark > 0 && AtRecordMark(&block[end], h.eor[0], mark > 1 ? h.eor[1] : 0))) {
          ++end;
        }
        if (end + mark > got) break;
        len = end + mark - i;
      }
      const uint8_t* r = &block[i];
      uint32_t span = IsiDeletedRecordSpan(h.format_flags, stride);
      if (!IsiIsDeletedRecord(r, std::min<size_t>(span, len)) &&
          RecordKey(t->ix, r, len, k) == KELISI_OK && memcmp(k, key, h.key_length) == 0 &&
          Selected(h, r, len - mark)) {
        *offset = at + i;
        *size = static_cast<uint16_t>(len);
        return KELISI_OK;
      }
      i += len;
    }
    if (i == 0) break;  // a record longer than the block: no record
    at += i;
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
  const kelisi_header& h = ix->hdr;
  if (h.extended_selection) return KELISI_E_UNSUPPORTED;
  std::vector<uint8_t>& rec = t->record;
  int st = MakeRecord(t, text, len, &rec);
  if (st != KELISI_OK) return st;
  uint8_t key[kMaxKeyBytes];
  st = RecordKey(ix, rec.data(), rec.size(), key);
  if (st != KELISI_OK) return st;
  bool selected = Selected(h, text, len);
  uint16_t size = static_cast<uint16_t>(rec.size());
  uint32_t keptPos = 0;
  uint16_t keptSize = 0;
  bool kept = false;
  if (selected && h.no_duplicates) {
    st = TreeFindFirst(t, key, ix->keyLength, &keptPos, &keptSize, nullptr);
    if (st < 0) return TxnSpoil(t, st);
    kept = st == KELISI_OK;
    if (kept && !t->firstOfKey) return TxnSpoil(t, KELISI_E_DUPLICATE);
  }
  // The place: the newest deleted record's, or the end of the file.
  uint64_t offset = t->dataSize;
  bool reuse = !t->variable && t->keepsList && t->ddrHead != kIsiNoSector;
  if (!reuse && (!PositionFits(t, offset) ||
                 (ix->recNum && ix->recordStride != 0 && offset % ix->recordStride != 0))) {
    return KELISI_E_UNSUPPORTED;
  }
  if (reuse) {
    st = DdrTake(t, &offset);
    if (st != KELISI_OK) return TxnSpoil(t, st < 0 ? st : KELISI_E_CORRUPT);
  }
  TxnPutData(t, offset, rec.data(), rec.size());
  if (t->variable && len > t->recordLength) t->recordLength = static_cast<uint32_t>(len);
  uint32_t pos = PositionOf(t, offset);
  if (!selected) {
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
  st = TreeInsert(t, key, pos, size, h.no_duplicates != 0, &dup);
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
  uint64_t next;
  uint16_t nextSize;
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

KELISI_API int kelisi_txn_insert(kelisi_txn* t, const void* record, size_t len,
                                 kelisi_entry* out) {
  if (record == nullptr && len != 0) return KELISI_E_ARG;
  return kisi::Run(t, [&] {
    return kisi::Insert(t, static_cast<const uint8_t*>(record), len, out);
  });
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
