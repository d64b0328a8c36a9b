// The benchmark harness's own tools, run as programs from the build
// directory: gen_data (the seeded data generator) and isi_verify (the index
// checker). The verifier is fed crafted ISI files, right ones and ones
// broken in one place each, so that it is known to accept right indexes and
// to catch the faults a fast but wrong index build could make; then it
// checks kelindex's own indexes of generated data.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/isi_writer.h"
#include "support/test_util.h"

namespace {

struct ToolRun {
  int exitCode = -1;
  std::string out, err;
};

class BenchToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"gen_data", "isi_verify"}) {
      if (access(Tool(tool).c_str(), X_OK) != 0) GTEST_SKIP() << "bench tools not built";
    }
  }
  static std::string Tool(const std::string& name) {
    std::string bin = kt::KelindexPath();
    return bin.substr(0, bin.rfind('/') + 1) + name;
  }
  // Runs a tool through the shell (after `prefix`, such as a ulimit), its
  // output captured in files of the test directory.
  ToolRun RunTool(const std::string& name, const std::vector<std::string>& args,
                  const std::string& prefix = "true") {
    std::string cmd = prefix + "; exec '" + Tool(name) + "'";
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " >'" + dir_.file(".out") + "' 2>'" + dir_.file(".err") + "'";
    int status = system(cmd.c_str());
    ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, dir_.read(".out"), dir_.read(".err")};
    unlink(dir_.file(".out").c_str());
    unlink(dir_.file(".err").c_str());
    return run;
  }
  // gen_data with its output named in the test directory.
  ToolRun Gen(std::vector<std::string> args, const std::string& prefix = "true") {
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i - 1] == "-o" && args[i] != "-") args[i] = dir_.file(args[i]);
    }
    return RunTool("gen_data", args, prefix);
  }
  ToolRun Verify(const std::string& cols) {
    return RunTool("isi_verify", {dir_.file("data.txt"), dir_.file("data.isi"), cols});
  }
  // The records of a generated file without their LFs, from `column` on.
  std::vector<std::string> Lines(const std::string& name, size_t column = 0, size_t n = 999) {
    std::vector<std::string> lines;
    std::string bytes = dir_.read(name);
    for (size_t at = 0, nl; (nl = bytes.find('\n', at)) != std::string::npos; at = nl + 1) {
      lines.push_back(bytes.substr(at + column, std::min(n, nl - at - column)));
    }
    return lines;
  }

  kt::TempDir dir_;
};

TEST_F(BenchToolsTest, GenDataWritesFixedLengthRecordsOfPrintableKeys) {
  ToolRun r = Gen({"-n", "2000", "-l", "100", "-k", "1-10", "-s", "7", "-o", "d.txt"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(dir_.read("d.txt").size(), 2000u * 101);
  std::set<std::string> keys;
  for (const std::string& line : Lines("d.txt")) {
    ASSERT_EQ(line.size(), 100u);
    for (size_t i = 0; i < line.size(); ++i) {
      auto c = static_cast<unsigned char>(line[i]);
      ASSERT_TRUE(i < 10 ? c > 0x20 && c < 0x7F : c == ' ' || (c >= 'a' && c <= 'z')) << i;
    }
    keys.insert(line.substr(0, 10));
  }
  EXPECT_GT(keys.size(), 1990u);  // random keys: practically all distinct
  EXPECT_EQ(dir_.list(), std::vector<std::string>{"d.txt"});
  EXPECT_EQ(Gen({"-n", "3", "-l", "5", "-k", "1-5", "-o", "-"}).out.size(), 18u);
}

TEST_F(BenchToolsTest, GenDataOrdersKeysAsAskedAndFromItsSeed) {
  for (const char* run : {"a1", "b1", "c2"}) {
    ASSERT_EQ(Gen({"-n", "500", "-l", "40", "-k", "3-12", "-s", run + 1, "-o", run}).exitCode, 0);
  }
  EXPECT_EQ(dir_.read("a1"), dir_.read("b1"));
  EXPECT_NE(dir_.read("a1"), dir_.read("c2"));
  for (const char* order : {"sorted", "reverse"}) {
    ASSERT_EQ(Gen({"-n", "3000", "-l", "30", "-k", "21-30", "-d", order, "-o", order}).exitCode, 0);
  }
  std::vector<std::string> sorted = Lines("sorted", 20), reversed = Lines("reverse", 20);
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
  EXPECT_EQ(std::set<std::string>(sorted.begin(), sorted.end()).size(), 3000u);
  EXPECT_EQ(sorted, std::vector<std::string>(reversed.rbegin(), reversed.rend()));
  ASSERT_EQ(
      Gen({"-n", "5000", "-l", "20", "-k", "1-8", "-d", "dups", "-u", "40", "-o", "dups"}).exitCode,
      0);
  std::vector<std::string> dups = Lines("dups", 0, 8);
  std::set<std::string> distinct(dups.begin(), dups.end());
  EXPECT_GE(distinct.size(), 35u);
  EXPECT_LE(distinct.size(), 40u);
  EXPECT_FALSE(std::is_sorted(dups.begin(), dups.end()));
  // Key = columns 8-10 then 2-3: sorted keys read in that order.
  ASSERT_EQ(Gen({"-n", "800", "-l", "12", "-k", "8-10,2-3", "-d", "sorted", "-o", "m"}).exitCode,
            0);
  std::vector<std::string> keys;
  for (const std::string& line : Lines("m")) keys.push_back(line.substr(7, 3) + line.substr(1, 2));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 800u);
}

TEST_F(BenchToolsTest, GenDataRefusesBadArgumentsAndCreatesNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {"-n", "10", "-l", "100", "-k", "95-101", "-o", "x"},    // key past the record
      {"-n", "10", "-l", "100", "-k", "1-10,5-6", "-o", "x"},  // a column twice
      {"-n", "10", "-l", "100", "-k", "1-10", "-d", "odd", "-o", "x"},
      {"-n", "10", "-l", "0", "-k", "1-1", "-o", "x"},
      {"-n", "ten", "-l", "100", "-k", "1-10", "-o", "x"},
      {"-n", "10", "-l", "100", "-k", "1-10"},  // no output
      {"-n", "10", "-l", "100", "-k", "1-10", "-o", "x", "-q", "1"},
      {"-n", "10", "-l", "100", "-k", "1-10", "-o"},
  };
  for (const auto& args : bad) {
    ToolRun r = Gen(args);
    EXPECT_EQ(r.exitCode, 1) << args[5];
    EXPECT_NE(r.err.find("gen_data:"), std::string::npos);
    EXPECT_TRUE(dir_.list().empty());
  }
  // A 1-block file-size limit makes the write of 1 MB fail; the file stays.
  dir_.write("keep.txt", "precious\n");
  ToolRun r = Gen({"-n", "10000", "-l", "100", "-k", "1-10", "-o", "keep.txt"}, "ulimit -f 1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
  EXPECT_EQ(dir_.read("keep.txt"), "precious\n");
  EXPECT_EQ(dir_.list(), std::vector<std::string>{"keep.txt"});
}

// Fixed-length records ("KKKK-filler" and a LF, or 12 zero bytes when the
// key is empty: a deleted record) and the index a correct build over
// columns 1-4 makes of them, `fill` entries to a sector.
struct Case {
  std::string data;
  isiw::Spec spec;
};

Case FixedData(const std::vector<std::string>& keys, uint32_t fill = 3) {
  Case c;
  c.spec.keyLength = 4;
  c.spec.recordLength = 11;
  c.spec.leafFill = c.spec.upperFill = fill;
  c.spec.dataLength = static_cast<uint32_t>(keys.size());
  for (uint32_t i = 0; i < keys.size(); ++i) {
    c.data += keys[i].empty() ? std::string(12, '\0') : keys[i] + "-filler\n";
    if (keys[i].empty()) {
      c.spec.deleted.push_back(i);
    } else {
      c.spec.entries.push_back({i, 12, keys[i]});
    }
  }
  std::stable_sort(c.spec.entries.begin(), c.spec.entries.end(),
                   [](const isiw::Entry& a, const isiw::Entry& b) { return a.key < b.key; });
  return c;
}

std::vector<std::string> ManyKeys(int n) {
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) {
    char k[5];
    snprintf(k, sizeof k, "%04d", (i * 7919) % 10000);
    keys.push_back(k);
  }
  return keys;
}

class IsiVerifyTest : public BenchToolsTest {
 protected:
  ToolRun Check(const Case& c, const std::string& cols = "1-4",
                const std::function<void(std::string*)>& spoil = nullptr) {
    dir_.write("data.txt", c.data);
    std::string isi = isiw::Build(c.spec).bytes;
    if (spoil) spoil(&isi);
    dir_.write("data.isi", isi);
    return Verify(cols);
  }
};

TEST_F(IsiVerifyTest, AcceptsRightIndexes) {
  std::vector<std::string> dups(40, "same"), deleted = ManyKeys(400);
  dups[7] = "aaaa";  // duplicates across sector boundaries, some promoted to the parent
  dups[30] = "zzzz";
  for (int i = 0; i < 400; ++i) {
    if (i % 4 != 3) deleted[i] = "";  // two full DDR sectors and a head of 48 entries
  }
  Case bigEndian = FixedData(ManyKeys(60)), upper = FixedData({"abcd", "wxyz", "ABCE"});
  bigEndian.spec.swapped = true;
  upper.spec.formatFlags |= 0x01;  // key -4-1: columns 4 down to 1, upper-cased
  upper.spec.keySpecs = {{3, 65534}};
  upper.spec.entries = {{0, 12, "DCBA"}, {2, 12, "ECBA"}, {1, 12, "ZYXW"}};
  // Built with duplicates ignored: the first record of a key is kept, and the
  // header counts every record the sort delivered.
  Case refusing = FixedData({"bbbb", "aaaa", "bbbb", "aaaa", "cccc"});
  refusing.spec.formatFlags |= 0x04;
  refusing.spec.entries = {{1, 12, "aaaa"}, {0, 12, "bbbb"}, {4, 12, "cccc"}};
  refusing.spec.recordCount = 5;
  Case selected = FixedData({"axcd", "abcd", "bxzz", "cycd"});  // column 2 must be 'x'
  selected.spec.tests = {std::string("\x02\x00\x20x", 4)};
  selected.spec.entries = {{0, 12, "axcd"}, {2, 12, "bxzz"}};
  // Byte addressing: variable-length records, zero bytes between them
  // skipped, short ones blank-filled; tabs expanded under space compression.
  Case variable, tabs;
  variable.data = std::string("delta x\n") + std::string(3, '\0') + "alpha long line\nch\nbravo\n";
  variable.spec.entries = {{11, 16, "alph"}, {30, 6, "brav"}, {27, 3, "ch  "}, {0, 8, "delt"}};
  tabs.data = "\tabcd\n12345678wxyz\n";
  tabs.spec.entries = {{0, 6, "abcd"}, {6, 13, "wxyz"}};
  tabs.spec.keySpecs = {{8, 4}};
  for (Case* c : {&variable, &tabs}) {
    c->spec.recNum = false;
    c->spec.formatFlags = c == &tabs ? 0x80 | 0x2A : 0x80 | 0x22;
    c->spec.recordLength = 256;
    c->spec.dataLength = static_cast<uint32_t>(c->data.size());
  }
  const struct {
    const Case& index;
    const char* cols;
    std::string summary;
  } cases[] = {
      {FixedData(ManyKeys(200)), "1-4", "OK: 200 records, key 4 bytes, 4 levels"},
      {FixedData({}), "1-4", "OK: 0 records"},
      {FixedData(dups), "1-4", "OK: 40 records"},
      {bigEndian, "1-4", "OK: 60 records"},
      {FixedData(deleted), "1-4", "OK: 100 records"},
      {upper, "-4-1", "OK: 3 records"},
      {refusing, "1-4", "OK: 3 records"},
      {selected, "1-4", "OK: 2 records"},
      {variable, "1-4", "OK: 4 records"},
      {tabs, "9-12", "OK: 2 records"},
  };
  for (const auto& c : cases) {
    ToolRun r = Check(c.index, c.cols);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
  }
}

TEST_F(IsiVerifyTest, CatchesWhatAWrongBuildMakes) {
  using Entries = std::vector<isiw::Entry>;
  auto entries = [](std::function<void(Entries*)> edit) {
    return [edit](Case* c) { edit(&c->spec.entries); };
  };
  auto bytes = [](size_t at, char v) { return [at, v](std::string* isi) { (*isi)[at] = v; }; };
  std::vector<std::string> holes = ManyKeys(20);
  holes[3] = holes[9] = "";
  const struct {
    std::vector<std::string> keys;
    std::function<void(Case*)> change;
    std::function<void(std::string*)> spoil;
    std::string diagnosis;
    const char* cols = "1-4";
  } cases[] = {
      {ManyKeys(30), entries([](Entries* e) { e->erase(e->begin() + 12); }), nullptr,
       "is not in the index"},
      {ManyKeys(30), entries([](Entries* e) { (*e)[13] = (*e)[12]; }), nullptr, "indexed twice"},
      {ManyKeys(30), entries([](Entries* e) { ++(*e)[5].key[3]; }), nullptr, "but record"},
      {ManyKeys(30), entries([](Entries* e) { std::swap((*e)[20], (*e)[21]); }), nullptr,
       "follows the greater key"},
      {{"same", "same", "same", "xxxx"},
       entries([](Entries* e) { std::swap((*e)[1], (*e)[2]); }),
       nullptr,
       "equal keys 'same' at record position 1 after 2"},
      {{"same", "same", "xxxx"},
       nullptr,
       bytes(1024 + 16 + 8, 5),  // the root's second entry
       "duplicate sequence 5, expected 1"},
      {ManyKeys(30), [](Case* c) { c->spec.recordCount = 31; }, nullptr, "header counts 31"},
      {ManyKeys(10), entries([](Entries* e) { (*e)[4].recSize = 11; }), nullptr, "record size 11"},
      {ManyKeys(10), entries([](Entries* e) { (*e)[9].recPos = 10; }), nullptr,
       "past the data's end"},
      {{"aaaa", "", "cccc"},
       entries([](Entries* e) {
         e->insert(e->begin() + 1, {1, 12, std::string(4, '\0')});
       }),
       nullptr,
       "names deleted record 1"},
      {{"axcd", "abcd", "bxzz", "cycd"},  // a record test: column 2 must be 'x'
       [](Case* c) {
         c->spec.tests = {std::string("\x02\x00\x20x", 4)};
         c->spec.entries.erase(c->spec.entries.begin());  // abcd
       },
       nullptr,
       "names unselected record 3"},
      {{"bbbb", "aaaa", "bbbb"},  // refusing duplicates, the later one kept
       [](Case* c) {
         c->spec.formatFlags |= 0x04;
         c->spec.entries = {{1, 12, "aaaa"}, {2, 12, "bbbb"}};
         c->spec.recordCount = 3;
       },
       nullptr,
       "(record position 0) is not in the index"},
      {{"bbbb", "aaaa", "bbbb"},
       [](Case* c) { c->spec.formatFlags |= 0x04; },
       nullptr,
       "repeated in an index that refuses duplicates"},
      {ManyKeys(10), nullptr, nullptr, "key columns differ from 1-3", "1-3"},
      {ManyKeys(10), nullptr, nullptr, "key columns differ from 2-5", "2-5"},
      {ManyKeys(10), nullptr, bytes(0, 'X'), "magic"},
      {ManyKeys(10), nullptr, bytes(5, 0x03), "version word"},
      {ManyKeys(10), nullptr, bytes(20, 3), "root position 3"},
      {ManyKeys(10), nullptr, bytes(12, 9), "header data length 9 records"},
      {ManyKeys(10), nullptr, [](std::string* isi) { isi->resize(isi->size() - 100); },
       "whole number of sectors"},
      {ManyKeys(10), nullptr, bytes(1024 + 508, 100), "is not a key sector"},  // a short file
      {ManyKeys(10), nullptr,  // the root's second entry points at the first one's leaf
       [](std::string* isi) { isi->replace(1024 + 16 + 4, 4, isi->substr(1024 + 4, 4)); },
       "reached twice"},
      {ManyKeys(10), nullptr, bytes(2048 + 506, 1), "has level 1 under level 1"},
      {ManyKeys(10), nullptr, bytes(2048 + 500, 32), "holds 32 entries"},  // 31 fit
      {holes, [](Case* c) { c->spec.deleted.pop_back(); }, nullptr,
       "deleted record 9 is missing from the DDR chain"},
      {holes, nullptr, bytes(1536 + 511, 0), "F9 FD"},
      {holes, nullptr, bytes(48, 3), "header says 3"},
  };
  for (const auto& c : cases) {
    Case index = FixedData(c.keys);
    if (c.change) c.change(&index);
    ToolRun r = Check(index, c.cols, c.spoil);
    EXPECT_EQ(r.exitCode, 1) << c.diagnosis << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find("FAILED: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.diagnosis), std::string::npos) << r.err;
  }
  dir_.write("data.txt", "");
  unlink(dir_.file("data.isi").c_str());
  ToolRun r = Verify("1-4");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos);
  EXPECT_EQ(Verify("1-x").exitCode, 2);
  EXPECT_EQ(RunTool("isi_verify", {"a"}).exitCode, 2);
}

// kelindex over generated data, each index checked by the verifier: the
// benchmark's correctness gate, on sizes that make several sort trains
// (half a MiB of sort memory holds about 18,000 items of a 10-byte key).
TEST_F(BenchToolsTest, KelindexIndexesPassTheVerifier) {
  const struct {
    std::vector<std::string> gen;
    std::string cols;
    std::vector<std::string> leading;
  } cases[] = {
      {{"-n", "200000", "-l", "40", "-k", "1-10", "-s", "5"}, "1-10", {"-m524288"}},
      {{"-n", "100000", "-l", "30", "-k", "21-30", "-d", "sorted"}, "21-30", {"-m524288"}},
      {{"-n", "100000", "-l", "30", "-k", "21-30", "-d", "reverse"}, "21-30", {"-m524288"}},
      {{"-n", "60000", "-l", "25", "-k", "5-8,1-2", "-d", "dups", "-u", "30"}, "5-8,1-2", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> gen = c.gen, args = c.leading;
    gen.insert(gen.end(), {"-o", "data.txt"});
    ASSERT_EQ(Gen(gen).exitCode, 0);
    args.insert(args.end(), {"data.txt,data.isi", "-" + c.cols});
    kt::RunOptions opts;
    opts.cwd = dir_.path();
    kt::RunResult k = kt::RunKelindex(args, opts);
    ASSERT_EQ(k.exitCode, 0) << k.out << k.err;
    ToolRun v = Verify(c.cols);
    EXPECT_EQ(v.exitCode, 0) << v.err;
    EXPECT_EQ(dir_.list(), (std::vector<std::string>{"data.isi", "data.txt"}));
  }
}

}  // namespace
