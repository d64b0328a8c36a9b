// The sequential walk over built trees of one, two and many levels, in
// either byte order, and its refusal of damaged trees with the code of
// each kind of damage.
#include <cstring>
#include <random>

#include "isi/byte_order.h"
#include "isi_fixture.h"

namespace isitest {
namespace {

class SeqWalkTest : public IsiFixture {
 protected:
  // Walks until the walk stops; the code it stops with.
  int32_t WalkResult(const std::string& path) {
    int32_t last = 0;
    WalkAll(OpenForWalk(path).get(), &last, 100000);
    return last;
  }
  // A two-level tree: root e1 = K2, e2 = K5 and a rightmost child; leaves
  // {K0, K1} at 4, {K3, K4} at 5, {K6, K7} at 6.
  void BuildTwoLevels() {
    cd()->maxFillPct = 10;
    BuildNumbered(10, 8);
    ASSERT_EQ(cd()->keysPerNode, 2u);
  }
};

// The walk's entries are the independent reader's in-order entries, and
// both hold the keys added, in order.
TEST_F(SeqWalkTest, WalksMatchTheReader) {
  const struct {
    int keyLen, keys, repeat;
    bool recNum, foreign;
  } cases[] = {{10, 0, 1, true, false},
               {10, 5, 1, true, false},
               {150, 100, 3, true, false},
               {20, 500, 1, false, false},
               {12, 700, 1, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    Restart();
    cd()->recNumMode = c.recNum;
    cd()->recLenSpec = 11;
    Begin(c.keyLen);
    for (int i = 0; i < c.keys * c.repeat; ++i) {
      ASSERT_EQ(Add(NumKey(i / c.repeat, c.keyLen), uint64_t(i) * 10), 0);
    }
    ASSERT_EQ(IsiBuildFinish(), kOk);
    std::string path = c.foreign ? Variant(isir::SwapByteOrder(IsiBytes())) : isiPath_;
    isir::IsiReader isi;
    std::string err;
    ASSERT_TRUE(isi.LoadFile(path, &err) && isi.Validate(&err)) << err;
    EXPECT_EQ(isi.header().bigEndian, c.foreign);
    std::vector<isir::Entry> expected;
    ASSERT_TRUE(isi.Walk(&expected, &err)) << err;
    ASSERT_EQ(expected.size(), static_cast<size_t>(c.keys * c.repeat));
    auto st = OpenForWalk(path);
    int32_t last = 0;
    std::vector<isir::Entry> got = WalkAll(st.get(), &last);
    EXPECT_EQ(last, kWalkEnd);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].key, NumKey(static_cast<int>(i) / c.repeat, c.keyLen)) << i;
      EXPECT_EQ(got[i].key, expected[i].key) << i;
      EXPECT_EQ(got[i].recPos, expected[i].recPos) << i;
      EXPECT_EQ(got[i].child, expected[i].child) << i;
      EXPECT_EQ(got[i].dupSeq, expected[i].dupSeq) << i;
      EXPECT_EQ(got[i].recSize, expected[i].recSize) << i;
    }
    // At its end it stays there without touching the file.
    EXPECT_TRUE(st->flags & kStWalkAtEnd);
    SysSetFaultPlan({kFaultAll, 1000});
    EXPECT_EQ(FhStIreadSeq(st.get()), kWalkEnd);
    EXPECT_EQ(SysFaultCallCount(), 0u);
    SysSetFaultPlan(FaultPlan{});
  }
}

TEST_F(SeqWalkTest, TwoLevelTreeInKeyOrderWithTheSpinCounter) {
  BuildTwoLevels();
  auto st = OpenForWalk(isiPath_);
  StoreU32(st->header + 32, 77);
  // leaf under e1, e1, leaf under e2, e2, the rightmost leaf
  const struct {
    int key;
    uint32_t sector;  // the root is known as 0
  } order[] = {{0, 4}, {1, 4}, {2, 0}, {3, 5}, {4, 5}, {5, 0}, {6, 6}, {7, 6}};
  for (const auto& step : order) {
    ASSERT_EQ(FhStIreadSeq(st.get()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(st->entry.key), 10), NumKey(step.key, 10));
    EXPECT_EQ(st->curSector, step.sector) << step.key;
  }
  EXPECT_EQ(st->spin, 77u);  // taken with each entry
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkEnd);
}

TEST_F(SeqWalkTest, DamagedTreesAreRefused) {
  BuildTwoLevels();
  const std::string built = IsiBytes();
  auto entry = [](uint32_t sector, int index) { return sector * 512 + index * 24; };
  const struct {
    const char* what;
    std::vector<std::pair<size_t, uint32_t>> u32s;  // (offset, value) patches
    std::vector<std::pair<size_t, uint8_t>> bytes;
    int32_t code;
    size_t grow = 0;
  } cases[] = {
      {"a leaf count above what fits", {}, {{5 * 512 + 500, 21}}, kWalkBadCount},
      {"the root's count above what fits", {}, {{1024 + 500, 200}}, kWalkBadCount},
      {"a child beyond the end of the file", {{1024 + 508, 7}}, {}, kWalkBadChild},
      {"a child inside the front", {{entry(2, 0) + 4, 2}}, {}, kWalkBadChild},
      // Byte addressing: positions are offsets.
      {"a child off a sector boundary",
       {{1024 + 508, 3000}, {entry(2, 0) + 4, 2048}, {entry(2, 1) + 4, 2560}},
       {{7, 0}},
       kWalkBadChild},
      // A leaf made to look inner, its first entry leading to itself: a
      // sector is never below itself, so the cycle ends at its first step
      // (with room enough in the file that the depth limit could come).
      {"a cycle through a leaf",
       {{entry(4, 0) + 4, 4}},
       {{4 * 512 + 506, 1}},
       kWalkBadLevel,
       40 * 512},
      {"a child at its parent's level", {}, {{4 * 512 + 506, 1}}, kWalkBadLevel},
      {"two entries sharing a child", {{entry(2, 1) + 4, 4}}, {}, kWalkLooping},
  };
  for (const auto& c : cases) {
    std::string bad = built + std::string(c.grow, '\0');
    for (const auto& [ofs, v] : c.u32s) StoreU32(reinterpret_cast<uint8_t*>(bad.data()) + ofs, v);
    for (const auto& [ofs, v] : c.bytes) bad[ofs] = static_cast<char>(v);
    EXPECT_EQ(WalkResult(Variant(bad)), c.code) << c.what;
  }
  // A parent that no longer lists the child the walk came from: the walk
  // stops there and stays stopped.
  auto st = OpenForWalk(Variant(built));
  ASSERT_EQ(FhStIreadSeq(st.get()), 0);  // K0 in the leaf under e1
  StoreU32(st->root + 4, 6);             // e1 now names another sector
  EXPECT_EQ(FhStIreadSeq(st.get()), 0);  // K1, same leaf
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkNotListed);
  EXPECT_NE(std::string(cd()->msgBuf).find("damaged"), std::string::npos);
  SysSetFaultPlan({kFaultAll, 1000});
  EXPECT_EQ(FhStIreadSeq(st.get()), kWalkNotListed);
  EXPECT_EQ(SysFaultCallCount(), 0u);
  // A failing read stops it too.
  st = OpenForWalk(Variant(built));
  SysSetFaultPlan({kFaultRead, 1, 0, true});
  EXPECT_EQ(FhStIreadSeq(st.get()), -3);
  EXPECT_EQ(FhStIreadSeq(st.get()), -3);
}

TEST_F(SeqWalkTest, RandomDamageNeverCrashesOrHangs) {
  BuildNumbered(10, 2000);
  std::string good = IsiBytes();
  std::mt19937 gen(12345);
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    for (int f = 0, flips = 1 + static_cast<int>(gen() % 8); f < flips; ++f) {
      bad[1024 + gen() % (bad.size() - 1024)] = static_cast<char>(gen());
    }
    int32_t last = 0;
    std::vector<isir::Entry> got = WalkAll(OpenForWalk(Variant(bad)).get(), &last, 200000);
    EXPECT_TRUE(last == kWalkEnd || last < 0) << round;
    EXPECT_LT(got.size(), 200000u) << round;
  }
}

}  // namespace
}  // namespace isitest
