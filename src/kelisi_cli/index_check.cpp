// The check of an ISI file against itself and against its data.
//
// The structure is the library's (kelisi_check). The data is read with the
// program's own scanner, set up from the command line stored in the index,
// so that the records found are exactly those a build would index today.
// The two sides are compared as multisets of (record byte offset, record
// size, key) by an order-independent fingerprint in constant memory: a
// sound index costs one walk of its entries beside one scan of its data,
// the two running side by side. Only where the fingerprints differ are the
// entries and records of the differing buckets read again and paired up by
// offset, which names every difference.
//
// Under n0 and n$ the index keeps only the first record of each key: each
// record the scan delivers is then looked up, and counts on the data side
// only when the index holds no entry of its key at a smaller offset.
#include "kelisi_cli/index_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "kelisi.h"
#include "kelisi_cli/multiset_hash.h"
#include "kelisi_cli/stored_scan.h"
#include "kelisi_cli/text_escape.h"
#include "sort/sort_item.h"

namespace kelisi_cli {

namespace {

// Entries and records held in memory at most to name the differences.
constexpr uint64_t kNameBudget = uint64_t{1} << 20;
// Under n0 and n$ each record is looked up; the larger its batch, the more
// of the lookups, taken in key order, find their sectors in the cache.
constexpr uint64_t kLookupBatchMemory = uint64_t{16} << 20;

struct IndexCloser {
  void operator()(kelisi* ix) const { kelisi_close(ix); }
};
using IndexHandle = std::unique_ptr<kelisi, IndexCloser>;
struct CursorCloser {
  void operator()(kelisi_cursor* c) const { kelisi_cursor_close(c); }
};
using CursorHandle = std::unique_ptr<kelisi_cursor, CursorCloser>;

IndexHandle OpenIndex(const char* isiPath, const char* dataPath, int* status) {
  kelisi* ix = nullptr;
  *status = kelisi_open(isiPath, dataPath, 0, &ix);
  return IndexHandle(ix);
}

CursorHandle OpenCursor(kelisi* ix, int* status) {
  kelisi_cursor* c = nullptr;
  *status = kelisi_cursor_open(ix, &c);
  return CursorHandle(c);
}

std::string Quoted(const uint8_t* key, size_t len) {
  std::string s = "\"";
  AppendEscaped(&s, key, len);
  s += '"';
  return s;
}
std::string Quoted(const std::string& key) {
  return Quoted(reinterpret_cast<const uint8_t*>(key.data()), key.size());
}

// One entry of the index, or one record of the data, held to be named.
struct Held {
  uint64_t offset;
  uint32_t size;
  std::string key;
  uint32_t sector = kNoSector;  // entries only
  uint32_t entry = 0;

  bool operator<(const Held& o) const {
    if (offset != o.offset) return offset < o.offset;
    if (size != o.size) return size < o.size;
    return key < o.key;
  }
  bool SameAs(const Held& o) const { return offset == o.offset && size == o.size && key == o.key; }
};

// log2 of the bucket count: about 16 entries a bucket, 256 to 65536 buckets.
uint32_t BucketBits(uint64_t expected) {
  uint32_t bits = 8;
  while (bits < 16 && (uint64_t{16} << bits) < expected) ++bits;
  return bits;
}

bool WalkBreaking(int kind) {
  return kind == KELISI_P_SECTOR || kind == KELISI_P_LEVEL || kind == KELISI_P_COUNT;
}

class Checker {
 public:
  Checker(const char* isiPath, const CheckOptions& options, const ProblemFn& report)
      : isiPath_(isiPath), opt_(options), report_(report) {}
  ~Checker() {
    if (dataFd_ >= 0) close(dataFd_);
  }
  Checker(const Checker&) = delete;
  Checker& operator=(const Checker&) = delete;

  CheckResult Run();

 private:
  void Report(CheckProblem p) {
    ++result_.problems;
    if (report_) report_(p);
  }
  bool Fail(int status, std::string text) {
    result_.status = status;
    result_.error = std::move(text);
    return false;
  }
  bool CheckStructure(bool withRecords);
  bool CompareWithData();
  bool CheckFormat();
  // Calls `fn` for each item of a batch that a build would index: all of
  // them, or under n0 and n$ those without an entry of their key at a
  // smaller offset. Returns a negative status when a lookup failed.
  template <typename Fn>
  int ForIndexed(const StoredScan& scan, kelisi_cursor* c, const uint8_t* items, uint32_t count,
                 Fn fn);
  bool Fingerprint();
  bool NameDifferences();
  bool HoldIndexSide(std::vector<Held>* held);
  bool HoldDataSide(std::vector<Held>* held);
  bool NameHiddenFirsts(const std::vector<Held>& wrongEntries);
  void NamePair(const Held& entry, const Held& record);
  void NameEntryAlone(const Held& entry);
  void NameRecordAlone(const Held& record);
  void CheckDeletedList();
  bool ReadData(uint64_t offset, uint32_t size, std::string* bytes) const;

  const char* isiPath_;
  CheckOptions opt_;
  const ProblemFn& report_;
  CheckResult result_;
  IndexHandle ix_;
  kelisi_header h_{};
  bool parsed_ = false;
  std::string parseWhy_;
  std::unique_ptr<StoredScan> scan_;
  bool walkable_ = true;
  std::set<std::pair<uint32_t, uint32_t>> namedEntries_;  // by the library's record check
  std::unique_ptr<EntrySums> indexSums_, dataSums_;
  std::vector<uint8_t> chosen_;  // the buckets whose entries are named
  struct Keyed {
    uint64_t prefix;
    const uint8_t* item;
  };
  std::vector<Keyed> order_;  // a batch in key order, for the lookups
  int dataFd_ = -1;
  uint64_t dataSize_ = 0;
};

CheckResult Checker::Run() {
  int st;
  ix_ = OpenIndex(isiPath_, nullptr, &st);
  if (st != KELISI_OK) {
    Fail(st, kelisi_strerror(st));
    return result_;
  }
  st = kelisi_get_header(ix_.get(), &h_);
  if (st != KELISI_OK) {
    Fail(st, kelisi_strerror(st));
    return result_;
  }
  if (opt_.dataPath != nullptr) {
    scan_ = std::make_unique<StoredScan>();
    if (h_.command_line[0] == '\0') {
      parseWhy_ = "the index keeps no command line";
    } else {
      parsed_ = scan_->Parse(h_.command_line, &parseWhy_);
    }
  }
  // Without a usable command line the records can still be read through
  // the entries, one by one.
  bool withRecords = opt_.dataPath != nullptr && (opt_.records || !parsed_);
  if (!CheckStructure(withRecords)) return result_;
  if (opt_.dataPath != nullptr && !parsed_) {
    result_.note = "the command line stored in the index cannot be used (" + parseWhy_ +
                   "): each entry's record was checked, but records without an entry were not "
                   "looked for";
    return result_;
  }
  if (opt_.dataPath != nullptr) {
    if (!walkable_) {
      result_.note = "the data was not compared: the tree cannot be walked";
      return result_;
    }
    CompareWithData();
  }
  return result_;
}

bool Checker::CheckStructure(bool withRecords) {
  kelisi* ix = ix_.get();
  IndexHandle withData;
  if (withRecords) {
    int st;
    withData = OpenIndex(isiPath_, opt_.dataPath, &st);
    if (st != KELISI_OK) {
      return Fail(st, std::string(kelisi_strerror(st)) + ": " + opt_.dataPath);
    }
    ix = withData.get();
  }
  unsigned flags = 0;
  if (withRecords) flags |= KELISI_CHECK_RECORDS;
  if (opt_.allowFree) flags |= KELISI_CHECK_ALLOW_FREE;
  struct Ctx {
    Checker* self;
  } ctx{this};
  int n = kelisi_check(
      ix, flags,
      [](void* p, const kelisi_problem* kp) -> int {
        Checker* self = static_cast<Ctx*>(p)->self;
        CheckProblem cp;
        cp.kind = kp->kind;
        cp.sector = kp->sector;
        cp.entry = kp->index;
        cp.message = kp->message != nullptr ? kp->message : "";
        if (WalkBreaking(kp->kind)) self->walkable_ = false;
        if (kp->kind == KELISI_P_RECORD) self->namedEntries_.insert({kp->sector, kp->index});
        self->Report(std::move(cp));
        return 0;
      },
      &ctx);
  if (n < 0) return Fail(n, kelisi_strerror(n));
  return true;
}

bool Checker::CompareWithData() {
  std::string why;
  if (scan_->IgnoresDuplicates()) scan_->SetBatchMemory(kLookupBatchMemory);
  if (!scan_->Open(opt_.dataPath, &why)) {
    // The data cannot be read as the index's options describe it.
    dataFd_ = open(opt_.dataPath, O_RDONLY);
    if (dataFd_ < 0) return Fail(KELISI_E_DATA_OPEN, why);
    if (scan_->ReadFailed()) return Fail(KELISI_E_DATA_READ, why);
    CheckProblem p;
    p.kind = kProblemDataForm;
    p.message = "data file: cannot be read as the index was built: " + why;
    Report(std::move(p));
    return true;
  }
  dataFd_ = open(opt_.dataPath, O_RDONLY);
  struct stat sb;
  if (dataFd_ < 0 || fstat(dataFd_, &sb) != 0) {
    return Fail(KELISI_E_DATA_OPEN, std::string("cannot open the data file ") + opt_.dataPath);
  }
  dataSize_ = static_cast<uint64_t>(sb.st_size);
  if (!CheckFormat()) return true;
  if (!Fingerprint()) return false;
  result_.dataCompared = true;
  bool same = true;
  for (uint32_t i = 0; i < indexSums_->BucketCount(); ++i) {
    if (!indexSums_->Same(*dataSums_, i)) same = false;
  }
  if (!same && !NameDifferences()) return false;
  if (!opt_.records) CheckDeletedList();
  return true;
}

// The facts that make every record differ at once: key length, the mark
// that ends the records, a fixed record length. Each is one problem, and
// the records are then not compared one by one.
bool Checker::CheckFormat() {
  CheckProblem p;
  p.kind = kProblemDataForm;
  if (scan_->KeyLength() != h_.key_length) {
    p.message = "data file: the stored command line makes keys of " +
                std::to_string(scan_->KeyLength()) + " bytes, the header says " +
                std::to_string(h_.key_length);
    Report(std::move(p));
    return false;
  }
  auto markName = [](uint8_t flags) -> const char* {
    switch (flags & 0xC0) {
      case 0x00:
        return "CR";
      case 0x40:
        return "CR LF";
      case 0xC0:
        return "LF CR";
      default:
        return "LF";
    }
  };
  bool marks = !scan_->Binary() || scan_->MarkLength() > 0;
  if (marks && h_.record_count + h_.deleted_count > 0 &&
      (scan_->EndOfRecordFlags() & 0xC0) != (h_.format_flags & 0xC0)) {
    p.message = std::string("data file: its records end in ") +
                markName(scan_->EndOfRecordFlags()) +
                ", the index was built over records that end in " + markName(h_.format_flags);
    Report(std::move(p));
    return false;
  }
  if (!scan_->VariableLength() && scan_->HeaderRecordLength() != h_.record_length) {
    p.message = "data file: its records are " + std::to_string(scan_->HeaderRecordLength()) +
                " bytes long, the index was built over records of " +
                std::to_string(h_.record_length) + " bytes";
    Report(std::move(p));
    return false;
  }
  return true;
}

template <typename Fn>
int Checker::ForIndexed(const StoredScan& scan, kelisi_cursor* c, const uint8_t* items,
                        uint32_t count, Fn fn) {
  uint32_t itemLen = scan.ItemLength(), keyLen = scan.KeyLength();
  if (!scan.IgnoresDuplicates()) {
    for (uint32_t i = 0; i < count; ++i) fn(items + static_cast<size_t>(i) * itemLen);
    return KELISI_OK;
  }
  // In key order, so that the records of one key share one lookup and
  // lookups of neighbouring keys find their sectors in the cache. The first
  // eight key bytes, read as a big-endian number, decide most comparisons.
  order_.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* item = items + static_cast<size_t>(i) * itemLen;
    uint64_t prefix = 0;
    for (uint32_t k = 0; k < 8; ++k)
      prefix = prefix << 8 | (k < keyLen ? item[kItemKeyOfs + k] : 0);
    order_[i] = {prefix, item};
  }
  std::sort(order_.begin(), order_.end(), [keyLen](const Keyed& x, const Keyed& y) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    int d = keyLen > 8 ? memcmp(x.item + kItemKeyOfs + 8, y.item + kItemKeyOfs + 8, keyLen - 8) : 0;
    return d != 0 ? d < 0 : ItemPosition(x.item) < ItemPosition(y.item);
  });
  for (uint32_t i = 0; i < count;) {
    const uint8_t* key = order_[i].item + kItemKeyOfs;
    kelisi_entry e;
    int st = kelisi_find(c, key, keyLen, &e);
    if (st < 0) return st;
    uint64_t first = st == KELISI_OK ? e.record_offset : UINT64_MAX;
    for (; i < count && memcmp(order_[i].item + kItemKeyOfs, key, keyLen) == 0; ++i) {
      if (ItemPosition(order_[i].item) <= first) fn(order_[i].item);
    }
  }
  return KELISI_OK;
}

// One walk of the index beside one scan of the data, each adding up its
// side of the fingerprint.
bool Checker::Fingerprint() {
  uint32_t bits = BucketBits(std::max<uint64_t>(h_.record_count, 1));
  indexSums_ = std::make_unique<EntrySums>(bits);
  dataSums_ = std::make_unique<EntrySums>(bits);

  int walkStatus = KELISI_OK;
  uint64_t walked = 0;
  std::thread walker([&] {
    CursorHandle c = OpenCursor(ix_.get(), &walkStatus);
    if (walkStatus != KELISI_OK) return;
    kelisi_entry e;
    int st = kelisi_first(c.get(), &e);
    for (; st == KELISI_OK; st = kelisi_next(c.get(), &e)) {
      indexSums_->Add(e.record_offset, e.record_size, e.key, e.key_length);
      ++walked;
    }
    walkStatus = st == KELISI_NOTFOUND ? KELISI_OK : st;
  });

  // The lookups of n0 and n$ go through a handle of their own.
  int st = KELISI_OK;
  IndexHandle lookupIx;
  CursorHandle lookup;
  if (scan_->IgnoresDuplicates()) {
    lookupIx = OpenIndex(isiPath_, nullptr, &st);
    if (st == KELISI_OK) lookup = OpenCursor(lookupIx.get(), &st);
  }
  std::string why;
  int more = st == KELISI_OK ? 1 : -1;
  while (more > 0) {
    const uint8_t* items;
    uint32_t count;
    more = scan_->Next(&items, &count, &why);
    if (more < 0) break;
    uint32_t keyLen = scan_->KeyLength();
    st = ForIndexed(*scan_, lookup.get(), items, count, [&](const uint8_t* item) {
      dataSums_->Add(ItemPosition(item), ItemLength(item), item + kItemKeyOfs, keyLen);
      ++result_.recordsIndexed;
    });
    if (st < 0) more = -1;
  }
  walker.join();
  result_.entries = walked;
  result_.recordsScanned = scan_->RecordsScanned();
  result_.deletedRecords = scan_->DeletedRecords();
  if (walkStatus != KELISI_OK) return Fail(walkStatus, kelisi_strerror(walkStatus));
  if (st != KELISI_OK) return Fail(st, kelisi_strerror(st));
  if (more < 0) return Fail(KELISI_E_DATA_READ, why);
  std::string form = scan_->FormatViolation();
  if (!form.empty()) {
    CheckProblem p;
    p.kind = kProblemDataForm;
    p.message = "data file: not in the form the index was built for: it holds " + form;
    Report(std::move(p));
  }
  if (scan_->VariableLength() && scan_->HeaderRecordLength() != 0 &&
      scan_->HeaderRecordLength() != h_.record_length) {
    CheckProblem p;
    p.kind = kProblemDataForm;
    p.message = "data file: a build today would give a maximum record length of " +
                std::to_string(scan_->HeaderRecordLength()) + " bytes, the header says " +
                std::to_string(h_.record_length);
    Report(std::move(p));
  }
  return true;
}

// Reads again the entries and records of the buckets that differ (as many
// as the budget allows) and pairs them up by offset.
bool Checker::NameDifferences() {
  uint32_t buckets = indexSums_->BucketCount();
  chosen_.assign(buckets, 0);
  uint64_t held = 0;
  for (uint32_t i = 0; i < buckets; ++i) {
    if (indexSums_->Same(*dataSums_, i)) continue;
    uint64_t n = indexSums_->Count(i) + dataSums_->Count(i);
    if (held + n > kNameBudget) {
      result_.incomplete = true;
      continue;
    }
    held += n;
    chosen_[i] = 1;
  }
  std::vector<Held> entries, records;
  if (!HoldIndexSide(&entries) || !HoldDataSide(&records)) return false;
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
  while (a < onlyEntries.size() || b < onlyRecords.size()) {
    if (b == onlyRecords.size() ||
        (a < onlyEntries.size() && onlyEntries[a].offset < onlyRecords[b].offset)) {
      NameEntryAlone(onlyEntries[a++]);
    } else if (a == onlyEntries.size() || onlyRecords[b].offset < onlyEntries[a].offset) {
      NameRecordAlone(onlyRecords[b++]);
    } else {
      NamePair(onlyEntries[a++], onlyRecords[b++]);
    }
  }
  if (scan_->IgnoresDuplicates() && !onlyEntries.empty()) return NameHiddenFirsts(onlyEntries);
  return true;
}

// Under n0 and n$ a record counts only when no entry of its key stands at
// a smaller offset. When that entry is itself wrong, the first record of
// the key that the data really holds was passed over as a duplicate: a
// third reading names it.
bool Checker::NameHiddenFirsts(const std::vector<Held>& wrongEntries) {
  struct Hidden {
    uint64_t wrongOffset;
    bool settled;
  };
  std::map<std::string, Hidden> keys;
  int st;
  CursorHandle c = OpenCursor(ix_.get(), &st);
  if (st != KELISI_OK) return Fail(st, kelisi_strerror(st));
  for (const Held& w : wrongEntries) {
    kelisi_entry e;
    st = kelisi_find(c.get(), w.key.data(), w.key.size(), &e);
    if (st < 0) return Fail(st, kelisi_strerror(st));
    if (st == KELISI_OK && e.record_offset == w.offset) keys[w.key] = {w.offset, false};
  }
  if (keys.empty()) return true;
  StoredScan scan;
  std::string why;
  if (!scan.Parse(h_.command_line, &why) || !scan.Open(opt_.dataPath, &why)) {
    return Fail(KELISI_E_DATA_READ, why);
  }
  for (int more = 1; more > 0;) {
    const uint8_t* items;
    uint32_t count;
    more = scan.Next(&items, &count, &why);
    if (more < 0) return Fail(KELISI_E_DATA_READ, why);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* item = items + static_cast<size_t>(i) * scan.ItemLength();
      auto it = keys.find(
          std::string(reinterpret_cast<const char*>(item + kItemKeyOfs), scan.KeyLength()));
      if (it == keys.end() || it->second.settled) continue;
      uint64_t pos = ItemPosition(item);
      if (pos == it->second.wrongOffset) continue;
      it->second.settled = true;
      if (pos < it->second.wrongOffset) continue;  // counted, and named already
      CheckProblem p;
      p.kind = kProblemNoEntry;
      p.offset = pos;
      p.message = "data record at " + std::to_string(pos) + " (key " + Quoted(it->first) + ", " +
                  std::to_string(ItemLength(item)) +
                  " bytes) has no entry; the entry of its key points to " +
                  std::to_string(it->second.wrongOffset) + " instead";
      Report(std::move(p));
    }
  }
  return true;
}

bool Checker::HoldIndexSide(std::vector<Held>* held) {
  int st;
  CursorHandle c = OpenCursor(ix_.get(), &st);
  if (st != KELISI_OK) return Fail(st, kelisi_strerror(st));
  kelisi_entry e;
  for (st = kelisi_first(c.get(), &e); st == KELISI_OK; st = kelisi_next(c.get(), &e)) {
    if (!chosen_[indexSums_->BucketOf(e.record_offset)]) continue;
    held->push_back({e.record_offset, e.record_size,
                     std::string(reinterpret_cast<const char*>(e.key), e.key_length), e.sector,
                     e.index});
  }
  if (st != KELISI_NOTFOUND) return Fail(st, kelisi_strerror(st));
  return true;
}

bool Checker::HoldDataSide(std::vector<Held>* held) {
  // A scan cannot be rewound: the second reading is a scan of its own.
  StoredScan scan;
  std::string why;
  if (scan_->IgnoresDuplicates()) scan.SetBatchMemory(kLookupBatchMemory);
  if (!scan.Parse(h_.command_line, &why) || !scan.Open(opt_.dataPath, &why)) {
    return Fail(KELISI_E_DATA_READ, why);
  }
  int st = KELISI_OK;
  CursorHandle lookup;
  if (scan.IgnoresDuplicates()) lookup = OpenCursor(ix_.get(), &st);
  if (st != KELISI_OK) return Fail(st, kelisi_strerror(st));
  int more = 1;
  while (more > 0) {
    const uint8_t* items;
    uint32_t count;
    more = scan.Next(&items, &count, &why);
    if (more < 0) return Fail(KELISI_E_DATA_READ, why);
    st = ForIndexed(scan, lookup.get(), items, count, [&](const uint8_t* item) {
      if (!chosen_[dataSums_->BucketOf(ItemPosition(item))]) return;
      held->push_back(
          {ItemPosition(item), ItemLength(item),
           std::string(reinterpret_cast<const char*>(item + kItemKeyOfs), scan.KeyLength())});
    });
    if (st < 0) return Fail(st, kelisi_strerror(st));
  }
  return true;
}

// The location of an entry, as the library's check writes it.
std::string EntryPlace(const Held& entry) {
  return "key sector " + std::to_string(entry.sector) + " entry " + std::to_string(entry.entry) +
         ": ";
}

// A problem of an entry's record, placed at the entry.
CheckProblem EntryProblem(const Held& entry) {
  CheckProblem p;
  p.kind = KELISI_P_RECORD;
  p.sector = entry.sector;
  p.entry = entry.entry;
  p.offset = entry.offset;
  return p;
}

void Checker::NamePair(const Held& entry, const Held& record) {
  if (namedEntries_.count({entry.sector, entry.entry}) != 0) return;
  CheckProblem p = EntryProblem(entry);
  p.message = EntryPlace(entry) + "record at " + std::to_string(entry.offset);
  if (entry.key != record.key) {
    p.message += " carries key " + Quoted(record.key) + ", not the entry's " + Quoted(entry.key);
    if (entry.size != record.size) p.message += ",";
  }
  if (entry.size != record.size) {
    p.message += " is " + std::to_string(record.size) + " bytes long, the entry says " +
                 std::to_string(entry.size);
  }
  Report(std::move(p));
}

void Checker::NameEntryAlone(const Held& entry) {
  if (namedEntries_.count({entry.sector, entry.entry}) != 0) return;
  CheckProblem p = EntryProblem(entry);
  std::string at = EntryPlace(entry) + "record at " + std::to_string(entry.offset);
  std::string bytes;
  if (entry.offset >= dataSize_ || !ReadData(entry.offset, entry.size, &bytes) ||
      bytes.size() < entry.size) {
    p.message = at + " (" + std::to_string(entry.size) + " bytes) not inside the data file";
  } else if (bytes.find_first_not_of('\0') == std::string::npos) {
    p.message = at + " is a deleted record";
  } else {
    p.message = EntryPlace(entry) + "no record that the stored options select starts at " +
                std::to_string(entry.offset) + " (key " + Quoted(entry.key) + ")";
    if (scan_->IgnoresDuplicates()) {
      int st;
      CursorHandle c = OpenCursor(ix_.get(), &st);
      kelisi_entry e;
      if (st == KELISI_OK && kelisi_find(c.get(), entry.key.data(), entry.key.size(), &e) == 0 &&
          e.record_offset < entry.offset) {
        p.message = EntryPlace(entry) + "a second entry of key " + Quoted(entry.key) +
                    ", whose first record, at " + std::to_string(e.record_offset) +
                    ", is the only one the options keep";
      }
    }
  }
  Report(std::move(p));
}

void Checker::NameRecordAlone(const Held& record) {
  CheckProblem p;
  p.kind = kProblemNoEntry;
  p.offset = record.offset;
  p.message = "data record at " + std::to_string(record.offset) + " (key " + Quoted(record.key) +
              ", " + std::to_string(record.size) + " bytes) has no entry";
  if (scan_->IgnoresDuplicates()) {
    int st;
    CursorHandle c = OpenCursor(ix_.get(), &st);
    kelisi_entry e;
    if (st == KELISI_OK && kelisi_find(c.get(), record.key.data(), record.key.size(), &e) == 0 &&
        e.record_offset > record.offset) {
      p.message += "; the index keeps the later record at " + std::to_string(e.record_offset) +
                   " for its key";
    }
  }
  Report(std::move(p));
}

bool Checker::ReadData(uint64_t offset, uint32_t size, std::string* bytes) const {
  bytes->assign(size, '\0');
  ssize_t n = pread(dataFd_, bytes->data(), size, static_cast<off_t>(offset));
  if (n < 0) return false;
  bytes->resize(static_cast<size_t>(n));
  return true;
}

// Every position the deleted-record list names must be a deleted record:
// a whole record of zero bytes (for variable-length data, whose records
// have no fixed size, a zero byte where it starts).
void Checker::CheckDeletedList() {
  size_t count = 0;
  int st = kelisi_deleted(ix_.get(), nullptr, 0, &count);
  if ((st != KELISI_OK && st != KELISI_E_BUFFER) || count == 0) return;
  std::vector<uint64_t> positions(count);
  if (kelisi_deleted(ix_.get(), positions.data(), count, &count) != KELISI_OK) return;
  std::sort(positions.begin(), positions.end());
  uint32_t size = scan_->VariableLength() ? 1 : scan_->RecordSize();
  if (size == 0) size = 1;
  std::string bytes;
  for (uint64_t pos : positions) {
    CheckProblem p;
    p.kind = KELISI_P_DELETED;
    p.offset = pos;
    std::string at = "deleted-record list: record at " + std::to_string(pos);
    if (pos + size > dataSize_) {
      p.message = at + " not inside the data file";
    } else if (!ReadData(pos, size, &bytes) || bytes.size() < size ||
               bytes.find_first_not_of('\0') != std::string::npos) {
      p.message = at + " not zero-filled";
    } else {
      continue;
    }
    Report(std::move(p));
  }
}

}  // namespace

CheckResult CheckIndex(const char* isiPath, const CheckOptions& options, const ProblemFn& report) {
  Checker checker(isiPath, options, report);
  return checker.Run();
}

}  // namespace kelisi_cli
