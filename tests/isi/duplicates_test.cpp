// Equal keys under the default (kept with counting sequences), n (kept,
// counted and shown), n0 (dropped and listed) and n$ (dropped quietly), and
// the exact lines of the duplicate-key error file.
#include "isi_fixture.h"

namespace isitest {
namespace {

class DuplicatesTest : public IsiFixture {
 protected:
  void AddThreeEqual() {
    ASSERT_EQ(Add("ABC", 0x10), 0);
    ASSERT_EQ(Add("ABC", 0x1F4), 0);
    ASSERT_EQ(Add("ABC", 0xABCDEF), 0);
    ASSERT_EQ(Add("ABD", 0x200), 0);
  }
  std::vector<isir::Entry> Entries() {
    std::vector<isir::Entry> entries;
    std::string err;
    isir::IsiReader isi = ReadIsi();
    EXPECT_TRUE(isi.Walk(&entries, &err)) << err;
    EXPECT_TRUE(isi.Validate(&err)) << err;
    return entries;
  }
  static std::string Line(const char* lead, const char* hex16, const std::string& key) {
    return std::string(lead) + hex16 + " Key:" + key + " \r\n";
  }
};

TEST_F(DuplicatesTest, DefaultKeepsThemWithCountingSequences) {
  OpenErrorFile();
  Begin(3);
  AddThreeEqual();
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::vector<isir::Entry> e = Entries();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].dupSeq, 0);
  EXPECT_EQ(e[1].dupSeq, 1);
  EXPECT_EQ(e[2].dupSeq, 2);
  EXPECT_EQ(e[3].dupSeq, 0);
  EXPECT_EQ(cd()->dupKeptCount, 2u);
  EXPECT_EQ(cd()->dupIgnoredCount, 0u);
  EXPECT_EQ(ErrorFile(), Line("Duplicate Key at:", "             1F4", "ABC") +
                             Line("Duplicate Key at:", "          ABCDEF", "ABC"));
  EXPECT_EQ(Messages(), "Data file has 2 duplicate key entries.\n");
  EXPECT_EQ(ReadIsi().header().formatFlags & 0x04, 0);
}

TEST_F(DuplicatesTest, OptionNAlsoShowsEachLine) {
  OpenErrorFile();
  cd()->noDups = 1;
  Begin(3);
  AddThreeEqual();
  EXPECT_EQ(
      Messages(),
      "Duplicate Key at:             1F4 Key:ABC \nDuplicate Key at:          ABCDEF Key:ABC \n");
  EXPECT_EQ(cd()->dupKeptCount, 2u);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  EXPECT_EQ(Entries().size(), 4u);
  EXPECT_EQ(ReadIsi().header().formatFlags & 0x04, 0x04);
}

TEST_F(DuplicatesTest, OptionN0DropsAndListsThem) {
  OpenErrorFile();
  cd()->noDups = 1;
  cd()->dupIgnore = 1;
  Begin(3);
  AddThreeEqual();
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::vector<isir::Entry> e = Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].recPos, 0x10u / 10);
  EXPECT_EQ(cd()->dupKeptCount, 0u);
  EXPECT_EQ(cd()->dupIgnoredCount, 2u);
  EXPECT_EQ(ErrorFile(), Line("Duplicate Key ignored at:", "             1F4", "ABC") +
                             Line("Duplicate Key ignored at:", "          ABCDEF", "ABC"));
  EXPECT_EQ(cd()->dupMsgEnd, cd()->msgBuf + 3 + 47);
}

TEST_F(DuplicatesTest, OptionNDollarDropsThemQuietly) {
  cd()->noDups = 1;
  cd()->dupIgnore = 1;
  cd()->dupQuiet = 1;
  OpenErrorFile();
  cd()->errFileOn = 0;
  Begin(3);
  AddThreeEqual();
  ASSERT_EQ(IsiBuildFinish(), kOk);
  EXPECT_EQ(Entries().size(), 2u);
  EXPECT_EQ(cd()->dupIgnoredCount, 2u);
  EXPECT_EQ(ErrorFile(), "");
  EXPECT_EQ(Messages(), "");
}

TEST_F(DuplicatesTest, PromotedDuplicateIsKeptAtTheParent) {
  OpenErrorFile();
  Begin(10);
  AddNumbered(20);  // a full leaf
  ASSERT_EQ(Add(NumKey(19, 10), 200), 0);
  EXPECT_EQ(cd()->topLevel, 1);
  ASSERT_EQ(cd()->levelTrailer[1][0], 1);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  isir::KeySector root;
  ASSERT_TRUE(ReadIsi().ReadRoot(&root));
  ASSERT_EQ(root.count, 1);
  EXPECT_EQ(root.entries[0].key, NumKey(19, 10));
  EXPECT_EQ(root.entries[0].dupSeq, 1);
  EXPECT_EQ(cd()->dupKeptCount, 1u);
  EXPECT_EQ(ErrorFile(), Line("Duplicate Key at:", "              C8", NumKey(19, 10)));
  EXPECT_EQ(Entries().size(), 21u);
}

TEST_F(DuplicatesTest, DuplicateAtAFullLeafIsDroppedThereUnderN0) {
  OpenErrorFile();
  cd()->dupIgnore = 1;
  Begin(10);
  AddNumbered(20);
  ASSERT_EQ(Add(NumKey(19, 10), 200), 0);
  EXPECT_EQ(cd()->topLevel, 0);  // nothing climbed
  EXPECT_EQ(cd()->dupIgnoredCount, 1u);
  EXPECT_EQ(ErrorFile(), Line("Duplicate Key ignored at:", "              C8", NumKey(19, 10)));
  ASSERT_EQ(Add(NumKey(20, 10), 210), 0);  // the next distinct key climbs
  EXPECT_EQ(cd()->topLevel, 1);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  EXPECT_EQ(Entries().size(), 21u);
}

TEST_F(DuplicatesTest, TheFirstKeyIsNeverADuplicate) {
  OpenErrorFile();
  Begin(4);
  ASSERT_EQ(Add(std::string(4, '\0'), 0), 0);  // equal to the zeroed predecessor buffer
  EXPECT_EQ(cd()->dupKeptCount, 0u);
  EXPECT_EQ(ErrorFile(), "");
}

TEST_F(DuplicatesTest, AKeyWithANulByteStillGivesAFullLengthLine) {
  OpenErrorFile();
  Begin(4);
  std::string key("AB\0D", 4);
  ASSERT_EQ(Add(key, 0), 0);
  ASSERT_EQ(Add(key, 0x20), 0);
  EXPECT_EQ(ErrorFile(), std::string("Duplicate Key at:              20 Key:AB") + "   " + "\r\n");
}

TEST_F(DuplicatesTest, SequenceWrapsAfter65535) {
  Begin(2);
  for (int i = 0; i < 65537; ++i) ASSERT_EQ(Add("ZZ", uint64_t(i) * 10), 0);
  ASSERT_EQ(IsiBuildFinish(), kOk);
  std::vector<isir::Entry> e;
  ASSERT_TRUE(ReadIsi().Walk(&e));
  ASSERT_EQ(e.size(), 65537u);
  EXPECT_EQ(e[65535].dupSeq, 65535);
  EXPECT_EQ(e[65536].dupSeq, 0);
}

}  // namespace
}  // namespace isitest
