// Damaged indexes: an ISI built by kelindex with bytes patched to each kind
// of damage a reader must not trust. Compaction, in place and into a new
// file, refuses every one with "Damaged ISI structure found in file named:
// <name>." and status 1 before it writes anything: the file stays as it
// was, no backup and no new file remain.
//
// Index information (-i) and reindex (-r) read only the header: they refuse
// a key length the format cannot have, and pass over damage in the tree,
// which -r repairs by building the index anew from the data file.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/isi_reader.h"
#include "support/isi_writer.h"
#include "support/keyed_data.h"
#include "support/test_util.h"

namespace {

using isiw::Put16;
using isiw::Put32;

constexpr const char* kDamaged = "Damaged ISI structure found in file named:  d.ISI.\n";
constexpr uint32_t kCountOfs = 500, kLevelOfs = 506, kRightOfs = 508, kChildOfs = 4;

// The built index and what its tree looks like, for the patches to aim at.
struct Index {
  std::string bytes;
  std::vector<isir::KeySector> sectors;  // parents before children
  uint32_t entrySize = 0;

  const isir::KeySector& WithLevel(uint16_t level) const {
    for (const isir::KeySector& s : sectors) {
      if (s.level == level && s.pos != 2) return s;
    }
    throw std::runtime_error("no such sector");
  }
  size_t Ofs(uint32_t sectorNumber) const { return size_t{sectorNumber} * 512; }
};

using Patch = std::function<void(const Index&, std::string*)>;

struct DamageCase {
  const char* name;
  Patch patch;
  bool headerDamage;  // -i and -r refuse it too
};

void PrintTo(const DamageCase& c, std::ostream* os) {
  *os << c.name;
}

// A chain of 50 key sectors behind the file's end, each the only child of
// the one before, levels falling from 49 to 0: 50 levels below the root,
// more than the walk's path of 48 holds.
void MakeTreeTooDeep(const Index& ix, std::string* b) {
  auto next = static_cast<uint32_t>(b->size() / 512);
  std::string root = b->substr(1024, 512);
  Put16(b, 1024 + kLevelOfs, 50);
  (*b)[1024 + kCountOfs] = 0;
  Put32(b, 1024 + kRightOfs, next);
  for (int level = 49; level >= 0; --level, ++next) {
    std::string s(512, '\0');
    Put16(&s, kLevelOfs, static_cast<uint16_t>(level));
    if (level > 0) {
      Put32(&s, kRightOfs, next + 1);
    } else {
      s.replace(0, ix.entrySize, root.substr(0, ix.entrySize));
      Put32(&s, kChildOfs, 0);
      s[kCountOfs] = 1;
    }
    *b += s;
  }
}

const DamageCase kCases[] = {
    {"RootCountAboveWhatFits",
     [](const Index& ix, std::string* b) {
       (*b)[1024 + kCountOfs] = static_cast<char>(500 / ix.entrySize + 1);
     },
     false},
    {"LeafCountAboveWhatFits",
     [](const Index& ix, std::string* b) {
       (*b)[ix.Ofs(ix.WithLevel(0).pos) + kCountOfs] = '\xFF';
     },
     false},
    {"ChildOutsideTheFile",
     [](const Index& ix, std::string* b) {
       Put32(b, ix.Ofs(ix.WithLevel(1).pos) + kChildOfs, 0x7777);
     },
     false},
    {"RightChildOffASectorOfTheFront",
     [](const Index&, std::string* b) { Put32(b, 1024 + kRightOfs, 1); }, false},
    {"DdrLinkOutsideTheFile", [](const Index&, std::string* b) { Put32(b, 1536 + 504, 0x7777); },
     false},
    {"DdrHeadOutsideTheFile",
     [](const Index&, std::string* b) {
       b->replace(1536, 512, std::string(512, '\0'));  // no head sector: the header names it
       Put32(b, 16, 0x7777);
     },
     false},
    {"DdrChainLinkedToItself", [](const Index&, std::string* b) { Put32(b, 4 * 512 + 504, 4); },
     false},
    {"TreeDeeperThan48Levels", MakeTreeTooDeep, false},
    {"ChildIsItsOwnParent",
     [](const Index& ix, std::string* b) {
       const isir::KeySector& s = ix.WithLevel(1);
       Put32(b, ix.Ofs(s.pos) + kChildOfs, s.pos);
     },
     false},
    {"LevelNotFallingTowardTheLeaves",
     [](const Index& ix, std::string* b) { Put16(b, ix.Ofs(ix.WithLevel(0).pos) + kLevelOfs, 1); },
     false},
    {"LeafWithAChild",
     [](const Index& ix, std::string* b) {
       Put32(b, ix.Ofs(ix.WithLevel(0).pos) + kRightOfs, ix.WithLevel(1).pos);
     },
     false},
    {"AddressingNotMatchingTheRecordFormat", [](const Index&, std::string* b) { (*b)[7] = 0; },
     false},
    {"RootPositionElsewhere", [](const Index&, std::string* b) { Put32(b, 20, 5); }, false},
    {"KeyLengthZero", [](const Index&, std::string* b) { Put16(b, 10, 0); }, true},
    {"KeyLengthAbove150", [](const Index&, std::string* b) { Put16(b, 10, 151); }, true},
};

class DamagedIsiTest : public ::testing::TestWithParam<DamageCase> {
 protected:
  static void SetUpTestSuite() {
    // 400 keys of 20 bytes: 15 to a sector, three levels; 200 deleted
    // records: a full DDR sector at sector 4 and the head at 1536.
    data_ = new kt::KeyedData(kt::MakeKeyedData(600, 20, 3, 99));
    kt::TempDir dir;
    dir.write("d.txt", data_->bytes);
    kt::RunOptions opts;
    opts.cwd = dir.path();
    ASSERT_EQ(kt::RunKelindex({"d.txt", "-1-20"}, opts).exitCode, 0);
    built_ = new Index;
    built_->bytes = dir.read("d.ISI");
    isir::IsiReader isi;
    std::string err;
    ASSERT_TRUE(isi.Load(built_->bytes, &err)) << err;
    ASSERT_TRUE(isi.TreeSectors(&built_->sectors, &err)) << err;
    built_->entrySize = isi.header().entrySize();
    ASSERT_EQ(isi.header().ddrHead, 3u);
  }
  static void TearDownTestSuite() {
    delete data_;
    delete built_;
  }

  void SetUp() override {
    damaged_ = built_->bytes;
    GetParam().patch(*built_, &damaged_);
    ASSERT_NE(damaged_, built_->bytes);
    dir_.write("d.txt", data_->bytes);
    dir_.write("d.ISI", damaged_);
  }

  kt::RunResult Run(const std::vector<std::string>& args) {
    kt::RunOptions opts;
    opts.cwd = dir_.path();
    opts.env = {{"TMPDIR", dir_.path()}};
    return kt::RunKelindex(args, opts);
  }

  void ExpectRefusedUntouched(const kt::RunResult& r) {
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find(kDamaged), std::string::npos) << r.out;
    EXPECT_TRUE(dir_.read("d.ISI") == damaged_);
    EXPECT_EQ(dir_.list(), (std::vector<std::string>{"d.ISI", "d.txt"}));
  }

  static kt::KeyedData* data_;
  static Index* built_;
  kt::TempDir dir_;
  std::string damaged_;
};

kt::KeyedData* DamagedIsiTest::data_ = nullptr;
Index* DamagedIsiTest::built_ = nullptr;

TEST_P(DamagedIsiTest, CompactionRefusesInPlaceOrIntoANewFileAndLeavesTheFile) {
  ExpectRefusedUntouched(Run({"d.ISI", "-c"}));
  ExpectRefusedUntouched(Run({"d.ISI,n.ISI", "-c"}));
}

TEST_P(DamagedIsiTest, InformationAndReindexReadOnlyTheHeader) {
  kt::RunResult info = Run({"d.ISI", "-i"});
  kt::RunResult rebuilt = Run({"d.ISI", "-r"});
  if (GetParam().headerDamage) {
    ExpectRefusedUntouched(info);
    ExpectRefusedUntouched(rebuilt);
  } else {
    EXPECT_EQ(info.exitCode, 0) << info.out;
    EXPECT_NE(info.out.find("\nkelindex d.txt,,-1-20\n"), std::string::npos) << info.out;
    EXPECT_EQ(rebuilt.exitCode, 0) << rebuilt.out;
    EXPECT_EQ(kt::CheckIndexOf(*data_, dir_.file("d.ISI")), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedIsiTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DamageCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
