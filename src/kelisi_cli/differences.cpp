// Naming the differences between the index and its data: where the
// fingerprints of a bucket differ, its entries and the records that fall
// into it are read again (as many as a budget allows) and paired up by
// offset, and each unpaired or unequal one is named.
#include <algorithm>
#include <map>

#include "isi/sector_check.h"
#include "kelisi_cli/check_run.h"
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {

// Entries and records held in memory at most to name the differences.
constexpr uint64_t kNameBudget = uint64_t{1} << 20;

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
};

class Namer {
 public:
  explicit Namer(CheckRun& run) : run_(run) {}
  bool Run();

 private:
  bool HoldIndexSide(std::vector<Held>* held);
  bool HoldDataSide(std::vector<Held>* held);
  bool NameHiddenFirsts(const std::vector<Held>& wrongEntries);
  void NamePair(const Held& entry, const Held& record);
  void NameEntryAlone(const Held& entry);
  void NameRecordAlone(const Held& record);
  // The first entry of `key`, under n0 and n$ the one the options keep.
  bool FirstEntry(const std::string& key, kelisi_entry* e);

  CheckRun& run_;
  std::vector<uint8_t> chosen_;  // the buckets whose entries are named
};

bool Namer::Run() {
  uint32_t buckets = run_.indexSums->BucketCount();
  chosen_.assign(buckets, 0);
  uint64_t held = 0;
  for (uint32_t i = 0; i < buckets; ++i) {
    if (run_.indexSums->Same(*run_.dataSums, i)) continue;
    uint64_t n = run_.indexSums->Count(i) + run_.dataSums->Count(i);
    if (held + n > kNameBudget) {
      run_.result.incomplete = true;
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
  if (run_.scan->IgnoresDuplicates() && !onlyEntries.empty()) {
    return NameHiddenFirsts(onlyEntries);
  }
  return true;
}

bool Namer::FirstEntry(const std::string& key, kelisi_entry* e) {
  int st;
  CursorHandle c = OpenCursor(run_.ix.get(), &st);
  return st == KELISI_OK && kelisi_find(c.get(), key.data(), key.size(), e) == KELISI_OK;
}

// Under n0 and n$ a record counts only when no entry of its key stands at
// a smaller offset. When that entry is itself wrong, the first record of
// the key that the data really holds was passed over as a duplicate: a
// third reading names it.
bool Namer::NameHiddenFirsts(const std::vector<Held>& wrongEntries) {
  struct Hidden {
    uint64_t wrongOffset;
    bool settled;
  };
  std::map<std::string, Hidden> keys;
  for (const Held& w : wrongEntries) {
    kelisi_entry e;
    if (FirstEntry(w.key, &e) && e.record_offset == w.offset) keys[w.key] = {w.offset, false};
  }
  if (keys.empty()) return true;
  StoredScan scan;
  std::string why;
  if (!scan.Parse(run_.h.command_line, &why) || !scan.Open(run_.opt.dataPath, &why)) {
    return run_.Fail(KELISI_E_DATA_READ, why);
  }
  for (int more = 1; more > 0;) {
    const uint8_t* items;
    uint32_t count;
    more = scan.Next(&items, &count, &why);
    if (more < 0) return run_.Fail(KELISI_E_DATA_READ, why);
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
      run_.Report(std::move(p));
    }
  }
  return true;
}

bool Namer::HoldIndexSide(std::vector<Held>* held) {
  int st;
  CursorHandle c = OpenCursor(run_.ix.get(), &st);
  if (st != KELISI_OK) return run_.Fail(st, kelisi_strerror(st));
  kelisi_entry e;
  for (st = kelisi_first(c.get(), &e); st == KELISI_OK; st = kelisi_next(c.get(), &e)) {
    if (!chosen_[run_.indexSums->BucketOf(e.record_offset)]) continue;
    held->push_back({e.record_offset, e.record_size,
                     std::string(reinterpret_cast<const char*>(e.key), e.key_length), e.sector,
                     e.index});
  }
  if (st != KELISI_NOTFOUND) return run_.Fail(st, kelisi_strerror(st));
  return true;
}

bool Namer::HoldDataSide(std::vector<Held>* held) {
  // A scan cannot be rewound: the second reading is a scan of its own.
  StoredScan scan;
  std::string why;
  SetLookupBatch(&scan);
  if (!scan.Parse(run_.h.command_line, &why) || !scan.Open(run_.opt.dataPath, &why)) {
    return run_.Fail(KELISI_E_DATA_READ, why);
  }
  int st = KELISI_OK;
  CursorHandle lookup;
  if (scan.IgnoresDuplicates()) lookup = OpenCursor(run_.ix.get(), &st);
  if (st != KELISI_OK) return run_.Fail(st, kelisi_strerror(st));
  FirstOfKey firsts;
  int more = 1;
  while (more > 0) {
    const uint8_t* items;
    uint32_t count;
    more = scan.Next(&items, &count, &why);
    if (more < 0) return run_.Fail(KELISI_E_DATA_READ, why);
    st = firsts.ForIndexed(scan, lookup.get(), items, count, [&](const uint8_t* item) {
      if (!chosen_[run_.dataSums->BucketOf(ItemPosition(item))]) return;
      held->push_back(
          {ItemPosition(item), ItemLength(item),
           std::string(reinterpret_cast<const char*>(item + kItemKeyOfs), scan.KeyLength())});
    });
    if (st < 0) return run_.Fail(st, kelisi_strerror(st));
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

void Namer::NamePair(const Held& entry, const Held& record) {
  if (run_.namedEntries.count({entry.sector, entry.entry}) != 0) return;
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
  run_.Report(std::move(p));
}

void Namer::NameEntryAlone(const Held& entry) {
  if (run_.namedEntries.count({entry.sector, entry.entry}) != 0) return;
  CheckProblem p = EntryProblem(entry);
  std::string at = EntryPlace(entry) + "record at " + std::to_string(entry.offset);
  // The record the entry names, read through the library.
  std::string bytes(entry.size, '\0');
  kelisi_entry e{};
  e.record_offset = entry.offset;
  e.record_size = entry.size;
  size_t len = 0;
  uint32_t recordSize = run_.h.record_length + run_.h.eor_length;
  uint32_t span = std::min(IsiDeletedRecordSpan(run_.h.format_flags, recordSize), entry.size);
  if (entry.size == 0 ||
      kelisi_read_record(run_.ix.get(), &e, bytes.data(), bytes.size(), &len) != KELISI_OK) {
    p.message = at + " (" + std::to_string(entry.size) + " bytes) not inside the data file";
  } else if (IsiIsDeletedRecord(reinterpret_cast<const uint8_t*>(bytes.data()), span)) {
    p.message = at + " is a deleted record";
  } else {
    p.message = EntryPlace(entry) + "no record that the stored options select starts at " +
                std::to_string(entry.offset) + " (key " + Quoted(entry.key) + ")";
    kelisi_entry first;
    if (run_.scan->IgnoresDuplicates() && FirstEntry(entry.key, &first) &&
        first.record_offset < entry.offset) {
      p.message = EntryPlace(entry) + "a second entry of key " + Quoted(entry.key) +
                  ", whose first record, at " + std::to_string(first.record_offset) +
                  ", is the only one the options keep";
    }
  }
  run_.Report(std::move(p));
}

void Namer::NameRecordAlone(const Held& record) {
  CheckProblem p;
  p.kind = kProblemNoEntry;
  p.offset = record.offset;
  p.message = "data record at " + std::to_string(record.offset) + " (key " + Quoted(record.key) +
              ", " + std::to_string(record.size) + " bytes) has no entry";
  kelisi_entry first;
  if (run_.scan->IgnoresDuplicates() && FirstEntry(record.key, &first) &&
      first.record_offset > record.offset) {
    p.message += "; the index keeps the later record at " + std::to_string(first.record_offset) +
                 " for its key";
  }
  run_.Report(std::move(p));
}

}  // namespace

bool NameDifferences(CheckRun& run) {
  return Namer(run).Run();
}

}  // namespace kelisi_cli
