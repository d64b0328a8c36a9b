// Equal keys at the edges the end-to-end tests do not reach: a duplicate
// dropped where it finds a full leaf, a first key equal to the zeroed
// predecessor, a key holding a NUL byte, and a duplicate sequence that wraps.
#include "isi_fixture.h"

namespace isitest {
namespace {

class DuplicatesTest : public IsiFixture {};

// Under n0 a duplicate that finds its leaf full is dropped there: nothing
// climbs until the next distinct key.
TEST_F(DuplicatesTest, DuplicateAtAFullLeafIsDroppedThereUnderN0) {
  OpenErrorFile();
  cd()->dupIgnore = 1;
  Begin(10);
  AddNumbered(20);
  ASSERT_EQ(Add(NumKey(19, 10), 200), 0);
  EXPECT_EQ(cd()->topLevel, 0);
  EXPECT_EQ(cd()->dupIgnoredCount, 1u);
  EXPECT_EQ(ErrorFile(),
            "Duplicate Key ignored at:              C8 Key:" + NumKey(19, 10) + " \r\n");
  ASSERT_EQ(Add(NumKey(20, 10), 210), 0);
  EXPECT_EQ(cd()->topLevel, 1);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::vector<isir::Entry> e;
  ASSERT_TRUE(ReadIsi().Walk(&e));
  EXPECT_EQ(e.size(), 21u);
}

TEST_F(DuplicatesTest, FirstKeyIsNeverADuplicateAndANulByteKeepsTheLineWhole) {
  OpenErrorFile();
  Begin(4);
  ASSERT_EQ(Add(std::string(4, '\0'), 0), 0);  // equal to the zeroed predecessor buffer
  EXPECT_EQ(cd()->dupKeptCount, 0u);
  EXPECT_EQ(ErrorFile(), "");
  std::string key("AB\0D", 4);
  ASSERT_EQ(Add(key, 0x10), 0);
  ASSERT_EQ(Add(key, 0x20), 0);
  EXPECT_EQ(ErrorFile(), std::string("Duplicate Key at:              20 Key:AB") + "   " + "\r\n");
}

TEST_F(DuplicatesTest, SequenceWrapsAfter65535) {
  Begin(2);
  for (int i = 0; i < 65537; ++i) ASSERT_EQ(Add("ZZ", uint64_t(i) * 10), 0);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::vector<isir::Entry> e;
  ASSERT_TRUE(ReadIsi(false).Walk(&e));
  ASSERT_EQ(e.size(), 65537u);
  EXPECT_EQ(e[65535].dupSeq, 65535);
  EXPECT_EQ(e[65536].dupSeq, 0);
}

}  // namespace
}  // namespace isitest
