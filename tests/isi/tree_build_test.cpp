// The bottom-up tree build where the end-to-end tests cannot reach: the
// level limit on a file whose sectors hold more than one key, refused key
// lengths, the translated copy a compaction into the other byte order
// writes, and each write of the build failing.
#include <cstring>

#include "isi/byte_order.h"
#include "isi/isi_xlat.h"
#include "isi_fixture.h"

namespace isitest {
namespace {

class TreeBuildTest : public IsiFixture {};

// Without an error file the line is written nowhere.
TEST_F(TreeBuildTest, LevelLimitLineStatesTheCapacityOfSixteenLevels) {
  for (bool errorFile : {false, true}) {
    Restart();
    if (errorFile) OpenErrorFile();
    Begin(150);
    for (int level = 0; level < kMaxTreeLevels; ++level) cd()->levelTrailer[level][0] = 3;
    EXPECT_EQ(Add("X", 0), kErrTreeLevels);
    EXPECT_EQ(dir_.exists("T.ERR"), errorFile);
  }
  EXPECT_EQ(ErrorFile(),
            "\nError! Tree level limit (16) can only support 4294967295 records for this ISI "
            "file! \r\n");
}

TEST_F(TreeBuildTest, RefusesAKeyLengthTheFormatCannotHold) {
  EXPECT_EQ(IsiBuildBegin(151, 164), kErrKeyTooLarge);
  EXPECT_EQ(IsiBuildBegin(0, 12), kErrKeyTooLarge);
  EXPECT_EQ(IsiBuildBegin(10, 22), kErrKeyTooLarge);
  EXPECT_EQ(IsiBytes().size(), 0u);
}

TEST_F(TreeBuildTest, SwappedOutputTranslatesACopyOnly) {
  Begin(10);
  ASSERT_EQ(Add("A", 10), 0);
  ASSERT_EQ(Add("B", 20), 0);
  uint8_t before[512];
  memcpy(before, cd()->levelSector[0], 512);
  FhStRec state{};
  state.entrySize = 16;  // the compaction's record decides how entries are stepped
  cd()->compactIsi = &state;
  cd()->isiSwapOut = 1;
  cd()->treeLevel = 0;
  ASSERT_EQ(WriteLevelSector(), 4);
  ASSERT_EQ(OutFlush(cd()->outFd), 0);
  cd()->compactIsi = nullptr;
  uint8_t expected[512];
  memcpy(expected, before, 512);
  IsiXlatKeySector(expected, 16);
  std::string file = IsiBytes();
  ASSERT_EQ(file.size(), 2560u);
  EXPECT_EQ(memcmp(file.data() + 2048, expected, 512), 0);
  EXPECT_EQ(memcmp(cd()->levelSector[0], before, 500), 0);  // memory stays native
  EXPECT_EQ(cd()->levelTrailer[0][0], 0);
}

// Each write of the build failing (a seek to the root fails without a
// message of its own): the failing file is the ISI, the status the ISI's.
TEST_F(TreeBuildTest, FailingWrites) {
  const struct {
    const char* what;
    int keyLen, keys;
    uint32_t classes;
    uint64_t failAt;
    bool atBegin, message;
  } cases[] = {
      {"reserving the front", 10, 0, kFaultWrite, 1, true, true},
      {"flushing the level sectors", 10, 25, kFaultWrite, 1, false, true},
      {"writing the header", 10, 25, kFaultWrite, 3, false, true},  // after the levels and root
      {"seeking to the root", 10, 5, kFaultSeek, 1, false, false},
      // E = 20: 25 entries a sector; 512 sectors fill the output buffer.
      {"a level sector during the merge", 8, 20000, kFaultWrite, 1, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    size_t before = Messages().size();
    keyLen_ = c.keyLen;
    if (c.atBegin) {
      SysSetFaultPlan({c.classes, c.failAt, ENOSPC});
      EXPECT_EQ(IsiBuildBegin(c.keyLen, static_cast<int32_t>(IsiEntrySize(c.keyLen))),
                kErrIsiWrite);
    } else if (c.keys > 10000) {
      Begin(c.keyLen);
      SysSetFaultPlan({c.classes, c.failAt, ENOSPC});
      int32_t r = 0;
      int i = 0;
      for (; i < c.keys && r == 0; ++i) r = Add(NumKey(i, c.keyLen), uint64_t(i) * 10);
      EXPECT_EQ(r, -1);  // the index output routine turns the tree's -2 into -1
      EXPECT_GT(i, 12000);
    } else {
      Begin(c.keyLen);
      AddNumbered(c.keys);
      SysSetFaultPlan({c.classes, c.failAt, ENOSPC});
      EXPECT_EQ(IsiBuildFinish(), kErrIsiWrite);
      EXPECT_TRUE(SysFaultFired());
    }
    EXPECT_EQ(Messages().substr(before), c.message ? kWriteFailure28 : "");  // shown once
    EXPECT_EQ(cd()->failFd, cd()->outFd);
    if (c.failAt == 3) {
      EXPECT_EQ(IsiBytes().substr(0, 4), std::string(4, '\0'));
    }
  }
}

}  // namespace
}  // namespace isitest
