// The key sectors of a built index: where each lands, its entries and its
// trailer, the fill limit, a tree of three levels in both addressing modes,
// and the index over an empty data file.
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class BuildTreeTest : public E2eTest {
 protected:
  // `n` records of 15 bytes (mark included) whose 10-byte keys arrive out of order.
  static DataFile Shuffled(int n) {
    DataFile d;
    for (int i = 0; i < n; ++i) {
      char body[32];
      snprintf(body, sizeof body, "k%09d%04d", (i * 37) % n, i);
      d.Rec(body);
    }
    return d;
  }
  // Indices first, first + 1, ... of `n` entries.
  static std::vector<size_t> Run(size_t first, size_t n) {
    std::vector<size_t> idx;
    for (size_t i = 0; i < n; ++i) idx.push_back(first + i);
    return idx;
  }
  // Checks the trailer of the sector at `pos` byte for byte and holds its
  // entries against want[idx[i]], with child children[i] (none if empty).
  static void ExpectSector(const isir::IsiReader& isi, uint32_t pos, uint16_t level,
                           uint32_t rightChild, const std::vector<isir::Entry>& want,
                           const std::vector<size_t>& idx, std::vector<uint32_t> children = {}) {
    if (children.empty()) children.assign(idx.size(), 0);
    SCOPED_TRACE("sector " + std::to_string(pos));
    isir::KeySector s;
    ASSERT_TRUE(isi.ReadKeySector(pos, &s));
    EXPECT_EQ(s.level, level);
    EXPECT_EQ(s.rightChild, rightChild);
    ASSERT_EQ(s.count, idx.size());
    std::string trailer = isi.bytes().substr(isi.ByteOffset(pos) + 501, 5);
    EXPECT_EQ(trailer, std::string(5, '\0'));
    for (size_t i = 0; i < children.size(); ++i) {
      EXPECT_EQ(s.entries[i].child, children[i]) << "entry " << i;
      EXPECT_TRUE(SameEntries({s.entries[i]}, {want[idx[i]]})) << "entry " << i;
    }
  }
};

TEST_F(BuildTreeTest, TwoLevelsSectorBySector) {
  // Entries of 24 bytes, 20 to a sector: the 21st and 42nd keys go up.
  DataFile d = Shuffled(45);
  dir.write("d.txt", d.bytes());
  isir::IsiReader isi;
  ASSERT_TRUE(BuildAndLoad({"d.txt,d.isi", "-1-10"}, "d.isi", &isi));
  std::vector<isir::Entry> want = ExpectedEntries(d, {{1, 10}}, 15);
  ASSERT_EQ(isi.bytes().size(), 7u * 512);
  EXPECT_EQ(isi.bytes().substr(1536, 512), std::string(512, '\0'));
  ExpectSector(isi, 4, 0, 0, want, Run(0, 20));
  ExpectSector(isi, 5, 0, 0, want, Run(21, 20));
  ExpectSector(isi, 6, 0, 0, want, Run(42, 3));
  ExpectSector(isi, 2, 1, 6, want, {20, 41}, {4, 5});
  EXPECT_TRUE(SameEntries(Walk(isi), want));
}

TEST_F(BuildTreeTest, FillPercentLimitsEverySector) {
  // m50 halves the 20 entries a sector holds: every 11th key goes up.
  DataFile d = Shuffled(45);
  dir.write("d.txt", d.bytes());
  isir::IsiReader isi;
  ASSERT_TRUE(BuildAndLoad({"d.txt,d.isi", "-m50,1-10"}, "d.isi", &isi));
  std::vector<isir::Entry> want = ExpectedEntries(d, {{1, 10}}, 15);
  for (uint32_t s = 0; s < 4; ++s) ExpectSector(isi, 4 + s, 0, 0, want, Run(11 * s, 10));
  ExpectSector(isi, 8, 0, 0, want, {44});
  ExpectSector(isi, 2, 1, 8, want, {10, 21, 32, 43}, {4, 5, 6, 7});
  EXPECT_EQ(isi.bytes().size(), 9u * 512);
}

TEST_F(BuildTreeTest, ThreeLevelsInBothAddressingModes) {
  // 4-byte keys: entries of 16 bytes, 31 to a sector, so 20,000 keys need
  // a root at level 2. Many keys repeat and cross sector boundaries.
  DataFile d;
  uint32_t x = 12345;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1103515245u + 12345u;
    char body[16];
    snprintf(body, sizeof body, "%04u", (x >> 16) % 9000);
    d.Rec(body);
  }
  dir.write("d.txt", d.bytes());
  for (const char* opts : {"-1-4", "-v1-4"}) {
    SCOPED_TRACE(opts);
    isir::IsiReader isi;
    ASSERT_TRUE(BuildAndLoad({"d.txt,d.isi", opts}, "d.isi", &isi));
    bool recNum = isi.header().recNum();
    EXPECT_EQ(recNum, opts[1] != 'v');
    EXPECT_TRUE(SameEntries(Walk(isi), ExpectedEntries(d, {{1, 4}}, recNum ? 5 : 0)));
    EXPECT_EQ(isi.header().recordCount, 20000u);
    isir::KeySector root;
    ASSERT_TRUE(isi.ReadRoot(&root));
    EXPECT_EQ(root.level, 2);
    std::vector<isir::KeySector> sectors;
    ASSERT_TRUE(isi.TreeSectors(&sectors));
    size_t fullLeaves = 0;
    for (const isir::KeySector& s : sectors) fullLeaves += s.level == 0 && s.count == 31;
    EXPECT_EQ(fullLeaves, 20000u / 32);  // every leaf but the last is full
  }
}

TEST_F(BuildTreeTest, SortTrainsMergeIntoOneOrder) {
  // 150-byte keys in the smallest sort memory: about 3,100 items a sub-list,
  // so three sort trains; the line that ends their progress shows blank.
  DataFile d;
  uint32_t x = 7;
  for (int i = 0; i < 7000; ++i) {
    x = x * 1103515245u + 12345u;
    d.Rec(std::string(140, 'k') + std::to_string(1000000000u + (x >> 4) % 3000u));
  }
  dir.write("d.txt", d.bytes());
  isir::IsiReader isi;
  kt::RunResult r;
  ASSERT_TRUE(BuildAndLoad({"-m524288", "d.txt,d.isi", "-1-150"}, "d.isi", &isi, &r));
  std::vector<isir::Entry> want = ExpectedEntries(d, {{1, 150}}, 151);
  EXPECT_EQ(Messages(r),
            "Max memory set to 524288.\nIndexing d.txt into d.isi\n\n"
            "7000 records, 0 deleted entries\n" +
                DupReport(want) + "<time>\n");
  EXPECT_TRUE(SameEntries(Walk(isi), want));
}

TEST_F(BuildTreeTest, SixteenLevelsAndTheCapacityWarning) {
  // m04 leaves one entry to a sector: 16 levels hold 2^16 - 1 keys, and
  // 62,300 are more than 95 percent of that.
  DataFile d;
  for (int i = 0; i < 62300; ++i) d.Rec(std::to_string(10000 + (i * 7919) % 65536));
  dir.write("d.txt", d.bytes());
  isir::IsiReader isi;
  kt::RunResult r;
  ASSERT_TRUE(BuildAndLoad({"d.txt,d.isi", "-m04,1-5"}, "d.isi", &isi, &r));
  std::vector<isir::Entry> want = ExpectedEntries(d, {{1, 5}}, 0);
  EXPECT_EQ(Messages(r),
            "Indexing d.txt into d.isi\n\n62300 records, 0 deleted entries\n"
            "Record count of (62300) is more than 95 percent of 65535 records "
            "allowed for this ISI file!\n" +
                DupReport(want) + "<time>\n");
  isir::KeySector root;
  ASSERT_TRUE(isi.ReadRoot(&root));
  EXPECT_EQ(root.level, 15);
  EXPECT_TRUE(SameEntries(Walk(isi), ExpectedEntries(d, {{1, 5}}, 6)));
}

TEST_F(BuildTreeTest, EmptyDataWithRecordLength) {
  dir.write("e.txt", "");
  isir::IsiReader isi;
  kt::RunResult r;
  ASSERT_TRUE(BuildAndLoad({"e.txt,e.isi,l20", "-1-10"}, "e.isi", &isi, &r));
  EXPECT_EQ(Messages(r), "Indexing e.txt into e.isi\n0 records, 0 deleted entries\n<time>\n");
  ASSERT_EQ(isi.bytes().size(), 2048u);
  EXPECT_EQ(isi.header().recordLength, 20);
  EXPECT_EQ(isi.header().dataLength, 0u);
  EXPECT_EQ(isi.header().recordCount, 0u);
  EXPECT_EQ(isi.header().ddrHead, 0xFFFFFFFFu);
  EXPECT_EQ(isi.bytes().substr(1024), std::string(1024, '\0'));  // empty root, no DDR
}

TEST_F(BuildTreeTest, MissingDataFileIsCreatedEmptyWithoutQ) {
  isir::IsiReader isi;
  ASSERT_TRUE(BuildAndLoad({"new.txt,new.isi,l20", "-1-10"}, "new.isi", &isi));
  EXPECT_EQ(isi.bytes().size(), 2048u);
  EXPECT_TRUE(dir.exists("new.txt"));
  EXPECT_EQ(dir.read("new.txt"), "");
}

}  // namespace
}  // namespace e2e
