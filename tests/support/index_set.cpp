// Indexes held against their rebuilds (index_set.h).
#include "support/index_set.h"

#include <algorithm>

#include "kelisi.h"

#include "support/model.h"

namespace kt {

namespace {

void ByPosition(std::vector<Entry>* list) {
  for (Entry& e : *list) e.dup = 0;
  std::sort(list->begin(), list->end(), [](const Entry& a, const Entry& b) {
    return a.key != b.key ? a.key < b.key : a.offset < b.offset;
  });
}

}  // namespace

std::string RebuildDiff(const TempDir& dir, const std::string& isi, const std::string& data) {
  Index got = ReadIndex(dir.file(isi), dir.file(data));
  if (!got.error.empty()) return isi + ": " + got.error;
  for (const std::string& p : got.problems) {
    if (p.rfind("note: ", 0) != 0) return isi + ": " + p;
  }
  TempDir copy;
  copy.write(isi, dir.read(isi));
  copy.write(data, dir.read(data));
  RunResult r = RunKelindex({isi, "-r"}, copy.path());
  if (r.exitCode != 0) {
    if (got.entries.empty()) return "";
    return isi + ": the rebuild failed: " + r.out + r.err;
  }
  Index want = ReadIndex(copy.file(isi), copy.file(data));
  if (!want.error.empty()) return isi + " rebuilt: " + want.error;
  ByPosition(&got.entries);
  ByPosition(&want.entries);
  std::string diff = DiffEntries(got.entries, want.entries);
  if (!diff.empty()) return isi + " against its rebuild: " + diff;
  // An index whose header marks its records as appended (w, v, s, p)
  // keeps the list its build left as it is.
  kelisi* h = nullptr;
  kelisi_header hdr{};
  if (kelisi_open(dir.file(isi).c_str(), nullptr, 0, &h) != KELISI_OK ||
      kelisi_get_header(h, &hdr) != KELISI_OK) {
    kelisi_close(h);
    return isi + ": its header cannot be read";
  }
  kelisi_close(h);
  if (hdr.append_at_end) return "";
  std::sort(got.deleted.begin(), got.deleted.end());
  std::sort(want.deleted.begin(), want.deleted.end());
  if (got.deleted != want.deleted) {
    return isi + ": lists " + std::to_string(got.deleted.size()) +
           " deleted records, its rebuild " + std::to_string(want.deleted.size());
  }
  return "";
}

std::string SetRebuildDiff(const TempDir& dir, const std::vector<std::string>& isis,
                           const std::string& data) {
  for (const std::string& isi : isis) {
    std::string d = RebuildDiff(dir, isi, data);
    if (!d.empty()) return d;
  }
  return "";
}

}  // namespace kt
