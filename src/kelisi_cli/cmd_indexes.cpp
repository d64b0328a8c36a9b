// kelisi indexes: the indexes of a data file (those given, or the .isi
// files beside it whose headers name it) and whether each is current: its
// entries exactly the records a build over the data would index today, as
// kelisi check proves it. Status 0 only when there is at least one and
// every one is current.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/data_indexes.h"

namespace kelisi_cli {

namespace {

// The walks of the check read the index front to back: read-ahead serves
// them better than a cache of the whole index would.
constexpr size_t kWalkCache = size_t{4} << 20;

std::string Count(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

int NoReport(void*, const kelisi_problem*) {
  return 0;
}

// One line for the index `isi` over `data`; false when it is not current.
bool Show(const std::string& isi, const std::string& data) {
  kelisi* ix = nullptr;
  int st = kelisi_open(isi.c_str(), data.c_str(), 0, &ix);
  kelisi_header h{};
  if (st == KELISI_OK) st = kelisi_get_header(ix, &h);
  if (st == KELISI_OK && !NamesDataFile(isi, h.data_name, data)) {
    kelisi_close(ix);
    Out(isi + ": not an index of " + data + " (its header names " +
        (h.data_name[0] ? h.data_name : "no data file") + ")\n");
    return false;
  }
  kelisi_check_counts r{};
  if (st == KELISI_OK) st = kelisi_set_cache_size(ix, kWalkCache);
  if (st == KELISI_OK) {
    st = kelisi_check_with_counts(ix, KELISI_CHECK_RECORDS | KELISI_CHECK_ALLOW_FREE, NoReport,
                                  nullptr, &r);
  }
  kelisi_close(ix);
  if (st < 0) {
    Flush(kExitOk);
    Fail("indexes: " + StatusText(st, isi, data));
    return false;
  }
  if (r.problems == 0) {
    Out(isi + ": current (" + Count(r.entries, "entry", "entries") + ")\n");
    return true;
  }
  Out(isi + ": not current, " + Count(r.problems, "problem", "problems") + " (kelisi check " + isi +
      " " + data + " names " + (r.problems == 1 ? "it" : "them") + ")\n");
  return false;
}

}  // namespace

int RunIndexes(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {}, {}, 1, 1000, "indexes", &args)) return kExitFail;
  const std::string& data = args.positional[0];
  struct stat st;
  if (stat(data.c_str(), &st) != 0) {
    return Fail("indexes: cannot open the data file " + data + ": " + strerror(errno));
  }
  std::vector<std::string> isis(args.positional.begin() + 1, args.positional.end());
  if (isis.empty()) isis = IndexesBeside(data);
  if (isis.empty()) {
    size_t slash = data.rfind('/');
    std::string dir = slash == std::string::npos ? "." : data.substr(0, slash == 0 ? 1 : slash);
    return Fail("indexes: no .isi file in " + dir + " names " + data);
  }
  uint64_t stale = 0;
  for (const std::string& isi : isis) stale += Show(isi, data) ? 0 : 1;
  std::string summary = data + ": " + Count(isis.size(), "index", "indexes") + ", ";
  if (stale == 0) {
    summary += isis.size() == 1 ? "current" : "all current";
  } else {
    summary += std::to_string(stale) + " not current";
  }
  Out(summary + "\n");
  return Flush(stale == 0 ? kExitOk : kExitFail);
}

}  // namespace kelisi_cli
