// What must hold for every data file and every set of options: generated
// data files are indexed, rebuilt and compacted, and each index is held
// against the entries worked out from the data alone (support/model) and
// against the reader library's check.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/model.h"
#include "support/test_util.h"

namespace {

struct Scenario {
  kt::Data data;
  kt::KeySpecs keys;
  std::vector<std::string> options;  // option letters before the key specifications
  bool upper = false, firstOnly = false, variable = false;
  std::string Command() const {
    std::string text = "-";
    for (const std::string& o : options) text += o + ",";
    for (auto [first, last] : keys) {
      text += std::to_string(first);
      if (first != last) text.append("-").append(std::to_string(last));
      text += ",";
    }
    text.pop_back();
    return text;
  }
};

// Key specifications over columns 1 to `width` + 3 (past a record's end the
// key takes blanks), without overlaps, some reversed (never two columns
// reversed: the header cannot describe that range).
kt::KeySpecs GenKeys(int width) {
  kt::KeySpecs keys;
  int column = 1;
  int count = *rc::gen::inRange(1, 4);
  for (int i = 0; i < count && column <= width + 3; ++i) {
    column += *rc::gen::inRange(0, 3);
    int w = *rc::gen::inRange(1, 7);
    bool reversed = w != 2 && *rc::gen::arbitrary<bool>();
    keys.emplace_back(reversed ? column + w - 1 : column, reversed ? column : column + w - 1);
    column += w;
  }
  return keys;
}

Scenario GenScenario() {
  Scenario s;
  int n = *rc::gen::inRange(1, 400);
  int len = *rc::gen::inRange(1, 40);
  std::string alphabet = *rc::gen::element<std::string>("ab", "aAbB", "ABCDEFGHIJKLMNOP");
  s.variable = *rc::gen::arbitrary<bool>();
  kt::Rng rng(*rc::gen::arbitrary<uint32_t>());
  if (s.variable) {
    s.options.push_back("v");
    for (int i = 0; i < n; ++i) {
      s.data.Rec(rng.Text(1 + rng.Below(static_cast<uint32_t>(len)), alphabet));
      if (rng.Below(8) == 0) s.data.Deleted(1 + rng.Below(20));  // skipped, not listed
    }
  } else {
    std::string eor = *rc::gen::element<std::string>("\n", "\r\n", "\n\r", "\r");
    int deleteEvery = *rc::gen::element(0, 2, 3, 7);
    s.data = kt::RandomData(n, len, rng.Next(), deleteEvery, eor, alphabet);
  }
  s.keys = GenKeys(len);
  if (*rc::gen::arbitrary<bool>()) {
    s.options.insert(s.options.begin(), "u");
    s.upper = true;
  }
  if (*rc::gen::inRange(0, 4) == 0) {
    s.options.push_back("n0");
    s.firstOnly = true;
  }
  if (*rc::gen::inRange(0, 3) == 0)
    s.options.push_back("m" + std::to_string(*rc::gen::inRange(10, 100)));
  return s;
}

// The deleted-record chain a build writes: sectors of 126 positions in the
// order found, read newest sector first.
std::vector<uint64_t> ExpectedChain(const Scenario& s) {
  std::vector<uint64_t> chain;
  if (s.variable) return chain;
  const std::vector<uint64_t>& d = s.data.deleted();
  for (size_t end = d.size(); end > 0;) {
    size_t start = (end - 1) / 126 * 126;
    chain.insert(chain.end(), d.begin() + static_cast<long>(start),
                 d.begin() + static_cast<long>(end));
    end = start;
  }
  return chain;
}

// Two indexes of the same data that differ at most in the command line
// stored in their headers.
bool SameIndex(const std::string& a, const std::string& b) {
  constexpr size_t kStoredLine = 496, kHeaderEnd = 1024;
  return a.size() == b.size() && a.compare(0, kStoredLine, b, 0, kStoredLine) == 0 &&
         a.compare(kHeaderEnd, std::string::npos, b, kHeaderEnd) == 0;
}

kt::RunResult Run(const kt::TempDir& dir, std::vector<std::string> args) {
  kt::RunOptions opts;
  opts.cwd = dir.path();
  opts.env = {{"TMPDIR", dir.file("work")}};
  return kt::RunKelindex(args, opts);
}

// The index at `isi` holds exactly the expected entries and chain, and the
// reader library finds nothing wrong with it, its data file included.
void CheckIndex(const kt::TempDir& dir, const std::string& isi, const std::string& step,
                const std::vector<kt::Entry>& entries, const std::vector<uint64_t>& chain) {
  kt::Index ix = kt::ReadIndex(dir.file(isi), dir.file("d.txt"));
  RC_ASSERT(ix.error == "");
  std::string diff = kt::DiffEntries(ix.entries, entries);
  if (!diff.empty()) RC_FAIL(step + ": " + diff);
  if (ix.deleted != chain) RC_FAIL(step + ": deleted-record chain differs");
  for (const std::string& p : ix.problems) RC_FAIL(step + ": " + p);
}

RC_GTEST_PROP(Index, BuildRebuildAndCompactionKeepWhatTheDataSay, ()) {
  Scenario s = GenScenario();
  RC_TAG(s.variable ? "variable" : "fixed");
  kt::TempDir dir;
  mkdir(dir.file("work").c_str(), 0700);
  dir.write("d.txt", s.data.bytes());
  std::vector<kt::Entry> entries = kt::Expected(s.data, s.keys, s.upper, {}, s.firstOnly);
  std::vector<uint64_t> chain = ExpectedChain(s);

  kt::RunResult r = Run(dir, {"d.txt,d.isi", s.Command()});
  RC_ASSERT(r.exitCode == 0);
  CheckIndex(dir, "d.isi", "build", entries, chain);
  std::string built = dir.read("d.isi");

  // Either sort method and any sort memory give the same bytes; so does a
  // rebuild from the stored command line.
  RC_ASSERT(Run(dir, {"-1", "d.txt,q.isi", s.Command()}).exitCode == 0);
  RC_ASSERT(SameIndex(dir.read("q.isi"), built));
  RC_ASSERT(Run(dir, {"-m524288", "-m262144", "-m131072", "-m65536", "-m32768", "-m16384", "-m8192",
                      "d.txt,s.isi", s.Command()})
                .exitCode == 0);
  std::string small = dir.read("s.isi");
  RC_ASSERT(SameIndex(small, built));
  RC_ASSERT(Run(dir, {"s.isi", "-r"}).exitCode == 0);
  bool rebuiltSame = dir.read("s.isi") == small;
  RC_ASSERT(rebuiltSame);

  // Compaction keeps every entry and the chain, in place and into a new file.
  RC_ASSERT(Run(dir, {"d.isi,n.isi", "-c"}).exitCode == 0);
  CheckIndex(dir, "n.isi", "compaction into a new file", entries, chain);
  RC_ASSERT(Run(dir, {"d.isi", "-c"}).exitCode == 0);
  CheckIndex(dir, "d.isi", "compaction in place", entries, chain);
  RC_ASSERT(SameIndex(dir.read("d.isi"), dir.read("n.isi")));
}

}  // namespace
