// Compaction from the outside: indexes built by kelindex itself, compacted
// by kelindex in place or into a new file, and read back entry by entry with
// the independent test reader.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compact/compact_test_util.h"
#include "compact/isi_compare.h"
#include "compact/isi_image.h"
#include "isi/file_lock.h"
#include "support/test_util.h"

namespace {

constexpr uint32_t kRecLen = 20;  // characters before the line feed

class CompactE2eTest : public ::testing::Test {
 protected:
  kt::RunResult Run(const std::vector<std::string>& args, const std::string& fault = "") {
    kt::RunOptions opts;
    opts.cwd = dir_.path();
    opts.env.push_back({"TMPDIR", dir_.path()});
    if (!fault.empty()) {
      opts.faultBinary = true;
      opts.env.push_back({"KELINDEX_FAULT", fault});
    }
    return kt::RunKelindex(args, opts);
  }
  // Fixed-length records: key "K%06u" of record i / dupEvery (so runs of
  // equal keys), in a shuffled order; every `deletedEvery`-th record (when
  // non-zero) zero-filled as a deleted record.
  void WriteData(uint32_t records, uint32_t dupEvery, uint32_t deletedEvery) {
    std::string data;
    for (uint32_t i = 0; i < records; ++i) {
      if (deletedEvery != 0 && i % deletedEvery == deletedEvery - 1 && i + 1 < records) {
        data.append(kRecLen + 1, '\0');
        continue;
      }
      uint32_t k = (i * 7919u) % records / dupEvery;
      char rec[64];
      snprintf(rec, sizeof rec, "K%06u rec %09u\n", k, i);
      data += std::string(rec, kRecLen) + "\n";
    }
    dir_.write("data.txt", data);
  }
  void Build(const std::vector<std::string>& args) {
    kt::RunResult r = Run(args);
    ASSERT_EQ(r.exitCode, 0) << r.out;
  }
  isir::IsiReader Load(const std::string& name) { return ct::LoadValid(dir_.file(name)); }
  // Compacts with `args` and checks the result against the index before.
  isir::IsiReader CompactAndCompare(const std::vector<std::string>& args, const std::string& out) {
    std::string before = dir_.read("a.isi");
    kt::RunResult r = Run(args);
    output_ = r.out;
    EXPECT_EQ(r.exitCode, 0) << r.out;
    isir::IsiReader old;
    EXPECT_TRUE(old.Load(before));
    isir::IsiReader now = Load(out);
    ct::ExpectSameEntries(ct::EntriesOf(old), ct::EntriesOf(now));
    EXPECT_EQ(now.header().spin, old.header().spin == 0 ? 1u : 0u);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << r.out;
    return now;
  }
  // Files other than the data, the indexes a test made, and nothing else.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> rest;
    for (const std::string& name : dir_.list()) {
      if (name != "data.txt" && name != "a.isi" && name != "b.isi") rest.push_back(name);
    }
    return rest;
  }
  void ExpectRefused(const std::vector<std::string>& args, const std::string& message) {
    std::string before = dir_.read("a.isi");
    kt::RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Start time"), std::string::npos);
    EXPECT_EQ(dir_.read("a.isi"), before);
    EXPECT_FALSE(dir_.exists("b.isi"));
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  }

  kt::TempDir dir_;
  std::string output_;
};

TEST_F(CompactE2eTest, OneLevelIndexInPlace) {
  WriteData(12, 1, 0);
  Build({"data.txt,a.isi", "-1-7"});
  isir::IsiReader now = CompactAndCompare({"a.isi", "-c"}, "a.isi");
  EXPECT_EQ(ct::CountsAtLevel(now, 0), std::vector<uint32_t>{12});
  EXPECT_NE(output_.find("12 records, 0 deleted entries\n"), std::string::npos) << output_;
  EXPECT_EQ(output_.find("purged"), std::string::npos);
}

TEST_F(CompactE2eTest, SeveralLevelsWithDuplicatesAndThreeDdrSectorsInPlace) {
  // 20 bytes a record, key of 7: entries of 20 bytes, 25 to a sector.
  WriteData(4000, 3, 15);  // 266 deleted records: two full DDR sectors and a head
  Build({"data.txt,a.isi", "-1-7"});
  isir::IsiReader built = Load("a.isi");
  ASSERT_EQ(built.header().deletedCount, 266u);
  isir::IsiReader now = CompactAndCompare({"a.isi", "-c"}, "a.isi");
  std::vector<isir::DdrSector> chain;
  ASSERT_TRUE(now.DdrChain(&chain));
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(chain[0].pos, 3u);
  EXPECT_EQ(chain[1].pos, 4u);
  EXPECT_EQ(chain[2].pos, 5u);
  std::vector<isir::DdrSector> old;
  ASSERT_TRUE(built.DdrChain(&old));
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(chain[i].positions, old[i].positions);
  EXPECT_EQ(now.header().deletedCount, 266u);
  EXPECT_NE(output_.find("3734 records, 266 deleted entries\n"), std::string::npos) << output_;
  EXPECT_FALSE(dir_.exists("a.isi.bak"));
}

TEST_F(CompactE2eTest, IndexBuiltHalfFullIsCompactedFull) {
  WriteData(1000, 1, 0);
  Build({"data.txt,a.isi", "-m50,1-7"});
  std::vector<uint32_t> leaves = ct::CountsAtLevel(Load("a.isi"), 0);
  ASSERT_EQ(leaves.front(), 12u);
  isir::IsiReader now = CompactAndCompare({"a.isi,b.isi", "-c"}, "b.isi");
  leaves = ct::CountsAtLevel(now, 0);
  EXPECT_EQ(leaves.front(), 25u);
  EXPECT_LT(now.bytes().size(), Load("a.isi").bytes().size());
}

TEST_F(CompactE2eTest, NewFileNamesItselfInItsStoredLine) {
  WriteData(50, 2, 0);
  Build({"data.txt,a.isi", "-1-10"});
  ASSERT_EQ(Load("a.isi").header().cmdLine, "data.txt,a.isi,-1-10");
  EXPECT_EQ(CompactAndCompare({"a.isi,b.isi", "-c"}, "b.isi").header().cmdLine,
            "data.txt,b.isi,-1-10");
}

TEST_F(CompactE2eTest, OptionC0KeepsTheStoredLine) {
  WriteData(50, 2, 0);
  Build({"data.txt,a.isi", "-1-10"});
  EXPECT_EQ(CompactAndCompare({"a.isi,b.isi", "-c=0"}, "b.isi").header().cmdLine,
            "data.txt,a.isi,-1-10");
}

TEST_F(CompactE2eTest, ExclusiveModeInPlace) {
  WriteData(300, 2, 7);
  Build({"data.txt,a.isi", "-1-7"});
  CompactAndCompare({"a.isi", "-c=1"}, "a.isi");
}

TEST_F(CompactE2eTest, ByteAddressedVariableLengthIndex) {
  std::string data;
  for (uint32_t i = 0; i < 800; ++i) {
    char rec[64];
    snprintf(rec, sizeof rec, "V%05u %.*s\n", (i * 31u) % 800, static_cast<int>(i % 17),
             "xxxxxxxxxxxxxxxxx");
    data += rec;
  }
  dir_.write("data.txt", data);
  Build({"data.txt,a.isi", "-v,1-6"});
  ASSERT_FALSE(Load("a.isi").header().recNum());
  isir::IsiReader now = CompactAndCompare({"a.isi", "-c"}, "a.isi");
  EXPECT_FALSE(now.header().recNum());
  EXPECT_EQ(now.header().ddrHead, isir::kNoSector);
  EXPECT_EQ(output_.find("purged"), std::string::npos);  // there was no chain to purge
}

TEST_F(CompactE2eTest, ChainOfAnAppendOnlyIndexIsPurgedWithItsMessage) {
  WriteData(600, 1, 9);
  Build({"data.txt,a.isi", "-1-7"});
  std::string isi = dir_.read("a.isi");
  ASSERT_NE(ct::Get32(isi, 16), 0xFFFFFFFFu);
  isi[6] = static_cast<char>(isi[6] | 0x20);  // as if built with option w
  dir_.write("a.isi", isi);
  isir::IsiReader now = CompactAndCompare({"a.isi", "-c"}, "a.isi");
  EXPECT_EQ(now.header().ddrHead, isir::kNoSector);
  EXPECT_NE(output_.find("Deleted Data Record sectors purged from ISI!"), std::string::npos);
}

TEST_F(CompactE2eTest, IndexOfTheOtherByteOrderStaysInIt) {
  WriteData(2000, 2, 11);
  Build({"data.txt,a.isi", "-1-7"});
  dir_.write("a.isi", ct::SwapByteOrder(dir_.read("a.isi")));
  ASSERT_TRUE(Load("a.isi").header().bigEndian);
  isir::IsiReader now = CompactAndCompare({"a.isi", "-c"}, "a.isi");
  EXPECT_TRUE(now.header().bigEndian);
  EXPECT_EQ(now.header().deletedCount, 181u);
  // And into a new file, which takes the same order.
  EXPECT_TRUE(CompactAndCompare({"a.isi,b.isi", "-c"}, "b.isi").header().bigEndian);
}

TEST_F(CompactE2eTest, RefusesAFileShorterThanItsFront) {
  WriteData(10, 1, 0);
  dir_.write("a.isi", std::string(2047, 'S'));
  ExpectRefused({"a.isi", "-c"}, "Not a valid .isi file structure for file: a.isi.\n");
}

TEST_F(CompactE2eTest, RefusesAWrongMagic) {
  WriteData(10, 1, 0);
  Build({"data.txt,a.isi", "-1-7"});
  std::string isi = dir_.read("a.isi");
  isi[1] = 'J';
  dir_.write("a.isi", isi);
  ExpectRefused({"a.isi,b.isi", "-c"}, "Not a valid .isi file structure for file: a.isi.\n");
}

TEST_F(CompactE2eTest, RefusesABadVersionWord) {
  WriteData(10, 1, 0);
  Build({"data.txt,a.isi", "-1-7"});
  std::string isi = dir_.read("a.isi");
  isi[5] = 0x12;
  dir_.write("a.isi", isi);
  ExpectRefused({"a.isi", "-c"}, "Invalid ISI version to compact file named:  a.isi.\n");
}

TEST_F(CompactE2eTest, RefusesAStoredLineWithoutCommas) {
  WriteData(10, 1, 0);
  Build({"data.txt,a.isi", "-1-7"});
  std::string isi = dir_.read("a.isi");
  std::string line = "data.txt -1-7";
  std::fill(isi.begin() + 496, isi.begin() + 1024, '\0');
  std::copy(line.begin(), line.end(), isi.begin() + 496);
  dir_.write("a.isi", isi);
  ExpectRefused({"a.isi,b.isi", "-c"},
                "Invalid input ISI command line format found in file named:  a.isi.\n");
}

TEST_F(CompactE2eTest, RefusesWhileAnotherProcessSharesTheDataFile) {
  WriteData(10, 1, 0);
  Build({"data.txt,a.isi", "-1-7"});
  ct::LockHolder other(dir_.file("data.txt"), F_RDLCK, kWholeFileLockPos, 1);
  ASSERT_TRUE(other.holding());
  ExpectRefused({"a.isi", "-c=1"},
                "Unable to exclusive lock for ISI data file: data.txt\n"
                "Unable to execute ISI compact operation!\n");
}

TEST_F(CompactE2eTest, RefusesADamagedTree) {
  WriteData(500, 1, 0);
  Build({"data.txt,a.isi", "-1-7"});
  std::string isi = dir_.read("a.isi");
  ct::Put32(&isi, 1024 + 4, 0x7777);  // the root's first child names no sector
  dir_.write("a.isi", isi);
  ExpectRefused({"a.isi", "-c"}, "Damaged ISI structure found in file named:  a.isi.\n");
}

// Each write of the run failed in turn: the ISI is restored byte for byte,
// no backup and no work file is left, and the run ends with status 1.
TEST_F(CompactE2eTest, FailingWriteAnywhereLeavesTheIsiAsItWas) {
  WriteData(3000, 2, 13);
  Build({"data.txt,a.isi", "-1-7"});
  std::string isi = dir_.read("a.isi");
  bool restoredOnce = false;
  for (int at = 1;; ++at) {
    SCOPED_TRACE(at);
    kt::RunResult r = Run({"a.isi", "-c"}, std::to_string(at) + ":w:ENOSPC");
    if (r.err.find("fault fired") == std::string::npos) {
      EXPECT_EQ(r.exitCode, 0) << r.out;
      EXPECT_GT(at, 8);
      break;
    }
    EXPECT_EQ(r.exitCode, 1);
    restoredOnce |=
        r.out.find("ISI has been restored after fatal compact error for file: a.isi\n") !=
        std::string::npos;
    EXPECT_EQ(dir_.read("a.isi"), isi);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    ASSERT_LT(at, 200);
  }
  EXPECT_TRUE(restoredOnce);
}

TEST_F(CompactE2eTest, FailingCompactionIntoANewFileRemovesIt) {
  WriteData(3000, 2, 13);
  Build({"data.txt,a.isi", "-1-7"});
  std::string isi = dir_.read("a.isi");
  kt::RunResult r = Run({"a.isi,b.isi", "-c"}, "6:w:ENOSPC:sticky");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(dir_.exists("b.isi"));
  EXPECT_EQ(dir_.read("a.isi"), isi);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

}  // namespace
