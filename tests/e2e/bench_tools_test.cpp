// The benchmark harness's own tools, run as programs from the build
// directory: gen_data (the seeded data generator) and isi_verify (the index
// checker). The verifier is fed hand-made ISI files, correct ones and ones
// broken in one place each, so that it is known to accept right indexes and
// to catch the faults a fast but wrong index build could make.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_util.h"

extern char** environ;

namespace {

// ---- running the tools -----------------------------------------------------

std::string ToolPath(const std::string& name) {
  std::string bin = kt::KelindexPath();
  return bin.substr(0, bin.rfind('/') + 1) + name;
}

struct ToolRun {
  int exitCode = -1;
  std::string out, err;
};

// Runs argv[0] (a path) through `sh -c` when shellPrefix is given, so that a
// test can set a ulimit first; output is captured through files in `dir`.
ToolRun RunTool(const kt::TempDir& dir, const std::vector<std::string>& argv,
                const std::string& shellPrefix = "") {
  std::string outName = dir.file(".tool.out"), errName = dir.file(".tool.err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<std::string> args = argv;
  if (!shellPrefix.empty()) {
    std::string cmd = shellPrefix + "; exec";
    for (const std::string& a : argv) cmd += " '" + a + "'";
    args = {"/bin/sh", "-c", cmd};
  }
  std::vector<char*> cargs;
  for (std::string& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  ToolRun run;
  pid_t pid = 0;
  if (posix_spawn(&pid, cargs[0], &actions, nullptr, cargs.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = kt::ReadFileBytes(outName);
  run.err = kt::ReadFileBytes(errName);
  unlink(outName.c_str());
  unlink(errName.c_str());
  return run;
}

class BenchToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(ToolPath("gen_data").c_str(), X_OK) != 0 ||
        access(ToolPath("isi_verify").c_str(), X_OK) != 0) {
      GTEST_SKIP() << "bench tools not built (KEL_BUILD_BENCH off)";
    }
  }

  ToolRun Gen(const std::vector<std::string>& args, const std::string& prefix = "") {
    std::vector<std::string> argv{ToolPath("gen_data")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunTool(dir_, argv, prefix);
  }
  ToolRun Verify(const std::string& data, const std::string& isi, const std::string& cols) {
    return RunTool(dir_, {ToolPath("isi_verify"), dir_.file(data), dir_.file(isi), cols});
  }
  // The records of a generated file, without their LFs.
  std::vector<std::string> Lines(const std::string& name) {
    std::vector<std::string> lines;
    std::string bytes = dir_.read(name);
    for (size_t at = 0, nl; (nl = bytes.find('\n', at)) != std::string::npos; at = nl + 1) {
      lines.push_back(bytes.substr(at, nl - at));
    }
    return lines;
  }

  kt::TempDir dir_;
};

// ---- gen_data --------------------------------------------------------------

TEST_F(BenchToolsTest, GenDataWritesFixedLengthRecordsWithPrintableKeys) {
  ToolRun r = Gen({"-n", "2000", "-l", "100", "-k", "1-10", "-s", "7", "-o", dir_.file("d.txt")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(dir_.read("d.txt").size(), 2000u * 101);
  std::vector<std::string> lines = Lines("d.txt");
  ASSERT_EQ(lines.size(), 2000u);
  std::set<std::string> keys;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.size(), 100u);
    for (size_t i = 0; i < line.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      if (i < 10) {
        ASSERT_TRUE(c > 0x20 && c < 0x7F) << "key byte " << int(c);
      } else {
        ASSERT_TRUE(c == ' ' || (c >= 'a' && c <= 'z')) << "filler byte " << int(c);
      }
    }
    keys.insert(line.substr(0, 10));
  }
  EXPECT_GT(keys.size(), 1990u);  // random keys: practically all distinct
  EXPECT_EQ(dir_.list(), std::vector<std::string>{"d.txt"});
}

TEST_F(BenchToolsTest, GenDataIsReproducibleFromItsSeed) {
  for (const char* name : {"a", "b", "c"}) {
    std::string seed = std::string(name) == "c" ? "2" : "1";
    ASSERT_EQ(
        Gen({"-n", "500", "-l", "40", "-k", "3-12", "-s", seed, "-o", dir_.file(name)}).exitCode,
        0);
  }
  EXPECT_EQ(dir_.read("a"), dir_.read("b"));
  EXPECT_NE(dir_.read("a"), dir_.read("c"));
}

TEST_F(BenchToolsTest, GenDataOrdersKeysAsAsked) {
  ASSERT_EQ(
      Gen({"-n", "3000", "-l", "30", "-k", "21-30", "-d", "sorted", "-o", dir_.file("s")}).exitCode,
      0);
  ASSERT_EQ(Gen({"-n", "3000", "-l", "30", "-k", "21-30", "-d", "reverse", "-o", dir_.file("r")})
                .exitCode,
            0);
  std::vector<std::string> sorted, reversed;
  for (const std::string& line : Lines("s")) sorted.push_back(line.substr(20));
  for (const std::string& line : Lines("r")) reversed.push_back(line.substr(20));
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
  EXPECT_EQ(std::set<std::string>(sorted.begin(), sorted.end()).size(), 3000u);
  EXPECT_TRUE(std::is_sorted(reversed.rbegin(), reversed.rend()));
  EXPECT_EQ(sorted, std::vector<std::string>(reversed.rbegin(), reversed.rend()));
}

TEST_F(BenchToolsTest, GenDataDupsUseFewDistinctKeysInRandomOrder) {
  ASSERT_EQ(
      Gen({"-n", "5000", "-l", "20", "-k", "1-8", "-d", "dups", "-u", "40", "-o", dir_.file("d")})
          .exitCode,
      0);
  std::vector<std::string> keys;
  for (const std::string& line : Lines("d")) keys.push_back(line.substr(0, 8));
  std::set<std::string> distinct(keys.begin(), keys.end());
  EXPECT_GE(distinct.size(), 35u);
  EXPECT_LE(distinct.size(), 40u);
  EXPECT_FALSE(std::is_sorted(keys.begin(), keys.end()));
}

TEST_F(BenchToolsTest, GenDataPlacesKeyRangesInKeyOrder) {
  // Key = columns 8-10 then 2-3: sorted keys read in that order.
  ASSERT_EQ(Gen({"-n", "800", "-l", "12", "-k", "8-10,2-3", "-d", "sorted", "-o", dir_.file("m")})
                .exitCode,
            0);
  std::vector<std::string> keys;
  for (const std::string& line : Lines("m")) keys.push_back(line.substr(7, 3) + line.substr(1, 2));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 800u);
}

TEST_F(BenchToolsTest, GenDataWritesToStandardOutput) {
  ToolRun r = Gen({"-n", "3", "-l", "5", "-k", "1-5", "-o", "-"});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.size(), 18u);
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
  for (std::vector<std::string> args : bad) {
    for (std::string& a : args) {
      if (a == "x") a = dir_.file("x");
    }
    ToolRun r = Gen(args);
    EXPECT_EQ(r.exitCode, 1) << args[5];
    EXPECT_NE(r.err.find("gen_data:"), std::string::npos);
    EXPECT_TRUE(dir_.list().empty());
  }
}

TEST_F(BenchToolsTest, GenDataWriteFailureLeavesExistingFileAlone) {
  dir_.write("keep.txt", "precious\n");
  // A 1-block file-size limit makes the write of 1 MB fail.
  ToolRun r =
      Gen({"-n", "10000", "-l", "100", "-k", "1-10", "-o", dir_.file("keep.txt")}, "ulimit -f 1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
  EXPECT_EQ(dir_.read("keep.txt"), "precious\n");
  EXPECT_EQ(dir_.list(), std::vector<std::string>{"keep.txt"});
}

// ---- hand-made ISI files ---------------------------------------------------

struct Rec {
  uint32_t pos;   // record number, or byte offset with byte addressing
  uint16_t size;  // record length including the end-of-record mark
  std::string key;
};

// Describes an ISI file to make; the defaults are those of a plain build
// over fixed-length LF records with record-number addressing.
struct IsiSpec {
  uint16_t keyLen = 0;
  std::vector<std::pair<uint16_t, uint16_t>> keySpecs;  // (first column - 1, length)
  bool recNum = true;
  bool bigEndian = false;
  uint8_t formatFlags = 0x80;
  uint16_t recordLength = 0;
  uint32_t dataLength = 0;
  uint32_t recordCount = 0;
  uint32_t fill = 4;  // entries per sector before it counts as full
  std::vector<uint32_t> deleted;
  std::vector<std::string> tests;  // record tests: 4 bytes each (u16 column, op, char)
};

// Writes ISI files the way an index build does: bottom-up in one pass, one
// pending sector per level, every full sector appended behind the front
// 2048 bytes, the root at 1024 and the head DDR sector at 1536.
class IsiMaker {
 public:
  explicit IsiMaker(const IsiSpec& spec) : s_(spec), file_(2048, '\0') {
    entrySize_ = (spec.keyLen + 15u) & ~3u;
  }

  std::string Make(const std::vector<Rec>& sorted) {
    WriteFullDdrSectors();
    std::string prevKey;
    uint16_t dup = 0;
    for (size_t i = 0; i < sorted.size(); ++i) {
      dup = i > 0 && sorted[i].key == prevKey ? static_cast<uint16_t>(dup + 1) : 0;
      prevKey = sorted[i].key;
      Insert(0, Entry(sorted[i], dup), 0);
    }
    uint32_t prev = 0;
    for (int level = 0; level < top_; ++level) {
      SetU32(&levels_[level], 508, prev);
      if (Count(level) != 0) prev = Append(level);
    }
    Level(top_);
    SetU32(&levels_[top_], 508, prev);
    file_.replace(1024, 512, levels_[top_]);
    WriteHeadDdrSector();
    file_.replace(0, 1024, Header());
    return file_;
  }

 private:
  void Put16(std::string* b, size_t at, uint16_t v) {
    (*b)[at + (s_.bigEndian ? 1 : 0)] = static_cast<char>(v & 0xFF);
    (*b)[at + (s_.bigEndian ? 0 : 1)] = static_cast<char>(v >> 8);
  }
  void SetU32(std::string* b, size_t at, uint32_t v) {
    Put16(b, at + (s_.bigEndian ? 2 : 0), static_cast<uint16_t>(v & 0xFFFF));
    Put16(b, at + (s_.bigEndian ? 0 : 2), static_cast<uint16_t>(v >> 16));
  }
  uint32_t SectorPos(size_t byteOffset) const {
    return static_cast<uint32_t>(s_.recNum ? byteOffset / 512 : byteOffset);
  }

  std::string Entry(const Rec& r, uint16_t dup) {
    std::string e(entrySize_, '\0');
    SetU32(&e, 0, r.pos);
    Put16(&e, 8, dup);
    Put16(&e, 10, r.size);
    e.replace(12, r.key.size(), r.key);
    return e;
  }
  std::string& Level(int level) {
    while (static_cast<int>(levels_.size()) <= level) {
      levels_.emplace_back(512, '\0');
      Put16(&levels_.back(), 506, static_cast<uint16_t>(levels_.size() - 1));
    }
    return levels_[level];
  }
  uint32_t Count(int level) { return static_cast<uint8_t>(Level(level)[500]); }

  uint32_t Append(int level) {
    uint32_t pos = SectorPos(file_.size());
    file_ += levels_[level];
    levels_[level][500] = 0;
    return pos;
  }
  void Insert(int level, std::string entry, uint32_t child) {
    top_ = std::max(top_, level);
    std::string& sector = Level(level);
    if (Count(level) == s_.fill) {
      SetU32(&sector, 508, child);
      uint32_t written = Append(level);
      Insert(level + 1, entry, written);
      return;
    }
    SetU32(&entry, 4, child);
    sector.replace(Count(level) * entrySize_, entrySize_, entry);
    sector[500] = static_cast<char>(Count(level) + 1);
  }

  std::string DdrSector(size_t first, size_t count, uint32_t link) {
    std::string d(512, '\0');
    for (size_t i = 0; i < count; ++i) SetU32(&d, 4 * i, s_.deleted[first + i]);
    SetU32(&d, 504, link);
    Put16(&d, 508, static_cast<uint16_t>(count));
    d[510] = static_cast<char>(0xF9);
    d[511] = static_cast<char>(0xFD);
    return d;
  }
  void WriteFullDdrSectors() {
    for (size_t at = 0; at + 126 <= s_.deleted.size(); at += 126) {
      uint32_t pos = SectorPos(file_.size());
      file_ += DdrSector(at, 126, ddrChain_);
      ddrChain_ = pos;
    }
  }
  void WriteHeadDdrSector() {
    size_t rest = s_.deleted.size() % 126;
    if (rest == 0) return;
    file_.replace(1536, 512, DdrSector(s_.deleted.size() - rest, rest, ddrChain_));
    ddrChain_ = SectorPos(1536);
  }

  std::string Header() {
    std::string h(1024, '\0');
    h.replace(0, 4, "SISI");
    Put16(&h, 4, 0xFC03);
    h[6] = static_cast<char>(s_.formatFlags);
    h[7] = s_.recNum ? 1 : 0;
    Put16(&h, 8, s_.recordLength);
    Put16(&h, 10, s_.keyLen);
    SetU32(&h, 12, s_.dataLength);
    SetU32(&h, 16, ddrChain_);
    SetU32(&h, 20, SectorPos(1024));
    SetU32(&h, 24, 0xFFFFFFFF);
    SetU32(&h, 44, s_.recordCount);
    SetU32(&h, 48, static_cast<uint32_t>(s_.deleted.size()));
    for (size_t i = 0; i < s_.keySpecs.size(); ++i) {
      Put16(&h, 112 + 4 * i, s_.keySpecs[i].first);
      Put16(&h, 114 + 4 * i, s_.keySpecs[i].second);
    }
    for (size_t i = 0; i < s_.tests.size(); ++i) {
      h.replace(64 + 4 * i, 4, s_.tests[i]);
      if (s_.bigEndian) std::swap(h[64 + 4 * i], h[65 + 4 * i]);
    }
    h.replace(240, 8, "data.txt");
    return h;
  }

  IsiSpec s_;
  std::string file_;
  uint32_t entrySize_;
  std::vector<std::string> levels_;
  int top_ = 0;
  uint32_t ddrChain_ = 0xFFFFFFFF;
};

// A small data set of fixed-length records ("KKKK-filler", LF), with the
// header fields and sorted entries that a correct index over columns 1-4 has.
struct Fixture {
  std::string data;
  IsiSpec spec;
  std::vector<Rec> sorted;
};

Fixture FixedData(const std::vector<std::string>& keys, uint32_t fill = 3) {
  Fixture f;
  for (const std::string& k : keys) f.data += k == "" ? std::string(12, '\0') : k + "-filler\n";
  f.spec.keyLen = 4;
  f.spec.keySpecs = {{0, 4}};
  f.spec.recordLength = 11;
  f.spec.dataLength = static_cast<uint32_t>(keys.size());
  f.spec.fill = fill;
  for (uint32_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == "") {
      f.spec.deleted.push_back(i);
    } else {
      f.sorted.push_back(Rec{i, 12, keys[i]});
    }
  }
  std::stable_sort(f.sorted.begin(), f.sorted.end(),
                   [](const Rec& a, const Rec& b) { return a.key < b.key; });
  f.spec.recordCount = static_cast<uint32_t>(f.sorted.size());
  return f;
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
  // Writes data.txt and data.isi from the fixture, as given or spoilt.
  ToolRun Check(const Fixture& f, const std::string& cols = "1-4") {
    dir_.write("data.txt", f.data);
    dir_.write("data.isi", IsiMaker(f.spec).Make(f.sorted));
    return Verify("data.txt", "data.isi", cols);
  }
  ToolRun CheckIsi(const Fixture& f, const std::string& isi) {
    dir_.write("data.txt", f.data);
    dir_.write("data.isi", isi);
    return Verify("data.txt", "data.isi", "1-4");
  }
  void ExpectWrong(const ToolRun& r, const std::string& diagnosis) {
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("FAILED: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(diagnosis), std::string::npos) << r.err;
  }
  void ExpectRight(const ToolRun& r, const std::string& summary) {
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(summary), std::string::npos) << r.out;
  }
};

// ---- isi_verify: right indexes ------------------------------------------------

TEST_F(IsiVerifyTest, AcceptsMultiLevelTree) {
  Fixture f = FixedData(ManyKeys(200));
  ExpectRight(Check(f), "OK: 200 records, key 4 bytes, 4 levels");
}

TEST_F(IsiVerifyTest, AcceptsEmptyIndex) {
  Fixture f = FixedData({});
  ExpectRight(Check(f), "OK: 0 records");
}

TEST_F(IsiVerifyTest, AcceptsDuplicateKeysInRecordOrder) {
  // Duplicates crossing sector boundaries, some promoted to the parent.
  std::vector<std::string> keys(40, "same");
  keys[7] = "aaaa";
  keys[30] = "zzzz";
  ExpectRight(Check(FixedData(keys)), "OK: 40 records");
}

TEST_F(IsiVerifyTest, AcceptsOtherByteOrder) {
  Fixture f = FixedData(ManyKeys(60));
  f.spec.bigEndian = true;
  ExpectRight(Check(f), "OK: 60 records");
}

TEST_F(IsiVerifyTest, AcceptsDeletedRecordsListedInDdrChain) {
  // 300 deleted records: two full DDR sectors and a head of 48 entries.
  std::vector<std::string> keys = ManyKeys(400);
  for (int i = 0; i < 400; ++i) {
    if (i % 4 != 3) keys[i] = "";
  }
  Fixture f = FixedData(keys);
  ASSERT_EQ(f.spec.deleted.size(), 300u);
  ExpectRight(Check(f), "OK: 100 records");
}

TEST_F(IsiVerifyTest, AcceptsByteAddressedVariableLengthRecords) {
  Fixture f;
  std::vector<std::string> lines = {"delta x", "alpha long line", "ch", "bravo"};
  for (const std::string& line : lines) {
    f.sorted.push_back(Rec{static_cast<uint32_t>(f.data.size()),
                           static_cast<uint16_t>(line.size() + 1),
                           (line + "    ").substr(0, 4)});  // short records: blanks
    f.data += line + "\n";
  }
  f.data.insert(8, 3, '\0');  // zero bytes between records are skipped
  f.sorted[1].pos += 3;
  f.sorted[2].pos += 3;
  f.sorted[3].pos += 3;
  std::sort(f.sorted.begin(), f.sorted.end(),
            [](const Rec& a, const Rec& b) { return a.key < b.key; });
  f.spec.keyLen = 4;
  f.spec.keySpecs = {{0, 4}};
  f.spec.recNum = false;
  f.spec.formatFlags = 0x80 | 0x22;
  f.spec.recordLength = 256;
  f.spec.dataLength = static_cast<uint32_t>(f.data.size());
  f.spec.recordCount = 4;
  ExpectRight(Check(f), "OK: 4 records");
}

TEST_F(IsiVerifyTest, AcceptsUpperCasedReversedKeys) {
  // Key "-4-1": columns 4 down to 1, upper-cased; header entry (3, 65534).
  Fixture f = FixedData({"abcd", "wxyz", "ABCE"});
  f.spec.formatFlags |= 0x01;
  f.spec.keySpecs = {{3, 65534}};
  f.sorted = {{0, 12, "DCBA"}, {2, 12, "ECBA"}, {1, 12, "ZYXW"}};
  ExpectRight(Check(f, "-4-1"), "OK: 3 records");
}

TEST_F(IsiVerifyTest, AcceptsIndexOfGeneratedData) {
  ASSERT_EQ(Gen({"-n", "5000", "-l", "30", "-k", "3-12", "-d", "dups", "-u", "300", "-o",
                 dir_.file("data.txt")})
                .exitCode,
            0);
  Fixture f;
  f.spec.keyLen = 10;
  f.spec.keySpecs = {{2, 10}};
  f.spec.recordLength = 30;
  f.spec.dataLength = f.spec.recordCount = 5000;
  f.spec.fill = 20;
  std::vector<std::string> lines = Lines("data.txt");
  for (uint32_t i = 0; i < lines.size(); ++i) f.sorted.push_back({i, 31, lines[i].substr(2, 10)});
  std::stable_sort(f.sorted.begin(), f.sorted.end(),
                   [](const Rec& a, const Rec& b) { return a.key < b.key; });
  dir_.write("data.isi", IsiMaker(f.spec).Make(f.sorted));
  ExpectRight(Verify("data.txt", "data.isi", "3-12"), "OK: 5000 records, key 10 bytes, 3 levels");
}

TEST_F(IsiVerifyTest, AcceptsDuplicatesDroppedByIndexThatRefusesThem) {
  // Built with duplicates ignored: only the first record of a key is kept,
  // and the header counts every record the sort delivered.
  Fixture f = FixedData({"bbbb", "aaaa", "bbbb", "aaaa", "cccc"});
  f.spec.formatFlags |= 0x04;
  f.sorted = {{1, 12, "aaaa"}, {0, 12, "bbbb"}, {4, 12, "cccc"}};
  ExpectRight(Check(f), "OK: 3 records");
}

TEST_F(IsiVerifyTest, AcceptsOnlySelectedRecords) {
  // One record test: column 2 must be 'x'.
  Fixture f = FixedData({"axcd", "abcd", "bxzz", "cycd"});
  f.spec.tests = {std::string("\x02\x00\x20x", 4)};
  f.sorted = {{0, 12, "axcd"}, {2, 12, "bxzz"}};
  f.spec.recordCount = 2;
  ExpectRight(Check(f), "OK: 2 records");
  f.sorted.push_back({3, 12, "cycd"});
  f.spec.recordCount = 3;
  ExpectWrong(Check(f), "names unselected record 3");
}

TEST_F(IsiVerifyTest, ExpandsTabsUnderSpaceCompression) {
  // Key columns 9-12; a leading tab stands for columns 1-8.
  Fixture f;
  f.data = "\tabcd\n12345678wxyz\n";
  f.spec.keyLen = 4;
  f.spec.keySpecs = {{8, 4}};
  f.spec.recNum = false;
  f.spec.formatFlags = 0x80 | 0x2A;
  f.spec.recordLength = 256;
  f.spec.dataLength = static_cast<uint32_t>(f.data.size());
  f.spec.recordCount = 2;
  f.sorted = {{0, 6, "abcd"}, {6, 13, "wxyz"}};
  ExpectRight(Check(f, "9-12"), "OK: 2 records");
}

// ---- isi_verify: wrong indexes --------------------------------------------------

TEST_F(IsiVerifyTest, CatchesMissingRecord) {
  Fixture f = FixedData(ManyKeys(30));
  f.sorted.erase(f.sorted.begin() + 12);
  f.spec.recordCount = 29;
  ExpectWrong(Check(f), "is not in the index");
}

TEST_F(IsiVerifyTest, CatchesRecordIndexedTwice) {
  Fixture f = FixedData(ManyKeys(30));
  f.sorted[13] = f.sorted[12];
  f.sorted[13].key = f.sorted[12].key;
  ExpectWrong(Check(f), "indexed twice");
}

TEST_F(IsiVerifyTest, CatchesWrongKeyBytes) {
  Fixture f = FixedData(ManyKeys(30));
  f.sorted[5].key[3] = static_cast<char>(f.sorted[5].key[3] + 1);
  ExpectWrong(Check(f), "but record");
}

TEST_F(IsiVerifyTest, CatchesKeysOutOfOrder) {
  Fixture f = FixedData(ManyKeys(30));
  std::swap(f.sorted[20], f.sorted[21]);
  ExpectWrong(Check(f), "follows the greater key");
}

TEST_F(IsiVerifyTest, CatchesEqualKeysInDescendingRecordOrder) {
  Fixture f = FixedData({"same", "same", "same", "xxxx"});
  std::swap(f.sorted[1], f.sorted[2]);
  ExpectWrong(Check(f), "equal keys 'same' at record position 1 after 2");
}

TEST_F(IsiVerifyTest, CatchesWrongDuplicateSequence) {
  Fixture f = FixedData({"same", "same", "xxxx"});
  std::string isi = IsiMaker(f.spec).Make(f.sorted);
  isi[1024 + 16 + 8] = 5;  // second entry of the root: sequence 5 instead of 1
  ExpectWrong(CheckIsi(f, isi), "duplicate sequence 5, expected 1");
}

TEST_F(IsiVerifyTest, CatchesWrongRecordKeptOrDuplicateInRefusingIndex) {
  Fixture f = FixedData({"bbbb", "aaaa", "bbbb"});
  f.spec.formatFlags |= 0x04;
  f.sorted = {{1, 12, "aaaa"}, {2, 12, "bbbb"}};  // the later "bbbb" was kept
  ExpectWrong(Check(f), "(record position 0) is not in the index");
  f.sorted = {{1, 12, "aaaa"}, {0, 12, "bbbb"}, {2, 12, "bbbb"}};
  ExpectWrong(Check(f), "repeated in an index that refuses duplicates");
}

TEST_F(IsiVerifyTest, CatchesWrongRecordCountInHeader) {
  Fixture f = FixedData(ManyKeys(30));
  f.spec.recordCount = 31;
  ExpectWrong(Check(f), "header counts 31");
}

TEST_F(IsiVerifyTest, CatchesWrongRecordSize) {
  Fixture f = FixedData(ManyKeys(10));
  f.sorted[4].size = 11;
  ExpectWrong(Check(f), "record size 11");
}

TEST_F(IsiVerifyTest, CatchesRecordPositionPastData) {
  Fixture f = FixedData(ManyKeys(10));
  f.sorted[9].pos = 10;
  ExpectWrong(Check(f), "past the data's end");
}

TEST_F(IsiVerifyTest, CatchesDeletedRecordInTree) {
  Fixture f = FixedData({"aaaa", "", "cccc"});
  f.sorted.insert(f.sorted.begin() + 1, Rec{1, 12, std::string(4, '\0')});
  f.spec.recordCount = 3;
  ExpectWrong(Check(f), "names deleted record 1");
}

TEST_F(IsiVerifyTest, CatchesOtherKeyColumns) {
  Fixture f = FixedData(ManyKeys(10));
  ExpectWrong(Check(f, "1-3"), "key columns differ from 1-3");
  ExpectWrong(Check(f, "2-5"), "key columns differ from 2-5");
}

TEST_F(IsiVerifyTest, CatchesBrokenHeader) {
  Fixture f = FixedData(ManyKeys(10));
  std::string good = IsiMaker(f.spec).Make(f.sorted);
  std::string isi = good;
  isi[0] = 'X';
  ExpectWrong(CheckIsi(f, isi), "magic");
  isi = good;
  isi[5] = 0x03;
  ExpectWrong(CheckIsi(f, isi), "version word");
  isi = good;
  isi[20] = 3;
  ExpectWrong(CheckIsi(f, isi), "root position 3");
  isi = good;
  isi[12] = 9;
  ExpectWrong(CheckIsi(f, isi), "header data length 9 records");
  ExpectWrong(CheckIsi(f, good.substr(0, good.size() - 100)), "whole number of sectors");
}

TEST_F(IsiVerifyTest, CatchesChildOutsideTheFile) {
  Fixture f = FixedData(ManyKeys(10));
  std::string isi = IsiMaker(f.spec).Make(f.sorted);
  isi[1024 + 508] = 100;  // root's rightmost child: sector 100 of a short file
  ExpectWrong(CheckIsi(f, isi), "is not a key sector");
}

TEST_F(IsiVerifyTest, CatchesSectorReachedTwice) {
  Fixture f = FixedData(ManyKeys(10), 3);
  std::string isi = IsiMaker(f.spec).Make(f.sorted);
  // The root's second entry points at the first entry's leaf.
  isi.replace(1024 + 16 + 4, 4, isi.substr(1024 + 4, 4));
  ExpectWrong(CheckIsi(f, isi), "reached twice");
}

TEST_F(IsiVerifyTest, CatchesLevelThatDoesNotFall) {
  Fixture f = FixedData(ManyKeys(10), 3);
  std::string isi = IsiMaker(f.spec).Make(f.sorted);
  isi[2048 + 506] = 1;  // first leaf claims the root's level
  ExpectWrong(CheckIsi(f, isi), "has level 1 under level 1");
}

TEST_F(IsiVerifyTest, CatchesOverfullSector) {
  Fixture f = FixedData(ManyKeys(10), 3);
  std::string isi = IsiMaker(f.spec).Make(f.sorted);
  isi[2048 + 500] = 32;  // 500 / 16 = 31 entries at most
  ExpectWrong(CheckIsi(f, isi), "holds 32 entries");
}

TEST_F(IsiVerifyTest, CatchesIncompleteDdrChain) {
  std::vector<std::string> keys = ManyKeys(20);
  keys[3] = keys[9] = "";
  Fixture f = FixedData(keys);
  f.spec.deleted.pop_back();
  ExpectWrong(Check(f), "deleted record 9 is missing from the DDR chain");
  f = FixedData(keys);
  std::string isi = IsiMaker(f.spec).Make(f.sorted);
  isi[1536 + 511] = 0;
  ExpectWrong(CheckIsi(f, isi), "F9 FD");
  isi = IsiMaker(f.spec).Make(f.sorted);
  isi[48] = 3;
  ExpectWrong(CheckIsi(f, isi), "header says 3");
}

TEST_F(IsiVerifyTest, RefusesToCheckWithoutItsInputs) {
  dir_.write("data.txt", "");
  ToolRun r = Verify("data.txt", "none.isi", "1-4");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos);
  EXPECT_EQ(Verify("data.txt", "none.isi", "1-x").exitCode, 2);
  EXPECT_EQ(RunTool(dir_, {ToolPath("isi_verify"), "a"}).exitCode, 2);
}

}  // namespace

// ---- kelindex checked by isi_verify -----------------------------------------------

// kelindex over generated data, each index checked by the verifier: the
// benchmark's correctness gate, run on sizes that make several sort trains
// (half a MiB of sort memory holds about 18,000 items of a 10-byte key).
class KelindexVerifiedTest : public BenchToolsTest {
 protected:
  void BuildAndVerify(const std::vector<std::string>& genArgs, const std::string& cols,
                      const std::vector<std::string>& leading = {}) {
    std::vector<std::string> args = genArgs;
    args.insert(args.end(), {"-o", dir_.file("data.txt")});
    ASSERT_EQ(Gen(args).exitCode, 0);
    std::vector<std::string> kelArgs = leading;
    kelArgs.insert(kelArgs.end(), {"data.txt,data.isi", "-" + cols});
    kt::RunOptions opts;
    opts.cwd = dir_.path();
    kt::RunResult k = kt::RunKelindex(kelArgs, opts);
    ASSERT_EQ(k.exitCode, 0) << k.out << k.err;
    ToolRun v = Verify("data.txt", "data.isi", cols);
    EXPECT_EQ(v.exitCode, 0) << v.err;
    EXPECT_EQ(dir_.list(), (std::vector<std::string>{"data.isi", "data.txt"}));
  }
};

TEST_F(KelindexVerifiedTest, RandomKeysOverManySortTrains) {
  BuildAndVerify({"-n", "200000", "-l", "40", "-k", "1-10", "-s", "5"}, "1-10", {"-m524288"});
}

TEST_F(KelindexVerifiedTest, SortedAndReversedKeys) {
  BuildAndVerify({"-n", "100000", "-l", "30", "-k", "21-30", "-d", "sorted"}, "21-30",
                 {"-m524288"});
  BuildAndVerify({"-n", "100000", "-l", "30", "-k", "21-30", "-d", "reverse"}, "21-30",
                 {"-m524288"});
}

TEST_F(KelindexVerifiedTest, FewDistinctKeysInSeveralRanges) {
  BuildAndVerify({"-n", "60000", "-l", "25", "-k", "5-8,1-2", "-d", "dups", "-u", "30"}, "5-8,1-2");
}
