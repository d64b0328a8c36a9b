// The shared pieces of the end-to-end tests: data files, the independent
// key order, byte comparisons and the run fixture.
#include "e2e_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <regex>

namespace e2e {

const char kBanner[] =
    "\nKELVANE INDEX COMMAND   Version 10.8   07 Oct 2025"
    "\nBuilds, shows, rebuilds and compacts ISI index files."
    "\n-? shows the options.\n";

namespace {

std::string KeyOf(const std::string& body, const KeySpecs& specs, bool upper) {
  std::string key;
  for (auto [first, last] : specs) {
    for (int c = first, step = first <= last ? 1 : -1;; c += step) {
      char ch = static_cast<size_t>(c - 1) < body.size() ? body[static_cast<size_t>(c - 1)] : ' ';
      key += upper ? static_cast<char>(toupper(static_cast<unsigned char>(ch))) : ch;
      if (c == last) break;
    }
  }
  return key;
}

}  // namespace

DataFile& DataFile::Rec(const std::string& body) {
  records_.push_back({bytes_.size(), body, static_cast<uint16_t>(body.size() + eor_.size())});
  bytes_ += body + eor_;
  return *this;
}

DataFile& DataFile::Deleted(size_t bytes) {
  deleted_.push_back(bytes_.size());
  bytes_.append(bytes, '\0');
  return *this;
}

std::vector<isir::Entry> ExpectedEntries(const DataFile& data, const KeySpecs& specs,
                                         uint32_t recordSize, bool upper,
                                         const std::function<bool(const std::string&)>& keep) {
  std::vector<isir::Entry> entries;
  for (const DataFile::Record& r : data.records()) {
    if (keep && !keep(r.body)) continue;
    isir::Entry e;
    e.recPos = static_cast<uint32_t>(recordSize != 0 ? r.pos / recordSize : r.pos);
    e.recSize = r.size;
    e.key = KeyOf(r.body, specs, upper);
    entries.push_back(e);
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const isir::Entry& a, const isir::Entry& b) { return a.key < b.key; });
  for (size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].key == entries[i - 1].key) {
      entries[i].dupSeq = static_cast<uint16_t>(entries[i - 1].dupSeq + 1);
    }
  }
  return entries;
}

std::vector<isir::Entry> FirstOfEachKey(const std::vector<isir::Entry>& entries) {
  std::vector<isir::Entry> firsts;
  for (const isir::Entry& e : entries) {
    if (firsts.empty() || firsts.back().key != e.key) firsts.push_back(e);
  }
  return firsts;
}

std::string DupReport(const std::vector<isir::Entry>& entries) {
  size_t dups = std::count_if(entries.begin(), entries.end(),
                              [](const isir::Entry& e) { return e.dupSeq != 0; });
  return dups == 0 ? "" : "Data file has " + std::to_string(dups) + " duplicate key entries.\n";
}

::testing::AssertionResult SameEntries(const std::vector<isir::Entry>& got,
                                       const std::vector<isir::Entry>& want) {
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
    const isir::Entry &g = got[i], &w = want[i];
    if (g.key != w.key || g.recPos != w.recPos || g.dupSeq != w.dupSeq || g.recSize != w.recSize) {
      return ::testing::AssertionFailure()
             << "entry " << i << ": got key '" << g.key << "' pos " << g.recPos << " dup "
             << g.dupSeq << " size " << g.recSize << ", want key '" << w.key << "' pos " << w.recPos
             << " dup " << w.dupSeq << " size " << w.recSize;
    }
  }
  if (got.size() == want.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << got.size() << " entries, want " << want.size();
}

::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  if (g == got.end() && w == want.end()) return ::testing::AssertionSuccess();
  char text[96];
  snprintf(text, sizeof text, "differ at byte %zu of %zu (want %zu)",
           static_cast<size_t>(g - got.begin()), got.size(), want.size());
  return ::testing::AssertionFailure() << text;
}

std::string Hex16(uint64_t v) {
  char text[24];
  snprintf(text, sizeof text, "%16llX", static_cast<unsigned long long>(v));
  return text;
}

void E2eTest::SetUp() {
  ASSERT_EQ(mkdir(workDir().c_str(), 0700), 0);
}

kt::RunResult E2eTest::Run(const std::vector<std::string>& args, kt::RunOptions opts) {
  if (opts.cwd.empty()) opts.cwd = dir.path();
  opts.env.emplace_back("TMPDIR", workDir());
  kt::RunResult r = kt::RunKelindex(args, opts);
  // Nothing but the fault build's own line belongs on standard error (a
  // sanitizer report would land there).
  EXPECT_EQ(opts.faultBinary ? "" : r.err, "");
  return r;
}

std::string E2eTest::Messages(const kt::RunResult& r) {
  std::string head = r.out.substr(0, r.out.find('\n') + 1);
  std::string rest = r.out.substr(head.size());
  EXPECT_EQ(head.substr(0, 9), "kelindex ") << "no argument echo";
  if (rest.compare(0, sizeof kBanner - 1, kBanner) != 0) {
    ADD_FAILURE() << "no banner in:\n" << r.out;
    return r.out;
  }
  rest = rest.substr(sizeof kBanner - 1);
  static const std::regex kTime(
      "Start time = \\d\\d:\\d\\d:\\d\\d  Stop time = \\d\\d:\\d\\d:\\d\\d  "
      "Elapsed time = \\d\\d:\\d\\d:\\d\\d\n$");
  size_t at = rest.find("Start time = ");
  if (at != std::string::npos) {
    EXPECT_TRUE(std::regex_match(rest.substr(at), kTime)) << "time line: " << rest.substr(at);
    rest = rest.substr(0, at) + "<time>\n";
  }
  return rest;
}

::testing::AssertionResult E2eTest::BuildAndLoad(const std::vector<std::string>& args,
                                                 const std::string& isi, isir::IsiReader* out,
                                                 kt::RunResult* run) {
  kt::RunResult r = Run(args);
  if (run != nullptr) *run = r;
  if (r.exitCode != 0) {
    return ::testing::AssertionFailure() << "exit " << r.exitCode << ":\n" << r.out << r.err;
  }
  std::string err;
  if (!out->LoadFile(dir.file(isi), &err)) return ::testing::AssertionFailure() << err;
  if (!out->Validate(&err)) return ::testing::AssertionFailure() << "unsound index: " << err;
  return ::testing::AssertionSuccess();
}

std::vector<isir::Entry> E2eTest::Walk(const isir::IsiReader& isi) {
  std::vector<isir::Entry> entries;
  std::string err;
  EXPECT_TRUE(isi.Walk(&entries, &err)) << err;
  return entries;
}

Names E2eTest::Files() const {
  Names names = dir.list();
  names.erase(std::remove(names.begin(), names.end(), "work"), names.end());
  return names;
}

}  // namespace e2e
