// The test reader and its byte-order swap: they must notice the damage
// they are there to catch, and read the other order alike.
#include "isi/byte_order.h"
#include "isi_fixture.h"

namespace isitest {
namespace {

class IsiReaderTest : public IsiFixture {
 protected:
  void SetUp() override {
    IsiFixture::SetUp();
    cd()->maxFillPct = 10;  // two entries per sector: root K2, K5; leaves at 4, 5, 6
    BuildNumbered(10, 8);
    good_ = IsiBytes();
  }
  static bool Sound(const std::string& bytes, std::string* err) {
    isir::IsiReader isi;
    return isi.Load(bytes, err) && isi.Validate(err);
  }
  std::string Patched(size_t ofs, uint32_t v) {
    std::string b = good_;
    StoreU32(reinterpret_cast<uint8_t*>(b.data()) + ofs, v);
    return b;
  }
  std::string good_;
};

TEST_F(IsiReaderTest, RefusesWhatASoundIndexNeverHolds) {
  std::string err;
  ASSERT_TRUE(Sound(good_, &err)) << err;
  std::string unordered = good_;
  unordered[4 * 512 + 12 + 9] = 'Z';  // K0 sorts after K1
  const struct {
    std::string bytes;
    const char* why;
  } cases[] = {
      {Patched(1024 + 24 + 4, 4), "twice"},        // two entries share a child
      {Patched(4 * 512 + 504, 1 << 16), "level"},  // a leaf at level 1
      {good_ + std::string(512, '\0'), "belongs to nothing"},
      {unordered, "out of order"},
      {good_.substr(0, 1000), "shorter than a header"},
      {"SISX" + good_.substr(4), "magic"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Sound(c.bytes, &err)) << c.why;
    EXPECT_NE(err.find(c.why), std::string::npos) << err;
  }
}

TEST_F(IsiReaderTest, DecodesTheOtherByteOrder) {
  std::string foreign = isir::SwapByteOrder(good_);
  isir::IsiReader a, b;
  ASSERT_TRUE(a.Load(good_) && b.Load(foreign));
  EXPECT_FALSE(a.header().bigEndian);
  EXPECT_TRUE(b.header().bigEndian);
  std::vector<isir::Entry> ea, eb;
  ASSERT_TRUE(a.Walk(&ea) && b.Walk(&eb));
  ASSERT_EQ(ea.size(), 8u);
  ASSERT_EQ(eb.size(), 8u);
  for (size_t i = 0; i < ea.size(); ++i) {
    EXPECT_EQ(ea[i].key, eb[i].key);
    EXPECT_EQ(ea[i].recPos, eb[i].recPos);
    EXPECT_EQ(ea[i].child, eb[i].child);
  }
  EXPECT_EQ(isir::SwapByteOrder(foreign), good_);
}

}  // namespace
}  // namespace isitest
