// The fingerprint of the data check: the entries of the index and the
// records a build would index today, added up on two sides of the same
// shape (multiset_hash.h). One walk of the index runs on a thread of its
// own beside one scan of the data, so that a sound index costs about the
// time of the slower of the two.
#include <algorithm>
#include <thread>

#include "kelisi_cli/check_run.h"

namespace kelisi_cli {

namespace {

// Under n0 and n$ each record is looked up; the larger its batch, the more
// of the lookups, taken in key order, find their sectors in the cache.
constexpr uint64_t kLookupBatchMemory = uint64_t{16} << 20;

// log2 of the bucket count: about 16 entries a bucket, 256 to 65536 buckets.
uint32_t BucketBits(uint64_t expected) {
  uint32_t bits = 8;
  while (bits < 16 && (uint64_t{16} << bits) < expected) ++bits;
  return bits;
}

// The index side, on the walker thread: *status is the walk's end.
void AddIndexSide(kelisi* ix, EntrySums* sums, uint64_t* walked, int* status) {
  CursorHandle c = OpenCursor(ix, status);
  if (*status != KELISI_OK) return;
  kelisi_entry e;
  int st = kelisi_first(c.get(), &e);
  for (; st == KELISI_OK; st = kelisi_next(c.get(), &e)) {
    sums->Add(e.record_offset, e.record_size, e.key, e.key_length);
    ++*walked;
  }
  *status = st == KELISI_NOTFOUND ? KELISI_OK : st;
}

void ReportFormViolations(CheckRun& run) {
  StoredScan& scan = *run.scan;
  std::string form = scan.FormatViolation();
  if (!form.empty()) {
    CheckProblem p;
    p.kind = kProblemDataForm;
    p.message = "data file: not in the form the index was built for: it holds " + form;
    run.Report(std::move(p));
  }
  if (scan.VariableLength() && scan.HeaderRecordLength() != 0 &&
      scan.HeaderRecordLength() != run.h.record_length) {
    CheckProblem p;
    p.kind = kProblemDataForm;
    p.message = "data file: a build today would give a maximum record length of " +
                std::to_string(scan.HeaderRecordLength()) + " bytes, the header says " +
                std::to_string(run.h.record_length);
    run.Report(std::move(p));
  }
}

}  // namespace

void SetLookupBatch(StoredScan* scan) {
  if (scan->IgnoresDuplicates()) scan->SetBatchMemory(kLookupBatchMemory);
}

bool Fingerprint(CheckRun& run) {
  uint32_t bits = BucketBits(std::max<uint64_t>(run.h.record_count, 1));
  run.indexSums = std::make_unique<EntrySums>(bits);
  run.dataSums = std::make_unique<EntrySums>(bits);

  int walkStatus = KELISI_OK;
  uint64_t walked = 0;
  std::thread walker(AddIndexSide, run.ix.get(), run.indexSums.get(), &walked, &walkStatus);

  // The lookups of n0 and n$ go through a handle of their own.
  StoredScan& scan = *run.scan;
  int st = KELISI_OK;
  IndexHandle lookupIx;
  CursorHandle lookup;
  if (scan.IgnoresDuplicates()) {
    lookupIx = OpenIndex(run.isiPath, nullptr, &st);
    if (st == KELISI_OK) lookup = OpenCursor(lookupIx.get(), &st);
  }
  FirstOfKey firsts;
  std::string why;
  int more = st == KELISI_OK ? 1 : -1;
  while (more > 0) {
    const uint8_t* items;
    uint32_t count;
    more = scan.Next(&items, &count, &why);
    if (more < 0) break;
    uint32_t keyLen = scan.KeyLength();
    st = firsts.ForIndexed(scan, lookup.get(), items, count, [&](const uint8_t* item) {
      run.dataSums->Add(ItemPosition(item), ItemLength(item), item + kItemKeyOfs, keyLen);
      ++run.result.recordsIndexed;
    });
    if (st < 0) more = -1;
  }
  walker.join();
  run.result.entries = walked;
  run.result.recordsScanned = scan.RecordsScanned();
  run.result.deletedRecords = scan.DeletedRecords();
  if (walkStatus == KELISI_E_CORRUPT) {
    // The structure check has named the damage.
    run.walkRefused = true;
    return true;
  }
  if (walkStatus != KELISI_OK) return run.Fail(walkStatus, kelisi_strerror(walkStatus));
  if (st != KELISI_OK) return run.Fail(st, kelisi_strerror(st));
  if (more < 0) return run.Fail(KELISI_E_DATA_READ, why);
  ReportFormViolations(run);
  return true;
}

}  // namespace kelisi_cli
