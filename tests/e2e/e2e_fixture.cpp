// The shared pieces of the end-to-end tests: data files, the independent
// key order, byte comparisons and the run fixture.
#include "e2e_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <regex>

namespace e2e {

const char* const kBanner =
    "\nKELVANE INDEX COMMAND   Version 10.8   07 Oct 2025"
    "\nBuilds, shows, rebuilds and compacts ISI index files."
    "\n-? shows the options.\n";

DataFile& DataFile::Rec(const std::string& body) {
  Record r;
  r.pos = bytes_.size();
  r.body = body;
  r.size = static_cast<uint16_t>(body.size() + eor_.size());
  records_.push_back(r);
  bytes_ += body + eor_;
  return *this;
}

DataFile& DataFile::Deleted(size_t bytes) {
  deleted_.push_back(bytes_.size());
  bytes_.append(bytes, '\0');
  return *this;
}

DataFile& DataFile::Raw(const std::string& bytes) {
  bytes_ += bytes;
  return *this;
}

std::string KeyOf(const std::string& body, const KeySpecs& specs, bool upper) {
  std::string key;
  for (auto [first, last] : specs) {
    int step = first <= last ? 1 : -1;
    for (int c = first;; c += step) {
      char ch = static_cast<size_t>(c - 1) < body.size() ? body[static_cast<size_t>(c - 1)] : ' ';
      key += upper ? static_cast<char>(toupper(static_cast<unsigned char>(ch))) : ch;
      if (c == last) break;
    }
  }
  return key;
}

std::vector<isir::Entry> ExpectedEntries(const DataFile& data, const KeySpecs& specs,
                                         uint32_t recordSize, bool upper,
                                         const std::function<bool(const std::string&)>& keep) {
  struct Item {
    std::string key;
    uint64_t pos;
    uint16_t size;
  };
  std::vector<Item> items;
  for (const DataFile::Record& r : data.records()) {
    if (keep && !keep(r.body)) continue;
    items.push_back({KeyOf(r.body, specs, upper), r.pos, r.size});
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return a.key != b.key ? a.key < b.key : a.pos < b.pos;
  });
  std::vector<isir::Entry> entries;
  for (size_t i = 0; i < items.size(); ++i) {
    isir::Entry e;
    e.recPos = static_cast<uint32_t>(recordSize != 0 ? items[i].pos / recordSize : items[i].pos);
    e.recSize = items[i].size;
    e.key = items[i].key;
    e.dupSeq = i > 0 && items[i - 1].key == e.key ? static_cast<uint16_t>(entries.back().dupSeq + 1)
                                                  : static_cast<uint16_t>(0);
    entries.push_back(e);
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
  size_t dups = 0;
  for (const isir::Entry& e : entries) dups += e.dupSeq != 0;
  if (dups == 0) return "";
  return "Data file has " + std::to_string(dups) + " duplicate key entries.\n";
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
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure()
           << "got " << got.size() << " entries, want " << want.size();
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
    if (got[i] != want[i]) {
      char text[96];
      snprintf(text, sizeof text, "byte %zu: got 0x%02X, want 0x%02X", i,
               static_cast<unsigned char>(got[i]), static_cast<unsigned char>(want[i]));
      return ::testing::AssertionFailure() << text;
    }
  }
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size();
  }
  return ::testing::AssertionSuccess();
}

void PutU16(std::string* bytes, size_t ofs, uint16_t v) {
  (*bytes)[ofs] = static_cast<char>(v & 0xFF);
  (*bytes)[ofs + 1] = static_cast<char>(v >> 8);
}

void PutU32(std::string* bytes, size_t ofs, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) (*bytes)[ofs + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
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
  std::string echo = "kelindex ";
  std::string head = r.out.substr(0, r.out.find('\n') + 1);
  std::string rest = r.out.substr(head.size());
  EXPECT_EQ(head.substr(0, echo.size()), echo) << "no argument echo";
  if (rest.compare(0, strlen(kBanner), kBanner) != 0) {
    ADD_FAILURE() << "no banner in:\n" << r.out;
    return r.out;
  }
  rest = rest.substr(strlen(kBanner));
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

std::vector<std::string> E2eTest::WorkFiles() const {
  return kt::ListDirectory(workDir());
}

std::vector<std::string> E2eTest::Files() const {
  std::vector<std::string> names = dir.list();
  names.erase(std::remove(names.begin(), names.end(), "work"), names.end());
  return names;
}

}  // namespace e2e
