// isi_verify: checks an ISI index against its data file, so that a fast but
// wrong index never counts as a benchmark result. It decodes the header,
// walks the key tree in order and checks that the walk yields exactly the
// data file's records: every live record once, under its own key bytes, in
// key order with equal keys in ascending record position, with the header's
// record count; and that the deleted-record chain lists exactly the deleted
// records. It reads the format from the bytes alone, sharing no code with
// the program that writes it.
//
//   isi_verify DATA ISI COLUMNS     e.g. isi_verify data.txt data.isi 1-10
//
// Exit status: 0 the index is right; 1 it is wrong (one line naming the
// first fault); 2 it cannot be checked (bad arguments, unreadable files,
// record formats this checker does not read).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "key_columns.h"

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kRootByte = 1024;
constexpr uint32_t kFrontBytes = 2048;  // header, root sector, head DDR sector
constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr int kMaxLevels = 16;
constexpr uint32_t kDdrPerSector = 126;
constexpr int kTestSlots = 10;

// ---- reporting -------------------------------------------------------------

constexpr int kExitWrong = 1;
constexpr int kExitCannotCheck = 2;

int gExitCode = 0;  // the first fault decides it

__attribute__((format(printf, 2, 3))) bool Report(int code, const char* fmt, ...) {
  if (gExitCode != 0) return false;
  gExitCode = code;
  fputs(code == kExitWrong ? "isi_verify: FAILED: " : "isi_verify: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  return false;
}
#define WRONG(...) Report(kExitWrong, __VA_ARGS__)
#define CANNOT(...) Report(kExitCannotCheck, __VA_ARGS__)

// Key bytes for a diagnosis: printable ASCII as is, others as \xNN.
const char* ShowKey(const uint8_t* key, int length, char (*out)[4 * bench::kMaxKeyBytes + 1]) {
  char* p = *out;
  for (int i = 0; i < length; ++i) {
    if (key[i] >= 0x20 && key[i] < 0x7F && key[i] != '\\') {
      *p++ = static_cast<char>(key[i]);
    } else {
      p += snprintf(p, 5, "\\x%02X", key[i]);
    }
  }
  *p = '\0';
  return *out;
}

// ---- files -----------------------------------------------------------------

struct MappedFile {
  const uint8_t* bytes;  // nullptr for an empty file
  uint64_t size;
};

bool MapFile(const char* name, MappedFile* file) {
  *file = MappedFile{nullptr, 0};
  int fd = open(name, O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return CANNOT("cannot open %s: %s", name, strerror(errno));
  }
  file->size = static_cast<uint64_t>(st.st_size);
  if (file->size > 0) {
    void* p = mmap(nullptr, file->size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      close(fd);
      return CANNOT("cannot map %s: %s", name, strerror(errno));
    }
    file->bytes = static_cast<const uint8_t*>(p);
  }
  close(fd);
  return true;
}

// ---- header ----------------------------------------------------------------

// Multi-byte numbers are in the writer's byte order, told by the version word.
struct ByteOrder {
  bool big;
  uint16_t U16(const uint8_t* p) const {
    return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
  }
  uint32_t U32(const uint8_t* p) const {
    uint32_t a = U16(p), b = U16(p + 2);
    return big ? a << 16 | b : b << 16 | a;
  }
};

struct PrimaryTest {
  uint16_t column;  // 0-based
  bool equal;       // '=' (else '#', not equal)
  uint8_t ch;
};

struct Header {
  ByteOrder order;
  uint8_t formatFlags, modeFlags;
  bool recNum, varLen, spaceComp, upper, noDups;
  uint32_t recordLength, keyLength, entrySize, maxEntries;
  uint32_t dataLength, ddrHead, rootPos, recordCount, deletedCount;
  uint32_t eorLen;
  uint8_t eor1, eor2;  // eor2 0: one-byte mark
  bench::KeyColumns keys;
  int testCount;
  PrimaryTest tests[kTestSlots];
};

// The end-of-record mark from the two-bit field of header byte 6.
void DecodeEor(uint8_t flags, Header* h) {
  static const struct {
    uint8_t bits, length, first, second;  // second 0: a one-byte mark
  } kMarks[] = {
      {0x80, 1, '\n', 0}, {0x40, 2, '\r', '\n'}, {0xC0, 2, '\n', '\r'}, {0x00, 1, '\r', 0}};
  for (const auto& m : kMarks) {
    if ((flags & 0xC0) == m.bits) {
      h->eorLen = m.length;
      h->eor1 = m.first;
      h->eor2 = m.second;
    }
  }
}

// Key specifications at 112: (0-based first column, length) pairs whose
// last column is first + length in 16-bit arithmetic (reversed ranges wrap).
bool DecodeKeySpecs(const uint8_t* hdr, Header* h) {
  h->keys = bench::KeyColumns{};
  for (int i = 0; i < bench::kMaxKeyRanges; ++i) {
    const uint8_t* e = hdr + 112 + 4 * i;
    uint16_t start = h->order.U16(e), length = h->order.U16(e + 2);
    if (length == 0) break;
    uint32_t last = static_cast<uint16_t>(start + length);
    if (last == 0 || !bench::AddKeyRange(&h->keys, start + 1u, last)) {
      return WRONG("header key specification %d (%u, %u) is not a valid column range", i + 1, start,
                   length);
    }
  }
  return true;
}

bool DecodePrimaryTests(const uint8_t* hdr, Header* h) {
  h->testCount = 0;
  if (hdr[103] == 0xFF) return CANNOT("the index selects records with an expression; not checked");
  for (int i = 0; i < kTestSlots; ++i) {
    const uint8_t* e = hdr + 64 + 4 * i;
    uint16_t column = h->order.U16(e);
    if (column == 0) continue;
    if (e[2] != 0x10 && e[2] != 0x20) {
      return WRONG("header record test %d has operator bits 0x%02X", i + 1, e[2]);
    }
    h->tests[h->testCount++] = PrimaryTest{static_cast<uint16_t>(column - 1), e[2] == 0x20, e[3]};
  }
  return true;
}

bool DecodeHeader(const MappedFile& isi, Header* h) {
  if (isi.size < kFrontBytes || isi.size % kSector != 0) {
    return WRONG("index size %llu is not a whole number of sectors of at least 2048 bytes",
                 static_cast<unsigned long long>(isi.size));
  }
  const uint8_t* hdr = isi.bytes;
  if (memcmp(hdr, "SISI", 4) != 0) return WRONG("no \"SISI\" magic at byte 0");
  if (hdr[4] == 0x03 && hdr[5] == 0xFC) {
    h->order.big = false;
  } else if (hdr[4] == 0xFC && hdr[5] == 0x03) {
    h->order.big = true;
  } else {
    return WRONG("version word %02X %02X is not FC03 in either byte order", hdr[4], hdr[5]);
  }
  h->formatFlags = hdr[6];
  h->modeFlags = hdr[7];
  if ((h->formatFlags & 0x10) != 0) return CANNOT("binary records are not checked");
  h->recNum = (h->modeFlags & 0x01) != 0;
  h->varLen = (h->formatFlags & 0x02) != 0;
  h->spaceComp = (h->formatFlags & 0x08) != 0;
  h->upper = (h->formatFlags & 0x01) != 0;
  h->noDups = (h->formatFlags & 0x04) != 0;
  DecodeEor(h->formatFlags, h);
  h->recordLength = h->order.U16(hdr + 8);
  h->keyLength = h->order.U16(hdr + 10);
  if (h->keyLength < 1 || h->keyLength > bench::kMaxKeyBytes) {
    return WRONG("header key length %u is outside 1 to 150", h->keyLength);
  }
  h->entrySize = (h->keyLength + 12 + 3) & ~3u;
  h->maxEntries = (kSector - 12) / h->entrySize;
  h->dataLength = h->order.U32(hdr + 12);
  h->ddrHead = h->order.U32(hdr + 16);
  h->rootPos = h->order.U32(hdr + 20);
  h->recordCount = h->order.U32(hdr + 44);
  h->deletedCount = h->order.U32(hdr + 48);
  uint32_t wantRoot = h->recNum ? kRootByte / kSector : kRootByte;
  if (h->rootPos != wantRoot) return WRONG("header root position %u, not %u", h->rootPos, wantRoot);
  if (h->recNum && h->varLen) return WRONG("record-number addressing with variable-length records");
  if (!DecodeKeySpecs(hdr, h) || !DecodePrimaryTests(hdr, h)) return false;
  if (static_cast<uint32_t>(h->keys.length) != h->keyLength) {
    return WRONG("header key specifications make %d key bytes, header key length is %u",
                 h->keys.length, h->keyLength);
  }
  return true;
}

bool SameKeyColumns(const bench::KeyColumns& a, const bench::KeyColumns& b) {
  if (a.length != b.length) return false;
  return memcmp(a.column, b.column, sizeof a.column[0] * static_cast<size_t>(a.length)) == 0;
}

// ---- data file -------------------------------------------------------------

// The records of the data file as the index should see them. Fixed-length
// data (record-number addressing) has record i at i * recSize, a record of
// only 0x00 bytes being a deleted one; variable-length data (byte
// addressing) is cut at the end-of-record marks, runs of 0x00 between
// records being skipped.
struct Data {
  MappedFile file;
  uint64_t scanEnd;      // size less a trailing 0x1A
  uint32_t recSize;      // fixed-length: record length + mark
  uint64_t recordTotal;  // record slots (fixed) or records (variable)
  uint32_t* starts;      // variable-length: start offset of each record
  uint8_t* seen;         // one bit per record
};

bool BitTest(const uint8_t* bits, uint64_t i) {
  return (bits[i >> 3] >> (i & 7)) & 1;
}
void BitSet(uint8_t* bits, uint64_t i) {
  bits[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
}

uint8_t* NewBitmap(uint64_t bits) {
  uint8_t* p = static_cast<uint8_t*>(calloc(bits / 8 + 1, 1));
  if (p == nullptr) CANNOT("out of memory");
  return p;
}

// Length of the record's content (before its mark, or to the scan's end).
uint64_t ContentLength(const Header& h, const Data& d, uint64_t start) {
  const uint8_t* p = d.file.bytes + start;
  uint64_t left = d.scanEnd - start;
  uint64_t n = 0;
  while (true) {
    const void* hit = memchr(p + n, h.eor1, left - n);
    if (hit == nullptr) return left;
    n = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - p);
    if (h.eor2 == 0 || (n + 1 < left && p[n + 1] == h.eor2)) return n;
    ++n;
  }
}

bool AllZero(const uint8_t* p, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

bool LayOutFixed(const Header& h, Data* d) {
  d->recSize = h.recordLength + h.eorLen;
  if (d->scanEnd % d->recSize != 0) {
    return WRONG("data size %llu is not a whole number of %u-byte records",
                 static_cast<unsigned long long>(d->scanEnd), d->recSize);
  }
  d->recordTotal = d->scanEnd / d->recSize;
  if (h.dataLength != static_cast<uint32_t>(d->recordTotal)) {
    return WRONG("header data length %u records, data file has %llu", h.dataLength,
                 static_cast<unsigned long long>(d->recordTotal));
  }
  return true;
}

bool LayOutVariable(const Header& h, Data* d) {
  if (h.dataLength != static_cast<uint32_t>(d->scanEnd)) {
    return WRONG("header data length %u bytes, data file has %llu", h.dataLength,
                 static_cast<unsigned long long>(d->scanEnd));
  }
  for (int pass = 0; pass < 2; ++pass) {
    uint64_t count = 0, pos = 0;
    while (true) {
      while (pos < d->scanEnd && d->file.bytes[pos] == 0) ++pos;
      if (pos == d->scanEnd || d->file.bytes[pos] == 0x1A) break;
      if (pass == 1) d->starts[count] = static_cast<uint32_t>(pos);
      ++count;
      pos += ContentLength(h, *d, pos) + h.eorLen;
      if (pos > d->scanEnd) pos = d->scanEnd;
    }
    d->recordTotal = count;
    if (pass == 0) {
      d->starts = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (count + 1)));
      if (d->starts == nullptr) return CANNOT("out of memory");
    }
  }
  return true;
}

bool LayOutData(const Header& h, Data* d) {
  d->scanEnd = d->file.size;
  if (d->scanEnd > 0 && d->file.bytes[d->scanEnd - 1] == 0x1A) --d->scanEnd;
  if (h.spaceComp && h.recNum) return WRONG("space compression with record-number addressing");
  if (!h.recNum && d->scanEnd > 0xFFFFFFFFull) return WRONG("data file over 4 GiB, byte addressed");
  bool ok = h.recNum ? LayOutFixed(h, d) : LayOutVariable(h, d);
  if (!ok) return false;
  d->seen = NewBitmap(d->recordTotal);
  return d->seen != nullptr;
}

uint64_t RecordStart(const Header& h, const Data& d, uint64_t index) {
  return h.recNum ? index * d.recSize : d.starts[index];
}

// A record's columns as the key sees them: tabs expanded to the next
// multiple of 8 when the index was built with space compression.
struct RecordView {
  const uint8_t* cols;
  uint64_t colCount;     // columns (after expansion)
  uint64_t contentSize;  // bytes in the file before the mark
};

void ViewRecord(const Header& h, const Data& d, uint64_t start, RecordView* v) {
  static uint8_t expanded[65536 + 8];
  v->contentSize = ContentLength(h, d, start);
  v->cols = d.file.bytes + start;
  v->colCount = v->contentSize;
  if (!h.spaceComp || memchr(v->cols, '\t', v->contentSize) == nullptr) return;
  uint64_t c = 0;
  for (uint64_t i = 0; i < v->contentSize && c < 65536; ++i) {
    if (v->cols[i] != '\t') {
      expanded[c++] = v->cols[i];
      continue;
    }
    for (uint64_t r = 8 - c % 8; r > 0; --r) expanded[c++] = ' ';
  }
  v->cols = expanded;
  v->colCount = c;
}

uint8_t ColumnByte(const RecordView& v, uint32_t column) {
  return column < v.colCount ? v.cols[column] : ' ';
}

bool PassesTests(const Header& h, const RecordView& v) {
  for (int i = 0; i < h.testCount; ++i) {
    bool same = ColumnByte(v, h.tests[i].column) == h.tests[i].ch;
    if (same != h.tests[i].equal) return false;
  }
  return true;
}

void ExtractKey(const Header& h, const RecordView& v, uint8_t* key) {
  for (int k = 0; k < h.keys.length; ++k) {
    uint8_t c = ColumnByte(v, h.keys.column[k]);
    key[k] = h.upper && c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c;
  }
}

// Whether the record belongs in the index, or is deleted or not selected.
enum class Slot { kLive, kDeleted, kUnselected, kBroken };

Slot ClassifyRecord(const Header& h, const Data& d, uint64_t index, RecordView* v) {
  uint64_t start = RecordStart(h, d, index);
  if (h.recNum) {
    const uint8_t* rec = d.file.bytes + start;
    if (rec[0] == 0) return AllZero(rec, d.recSize) ? Slot::kDeleted : Slot::kBroken;
    ViewRecord(h, d, start, v);
    if (v->contentSize != h.recordLength) return Slot::kBroken;
  } else {
    ViewRecord(h, d, start, v);
  }
  return PassesTests(h, *v) ? Slot::kLive : Slot::kUnselected;
}

// ---- key tree --------------------------------------------------------------

struct Walk {
  const Header* h;
  Data* d;
  const MappedFile* isi;
  uint8_t* sectorSeen;
  uint64_t entries, sectors;
  int topLevel;
  bool havePrev;
  uint8_t prevKey[bench::kMaxKeyBytes];
  uint32_t prevPos;
  uint16_t prevDup;
};

// Byte offset of a sector position; false when it names no key sector.
bool SectorOffset(const Walk& w, uint32_t pos, uint64_t* offset) {
  *offset = w.h->recNum ? static_cast<uint64_t>(pos) * kSector : pos;
  if (*offset % kSector != 0 || *offset < kFrontBytes || *offset + kSector > w.isi->size) {
    return WRONG("child position %u is not a key sector of this %llu-byte index", pos,
                 static_cast<unsigned long long>(w.isi->size));
  }
  return true;
}

// The data record that an entry's record position names, as an index.
bool EntryRecord(const Walk& w, uint32_t pos, uint64_t* index) {
  const Data& d = *w.d;
  if (w.h->recNum) {
    *index = pos;
    if (*index >= d.recordTotal) return WRONG("record number %u is past the data's end", pos);
    return true;
  }
  uint64_t lo = 0, hi = d.recordTotal;
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (d.starts[mid] < pos) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == d.recordTotal || d.starts[lo] != pos) {
    return WRONG("record position %u is not the start of a record", pos);
  }
  *index = lo;
  return true;
}

// Keys must not decrease; equal keys come in ascending record position with
// duplicate sequences counting up from 0.
bool CheckOrder(Walk* w, const uint8_t* key, uint32_t pos, uint16_t dup) {
  char a[4 * bench::kMaxKeyBytes + 1], b[4 * bench::kMaxKeyBytes + 1];
  int len = w->h->keys.length;
  int cmp = w->havePrev ? memcmp(w->prevKey, key, static_cast<size_t>(len)) : -1;
  if (cmp > 0) {
    return WRONG("entry %llu: key '%s' follows the greater key '%s'",
                 static_cast<unsigned long long>(w->entries), ShowKey(key, len, &a),
                 ShowKey(w->prevKey, len, &b));
  }
  if (cmp == 0) {
    if (w->h->noDups) {
      return WRONG("entry %llu: key '%s' repeated in an index that refuses duplicates",
                   static_cast<unsigned long long>(w->entries), ShowKey(key, len, &a));
    }
    if (pos <= w->prevPos) {
      return WRONG("entry %llu: equal keys '%s' at record position %u after %u",
                   static_cast<unsigned long long>(w->entries), ShowKey(key, len, &a), pos,
                   w->prevPos);
    }
  }
  uint16_t wantDup = cmp == 0 ? static_cast<uint16_t>(w->prevDup + 1) : 0;
  if (dup != wantDup) {
    return WRONG("entry %llu: duplicate sequence %u, expected %u",
                 static_cast<unsigned long long>(w->entries), dup, wantDup);
  }
  memcpy(w->prevKey, key, static_cast<size_t>(len));
  w->prevPos = pos;
  w->prevDup = dup;
  w->havePrev = true;
  return true;
}

// One entry met in order: it must name a live record not met before, carry
// that record's key bytes and size, and keep the order.
bool VisitEntry(Walk* w, const uint8_t* e) {
  const Header& h = *w->h;
  uint32_t pos = h.order.U32(e);
  uint16_t dup = h.order.U16(e + 8), size = h.order.U16(e + 10);
  const uint8_t* key = e + 12;
  uint64_t index = 0;
  if (!EntryRecord(*w, pos, &index)) return false;
  RecordView v;
  Slot slot = ClassifyRecord(h, *w->d, index, &v);
  unsigned long long n = w->entries;
  if (slot == Slot::kDeleted) return WRONG("entry %llu names deleted record %u", n, pos);
  if (slot == Slot::kBroken) return WRONG("entry %llu names record %u, not a whole record", n, pos);
  if (slot == Slot::kUnselected) return WRONG("entry %llu names unselected record %u", n, pos);
  if (BitTest(w->d->seen, index)) return WRONG("entry %llu: record %u is indexed twice", n, pos);
  BitSet(w->d->seen, index);
  uint8_t want[bench::kMaxKeyBytes];
  ExtractKey(h, v, want);
  if (memcmp(want, key, h.keyLength) != 0) {
    char a[4 * bench::kMaxKeyBytes + 1], b[4 * bench::kMaxKeyBytes + 1];
    return WRONG("entry %llu: key '%s' but record %u has '%s'", n,
                 ShowKey(key, static_cast<int>(h.keyLength), &a), pos,
                 ShowKey(want, static_cast<int>(h.keyLength), &b));
  }
  uint64_t wantSize = v.contentSize + h.eorLen;
  if (size != wantSize) {
    return WRONG("entry %llu: record size %u, record %u has %llu", n, size, pos,
                 static_cast<unsigned long long>(wantSize));
  }
  if (!CheckOrder(w, key, pos, dup)) return false;
  ++w->entries;
  return true;
}

bool WalkSector(Walk* w, uint64_t offset, int depth, int parentLevel);

bool WalkChild(Walk* w, uint32_t child, int depth, int level) {
  if (child == 0) return true;
  if (level == 0) return WRONG("leaf sector has child position %u", child);
  uint64_t offset = 0;
  return SectorOffset(*w, child, &offset) && WalkSector(w, offset, depth + 1, level);
}

// In-order walk of the subtree at `offset`: child of entry 1, entry 1, ...,
// entry n, rightmost child. Levels fall strictly from parent to child, which
// with the visited-sector bits keeps a damaged file from looping.
bool WalkSector(Walk* w, uint64_t offset, int depth, int parentLevel) {
  if (depth >= kMaxLevels) return WRONG("tree deeper than %d levels", kMaxLevels);
  uint64_t sectorNo = offset / kSector;
  if (BitTest(w->sectorSeen, sectorNo)) {
    return WRONG("key sector at byte %llu is reached twice",
                 static_cast<unsigned long long>(offset));
  }
  BitSet(w->sectorSeen, sectorNo);
  ++w->sectors;
  const uint8_t* s = w->isi->bytes + offset;
  const Header& h = *w->h;
  uint32_t count = s[500];
  int level = h.order.U16(s + 506);
  unsigned long long at = offset;
  if (count > h.maxEntries) return WRONG("sector at byte %llu holds %u entries", at, count);
  if (count == 0 && depth > 0) return WRONG("empty key sector at byte %llu", at);
  if (level >= parentLevel) {
    return WRONG("sector at byte %llu has level %d under level %d", at, level, parentLevel);
  }
  if (level > w->topLevel) w->topLevel = level;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = s + i * h.entrySize;
    if (!WalkChild(w, h.order.U32(e + 4), depth, level) || !VisitEntry(w, e)) return false;
  }
  return WalkChild(w, h.order.U32(s + 508), depth, level);
}

// Record position of the entry whose key equals `key`, or kNone.
uint32_t FindKey(const Walk& w, const uint8_t* key) {
  const Header& h = *w.h;
  uint64_t offset = kRootByte;
  for (int depth = 0; depth < kMaxLevels; ++depth) {
    const uint8_t* s = w.isi->bytes + offset;
    uint32_t count = s[500], i = 0;
    int cmp = 1;
    for (; i < count; ++i) {
      cmp = memcmp(s + i * h.entrySize + 12, key, h.keyLength);
      if (cmp >= 0) break;
    }
    if (i < count && cmp == 0) return h.order.U32(s + i * h.entrySize);
    uint32_t child = i < count ? h.order.U32(s + i * h.entrySize + 4) : h.order.U32(s + 508);
    if (child == 0) return kNone;
    offset = h.recNum ? static_cast<uint64_t>(child) * kSector : child;
  }
  return kNone;
}

// After the walk: every live record must have been met, except, in an index
// that drops duplicate keys, records whose key an earlier record holds.
bool CheckAllIndexed(Walk* w, uint64_t* dropped) {
  const Header& h = *w->h;
  Data& d = *w->d;
  *dropped = 0;
  for (uint64_t i = 0; i < d.recordTotal; ++i) {
    if (BitTest(d.seen, i)) continue;
    RecordView v;
    Slot slot = ClassifyRecord(h, d, i, &v);
    unsigned long long where = RecordStart(h, d, i);
    if (slot == Slot::kBroken)
      return WRONG("data record at byte %llu is not a whole record", where);
    if (slot != Slot::kLive) continue;
    uint8_t key[bench::kMaxKeyBytes];
    ExtractKey(h, v, key);
    uint32_t pos = h.recNum ? static_cast<uint32_t>(i) : d.starts[i];
    uint32_t holder = h.noDups ? FindKey(*w, key) : kNone;
    if (holder == kNone || holder >= pos) {
      return WRONG("data record at byte %llu (record position %u) is not in the index", where, pos);
    }
    ++*dropped;
  }
  return true;
}

// ---- deleted-record chain ---------------------------------------------------

// The chain from the header's head sector must list every deleted record
// exactly once, each sector but the head full, marks F9 FD in place.
bool CheckDdrChain(const Header& h, Data* d, const MappedFile& isi, uint8_t* sectorSeen) {
  uint64_t listed = 0;
  bool head = true;
  for (uint32_t pos = h.ddrHead; pos != kNone; head = false) {
    uint64_t offset = h.recNum ? static_cast<uint64_t>(pos) * kSector : pos;
    if (offset % kSector != 0 || offset < kFrontBytes - kSector || offset + kSector > isi.size) {
      return WRONG("DDR position %u is not a sector of the index", pos);
    }
    if (BitTest(sectorSeen, offset / kSector)) return WRONG("DDR sector %u is used twice", pos);
    BitSet(sectorSeen, offset / kSector);
    const uint8_t* s = isi.bytes + offset;
    uint32_t count = h.order.U16(s + 508);
    if (s[510] != 0xF9 || s[511] != 0xFD) return WRONG("DDR sector %u lacks its F9 FD marks", pos);
    if (count == 0 || count > kDdrPerSector || (!head && count != kDdrPerSector)) {
      return WRONG("DDR sector %u holds %u entries", pos, count);
    }
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t rec = h.order.U32(s + 4 * i);
      if (!h.recNum || rec >= d->recordTotal) return WRONG("DDR entry %u names no record", rec);
      RecordView v;
      if (ClassifyRecord(h, *d, rec, &v) != Slot::kDeleted) {
        return WRONG("DDR entry %u names a record that is not deleted", rec);
      }
      if (BitTest(d->seen, rec)) return WRONG("DDR entry %u is listed twice", rec);
      BitSet(d->seen, rec);
    }
    listed += count;
    pos = h.order.U32(s + 504);
  }
  if (listed != h.deletedCount) {
    return WRONG("DDR chain lists %llu deleted records, header says %u",
                 static_cast<unsigned long long>(listed), h.deletedCount);
  }
  for (uint64_t i = 0; h.recNum && i < d->recordTotal; ++i) {
    RecordView v;
    if (!BitTest(d->seen, i) && ClassifyRecord(h, *d, i, &v) == Slot::kDeleted) {
      return WRONG("deleted record %llu is missing from the DDR chain",
                   static_cast<unsigned long long>(i));
    }
  }
  return true;
}

// ---- main ------------------------------------------------------------------

// What a check holds on to, released when it ends, right or wrong.
struct Holdings {
  MappedFile isi, data;
  uint32_t* starts;
  uint8_t* seen;
  uint8_t* sectorSeen;
};

void Release(Holdings* held) {
  if (held->isi.bytes != nullptr) munmap(const_cast<uint8_t*>(held->isi.bytes), held->isi.size);
  if (held->data.bytes != nullptr) munmap(const_cast<uint8_t*>(held->data.bytes), held->data.size);
  free(held->starts);
  free(held->seen);
  free(held->sectorSeen);
}

bool CheckIndex(const char* dataName, const char* isiName, const char* columns, Holdings* held) {
  bench::KeyColumns given;
  if (!bench::ParseKeyColumns(columns, &given)) return CANNOT("bad key columns '%s'", columns);
  Header h;
  if (!MapFile(isiName, &held->isi) || !MapFile(dataName, &held->data) ||
      !DecodeHeader(held->isi, &h)) {
    return false;
  }
  if (!SameKeyColumns(given, h.keys)) {
    return WRONG("the index's key columns differ from %s", columns);
  }
  Data d{};
  d.file = held->data;
  bool laidOut = LayOutData(h, &d);
  held->starts = d.starts;
  held->seen = d.seen;
  if (!laidOut) return false;
  const MappedFile& isi = held->isi;
  held->sectorSeen = NewBitmap(isi.size / kSector);
  Walk w{&h, &d, &isi, held->sectorSeen, 0, 0, 0, false, {}, 0, 0};
  if (w.sectorSeen == nullptr || !WalkSector(&w, kRootByte, 0, kMaxLevels)) return false;
  uint64_t dropped = 0;
  if (!CheckAllIndexed(&w, &dropped)) return false;
  if (static_cast<uint32_t>(w.entries + dropped) != h.recordCount) {
    return WRONG("the tree holds %llu entries (%llu duplicates dropped), header counts %u",
                 static_cast<unsigned long long>(w.entries),
                 static_cast<unsigned long long>(dropped), h.recordCount);
  }
  if (!CheckDdrChain(h, &d, isi, w.sectorSeen)) return false;
  printf("isi_verify: OK: %llu records, key %u bytes, %d levels, %llu key sectors\n",
         static_cast<unsigned long long>(w.entries), h.keyLength, w.topLevel + 1,
         static_cast<unsigned long long>(w.sectors));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr,
            "usage: isi_verify DATA ISI COLUMNS   (COLUMNS as given to kelindex, e.g. 1-10)\n");
    return kExitCannotCheck;
  }
  Holdings held{};
  CheckIndex(argv[1], argv[2], argv[3], &held);
  Release(&held);
  return gExitCode;
}
