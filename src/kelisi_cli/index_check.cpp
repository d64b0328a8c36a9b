// The check of an ISI file against itself and against its data.
//
// The structure is the library's (kelisi_check), the deleted-record list
// included. The data is read with the program's own scanner, set up from
// the command line stored in the index, so that the records found are
// exactly those a build would index today. The two sides are compared as
// multisets of (record byte offset, record size, key) by an
// order-independent fingerprint in constant memory (fingerprint.cpp); only
// where the fingerprints differ are the differences named
// (differences.cpp).
//
// Under n0 and n$ the index keeps only the first record of each key: each
// record the scan delivers is then looked up (first_of_key.cpp), and counts
// on the data side only when the index holds no entry of its key at a
// smaller offset.
#include "kelisi_cli/index_check.h"

#include <cerrno>
#include <cstring>

#include "isi/isi_format.h"
#include "isi/isi_xlat.h"
#include "kelisi_cli/check_run.h"
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {
constexpr size_t kWalkCache = size_t{4} << 20;
}  // namespace

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

std::string Quoted(const std::string& key) {
  std::string s = "\"";
  AppendEscaped(&s, reinterpret_cast<const uint8_t*>(key.data()), key.size());
  s += '"';
  return s;
}

void CheckRun::Report(CheckProblem p) {
  ++(KELISI_IS_NOTE(p.kind) ? result.notes : result.problems);
  if (report) report(p);
}

bool CheckRun::Fail(int status, std::string text) {
  result.status = status;
  result.error = std::move(text);
  return false;
}

namespace {

// The library's check of the structure; with the data, also of the
// deleted-record list, and of each entry's record when asked to, or when
// the records cannot be compared otherwise.
bool CheckStructure(CheckRun& run, bool withRecords) {
  unsigned flags = 0;
  if (run.opt.dataPath != nullptr) flags |= KELISI_CHECK_DELETED;
  if (withRecords) flags |= KELISI_CHECK_RECORDS;
  if (run.opt.allowFree) flags |= KELISI_CHECK_ALLOW_FREE;
  int n = kelisi_check(
      run.ix.get(), flags,
      [](void* ctx, const kelisi_problem* kp) -> int {
        CheckRun& run = *static_cast<CheckRun*>(ctx);
        CheckProblem cp;
        cp.kind = kp->kind;
        cp.sector = kp->sector;
        cp.entry = kp->index;
        cp.message = kp->message != nullptr ? kp->message : "";
        if (kp->kind == KELISI_P_RECORD) run.namedEntries.insert({kp->sector, kp->index});
        run.Report(std::move(cp));
        return 0;
      },
      &run);
  if (n == KELISI_E_DATA_READ) {
    return run.Fail(n, std::string("cannot read the data file ") + run.opt.dataPath);
  }
  if (n < 0) return run.Fail(n, kelisi_strerror(n));
  return true;
}

// The facts that make every record differ at once: key length, the mark
// that ends the records, a fixed record length. Each is one problem, and
// the records are then not compared one by one.
bool CheckFormat(CheckRun& run) {
  const StoredScan& scan = *run.scan;
  const kelisi_header& h = run.h;
  CheckProblem p;
  p.kind = kProblemDataForm;
  if (scan.KeyLength() != h.key_length) {
    p.message = "data file: the stored command line makes keys of " +
                std::to_string(scan.KeyLength()) + " bytes, the header says " +
                std::to_string(h.key_length);
    run.Report(std::move(p));
    return false;
  }
  bool marks = !scan.Binary() || scan.MarkLength() > 0;
  if (marks && h.record_count + h.deleted_count > 0 &&
      (scan.EndOfRecordFlags() & kFmtEorMask) != (h.format_flags & kFmtEorMask)) {
    p.message = std::string("data file: its records end in ") +
                IsiEorName(scan.EndOfRecordFlags()) +
                ", the index was built over records that end in " + IsiEorName(h.format_flags);
    run.Report(std::move(p));
    return false;
  }
  if (!scan.VariableLength() && scan.HeaderRecordLength() != h.record_length) {
    p.message = "data file: its records are " + std::to_string(scan.HeaderRecordLength()) +
                " bytes long, the index was built over records of " +
                std::to_string(h.record_length) + " bytes";
    run.Report(std::move(p));
    return false;
  }
  return true;
}

bool CompareWithData(CheckRun& run) {
  std::string why;
  SetLookupBatch(run.scan.get());
  if (!run.scan->Open(run.opt.dataPath, &why)) {
    if (run.scan->ReadFailed()) return run.Fail(KELISI_E_DATA_READ, why);
    // The data cannot be read as the index's options describe it.
    CheckProblem p;
    p.kind = kProblemDataForm;
    p.message = "data file: cannot be read as the index was built: " + why;
    run.Report(std::move(p));
    return true;
  }
  if (!CheckFormat(run)) return true;
  if (!Fingerprint(run)) return false;
  if (run.walkRefused) {
    run.result.note = "the data was not compared: the tree cannot be walked";
    return true;
  }
  run.result.dataCompared = true;
  bool same = true;
  for (uint32_t i = 0; i < run.indexSums->BucketCount(); ++i) {
    if (!run.indexSums->Same(*run.dataSums, i)) same = false;
  }
  return same || NameDifferences(run);
}

void Check(CheckRun& run) {
  int st;
  run.ix = OpenIndex(run.isiPath, run.opt.dataPath, &st);
  // The walks read the index front to back, twice at most: read-ahead
  // blocks serve them, and a cache the size of the index would only hold
  // memory the check does not need.
  if (st == KELISI_OK) st = kelisi_set_cache_size(run.ix.get(), kWalkCache);
  if (st == KELISI_OK) st = kelisi_get_header(run.ix.get(), &run.h);
  if (st != KELISI_OK) {
    std::string text = kelisi_strerror(st);
    if (st == KELISI_E_DATA_OPEN) {
      text = std::string("cannot open the data file ") + run.opt.dataPath + ": " + strerror(errno);
    }
    run.Fail(st, text);
    return;
  }
  bool withData = run.opt.dataPath != nullptr;
  if (withData) {
    run.scan = std::make_unique<StoredScan>();
    if (run.h.command_line[0] == '\0') {
      run.parseWhy = "the index keeps no command line";
    } else {
      run.parsed = run.scan->Parse(run.h.command_line, &run.parseWhy);
    }
  }
  // Without a usable command line the records can still be read through
  // the entries, one by one.
  if (!CheckStructure(run, withData && (run.opt.records || !run.parsed))) return;
  if (!withData) return;
  if (!run.parsed) {
    run.result.note = "the command line stored in the index cannot be used (" + run.parseWhy +
                      "): each entry's record was checked, but records without an entry were not "
                      "looked for";
    return;
  }
  CompareWithData(run);
}

}  // namespace

CheckResult CheckIndex(const char* isiPath, const CheckOptions& options, const ProblemFn& report) {
  CheckRun run(isiPath, options, report);
  Check(run);
  return run.result;
}

}  // namespace kelisi_cli
