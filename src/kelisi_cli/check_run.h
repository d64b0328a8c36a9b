// The state of one run of CheckIndex, shared by the parts of the check:
// the structure and the data's form (index_check.cpp), the fingerprint of
// both sides (fingerprint.cpp), the lookups that keep the first record of a
// key (first_of_key.cpp) and the naming of differences (differences.cpp).
// Every read of the index and of the data's records goes through the
// reader library; the data is scanned by the program's own scanner.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kelisi.h"
#include "kelisi_cli/index_check.h"
#include "kelisi_cli/multiset_hash.h"
#include "kelisi_cli/stored_scan.h"
#include "sort/sort_item.h"

namespace kelisi_cli {

struct IndexCloser {
  void operator()(kelisi* ix) const { kelisi_close(ix); }
};
using IndexHandle = std::unique_ptr<kelisi, IndexCloser>;
struct CursorCloser {
  void operator()(kelisi_cursor* c) const { kelisi_cursor_close(c); }
};
using CursorHandle = std::unique_ptr<kelisi_cursor, CursorCloser>;

IndexHandle OpenIndex(const char* isiPath, const char* dataPath, int* status);
CursorHandle OpenCursor(kelisi* ix, int* status);

// A key as the messages show it, quoted and escaped.
std::string Quoted(const std::string& key);

struct CheckRun {
  CheckRun(const char* isiPath, const CheckOptions& options, const ProblemFn& report)
      : isiPath(isiPath), opt(options), report(report) {}

  // Counts a problem (or a note) and passes it on.
  void Report(CheckProblem p);
  // Stops the check with a status: false.
  bool Fail(int status, std::string text);

  const char* isiPath;
  CheckOptions opt;
  const ProblemFn& report;
  CheckResult result;
  IndexHandle ix;  // with the data file when there is one
  kelisi_header h{};
  bool parsed = false;  // the stored command line could be used
  std::string parseWhy;
  std::unique_ptr<StoredScan> scan;
  std::set<std::pair<uint32_t, uint32_t>> namedEntries;  // by the library's record check
  std::unique_ptr<EntrySums> indexSums, dataSums;
  bool walkRefused = false;  // the tree is too damaged to be walked
};

// Gives a scan whose records are looked up (n0, n$) the larger batches
// that serve the lookups.
void SetLookupBatch(StoredScan* scan);
// Adds up both sides of the fingerprint: one walk of the index beside one
// scan of the data. False when the check must stop.
bool Fingerprint(CheckRun& run);
// Reads again the entries and records of the buckets that differ and names
// every difference. False when the check must stop.
bool NameDifferences(CheckRun& run);

// The records of a scanned batch that a build would index: all of them, or
// under n0 and n$ those without an entry of their key at a smaller offset,
// found by lookups in key order through the cursor.
class FirstOfKey {
 public:
  template <typename Fn>
  int ForIndexed(const StoredScan& scan, kelisi_cursor* c, const uint8_t* items, uint32_t count,
                 Fn fn);

 private:
  // Orders the batch by key (and offset) into order_.
  void Sort(const StoredScan& scan, const uint8_t* items, uint32_t count);
  struct Keyed {
    uint64_t prefix;
    const uint8_t* item;
  };
  std::vector<Keyed> order_;
};

template <typename Fn>
int FirstOfKey::ForIndexed(const StoredScan& scan, kelisi_cursor* c, const uint8_t* items,
                           uint32_t count, Fn fn) {
  uint32_t itemLen = scan.ItemLength(), keyLen = scan.KeyLength();
  if (!scan.IgnoresDuplicates()) {
    for (uint32_t i = 0; i < count; ++i) fn(items + static_cast<size_t>(i) * itemLen);
    return KELISI_OK;
  }
  Sort(scan, items, count);
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

}  // namespace kelisi_cli
