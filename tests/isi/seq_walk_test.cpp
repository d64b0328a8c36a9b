// The sequential walk over built trees of one, two and many levels, in
// either byte order, and its refusal of damaged trees.
#include <cstring>
#include <random>

#include "isi/byte_order.h"
#include "isi_fixture.h"

namespace isitest {
namespace {

class SeqWalkTest : public IsiFixture {
 protected:
  // The walk's entries equal the independent reader's in-order entries, and
  // both hold `keys` in that order.
  void ExpectWalkMatchesReader(const std::string& path, const std::vector<std::string>& keys) {
    isir::IsiReader isi;
    std::string err;
    ASSERT_TRUE(isi.LoadFile(path, &err)) << err;
    std::vector<isir::Entry> expected;
    ASSERT_TRUE(isi.Walk(&expected, &err)) << err;
    ASSERT_EQ(expected.size(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(expected[i].key, keys[i]) << i;
    auto st = OpenForWalk(path);
    int32_t last = 0;
    std::vector<isir::Entry> got = WalkAll(st.get(), &last);
    EXPECT_EQ(last, kWalkEnd);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].key, expected[i].key) << i;
      EXPECT_EQ(got[i].recPos, expected[i].recPos) << i;
      EXPECT_EQ(got[i].child, expected[i].child) << i;
      EXPECT_EQ(got[i].dupSeq, expected[i].dupSeq) << i;
      EXPECT_EQ(got[i].recSize, expected[i].recSize) << i;
    }
  }
  // Writes `bytes` as a second file and returns its path.
  std::string Variant(const std::string& bytes) {
    std::string path = dir_.file("V" + std::to_string(variants_++) + ".ISI");
    kt::WriteFileBytes(path, bytes);
    return path;
  }
  // Walks until the walk stops; the code it stops with.
  int32_t WalkResult(const std::string& path, size_t limit = 100000) {
    auto st = OpenForWalk(path);
    int32_t last = 0;
    WalkAll(st.get(), &last, limit);
    return last;
  }
  // A two-level tree: root e1 = K2, e2 = K5 and a rightmost child; leaves
  // {K0, K1} at 4, {K3, K4} at 5, {K6, K7} at 6.
  void BuildTwoLevels() {
    cd()->maxFillPct = 10;
    Begin(10);
    ASSERT_EQ(cd()->keysPerNode, 2u);
    AddNumbered(8);
    ASSERT_EQ(IsiBuildFinish(), kOk);
  }
  static std::vector<std::string> NumKeys(int n, int width, int repeat = 1) {
    std::vector<std::string> keys;
    for (int i = 0; i < n * repeat; ++i) keys.push_back(NumKey(i / repeat, width));
    return keys;
  }
  int variants_ = 0;
};

TEST_F(SeqWalkTest, EmptyTreeEndsAtOnce) {
  cd()->recLenSpec = 11;
  Begin(10);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  auto st = OpenForWalk();
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkEnd);
  EXPECT_TRUE(st->flags & kStWalkAtEnd);
}

TEST_F(SeqWalkTest, OneLevelTreeThenEndWithoutTouchingTheFile) {
  Begin(10);
  AddNumbered(5);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  auto st = OpenForWalk();
  int32_t last = 0;
  std::vector<isir::Entry> got = WalkAll(st.get(), &last);
  EXPECT_EQ(last, kWalkEnd);
  ASSERT_EQ(got.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i].key, NumKey(i, 10));
  FaultPlan counting;
  counting.classes = kFaultAll;
  counting.failAt = 1000;
  SysSetFaultPlan(counting);
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkEnd);
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkEnd);
  EXPECT_EQ(SysFaultCallCount(), 0u);
}

TEST_F(SeqWalkTest, TwoLevelTreeInKeyOrder) {
  BuildTwoLevels();
  isir::KeySector root;
  ASSERT_TRUE(ReadIsi().ReadRoot(&root));
  ASSERT_EQ(root.count, 2);
  ASSERT_EQ(root.rightChild, 6u);

  auto st = OpenForWalk();
  // leaf under e1, e1, leaf under e2, e2, the rightmost leaf
  const struct {
    int key;
    uint32_t sector;
  } order[] = {{0, 4}, {1, 4}, {2, 0}, {3, 5}, {4, 5}, {5, 0}, {6, 6}, {7, 6}};
  for (const auto& step : order) {
    ASSERT_EQ(FhStIreadSeq(st.get()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(st->entry.key), 10), NumKey(step.key, 10));
    EXPECT_EQ(st->curSector, step.sector) << step.key;  // the root is known as 0
  }
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkEnd);
}

TEST_F(SeqWalkTest, DeepTreeWithDuplicatesMatchesTheReader) {
  Begin(150);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Add(NumKey(i / 3, 150), uint64_t(i) * 10), 0);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  ExpectWalkMatchesReader(isiPath_, NumKeys(100, 150, 3));
  auto st = OpenForWalk();
  int32_t last = 0;
  std::vector<isir::Entry> got = WalkAll(st.get(), &last);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].dupSeq, i % 3) << i;
}

TEST_F(SeqWalkTest, ByteAddressedTree) {
  cd()->recNumMode = 0;
  Begin(20);
  AddNumbered(500);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  ExpectWalkMatchesReader(isiPath_, NumKeys(500, 20));
}

TEST_F(SeqWalkTest, ForeignOrderTreeIsWalkedNatively) {
  Begin(12);
  AddNumbered(700);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::string path = Variant(ToOtherOrder(IsiBytes()));
  isir::IsiReader foreign;
  ASSERT_TRUE(foreign.LoadFile(path));
  ASSERT_TRUE(foreign.header().bigEndian);
  std::string err;
  EXPECT_TRUE(foreign.Validate(&err)) << err;
  ExpectWalkMatchesReader(path, NumKeys(700, 12));
}

TEST_F(SeqWalkTest, SpinCounterIsTakenWithEachEntry) {
  Begin(10);
  AddNumbered(3);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  auto st = OpenForWalk();
  StoreU32(st->header + 32, 77);
  ASSERT_EQ(FhStIreadSeq(st.get()), 0);
  EXPECT_EQ(st->spin, 77u);
}

TEST_F(SeqWalkTest, RandomDamageNeverCrashesOrHangs) {
  Begin(10);
  AddNumbered(2000);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::string good = IsiBytes();
  std::mt19937 gen(12345);
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    int flips = 1 + static_cast<int>(gen() % 8);
    for (int f = 0; f < flips; ++f) {
      size_t ofs = 1024 + gen() % (bad.size() - 1024);
      bad[ofs] = static_cast<char>(gen());
    }
    auto st = OpenForWalk(Variant(bad));
    int32_t last = 0;
    std::vector<isir::Entry> got = WalkAll(st.get(), &last, 200000);
    EXPECT_TRUE(last == kWalkEnd || last < 0) << round;
    EXPECT_LT(got.size(), 200000u) << round;
    CloseWalkFiles();
  }
}

// ---- Damaged trees ---------------------------------------------------------

class DamagedWalkTest : public SeqWalkTest {
 protected:
  void SetUp() override {
    SeqWalkTest::SetUp();
    BuildTwoLevels();
    bytes_ = IsiBytes();
  }
  // The byte offset of entry `index` (0-based) of the sector at `sector`.
  static size_t EntryOfs(uint32_t sector, int index) { return sector * 512 + index * 24; }
  void PutU32(size_t ofs, uint32_t v) {
    StoreU32(reinterpret_cast<uint8_t*>(bytes_.data()) + ofs, v);
  }
  std::string bytes_;
};

TEST_F(DamagedWalkTest, CountAboveWhatFits) {
  bytes_[5 * 512 + 500] = 21;
  EXPECT_EQ(WalkResult(Variant(bytes_)), kWalkBadCount);
}

TEST_F(DamagedWalkTest, CountOfTheRootAboveWhatFits) {
  bytes_[1024 + 500] = static_cast<char>(200);
  EXPECT_EQ(WalkResult(Variant(bytes_)), kWalkBadCount);
}

TEST_F(DamagedWalkTest, ChildBeyondTheEndOfTheFile) {
  PutU32(1024 + 508, 7);  // the file has sectors 0 to 6
  EXPECT_EQ(WalkResult(Variant(bytes_)), kWalkBadChild);
}

TEST_F(DamagedWalkTest, ChildInsideTheFront) {
  PutU32(EntryOfs(2, 0) + 4, 2);  // the root's own sector
  EXPECT_EQ(WalkResult(Variant(bytes_)), kWalkBadChild);
}

TEST_F(DamagedWalkTest, ChildOffASectorBoundary) {
  bytes_[7] = 0;  // byte addressing: positions are offsets
  PutU32(1024 + 508, 3000);
  PutU32(EntryOfs(2, 0) + 4, 2048);
  PutU32(EntryOfs(2, 1) + 4, 2560);
  EXPECT_EQ(WalkResult(Variant(bytes_)), kWalkBadChild);
}

TEST_F(DamagedWalkTest, CycleThroughALeaf) {
  bytes_ += std::string(40 * 512, '\0');  // room enough that the depth limit comes first
  bytes_[4 * 512 + 506] = 1;              // make the leaf look like an inner sector
  PutU32(EntryOfs(4, 0) + 4, 4);          // whose first entry leads to itself
  EXPECT_EQ(WalkResult(Variant(bytes_)), kWalkTooDeep);
}

TEST_F(DamagedWalkTest, TwoEntriesSharingAChildDoNotLoopForEver) {
  PutU32(EntryOfs(2, 1) + 4, 4);  // e2 leads to e1's leaf too
  EXPECT_EQ(WalkResult(Variant(bytes_)), kWalkLooping);
}

TEST_F(DamagedWalkTest, ParentThatNoLongerListsTheChild) {
  auto st = OpenForWalk(Variant(bytes_));
  ASSERT_EQ(FhStIreadSeq(st.get()), 0);  // K0 in the leaf under e1
  StoreU32(st->root + 4, 6);             // e1 now names another sector
  EXPECT_EQ(FhStIreadSeq(st.get()), 0);  // K1, same leaf
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkNotListed);
  EXPECT_NE(std::string(cd()->msgBuf).find("damaged"), std::string::npos);
  FaultPlan counting;
  counting.classes = kFaultAll;
  counting.failAt = 1000;
  SysSetFaultPlan(counting);
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkNotListed);  // stays stopped
  EXPECT_EQ(SysFaultCallCount(), 0u);
}

TEST_F(DamagedWalkTest, ReadFailureStopsTheWalk) {
  auto st = OpenForWalk(Variant(bytes_));
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = 1;
  plan.shortIo = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(FhStIreadSeq(st.get()), -3);
  EXPECT_EQ(FhStIreadSeq(st.get()), -3);
}

}  // namespace
}  // namespace isitest
