// The deleted-record chain of a built index: the head sector at 1536, full
// sectors behind the front, their links and markers, the positions as
// record numbers, and option w, which keeps no chain but still counts.
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

struct DdrWant {
  uint32_t pos, link;
  size_t first, count;  // a run of the deleted records, in file order
};

struct DdrCase {
  const char* what;
  int deleted;                 // deleted records, one after each of the first live ones
  int live;                    // live records
  std::string opts;            // options before the key specification
  std::vector<DdrWant> chain;  // newest first
  size_t fileSectors;
};

class BuildDdrTest : public E2eTest {
 protected:
  // Live records of 11 bytes (10 + LF) with keys out of order; the deleted
  // ones spread among them, a live record last so that the record length is
  // measured from it.
  static DataFile Data(int live, int deleted) {
    DataFile d;
    for (int i = 0; i < live || i < deleted; ++i) {
      if (i < live) {
        char body[16];
        snprintf(body, sizeof body, "r%09d", (i * 7919) % 1000);
        d.Rec(body);
      }
      if (i < deleted) d.Deleted(11);
    }
    d.Rec("zzzzzzzzzz");
    return d;
  }
};

TEST_F(BuildDdrTest, ChainsForEachCount) {
  const std::vector<DdrCase> cases = {
      {"126 fit the head sector", 126, 1, "-", {{3, 0xFFFFFFFF, 0, 126}}, 4},
      {"127 spill one full sector", 127, 1, "-", {{3, 4, 126, 1}, {4, 0xFFFFFFFF, 0, 126}}, 5},
      {"300 among 300 live keys",
       300,
       300,
       "-",
       {{3, 5, 252, 48}, {5, 4, 126, 126}, {4, 0xFFFFFFFF, 0, 126}},
       0},
      {"w keeps none", 127, 1, "-w", {}, 4},
  };
  for (const DdrCase& c : cases) {
    SCOPED_TRACE(c.what);
    DataFile d = Data(c.live, c.deleted);
    dir.write("d.txt", d.bytes());
    isir::IsiReader isi;
    kt::RunResult r;
    ASSERT_TRUE(BuildAndLoad({"d.txt,d.isi", c.opts + "1-10"}, "d.isi", &isi, &r));
    EXPECT_EQ(Messages(r), "Indexing d.txt into d.isi\n" + std::to_string(c.live + 1) +
                               " records, " + std::to_string(c.deleted) +
                               " deleted entries\n<time>\n");
    const isir::Header& h = isi.header();
    EXPECT_EQ(h.deletedCount, static_cast<uint32_t>(c.deleted));
    EXPECT_EQ(h.dataLength, static_cast<uint32_t>(c.live + c.deleted + 1));
    EXPECT_EQ(h.ddrHead, c.chain.empty() ? 0xFFFFFFFFu : c.chain[0].pos);
    std::vector<isir::DdrSector> chain;
    ASSERT_TRUE(isi.DdrChain(&chain));
    ASSERT_EQ(chain.size(), c.chain.size());
    for (size_t i = 0; i < chain.size(); ++i) {
      const DdrWant& w = c.chain[i];
      EXPECT_EQ(chain[i].pos, w.pos);
      EXPECT_EQ(chain[i].link, w.link);
      EXPECT_EQ(chain[i].mark1, 0xF9);
      EXPECT_EQ(chain[i].mark2, 0xFD);
      std::vector<uint32_t> want;
      for (size_t k = w.first; k < w.first + w.count; ++k) {
        want.push_back(static_cast<uint32_t>(d.deleted()[k] / 11));
      }
      EXPECT_EQ(chain[i].positions, want) << "sector " << w.pos;
    }
    if (c.chain.empty()) {
      EXPECT_EQ(isi.bytes().substr(1536, 512), std::string(512, '\0'));
    }
    if (c.fileSectors != 0) {
      EXPECT_EQ(isi.bytes().size(), c.fileSectors * 512);
    }
    EXPECT_TRUE(SameEntries(Walk(isi), ExpectedEntries(d, {{1, 10}}, 11)));
  }
}

TEST_F(BuildDdrTest, BinaryRecordsAllZeroAreDeleted) {
  // A record that only starts with zeros is data; one of 16 zeros is not.
  DataFile d("");
  d.Rec("bbbbbbbbbbbbbbbb").Deleted(16).Rec(std::string(4, '\0') + "aaaaaaaaaaaa");
  d.Deleted(16).Deleted(16).Rec("cccccccccccccccc");
  dir.write("d.bin", d.bytes());
  isir::IsiReader isi;
  ASSERT_TRUE(BuildAndLoad({"d.bin,d.isi,l16", "-f5-16"}, "d.isi", &isi));
  std::vector<isir::DdrSector> chain;
  ASSERT_TRUE(isi.DdrChain(&chain));
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].pos, 3u);
  EXPECT_EQ(chain[0].positions, (std::vector<uint32_t>{1, 3, 4}));
  EXPECT_EQ(isi.header().deletedCount, 3u);
  EXPECT_TRUE(SameEntries(Walk(isi), ExpectedEntries(d, {{5, 16}}, 16)));
}

}  // namespace
}  // namespace e2e
