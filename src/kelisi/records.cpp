// records: reading the data file's records, and the key a record carries
// under the index's definition, extracted as the index build extracts it
// (core/record_key.h): text records end at their end-of-record bytes, tabs
// stand for blanks (unless option b), and letters fold to upper case under
// option u. An index whose stored line cannot be used is read by its
// header: tabs are blanks under option s.
#include <cstring>

#include "kelisi/kelisi_internal.h"

namespace kisi {

namespace {

// The length of the record's text: up to its end-of-record bytes.
size_t TextLength(const kelisi_header& h, bool binary, const uint8_t* rec, size_t len) {
  if (binary) return len;
  for (size_t i = 0; i < len; ++i) {
    if ((h.eor[1] == 0 || i + 1 < len) && AtRecordMark(rec + i, h.eor[0], h.eor[1])) return i;
  }
  return len;
}

}  // namespace

bool KeyLayoutFromHeader(const kelisi_header& h, KeyLayout* layout) {
  KeyLayoutClear(layout);
  uint32_t n = 0;
  for (uint32_t i = 0; i < h.key_spec_count; ++i) {
    const kelisi_keyspec& s = h.key_specs[i];
    if (s.first_column == 0 || s.last_column == 0) return false;
    uint32_t count = KeyRangeLength(s.first_column, s.last_column);
    for (uint32_t k = 0; k < count; ++k, ++n) {
      uint32_t column = KeyRangeColumn(s.first_column, s.last_column, k);
      if (!KeyLayoutAdd(layout, column, n, h.upper_case != 0)) return false;
    }
  }
  KeyLayoutFinish(layout);
  return n == h.key_length && n > 0;
}

int RecordKey(const kelisi* ix, const uint8_t* rec, size_t len, uint8_t* out) {
  if (!ix->keyLayoutOk) return KELISI_E_KEYSPEC;
  const kelisi_header& h = ix->hdr;
  bool defined = ix->defStatus == KELISI_OK;
  size_t text = TextLength(h, defined ? ix->def.binaryData != 0 : h.binary != 0, rec, len);
  bool expand = defined ? ExpandsTabs(ix->def) : h.space_compression && !h.binary;
  bool tabs = expand && text > 0 && memchr(rec, '\t', text) != nullptr;
  ExtractKey(ix->keyLayout, rec, text, tabs, out);
  return KELISI_OK;
}

size_t HeldBytes(const kelisi_header& h, const uint8_t* bytes, size_t size, uint64_t avail) {
  if (avail > size) return size;
  size_t held = static_cast<size_t>(avail);
  uint32_t mark = h.binary ? 0 : h.eor_length;
  if (held == size && (mark == 0 || memcmp(bytes + size - mark, h.eor, mark) == 0)) return size;
  if (!h.binary && held > 0 && bytes[held - 1] == kEofMark) --held;
  return held == 0 || size - held > mark ? 0 : held;
}

int ReadRecordBytes(kelisi* ix, uint64_t offset, size_t size, uint8_t* buf, size_t* len) {
  *len = 0;
  if (ix->dataFd < 0) return KELISI_E_NO_DATA;
  size_t got = 0;
  if (size == 0) return KELISI_NOTFOUND;
  if (!IoPread(ix->io, ix->dataFd, buf, size, offset, &got)) return KELISI_E_DATA_READ;
  // A record read whole whose end is not its mark may be the file's last.
  uint64_t avail = got;
  uint32_t mark = ix->hdr.binary ? 0 : ix->hdr.eor_length;
  if (got == size && mark > 0 && memcmp(buf + size - mark, ix->hdr.eor, mark) != 0) {
    uint64_t fileSize = 0;
    if (!IoFileSize(ix->io, ix->dataFd, &fileSize)) return KELISI_E_DATA_READ;
    avail = fileSize > offset ? fileSize - offset : 0;
  }
  *len = HeldBytes(ix->hdr, buf, size, avail);
  return *len == 0 ? KELISI_NOTFOUND : KELISI_OK;
}

int ReadData(kelisi* ix, uint64_t offset, void* buf, size_t len) {
  if (ix->dataFd < 0) return KELISI_E_NO_DATA;
  size_t got = 0;
  if (!IoPread(ix->io, ix->dataFd, buf, len, offset, &got) || got != len) {
    return KELISI_E_DATA_READ;
  }
  return KELISI_OK;
}

}  // namespace kisi

extern "C" {

KELISI_API int kelisi_read_record(kelisi* ix, const kelisi_entry* e, void* buf, size_t cap,
                                  size_t* len) {
  if (ix == nullptr || e == nullptr || (buf == nullptr && cap != 0)) return KELISI_E_ARG;
  if (len != nullptr) *len = e->record_size;
  if (ix->dataFd < 0) return KELISI_E_NO_DATA;
  if (cap < e->record_size) return KELISI_E_BUFFER;
  size_t held = 0;
  int st = kisi::ReadRecordBytes(ix, e->record_offset, e->record_size,
                                 static_cast<uint8_t*>(buf), &held);
  if (len != nullptr) *len = held;
  return st == KELISI_NOTFOUND ? KELISI_E_DATA_READ : st;
}

KELISI_API int kelisi_fold_key(kelisi* ix, void* key, size_t len) {
  if (ix == nullptr || (key == nullptr && len != 0)) return KELISI_E_ARG;
  if (!ix->hdr.upper_case) return KELISI_OK;
  auto* k = static_cast<uint8_t*>(key);
  for (size_t i = 0; i < len; ++i) k[i] = FoldKeyByte(k[i]);
  return KELISI_OK;
}

KELISI_API int kelisi_record_key(kelisi* ix, const void* record, size_t len,
                                 unsigned char* key_out) {
  if (ix == nullptr || key_out == nullptr || (record == nullptr && len != 0)) return KELISI_E_ARG;
  return kisi::RecordKey(ix, static_cast<const uint8_t*>(record), len, key_out);
}

}  // extern "C"
