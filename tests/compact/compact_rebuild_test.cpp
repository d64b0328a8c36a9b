// Whole compactions, in process, of crafted indexes: the new tree holds the
// old entries at full sectors, the DDR chain follows the front, the header
// is carried over with its spin counter toggled; a failure after the first
// write restores the ISI from its backup byte for byte.
#include <gtest/gtest.h>

#include <cerrno>

#include "compact/compact_fixture.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"

namespace {

using ct::CompactRunTest;

TEST_F(CompactRunTest, NewTreeAndChain) {
  const struct {
    const char* what;
    isiw::Spec spec;
    bool inPlace;
    std::vector<uint32_t> leaves, roots;
    size_t fileSize;
  } cases[] = {
      // 31 entries of 16 bytes fill a sector; 300 keys make 9 full leaves and
      // one of 12 under a root of 9 entries; front, chain, leaves, the root at 1024.
      {"two levels with a chain of three sectors",
       Indexed(300, 9, 261),
       true,
       {31, 31, 31, 31, 31, 31, 31, 31, 31, 12},
       {9},
       (6 + 10) * 512},
      // Another writer's file: its newest DDR sector is full and stands behind
      // the others, nothing at 1536; the copy begins with the one the header names.
      {"the newest DDR sector full, behind the others",
       Indexed(300, 9, 378),
       true,
       {31, 31, 31, 31, 31, 31, 31, 31, 31, 12},
       {9},
       (6 + 10) * 512},
      // 31 + 1 + 31 keys: both leaves full, the root one entry and a right child.
      {"leaves exactly full", Indexed(63, 5), false, {31, 31}, {1}, 6 * 512},
      {"an empty index", Indexed(0, 0), true, {0}, {}, 2048},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    size_t before = Messages().size();
    isiw::Image image = isiw::Build(c.spec);
    Prepare(image.bytes, c.inPlace);
    ASSERT_EQ(Run(), kOk) << Messages();
    isir::IsiReader now = ct::LoadValid(OutPath());
    ct::ExpectSameEntries(image.bytes, now);
    EXPECT_EQ(ct::CountsAtLevel(now, 0), c.leaves);
    EXPECT_EQ(ct::CountsAtLevel(now, 1), c.roots);
    EXPECT_EQ(now.bytes().size(), c.fileSize);
    EXPECT_EQ(now.header().spin, 1u);
    EXPECT_EQ(now.header().deletedCount, c.spec.deleted.size());
    isir::IsiReader old;
    ASSERT_TRUE(old.Load(image.bytes));
    std::vector<isir::DdrSector> was, is;
    ASSERT_TRUE(old.DdrChain(&was) && now.DdrChain(&is));
    ASSERT_EQ(is.size(), was.size());
    for (size_t i = 0; i < is.size(); ++i) {
      EXPECT_EQ(is[i].pos, 3u + i);
      EXPECT_EQ(is[i].positions, was[i].positions);
    }
    std::string shown = Messages().substr(before);
    EXPECT_EQ(shown.find("Sort train"), std::string::npos);
    EXPECT_NE(shown.find(std::to_string(c.spec.entries.size()) + " records, " +
                         std::to_string(c.spec.deleted.size()) + " deleted entries\n"),
              std::string::npos)
        << shown;
    EXPECT_EQ(Leftovers(),
              c.inPlace ? std::vector<std::string>{} : std::vector<std::string>{"b.isi"});
    unlink(dir_.file("b.isi").c_str());
  }
  Restart();
  isiw::Spec spec = Indexed(10, 0);
  spec.spin = 5;
  Prepare(isiw::Build(spec).bytes, true);
  ASSERT_EQ(Run(), kOk);
  EXPECT_EQ(ct::LoadValid(IsiPath()).header().spin, 0u);  // toggled
}

// Sub-lists of an index arrive in key order: each continues the one train.
TEST_F(CompactRunTest, ManySubListsMakeOneTrainInTheSameOrder) {
  std::string before = isiw::Build(Indexed(1000, 31, 135)).bytes;  // 32 leaves, a full root
  Prepare(before, true);
  ASSERT_EQ(hugemem(8192), 8192u);  // the smallest sort memory instead of Prepare's
  ASSERT_EQ(Run(), kOk) << Messages();
  EXPECT_EQ(Messages().find("Sort train 2"), std::string::npos);
  EXPECT_EQ(Messages().substr(0, 40), "Sort train 1\rSort train 1\rSort train 1\r\n");
  ct::ExpectSameEntries(before, ct::LoadValid(IsiPath()));
}

TEST_F(CompactRunTest, FailureAfterTheFirstWriteRestoresAndSaysSo) {
  std::string isi = isiw::Build(Indexed(400, 12, 261)).bytes;
  Prepare(isi, true);
  SysSetFaultPlan(
      {kFaultMeta, 2, EIO});  // the backup's sync passes, the cut behind the chain fails
  EXPECT_EQ(Run(), kErrIsiWrite);
  EXPECT_EQ(Messages(),
            "\nUnable to write segment of index file. Errno=5\n"
            "ISI has been restored after fatal compact error for file: " +
                IsiPath() + "\nWARNING!  INDEX failed writing output data!\n");
  EXPECT_TRUE(dir_.read("a.isi") == isi);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// Every file-metadata call (sync, truncation, close, removal) failing in
// turn: the ISI is either given back as it was or is the finished, sound
// index (a failing close of the finished file still fails the run).
TEST_F(CompactRunTest, FailingMetadataCallAnywhereNeverLeavesAHalfIndex) {
  std::string isi = isiw::Build(Indexed(400, 12, 261)).bytes;
  for (uint64_t at = 1;; ++at) {
    SCOPED_TRACE(at);
    Restart();
    size_t before = Messages().size();
    Prepare(isi, true);
    SysSetFaultPlan({kFaultMeta, at, EIO});
    Status status = Run();
    bool fired = SysFaultFired();
    SysSetFaultPlan(FaultPlan{});
    if (dir_.read("a.isi") != isi) {
      EXPECT_TRUE(status == kOk ||
                  Messages().find("Close(outfile) failed", before) != std::string::npos);
      ct::ExpectSameEntries(isi, ct::LoadValid(IsiPath()));
    }
    if (!fired) break;
    ASSERT_LT(at, 50u);
  }
}

}  // namespace
