// Compaction from the outside: indexes built by kelindex itself, compacted
// by kelindex in place or into a new file, and read back entry by entry
// with the independent test reader; and the refusals of files that are no
// index to compact. Damaged trees, every failing call and interrupts are
// held by the end-to-end tests.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "compact/compact_fixture.h"
#include "isi/file_lock.h"

namespace {

using Names = std::vector<std::string>;

class CompactE2eTest : public ::testing::Test {
 protected:
  kt::RunResult Run(const std::vector<std::string>& args) {
    kt::RunOptions opts;
    opts.cwd = dir_.path();
    opts.env.push_back({"TMPDIR", dir_.path()});
    return kt::RunKelindex(args, opts);
  }
  // Fixed-length records of 20 characters: key "K%06u" of record i /
  // dupEvery (runs of equal keys), in a shuffled order; every
  // `deletedEvery`-th record (when not 0) zero-filled as a deleted record.
  void WriteData(uint32_t records, uint32_t dupEvery, uint32_t deletedEvery) {
    std::string data;
    for (uint32_t i = 0; i < records; ++i) {
      if (deletedEvery != 0 && i % deletedEvery == deletedEvery - 1 && i + 1 < records) {
        data.append(21, '\0');
        continue;
      }
      char rec[64];
      snprintf(rec, sizeof rec, "K%06u rec %09u", (i * 7919u) % records / dupEvery, i);
      data += std::string(rec, 20) + "\n";
    }
    dir_.write("data.txt", data);
  }
  // Files besides the data and the indexes a test makes.
  Names Leftovers() const {
    Names rest;
    for (const std::string& name : dir_.list()) {
      if (name != "data.txt" && name != "a.isi" && name != "b.isi") rest.push_back(name);
    }
    return rest;
  }
  kt::TempDir dir_;
};

TEST_F(CompactE2eTest, CompactedIndexesHoldTheEntriesOfTheOriginal) {
  std::string variable;
  for (uint32_t i = 0; i < 800; ++i) {
    char rec[64];
    snprintf(rec, sizeof rec, "V%05u %.*s\n", (i * 31u) % 800, static_cast<int>(i % 17),
             "xxxxxxxxxxxxxxxxx");
    variable += rec;
  }
  using Check = std::function<void(const isir::IsiReader& before, const isir::IsiReader& now,
                                   const std::string& shown)>;
  auto chainKept = [](const isir::IsiReader& before, const isir::IsiReader& now) {
    std::vector<isir::DdrSector> was, is;
    ASSERT_TRUE(before.DdrChain(&was) && now.DdrChain(&is));
    ASSERT_EQ(is.size(), was.size());
    for (size_t i = 0; i < is.size(); ++i) {
      EXPECT_EQ(is[i].pos, 3 + i);
      EXPECT_EQ(is[i].positions, was[i].positions);
    }
  };
  const struct {
    const char* what;
    uint32_t records, dupEvery, deletedEvery;  // records 0: the variable-length data
    std::vector<std::string> build, compact;
    std::function<std::string(std::string)> alter;  // the built index, before compaction
    Check check;
  } cases[] = {
      {"one level in place",
       12,
       1,
       0,
       {"data.txt,a.isi", "-1-7"},
       {"a.isi", "-c"},
       nullptr,
       [](auto&, const isir::IsiReader& now, const std::string& shown) {
         EXPECT_EQ(ct::CountsAtLevel(now, 0), std::vector<uint32_t>{12});
         EXPECT_NE(shown.find("12 records, 0 deleted entries\n"), std::string::npos);
       }},
      // 20 bytes a record, key of 7: entries of 20 bytes, 25 to a sector;
      // 266 deleted records: two full DDR sectors and a head.
      {"several levels with duplicates and three DDR sectors in place",
       4000,
       3,
       15,
       {"data.txt,a.isi", "-1-7"},
       {"a.isi", "-c"},
       nullptr,
       [&](const isir::IsiReader& before, const isir::IsiReader& now, const std::string& shown) {
         EXPECT_EQ(now.header().deletedCount, 266u);
         chainKept(before, now);
         EXPECT_NE(shown.find("3734 records, 266 deleted entries\n"), std::string::npos);
       }},
      {"built half full, compacted full",
       1000,
       1,
       0,
       {"data.txt,a.isi", "-m50,1-7"},
       {"a.isi,b.isi", "-c"},
       nullptr,
       [](const isir::IsiReader& before, const isir::IsiReader& now, auto&) {
         EXPECT_EQ(ct::CountsAtLevel(before, 0).front(), 12u);
         EXPECT_EQ(ct::CountsAtLevel(now, 0).front(), 25u);
         EXPECT_LT(now.bytes().size(), before.bytes().size());
         EXPECT_EQ(now.header().cmdLine, "data.txt,b.isi,-m50,1-7");  // it names itself
       }},
      {"c=0 keeps the stored line",
       50,
       2,
       0,
       {"data.txt,a.isi", "-1-10"},
       {"a.isi,b.isi", "-c=0"},
       nullptr,
       [](auto&, const isir::IsiReader& now, auto&) {
         EXPECT_EQ(now.header().cmdLine, "data.txt,a.isi,-1-10");
       }},
      {"exclusive mode in place",
       300,
       2,
       7,
       {"data.txt,a.isi", "-1-7"},
       {"a.isi", "-c=1"},
       nullptr,
       [&](auto& before, auto& now, auto&) { chainKept(before, now); }},
      {"byte-addressed variable-length records",
       0,
       0,
       0,
       {"data.txt,a.isi", "-v,1-6"},
       {"a.isi", "-c"},
       nullptr,
       [](auto&, const isir::IsiReader& now, const std::string& shown) {
         EXPECT_FALSE(now.header().recNum());
         EXPECT_EQ(now.header().ddrHead, isir::kNoSector);
         EXPECT_EQ(shown.find("purged"), std::string::npos);  // there was no chain to purge
       }},
      {"the chain of an index appending records is purged",
       600,
       1,
       9,
       {"data.txt,a.isi", "-1-7"},
       {"a.isi", "-c"},
       [](std::string isi) {
         isi[6] = static_cast<char>(isi[6] | 0x20);  // as if built with option w
         return isi;
       },
       [](auto&, const isir::IsiReader& now, const std::string& shown) {
         EXPECT_EQ(now.header().ddrHead, isir::kNoSector);
         EXPECT_NE(shown.find("Deleted Data Record sectors purged from ISI!"), std::string::npos);
       }},
      {"the other byte order stays in place",
       2000,
       2,
       11,
       {"data.txt,a.isi", "-1-7"},
       {"a.isi", "-c"},
       isir::SwapByteOrder,
       [](auto&, const isir::IsiReader& now, auto&) {
         EXPECT_TRUE(now.header().bigEndian);
         EXPECT_EQ(now.header().deletedCount, 181u);
       }},
      {"and is taken into a new file",
       2000,
       2,
       11,
       {"data.txt,a.isi", "-1-7"},
       {"a.isi,b.isi", "-c"},
       isir::SwapByteOrder,
       [](auto&, const isir::IsiReader& now, auto&) { EXPECT_TRUE(now.header().bigEndian); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& name : dir_.list()) unlink(dir_.file(name).c_str());
    if (c.records == 0) {
      dir_.write("data.txt", variable);
    } else {
      WriteData(c.records, c.dupEvery, c.deletedEvery);
    }
    ASSERT_EQ(Run(c.build).exitCode, 0);
    if (c.alter) dir_.write("a.isi", c.alter(dir_.read("a.isi")));
    std::string before = dir_.read("a.isi");
    kt::RunResult r = Run(c.compact);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    isir::IsiReader old, now = ct::LoadValid(dir_.file(
                             c.compact[0].find(',') != std::string::npos ? "b.isi" : "a.isi"));
    ASSERT_TRUE(old.Load(before));
    ct::ExpectSameEntries(before, now);
    EXPECT_EQ(now.header().spin, old.header().spin == 0 ? 1u : 0u);
    EXPECT_EQ(Leftovers(), Names{}) << r.out;
    c.check(old, now, r.out);
  }
}

TEST_F(CompactE2eTest, RefusesWhatItMustNotCompact) {
  WriteData(10, 1, 0);
  ASSERT_EQ(Run({"data.txt,a.isi", "-1-7"}).exitCode, 0);
  const std::string built = dir_.read("a.isi");
  std::string noCommas = built;
  std::fill(noCommas.begin() + 496, noCommas.begin() + 1024, '\0');
  noCommas.replace(496, 13, "data.txt -1-7");
  const std::string notAnIndex = "Not a valid .isi file structure for file: a.isi.\n";
  const struct {
    const char* what;
    std::string isi;
    std::vector<std::string> args;
    std::string message;
    bool shared = false;  // another process holds a share lock on the data file
  } cases[] = {
      {"shorter than its front", std::string(2047, 'S'), {"a.isi", "-c"}, notAnIndex},
      {"a wrong magic", "SJSI" + built.substr(4), {"a.isi,b.isi", "-c"}, notAnIndex},
      {"a bad version word",
       built.substr(0, 5) + '\x12' + built.substr(6),
       {"a.isi", "-c"},
       "Invalid ISI version to compact file named:  a.isi.\n"},
      {"a stored line without commas",
       noCommas,
       {"a.isi,b.isi", "-c"},
       "Invalid input ISI command line format found in file named:  a.isi.\n"},
      {"another process shares the data file",
       built,
       {"a.isi", "-c=1"},
       "Unable to exclusive lock for ISI data file: data.txt\n"
       "Unable to execute ISI compact operation!\n",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dir_.write("a.isi", c.isi);
    std::unique_ptr<ct::LockHolder> other;
    if (c.shared) {
      other =
          std::make_unique<ct::LockHolder>(dir_.file("data.txt"), F_RDLCK, kWholeFileLockPos, 1);
      ASSERT_TRUE(other->holding());
    }
    kt::RunResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Start time"), std::string::npos);
    EXPECT_TRUE(dir_.read("a.isi") == c.isi);
    EXPECT_EQ(dir_.list(), (Names{"a.isi", "data.txt"}));
  }
}

}  // namespace
