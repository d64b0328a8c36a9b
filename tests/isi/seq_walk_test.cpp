// The sequential walk's refusal of damaged trees, with the code of each
// kind of damage, and of random damage. Walks over sound trees of every
// shape, in either byte order, are held by the compactions run through the
// binary.
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
