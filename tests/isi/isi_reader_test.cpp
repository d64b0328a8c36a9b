// The test reader itself: it must notice the damage it is there to catch.
#include "isi/byte_order.h"
#include "isi_fixture.h"

namespace isitest {
namespace {

class IsiReaderTest : public IsiFixture {
 protected:
  void SetUp() override {
    IsiFixture::SetUp();
    cd()->maxFillPct = 10;  // two entries per sector: root K2, K5; leaves at 4, 5, 6
    Begin(10);
    AddNumbered(8);
    ASSERT_EQ(IsiBuildFinish(), kOk);
    good_ = IsiBytes();
  }
  bool Sound(const std::string& bytes, std::string* err) {
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
  EXPECT_FALSE(Sound(Patched(1024 + 24 + 4, 4), &err));  // two entries share a child
  EXPECT_NE(err.find("twice"), std::string::npos) << err;
  EXPECT_FALSE(Sound(Patched(4 * 512 + 504, 1 << 16), &err));  // a leaf at level 1
  EXPECT_FALSE(Sound(good_ + std::string(512, '\0'), &err));   // a sector of nothing
  EXPECT_NE(err.find("belongs to nothing"), std::string::npos) << err;
  std::string unordered = good_;
  unordered[4 * 512 + 12 + 9] = 'Z';  // K0 sorts after K1
  EXPECT_FALSE(Sound(unordered, &err));
  EXPECT_FALSE(Sound(good_.substr(0, 1000), &err));
  EXPECT_FALSE(Sound("SISX" + good_.substr(4), &err));
}

TEST_F(IsiReaderTest, DecodesTheOtherByteOrder) {
  std::string foreign = ToOtherOrder(good_);
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
}

}  // namespace
}  // namespace isitest
