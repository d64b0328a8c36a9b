// records: reading the data file's records, and the key a record carries
// under the header's key specifications, extracted as the index build
// extracts it: text records end at their end-of-record bytes, columns past
// the end are blanks, tabs expand to the next multiple of 8 columns when
// the header marks space compression, and letters fold to upper case when
// the header says so.
#include <cstring>

#include "kelisi/kelisi_internal.h"

namespace kisi {

namespace {

constexpr uint32_t kTabStop = 8;

// Key byte `pos` comes from record column `col` (0-based).
struct Want {
  uint32_t col;
  uint32_t pos;
};

// The columns of every key byte, in key order; false when the
// specifications do not add up to the key length.
bool KeyColumns(const kelisi_header& h, Want* w) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < h.key_spec_count; ++i) {
    const kelisi_keyspec& s = h.key_specs[i];
    bool up = s.last_column >= s.first_column;
    uint32_t count = up ? s.last_column - s.first_column + 1 : s.first_column - s.last_column + 1;
    if (s.first_column == 0 || (!up && s.last_column == 0) || count > h.key_length - n) {
      return false;
    }
    for (uint32_t k = 0; k < count; ++k, ++n) {
      w[n] = {up ? s.first_column - 1 + k : s.first_column - 1 - k, n};
    }
  }
  return n == h.key_length && n > 0;
}

// The length of the record's text: up to its end-of-record bytes.
size_t TextLength(const kelisi_header& h, const uint8_t* rec, size_t len) {
  if (h.binary) return len;
  const uint8_t a = h.eor[0], b = h.eor[1];
  for (size_t i = 0; i < len; ++i) {
    if (rec[i] == a && (b == 0 || (i + 1 < len && rec[i + 1] == b))) return i;
  }
  return len;
}

void SortByColumn(Want* w, uint32_t n) {
  for (uint32_t i = 1; i < n; ++i) {
    Want x = w[i];
    uint32_t j = i;
    for (; j > 0 && w[j - 1].col > x.col; --j) w[j] = w[j - 1];
    w[j] = x;
  }
}

// With tabs standing for blanks up to the next tab stop, a record byte
// covers one or more columns; one pass over the record serves the key
// columns in column order.
void ExpandTabs(const uint8_t* rec, size_t len, Want* w, uint32_t n, uint8_t* out) {
  SortByColumn(w, n);
  uint32_t k = 0;
  uint64_t col = 0;
  for (size_t i = 0; i < len && k < n; ++i) {
    uint8_t b = rec[i];
    uint64_t width = b == '\t' ? kTabStop - col % kTabStop : 1;
    if (b == '\t') b = ' ';
    for (; k < n && w[k].col < col + width; ++k) out[w[k].pos] = b;
    col += width;
  }
  for (; k < n; ++k) out[w[k].pos] = ' ';
}

}  // namespace

int RecordKey(const kelisi* ix, const uint8_t* rec, size_t len, uint8_t* out) {
  const kelisi_header& h = ix->hdr;
  Want w[kMaxKeyBytes];
  if (!KeyColumns(h, w)) return KELISI_E_KEYSPEC;
  size_t text = TextLength(h, rec, len);
  uint32_t n = h.key_length;
  if (h.space_compression && !h.binary) {
    ExpandTabs(rec, text, w, n, out);
  } else {
    for (uint32_t k = 0; k < n; ++k) out[k] = w[k].col < text ? rec[w[k].col] : ' ';
  }
  if (h.upper_case) {
    for (uint32_t k = 0; k < n; ++k) {
      if (out[k] >= 'a' && out[k] <= 'z') out[k] = static_cast<uint8_t>(out[k] - 'a' + 'A');
    }
  }
  return KELISI_OK;
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
  return kisi::ReadData(ix, e->record_offset, buf, e->record_size);
}

KELISI_API int kelisi_record_key(kelisi* ix, const void* record, size_t len,
                                 unsigned char* key_out) {
  if (ix == nullptr || key_out == nullptr || (record == nullptr && len != 0)) return KELISI_E_ARG;
  return kisi::RecordKey(ix, static_cast<const uint8_t*>(record), len, key_out);
}

}  // extern "C"
