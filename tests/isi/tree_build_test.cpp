// The bottom-up tree build: where key sectors land, how keys climb, fill
// limits, the 16-level limit, both addressing modes and write failures.
#include <cstring>

#include "isi/byte_order.h"
#include "isi_fixture.h"

namespace isitest {
namespace {

class TreeBuildTest : public IsiFixture {};

// Addressing: record numbers (the default) or byte offsets.
class TreeBuildAddressingTest : public IsiFixture, public ::testing::WithParamInterface<bool> {
 protected:
  bool recNum() const { return GetParam(); }
  // A sector position as the file addresses it.
  uint32_t Pos(uint32_t byteOffset) const { return recNum() ? byteOffset / 512 : byteOffset; }
  void SetUp() override {
    IsiFixture::SetUp();
    cd()->recNumMode = recNum() ? 1 : 0;
  }
};

TEST_F(TreeBuildTest, EmptyBuildIsTheBareFront) {
  cd()->recLenSpec = 11;  // L10 with LF
  Begin(10);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::string bytes = IsiBytes();
  ASSERT_EQ(bytes.size(), 2048u);
  EXPECT_EQ(bytes.substr(1536), std::string(512, '\0'));
  isir::IsiReader isi = ReadIsi();
  EXPECT_EQ(isi.header().ddrHead, 0xFFFFFFFFu);
  EXPECT_EQ(isi.header().recordLength, 10);
  EXPECT_EQ(isi.header().recordCount, 0u);
  isir::KeySector root;
  ASSERT_TRUE(isi.ReadRoot(&root));
  EXPECT_EQ(root.count, 0);
  EXPECT_EQ(root.level, 0);
  EXPECT_EQ(root.rightChild, 0u);
  EXPECT_EQ(cd()->topLevel, 0);
  std::string err;
  EXPECT_TRUE(isi.Validate(&err)) << err;
}

TEST_P(TreeBuildAddressingTest, TwentyFirstKeyClimbsWithTheFullLeafAsChild) {
  Begin(10);  // E = 24: 20 entries at 100 percent
  ASSERT_EQ(cd()->keysPerNode, 20u);
  AddNumbered(21);
  EXPECT_EQ(cd()->lastSectorPos, Pos(2048));
  EXPECT_EQ(cd()->topLevel, 1);
  EXPECT_EQ(cd()->levelTrailer[0][0], 0);  // the 22nd key starts a new leaf
  EXPECT_EQ(cd()->levelTrailer[1][0], 1);
  ASSERT_EQ(Add(NumKey(21, 10), 210), 0);
  ASSERT_EQ(IsiBuildFinish(), kOk);

  isir::IsiReader isi = ReadIsi();
  EXPECT_EQ(isi.header().rootPos, recNum() ? 2u : 1024u);
  isir::KeySector root, first, second;
  ASSERT_TRUE(isi.ReadRoot(&root));
  EXPECT_EQ(root.level, 1);
  ASSERT_EQ(root.count, 1);
  EXPECT_EQ(root.entries[0].key, NumKey(20, 10));
  EXPECT_EQ(root.entries[0].child, Pos(2048));
  EXPECT_EQ(root.entries[0].recPos, recNum() ? 20u : 200u);
  EXPECT_EQ(root.rightChild, Pos(2560));
  ASSERT_TRUE(isi.ReadKeySector(Pos(2048), &first));
  EXPECT_EQ(first.count, 20);
  EXPECT_EQ(first.level, 0);
  EXPECT_EQ(first.entries[19].key, NumKey(19, 10));
  ASSERT_TRUE(isi.ReadKeySector(Pos(2560), &second));
  ASSERT_EQ(second.count, 1);
  EXPECT_EQ(second.entries[0].key, NumKey(21, 10));
  std::string err;
  EXPECT_TRUE(isi.Validate(&err)) << err;
}

TEST_P(TreeBuildAddressingTest, RecordPositionsFollowTheAddressing) {
  Begin(10);
  ASSERT_EQ(Add("A", 0, 100), 0);
  ASSERT_EQ(Add("B", 300, 100), 0);
  ASSERT_EQ(Add("C", 70000, 100), 0);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::vector<isir::Entry> entries;
  ASSERT_TRUE(ReadIsi().Walk(&entries));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].recPos, recNum() ? 3u : 300u);
  EXPECT_EQ(entries[2].recPos, recNum() ? 700u : 70000u);
  EXPECT_EQ(entries[2].recSize, 100);
  EXPECT_EQ(ReadIsi().header().modeFlags & 1, recNum() ? 1 : 0);
}

TEST_P(TreeBuildAddressingTest, AnExactlyFullLeafLeavesTheRootWithoutRightChild) {
  Begin(10);
  AddNumbered(21);  // a full leaf, its successor promoted, nothing pending below
  ASSERT_EQ(IsiBuildFinish(), kOk);
  isir::IsiReader isi = ReadIsi();
  isir::KeySector root;
  ASSERT_TRUE(isi.ReadRoot(&root));
  EXPECT_EQ(root.rightChild, 0u);
  EXPECT_EQ(isi.bytes().size(), 2560u);
  std::string err;
  EXPECT_TRUE(isi.Validate(&err)) << err;
}

INSTANTIATE_TEST_SUITE_P(Addressing, TreeBuildAddressingTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "RecordNumbers" : "Bytes"; });

TEST_F(TreeBuildTest, FillPercentLimitsEveryLevel) {
  cd()->maxFillPct = 50;
  Begin(10);
  EXPECT_EQ(cd()->keysPerNode, 10u);
  AddNumbered(11);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  isir::KeySector leaf;
  ASSERT_TRUE(ReadIsi().ReadKeySector(4, &leaf));
  EXPECT_EQ(leaf.count, 10);
}

TEST_F(TreeBuildTest, ManyKeysMakeADeepSoundTree) {
  Begin(150);  // E = 164: 3 entries per sector
  ASSERT_EQ(cd()->keysPerNode, 3u);
  AddNumbered(200);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  isir::IsiReader isi = ReadIsi();
  std::string err;
  ASSERT_TRUE(isi.Validate(&err)) << err;
  isir::KeySector root;
  ASSERT_TRUE(isi.ReadRoot(&root));
  EXPECT_EQ(root.level, 3);  // 4^3 - 1 < 200 <= 4^4 - 1
  std::vector<isir::Entry> entries;
  ASSERT_TRUE(isi.Walk(&entries));
  ASSERT_EQ(entries.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(entries[i].key, NumKey(i, 150));
    EXPECT_EQ(entries[i].recPos, static_cast<uint32_t>(i));
  }
}

TEST_F(TreeBuildTest, ZeroFillLimitStopsAtTheSixteenthLevel) {
  OpenErrorFile();
  cd()->maxFillPct = 1;
  Begin(150);
  ASSERT_EQ(cd()->keysPerNode, 0u);
  EXPECT_EQ(Add("X", 0), kErrTreeLevels);
  EXPECT_EQ(ErrorFile(),
            "\nError! Tree level limit (16) can only support 0 records for this ISI file! \r\n");
  EXPECT_EQ(cd()->lastSectorPos, 3u + 16u);  // sixteen empty sectors went out
  EXPECT_EQ(cd()->topLevel, 15);
}

TEST_F(TreeBuildTest, LevelLimitLineStatesTheCapacityOfSixteenLevels) {
  OpenErrorFile();
  Begin(150);
  for (int level = 0; level < kMaxTreeLevels; ++level) cd()->levelTrailer[level][0] = 3;
  EXPECT_EQ(Add("X", 0), kErrTreeLevels);
  EXPECT_EQ(ErrorFile(),
            "\nError! Tree level limit (16) can only support 4294967295 records for this ISI "
            "file! \r\n");
}

TEST_F(TreeBuildTest, LevelLimitWithoutErrorFileWritesNothing) {
  cd()->maxFillPct = 1;
  Begin(150);
  EXPECT_EQ(Add("X", 0), kErrTreeLevels);
  EXPECT_FALSE(dir_.exists("T.ERR"));
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
  XlatIsiTreeEntries(expected, 16);
  std::string file = IsiBytes();
  ASSERT_EQ(file.size(), 2560u);
  EXPECT_EQ(memcmp(file.data() + 2048, expected, 512), 0);
  EXPECT_EQ(memcmp(cd()->levelSector[0], before, 500), 0);  // memory stays native
  EXPECT_EQ(cd()->levelTrailer[0][0], 0);
}

// ---- Write failures -------------------------------------------------------

class TreeBuildFailureTest : public IsiFixture {
 protected:
  void FailWrite(uint64_t n) {
    FaultPlan plan;
    plan.classes = kFaultWrite;
    plan.failAt = n;
    plan.err = ENOSPC;
    SysSetFaultPlan(plan);
  }
};

TEST_F(TreeBuildFailureTest, ReservingTheFront) {
  FailWrite(1);
  EXPECT_EQ(IsiBuildBegin(10, 24), kErrIsiWrite);
  EXPECT_EQ(Messages(), kWriteFailure28);
  EXPECT_EQ(cd()->failFd, cd()->outFd);
}

TEST_F(TreeBuildFailureTest, FlushingTheLevelSectors) {
  Begin(10);
  AddNumbered(25);
  FailWrite(1);
  EXPECT_EQ(IsiBuildFinish(), kErrIsiWrite);
  EXPECT_TRUE(SysFaultFired());
  EXPECT_EQ(Messages(), kWriteFailure28);
  EXPECT_EQ(cd()->failFd, cd()->outFd);
}

TEST_F(TreeBuildFailureTest, ALevelSectorDuringTheMerge) {
  Begin(8);  // E = 20: 25 entries per sector; 512 sectors fill the output buffer
  FailWrite(1);
  int32_t r = 0;
  int i = 0;
  for (; i < 20000 && r == 0; ++i) r = Add(NumKey(i, 8), uint64_t(i) * 10);
  EXPECT_EQ(r, -1);  // the index output routine turns the tree's -2 into -1
  EXPECT_GT(i, 12000);
  EXPECT_EQ(Messages(), kWriteFailure28);  // shown once
  EXPECT_EQ(cd()->failFd, cd()->outFd);
}

TEST_F(TreeBuildFailureTest, WritingTheHeader) {
  Begin(10);
  AddNumbered(25);
  // Writes from here: the level sectors, the root, the header.
  FailWrite(3);
  EXPECT_EQ(IsiBuildFinish(), kErrIsiWrite);
  EXPECT_TRUE(SysFaultFired());
  EXPECT_EQ(Messages(), kWriteFailure28);
  EXPECT_EQ(cd()->failFd, cd()->outFd);
  EXPECT_EQ(IsiBytes().substr(0, 4), std::string(4, '\0'));
}

TEST_F(TreeBuildFailureTest, SeekingToTheRootFailsWithoutMessage) {
  Begin(10);
  AddNumbered(5);
  FaultPlan plan;
  plan.classes = kFaultSeek;
  plan.failAt = 1;
  SysSetFaultPlan(plan);
  EXPECT_EQ(IsiBuildFinish(), kErrIsiWrite);
  EXPECT_EQ(Messages(), "");
  EXPECT_EQ(cd()->failFd, cd()->outFd);
}

// ---- Closing reports ------------------------------------------------------

struct ReportCase {
  const char* name;
  uint8_t varLen, spaceComp, posInvalid, allowVarLen, longRec;
  const char* expected;
};

class DataReportTest : public IsiFixture, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(DataReportTest, LinesFollowTheFindings) {
  const ReportCase& c = GetParam();
  cd()->varLenFound = c.varLen;
  cd()->spaceCompFound = c.spaceComp;
  cd()->posInvalidFound = c.posInvalid;
  cd()->allowVarLen = c.allowVarLen;
  cd()->longRecFound = c.longRec;
  IsiShowDataReports();
  EXPECT_EQ(Messages(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Findings, DataReportTest,
    ::testing::Values(
        ReportCase{"Nothing", 0, 0, 0, 0, 0, ""},
        ReportCase{"SpaceCompression", 0, 1, 0, 0, 1, "Data file has space compression.\n"},
        ReportCase{"VariableWithSpaceCompression", 1, 1, 1, 0, 0,
                   "Data file has variable length records and space compression.\n"},
        ReportCase{"PositionInvalidAndLong", 1, 0, 1, 0, 1,
                   "Data file record encountered with position invalid for fixed length "
                   "records.\nRecord longer than maximum record length was found.\n"},
        ReportCase{"Variable", 1, 0, 1, 1, 0, "Data file has variable length records.\n"},
        ReportCase{"VariableAndLong", 1, 0, 0, 0, 1,
                   "Data file has variable length records.\nRecord longer than maximum record "
                   "length was found.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TreeBuildTest, FinishReportsKeptDuplicates) {
  Begin(10);
  ASSERT_EQ(Add("A", 0), 0);
  ASSERT_EQ(Add("A", 10), 0);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  EXPECT_EQ(Messages(), "Data file has 1 duplicate key entries.\n");
}

}  // namespace
}  // namespace isitest
