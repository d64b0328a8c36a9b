// data_check: the proof of an index against its data (data_check.h).
#include "kelisi/data_check.h"
#include "core/key_order.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "core/isi_xlat.h"
#include "core/sector_check.h"
#include "core/sort_item.h"
#include "core/tree_cursor.h"
#include "kelisi/entry_sums.h"
#include "kelisi/scan.h"

namespace kisi {

namespace {

// The memory that holds one batch of scanned records: a build's default,
// and under n0 and n$ more, since the larger the batch, the more of its
// lookups, taken in key order, find their sectors in the cache.
constexpr uint64_t kBatchMemory = uint64_t{1} << 20;
constexpr uint64_t kLookupBatchMemory = uint64_t{16} << 20;
// Entries and records held in memory at most to name the differences.
constexpr uint64_t kNameBudget = uint64_t{1} << 20;
constexpr uint64_t kByteAddressLimit = uint64_t{1} << 32;
constexpr uint64_t kNoOffset = UINT64_MAX;

// log2 of the bucket count: about 16 entries a bucket, 256 to 65536 buckets.
uint32_t BucketBits(uint64_t expected) {
  uint32_t bits = 8;
  while (bits < 16 && (uint64_t{16} << bits) < expected) ++bits;
  return bits;
}

// A key as the messages show it: quoted, with \\, \t and \xnn escapes
// (the escapes kelisi reads keys with).
std::string Quoted(const uint8_t* key, size_t len) {
  static const char kHex[] = "0123456789abcdef";
  std::string s = "\"";
  for (size_t i = 0; i < len; ++i) {
    uint8_t c = key[i];
    if (c == '\\') {
      s += "\\\\";
    } else if (c == '\t') {
      s += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      s += "\\x";
      s += kHex[c >> 4];
      s += kHex[c & 15];
    } else {
      s += static_cast<char>(c);
    }
  }
  return s + "\"";
}
std::string Quoted(const std::string& key) {
  return Quoted(reinterpret_cast<const uint8_t*>(key.data()), key.size());
}

ssize_t ReadDataFile(void* ctx, uint64_t offset, void* buf, size_t len) {
  kelisi* ix = static_cast<kelisi*>(ctx);
  size_t got = 0;
  if (!IoPread(ix->io, ix->dataFd, buf, len, offset, &got)) return -1;
  return static_cast<ssize_t>(got);
}

int64_t DataFileSize(void* ctx) {
  kelisi* ix = static_cast<kelisi*>(ctx);
  uint64_t size = 0;
  return IoFileSize(ix->io, ix->dataFd, &size) ? static_cast<int64_t>(size) : -1;
}

// One entry of the index, or one record of the data, held to be named.
struct Held {
  uint64_t offset;
  uint32_t size;
  std::string key;
  uint32_t sector = KELISI_NO_SECTOR;  // entries only
  uint32_t entry = 0;

  bool operator<(const Held& o) const {
    if (offset != o.offset) return offset < o.offset;
    if (size != o.size) return size < o.size;
    return key < o.key;
  }
};

}  // namespace

struct DataProof::Impl {
  Impl(kelisi* index, ProofSink s) : ix(index), sink(std::move(s)) {}
  kelisi* ix;
  ProofSink sink;
  const char* dataName = "";
  uint32_t keyLen = 0;
  bool firstOnly = false;  // n0, n$
  std::unique_ptr<EntrySums> indexSums, dataSums;
  std::unique_ptr<IsiCursor> lookup;  // of the first entry of a key
  IsiTree tree{};
  uint64_t recordsScanned = 0, recordsIndexed = 0, deletedRecords = 0;
  bool incomplete = false;

  void Report(int kind, uint64_t offset, const std::string& message,
              uint32_t sector = KELISI_NO_SECTOR, uint32_t index = 0) {
    sink.report(kind, sector, index, offset, message);
  }
  void Form(const std::string& message) { Report(KELISI_P_DATA_FORM, kNoOffset, message); }

  // A scan of the data as a build would read it today: the definition's
  // options, the record format the data shows. nullptr with *st OK and the
  // problem reported when the data cannot be read so, or *st a status.
  std::unique_ptr<LibScan> OpenScan(int* st);
  // The next batch of records the index should hold: each goes to `fn`.
  template <typename Fn>
  int ScanAll(LibScan* scan, Fn fn);
  // Under n0 and n$: the offset of the first entry of `key` (UINT64_MAX: none).
  int FirstEntry(const uint8_t* key, uint64_t* offset);
  // Feeds the items of a batch a build would index to `fn`.
  template <typename Fn>
  int ForIndexed(const DataScan& s, uint32_t count, Fn fn);

  bool CheckFormat(const DataScan& s);
  void ReportFormViolations(const DataScan& s);
  int NameDifferences();
  int HoldIndexSide(const std::vector<uint8_t>& chosen, std::vector<Held>* held);
  int HoldDataSide(const std::vector<uint8_t>& chosen, std::vector<Held>* held);
  int NameHiddenFirsts(const std::vector<Held>& wrongEntries);
  void NamePair(const Held& entry, const Held& record);
  void NameEntryAlone(const Held& entry);
  void NameRecordAlone(const Held& record);
};

DataProof::DataProof(kelisi* ix, ProofSink sink) : impl_(new Impl(ix, std::move(sink))) {}
DataProof::~DataProof() = default;

std::unique_ptr<LibScan> DataProof::Impl::OpenScan(int* st) {
  *st = KELISI_OK;
  uint64_t batch = firstOnly ? kLookupBatchMemory : kBatchMemory;
  uint32_t items = static_cast<uint32_t>(batch / (ix->def.keySpecLen + kItemKeyOfs + 8)) - 1;
  std::unique_ptr<LibScan> scan = NewScan(ix, items, ScanReader{ReadDataFile, DataFileSize, ix});
  if (!scan) {
    *st = KELISI_E_NOMEM;
    return nullptr;
  }
  DataScan& s = scan->s;
  // The record format as the data shows it, from the definition's defaults.
  static_cast<IndexDefinition&>(s) = ix->def;
  int64_t size = DataFileSize(ix);
  if (size < 0) {
    *st = KELISI_E_DATA_READ;
    return nullptr;
  }
  std::string why;
  if (s.recNumMode == 0 && static_cast<uint64_t>(size) >= kByteAddressLimit) {
    why = std::string("the data file ") + dataName +
          " is too large for byte addressing (4 GiB or more)";
  } else {
    if (!s.binaryData || s.binaryWithEor) {
      if (DetectEndOfRecord(&s, s.recBuf, kRecBufData) < 0) {
        *st = KELISI_E_DATA_READ;
        return nullptr;
      }
    }
    Status format = CheckRecordFormat(&s);
    if (format == kErrNoRecLen) {
      // Data without one complete record (empty, or deleted records alone)
      // shows no record length: the one the header keeps, which its
      // records were written in, serves.
      RecordFormatFromHeader(&s, ix->hdr.format_flags, ix->hdr.record_length);
      format = kOk;
    }
    if (format == kOk) format = SettleRecordLength(&s);
    if (format == kErrNoRecLen) {
      why = std::string("cannot determine the record length of ") + dataName +
            " (no complete record and no length in the command line)";
    } else if (format == kErrLongRecord) {
      why = "a record longer than 65533 bytes was found";
    } else if (format == kErrFileSize) {
      *st = KELISI_E_DATA_READ;
      return nullptr;
    } else if (format != kOk) {
      const char* text = ParseErrorText(format);
      why = text != nullptr ? text : "its records do not fit the options";
      while (!why.empty() && why.back() == '.') why.pop_back();
      if (why.size() > 1 && why[0] >= 'A' && why[0] <= 'Z')
        why[0] = static_cast<char>(why[0] - 'A' + 'a');
    }
  }
  if (!why.empty()) {
    Form("data file: cannot be read as the index was built: " + why);
    return nullptr;
  }
  RestartScan(scan.get());
  return scan;
}

template <typename Fn>
int DataProof::Impl::ScanAll(LibScan* scan, Fn fn) {
  DataScan& s = scan->s;
  for (Status st = kOk; st == kOk && !sink.stopped();) {
    st = ScanSubList(&s);
    if (st != kOk && st != kSubListLast) {
      if (st == kErrBinaryEor || st == kErrLongRecord) {
        Form(st == kErrLongRecord
                 ? "data file: cannot be read as the index was built: a record "
                   "longer than 65533 bytes was found"
                 : "data file: cannot be read as the index was built: the binary "
                   "record at byte offset " +
                       std::to_string(s.recStartPos) + " does not end in its end-of-record mark");
        return KELISI_NOTFOUND;
      }
      return st == kErrMemory ? KELISI_E_NOMEM : KELISI_E_DATA_READ;
    }
    uint32_t count = s.itemsInMem - 1 - s.subListFree;
    int r = ForIndexed(s, count, fn);
    if (r != KELISI_OK) return r;
  }
  return KELISI_OK;
}

int DataProof::Impl::FirstEntry(const uint8_t* key, uint64_t* offset) {
  *offset = kNoOffset;
  const uint32_t len = keyLen;
  int st = IsiLowerBound(lookup.get(), [key, len](const uint8_t* e) {
    return IsiCompareKeys(IsiEntryKey(e), key, len) < 0;
  });
  if (st == kIsiCursorEnd) return KELISI_OK;
  if (st != kIsiCursorOk) return CursorStatus(st);
  const uint8_t* e = IsiCurrent(lookup.get());
  if (memcmp(IsiEntryKey(e), key, len) == 0) *offset = IsiEntryOffset(tree.geo, e);
  return KELISI_OK;
}

template <typename Fn>
int DataProof::Impl::ForIndexed(const DataScan& s, uint32_t count, Fn fn) {
  const uint32_t itemLen = s.itemLen;
  if (!firstOnly) {
    for (uint32_t i = 0; i < count; ++i) fn(s.sortMem + static_cast<size_t>(i) * itemLen);
    return KELISI_OK;
  }
  // The records of one key share one lookup, in key order; the first
  // eight key bytes, read as a big-endian number, decide most comparisons.
  struct Keyed {
    uint64_t prefix;
    const uint8_t* item;
  };
  std::vector<Keyed> order(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* item = s.sortMem + static_cast<size_t>(i) * itemLen;
    uint64_t prefix = 0;
    for (uint32_t k = 0; k < 8; ++k)
      prefix = prefix << 8 | (k < keyLen ? item[kItemKeyOfs + k] : 0);
    order[i] = {prefix, item};
  }
  const uint32_t len = keyLen;
  std::sort(order.begin(), order.end(), [len](const Keyed& x, const Keyed& y) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    int d = len > 8 ? memcmp(x.item + kItemKeyOfs + 8, y.item + kItemKeyOfs + 8, len - 8) : 0;
    return d != 0 ? d < 0 : ItemPosition(x.item) < ItemPosition(y.item);
  });
  for (uint32_t i = 0; i < count;) {
    const uint8_t* key = order[i].item + kItemKeyOfs;
    uint64_t first;
    int st = FirstEntry(key, &first);
    if (st != KELISI_OK) return st;
    for (; i < count && memcmp(order[i].item + kItemKeyOfs, key, len) == 0; ++i) {
      if (ItemPosition(order[i].item) <= first) fn(order[i].item);
    }
  }
  return KELISI_OK;
}

// The facts that make every record differ at once: the mark that ends the
// records, a fixed record length. Each is one problem, and the records are
// then not compared one by one.
bool DataProof::Impl::CheckFormat(const DataScan& s) {
  const kelisi_header& h = ix->hdr;
  uint32_t markLen = s.binaryWithEor ? s.isiEorLen : s.eorLen;
  bool marks = !s.binaryData || markLen > 0;
  if (marks && h.record_count + h.deleted_count > 0 &&
      (s.eorIsiFlags & kFmtEorMask) != (h.format_flags & kFmtEorMask)) {
    Form(std::string("data file: its records end in ") + IsiEorName(s.eorIsiFlags) +
         ", the index was built over records that end in " + IsiEorName(h.format_flags));
    return false;
  }
  // The record length a build would write into the header.
  uint32_t headerLength = 0;
  if (s.recLenFound != 0) {
    headerLength = s.recLenFound - (s.binaryWithEor ? s.isiEorLen : s.eorLen);
  } else if (s.recLenSpec != 0) {
    headerLength = s.recLenSpec - s.eorLen;
  }
  if (!s.allowVarLen && headerLength != h.record_length) {
    Form("data file: its records are " + std::to_string(headerLength) +
         " bytes long, the index was built over records of " + std::to_string(h.record_length) +
         " bytes");
    return false;
  }
  return true;
}

void DataProof::Impl::ReportFormViolations(const DataScan& s) {
  const char* form = nullptr;
  if (s.varLenFound && !s.allowVarLen) {
    form = "a run of zero bytes that is not a whole number of records";
  } else if (s.spaceCompFound && !s.allowSpaceComp) {
    form = "tabs (space compression), which the options do not allow";
  } else if (s.longRecFound) {
    form = "a record longer than the maximum record length";
  }
  if (form != nullptr) {
    Form(std::string("data file: not in the form the index was built for: it holds ") + form);
  }
  if (s.allowVarLen && s.recLenFound != 0 && s.recLenFound - s.eorLen != ix->hdr.record_length) {
    Form("data file: a build today would give a maximum record length of " +
         std::to_string(s.recLenFound - s.eorLen) + " bytes, the header says " +
         std::to_string(ix->hdr.record_length));
  }
}

int DataProof::Prepare(uint64_t expectedEntries, bool* compare) {
  Impl& m = *impl_;
  kelisi* ix = m.ix;
  *compare = false;
  m.dataName = ix->dataName.c_str();
  m.keyLen = ix->def.keySpecLen;
  m.firstOnly = KeepsFirstOfKey(ix->def);
  uint32_t bits = BucketBits(std::max<uint64_t>(expectedEntries, 1));
  m.indexSums.reset(new (std::nothrow) EntrySums(bits));
  m.dataSums.reset(new (std::nothrow) EntrySums(bits));
  m.lookup.reset(new (std::nothrow) IsiCursor());
  if (!m.indexSums || !m.dataSums || !m.lookup) return KELISI_E_NOMEM;
  m.tree = ix->tree;
  m.tree.visit = nullptr;
  m.lookup->tree = &m.tree;
  int st;
  std::unique_ptr<LibScan> scan = m.OpenScan(&st);
  if (!scan) return st;
  *compare = m.CheckFormat(scan->s);
  return KELISI_OK;
}

void DataProof::AddEntry(uint64_t offset, uint32_t size, const uint8_t* key) {
  impl_->indexSums->Add(offset, size, key, impl_->keyLen);
}

int DataProof::Finish(kelisi_check_counts* out) {
  Impl& m = *impl_;
  int st;
  std::unique_ptr<LibScan> scan = m.OpenScan(&st);
  if (!scan) return st;
  st = m.ScanAll(scan.get(), [&](const uint8_t* item) {
    m.dataSums->Add(ItemPosition(item), ItemLength(item), item + kItemKeyOfs, m.keyLen);
    ++m.recordsIndexed;
  });
  if (st == KELISI_NOTFOUND) return KELISI_OK;  // the data's form is reported
  if (st != KELISI_OK) return st;
  m.recordsScanned = scan->s.recCount;
  m.deletedRecords = scan->s.deletedCount;
  out->records_scanned = m.recordsScanned;
  out->records_indexed = m.recordsIndexed;
  out->deleted_records = m.deletedRecords;
  out->data_compared = 1;
  m.ReportFormViolations(scan->s);
  bool same = true;
  for (uint32_t i = 0; i < m.indexSums->BucketCount(); ++i) {
    if (!m.indexSums->Same(*m.dataSums, i)) same = false;
  }
  st = same ? KELISI_OK : m.NameDifferences();
  if (m.incomplete) {
    snprintf(out->note, sizeof out->note, "%s",
             "there are more differences than are listed (those of too many records at once)");
  }
  return st;
}

// ---- Naming the differences ----------------------------------------------------

int DataProof::Impl::NameDifferences() {
  uint32_t buckets = indexSums->BucketCount();
  std::vector<uint8_t> chosen(buckets, 0);
  uint64_t held = 0;
  for (uint32_t i = 0; i < buckets; ++i) {
    if (indexSums->Same(*dataSums, i)) continue;
    uint64_t n = indexSums->Count(i) + dataSums->Count(i);
    if (held + n > kNameBudget) {
      incomplete = true;
      continue;
    }
    held += n;
    chosen[i] = 1;
  }
  std::vector<Held> entries, records;
  int st = HoldIndexSide(chosen, &entries);
  if (st == KELISI_OK) st = HoldDataSide(chosen, &records);
  if (st != KELISI_OK) return st;
  std::sort(entries.begin(), entries.end());
  std::sort(records.begin(), records.end());
  // What is left of each side once the equal ones are taken out, in offset order.
  std::vector<Held> onlyEntries, onlyRecords;
  size_t a = 0, b = 0;
  while (a < entries.size() || b < records.size()) {
    if (b == records.size() || (a < entries.size() && entries[a] < records[b])) {
      onlyEntries.push_back(std::move(entries[a++]));
    } else if (a == entries.size() || records[b] < entries[a]) {
      onlyRecords.push_back(std::move(records[b++]));
    } else {
      ++a, ++b;
    }
  }
  a = b = 0;
  while ((a < onlyEntries.size() || b < onlyRecords.size()) && !sink.stopped()) {
    if (b == onlyRecords.size() ||
        (a < onlyEntries.size() && onlyEntries[a].offset < onlyRecords[b].offset)) {
      NameEntryAlone(onlyEntries[a++]);
    } else if (a == onlyEntries.size() || onlyRecords[b].offset < onlyEntries[a].offset) {
      NameRecordAlone(onlyRecords[b++]);
    } else {
      NamePair(onlyEntries[a++], onlyRecords[b++]);
    }
  }
  if (firstOnly && !onlyEntries.empty()) return NameHiddenFirsts(onlyEntries);
  return KELISI_OK;
}

// Under n0 and n$ a record counts only when no entry of its key stands at
// a smaller offset. When that entry is itself wrong, the first record of
// the key that the data really holds was passed over as a duplicate: a
// third reading names it.
int DataProof::Impl::NameHiddenFirsts(const std::vector<Held>& wrongEntries) {
  struct Hidden {
    uint64_t wrongOffset;
    bool settled;
  };
  std::map<std::string, Hidden> keys;
  for (const Held& w : wrongEntries) {
    uint64_t first;
    int st = FirstEntry(reinterpret_cast<const uint8_t*>(w.key.data()), &first);
    if (st != KELISI_OK) return st;
    if (first == w.offset) keys[w.key] = {w.offset, false};
  }
  if (keys.empty()) return KELISI_OK;
  int st;
  std::unique_ptr<LibScan> scan = OpenScan(&st);
  if (!scan) return st == KELISI_OK ? KELISI_E_DATA_READ : st;
  DataScan& s = scan->s;
  for (Status r = kOk; r == kOk;) {
    r = ScanSubList(&s);
    if (r != kOk && r != kSubListLast) return KELISI_E_DATA_READ;
    uint32_t count = s.itemsInMem - 1 - s.subListFree;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* item = s.sortMem + static_cast<size_t>(i) * s.itemLen;
      auto it = keys.find(std::string(reinterpret_cast<const char*>(item + kItemKeyOfs), keyLen));
      if (it == keys.end() || it->second.settled) continue;
      uint64_t pos = ItemPosition(item);
      if (pos == it->second.wrongOffset) continue;
      it->second.settled = true;
      if (pos < it->second.wrongOffset) continue;  // counted, and named already
      Report(KELISI_P_NO_ENTRY, pos,
             "data record at " + std::to_string(pos) + " (key " + Quoted(it->first) + ", " +
                 std::to_string(ItemLength(item)) +
                 " bytes) has no entry; the entry of its key points to " +
                 std::to_string(it->second.wrongOffset) + " instead");
    }
  }
  return KELISI_OK;
}

int DataProof::Impl::HoldIndexSide(const std::vector<uint8_t>& chosen, std::vector<Held>* held) {
  std::unique_ptr<IsiCursor> walk(new (std::nothrow) IsiCursor());
  if (!walk) return KELISI_E_NOMEM;
  walk->tree = &tree;
  int st = IsiFirst(walk.get());
  for (; st == kIsiCursorOk; st = IsiNext(walk.get())) {
    const IsiFrame& f = IsiCurrentFrame(walk.get());
    const uint8_t* e = IsiEntry(tree.geo, f.sec, f.idx);
    uint64_t offset = IsiEntryOffset(tree.geo, e);
    if (!chosen[indexSums->BucketOf(offset)]) continue;
    held->push_back({offset, IsiEntryRecSize(e),
                     std::string(reinterpret_cast<const char*>(IsiEntryKey(e)), keyLen), f.pos,
                     f.idx + 1});
  }
  return st == kIsiCursorEnd ? KELISI_OK : CursorStatus(st);
}

int DataProof::Impl::HoldDataSide(const std::vector<uint8_t>& chosen, std::vector<Held>* held) {
  // A scan cannot be rewound: the second reading is a scan of its own.
  int st;
  std::unique_ptr<LibScan> scan = OpenScan(&st);
  if (!scan) return st == KELISI_OK ? KELISI_E_DATA_READ : st;
  st = ScanAll(scan.get(), [&](const uint8_t* item) {
    if (!chosen[dataSums->BucketOf(ItemPosition(item))]) return;
    held->push_back({ItemPosition(item), ItemLength(item),
                     std::string(reinterpret_cast<const char*>(item + kItemKeyOfs), keyLen)});
  });
  return st == KELISI_NOTFOUND ? KELISI_E_DATA_READ : st;
}

std::string EntryPlace(const Held& entry) {
  return "key sector " + std::to_string(entry.sector) + " entry " + std::to_string(entry.entry) +
         ": ";
}

void DataProof::Impl::NamePair(const Held& entry, const Held& record) {
  if (sink.named(entry.sector, entry.entry)) return;
  std::string m = EntryPlace(entry) + "record at " + std::to_string(entry.offset);
  if (entry.key != record.key) {
    m += " carries key " + Quoted(record.key) + ", not the entry's " + Quoted(entry.key);
    if (entry.size != record.size) m += ",";
  }
  if (entry.size != record.size) {
    m += " is " + std::to_string(record.size) + " bytes long, the entry says " +
         std::to_string(entry.size);
  }
  Report(KELISI_P_RECORD, entry.offset, m, entry.sector, entry.entry);
}

void DataProof::Impl::NameEntryAlone(const Held& entry) {
  if (sink.named(entry.sector, entry.entry)) return;
  std::string at = EntryPlace(entry) + "record at " + std::to_string(entry.offset);
  std::vector<uint8_t> bytes(entry.size);
  const kelisi_header& h = ix->hdr;
  uint32_t span =
      std::min<uint32_t>(IsiDeletedRecordSpan(h.format_flags, ix->recordStride), entry.size);
  std::string m;
  if (entry.size == 0 || ReadData(ix, entry.offset, bytes.data(), bytes.size()) != KELISI_OK) {
    m = at + " (" + std::to_string(entry.size) + " bytes) not inside the data file";
  } else if (IsiIsDeletedRecord(bytes.data(), span)) {
    m = at + " is a deleted record";
  } else {
    m = EntryPlace(entry) + "no record that the stored options select starts at " +
        std::to_string(entry.offset) + " (key " + Quoted(entry.key) + ")";
    uint64_t first;
    if (firstOnly &&
        FirstEntry(reinterpret_cast<const uint8_t*>(entry.key.data()), &first) == KELISI_OK &&
        first < entry.offset) {
      m = EntryPlace(entry) + "a second entry of key " + Quoted(entry.key) +
          ", whose first record, at " + std::to_string(first) +
          ", is the only one the options keep";
    }
  }
  Report(KELISI_P_RECORD, entry.offset, m, entry.sector, entry.entry);
}

void DataProof::Impl::NameRecordAlone(const Held& record) {
  std::string m = "data record at " + std::to_string(record.offset) + " (key " +
                  Quoted(record.key) + ", " + std::to_string(record.size) + " bytes) has no entry";
  uint64_t first;
  if (firstOnly &&
      FirstEntry(reinterpret_cast<const uint8_t*>(record.key.data()), &first) == KELISI_OK &&
      first != kNoOffset && first > record.offset) {
    m += "; the index keeps the later record at " + std::to_string(first) + " for its key";
  }
  Report(KELISI_P_NO_ENTRY, record.offset, m);
}

}  // namespace kisi
