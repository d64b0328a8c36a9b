// The readers of the ISI format agree on what a sound tree is: every index
// of the table, in both byte orders, goes through compaction into a new
// file, the library's cursors and the check. A sound shape, however far
// from what the build makes, is accepted by all three (the compaction keeps
// every entry, the cursors walk all of them both ways and find them, the
// check finds no problem and names the shape in notes); damage is refused
// by all three (the compaction refuses the index, a cursor stops with
// KELISI_E_CORRUPT before it would repeat, skip or reverse an entry, the
// check reports it). Keys out of order and leaves above level 0 are damage
// to the cursors and the check, and what compaction repairs: it reads every
// entry once, sorts them again and builds a new tree.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "kelisi.h"
#include "support/crafted.h"
#include "support/model.h"
#include "support/test_util.h"

namespace {

using kt::CraftedLayout;
using kt::CraftedTree;
using kt::Put32;

struct Row {
  const char* what;
  CraftedTree tree;
  kt::CraftOptions options;
  bool damaged;
  std::optional<std::set<int>> notes;  // sound rows: the check's note kinds
  bool inChain = false;                // the damage lies in the deleted-record chain
  bool repaired = false;               // damage compaction repairs: keys out of order, leaf levels
};

kt::CraftOptions Options(bool deleted, bool recordNumbers = true,
                         std::function<void(std::string*, const CraftedLayout&)> patch = {}) {
  kt::CraftOptions o;
  o.deleted = deleted;
  o.recordNumbers = recordNumbers;
  o.patch = std::move(patch);
  return o;
}

std::vector<Row> Table() {
  const CraftedTree base = CraftedTree::TopDown(5, 3, 4, false);
  const int child0 = base.sectors[0].child[0], child1 = base.sectors[0].child[1];
  const int grand = base.sectors[child1].child[0];
  const int leaf = base.sectors[grand].child[0];  // four levels: the root's grandchild's child
  auto damage = [&](const char* what, auto patch) {
    Row r{what, base, {}, true, std::nullopt};
    r.options.patch = patch;
    return r;
  };
  auto repaired = [&](const char* what, auto patch) {
    Row r = damage(what, patch);
    r.repaired = true;
    return r;
  };
  const std::set<int> noChild = {KELISI_N_NO_CHILD};
  const std::set<int> allShapes = {KELISI_N_LEVEL_GAP, KELISI_N_NO_CHILD, KELISI_N_EMPTY,
                                   KELISI_N_UNDERFULL};
  std::vector<Row> rows = {
      {"left-leaning spine of 41 levels", CraftedTree::Spine(41, true), {}, false, noChild},
      {"right-leaning spine of 41 levels", CraftedTree::Spine(41, false), {}, false, noChild},
      {"48 levels below the root", CraftedTree::Spine(49, true), {}, false, noChild},
      {"regular tree, 3 entries a sector, a deleted-record chain", base, Options(true), false,
       std::set<int>{}},
      {"top-down tree, 3 entries a sector",
       CraftedTree::TopDown(2, 3, 6, true),
       {},
       false,
       std::set<int>{KELISI_N_LEVEL_GAP}},
      {"random tree in byte offsets", CraftedTree::Random(7, 5, 8), Options(false, false), false,
       allShapes},
      damage("a child past the end (truncated)",
             [](std::string* f, const CraftedLayout&) { f->resize(f->size() - kIsiSector); }),
      damage("a child in the header",
             [](std::string* f, const CraftedLayout& l) { Put32(f, l.At(0) + kEntryChildOfs, 1); }),
      {"a child off a sector boundary", base,
       Options(false, false,
               [](std::string* f, const CraftedLayout& l) {
                 Put32(f, l.At(0) + kEntryChildOfs, l.Pos(1) + 20);
               }),
       true, std::nullopt},
      damage("a sector named twice by its parent",
             [=](std::string* f, const CraftedLayout& l) {
               Put32(f, CraftedLayout::Entry(l.At(0), 1) + kEntryChildOfs, l.Pos(child0));
             }),
      damage("a sector reached from two parents",
             [=](std::string* f, const CraftedLayout& l) {
               Put32(f, l.At(child0) + kEntryChildOfs, l.Pos(grand));
             }),
      damage("a count that does not fit",
             [=](std::string* f, const CraftedLayout& l) { (*f)[l.At(leaf) + kKeyCountOfs] = 26; }),
      damage(
          "a child at its parent's level",
          [=](std::string* f, const CraftedLayout& l) { (*f)[l.At(child0) + kKeyLevelOfs] = 3; }),
      repaired("every level one too high: leaves above level 0",
               [](std::string* f, const CraftedLayout& l) {
                 for (size_t i = 0; i < l.sectors; ++i)
                   ++(*f)[l.At(static_cast<int>(i)) + kKeyLevelOfs];
               }),
      repaired(
          "keys stepping backwards in a sector",
          [=](std::string* f, const CraftedLayout& l) {
            size_t a = CraftedLayout::Entry(l.At(leaf), 0), b = CraftedLayout::Entry(l.At(leaf), 1);
            std::swap_ranges(f->begin() + a, f->begin() + a + kt::kCraftEntrySize, f->begin() + b);
          }),
      repaired("keys stepping backwards between sectors",
               [=](std::string* f, const CraftedLayout& l) {
                 Put32(f, l.At(0) + kEntryChildOfs, l.Pos(child1));
                 Put32(f, CraftedLayout::Entry(l.At(0), 1) + kEntryChildOfs, l.Pos(child0));
               }),
      {"49 levels below the root", CraftedTree::Spine(50, false), {}, true, std::nullopt},
      {"a deleted-record sector without its marker", base,
       Options(
           true, true,
           [](std::string* f, const CraftedLayout&) { (*f)[kIsiDdrHeadPos + kDdrMark1Ofs] = 0; }),
       true, std::nullopt, true},
      {"a deleted-record chain that loops", base,
       Options(true, true,
               [](std::string* f, const CraftedLayout&) {
                 Put32(f, kIsiDdrHeadPos + kDdrLinkOfs,
                       LoadU32(reinterpret_cast<uint8_t*>(f->data()) + kHdrDdrHeadOfs));
               }),
       true, std::nullopt, true},
  };
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    rows.push_back(
        {"random tree with empty gaps", CraftedTree::Random(seed, 5, 8), {}, false, allShapes});
  }
  return rows;
}

// kelindex in `dir`, its work files there too.
kt::RunResult RunIn(const kt::TempDir& dir, const std::vector<std::string>& args) {
  kt::RunOptions opts;
  opts.cwd = dir.path();
  opts.env = {{"TMPDIR", dir.path()}};
  return kt::RunKelindex(args, opts);
}

struct Walked {
  std::vector<uint64_t> offsets;
  int status;
};

Walked Walk(kelisi_cursor* c, bool forward) {
  Walked w;
  kelisi_entry e;
  w.status = forward ? kelisi_first(c, &e) : kelisi_last(c, &e);
  for (; w.status == KELISI_OK; w.status = forward ? kelisi_next(c, &e) : kelisi_prev(c, &e)) {
    w.offsets.push_back(e.record_offset);
  }
  return w;
}

// The library: both walks, finds and the deleted-record list. Sound: all
// entries, in order. Damaged: what the walks give before they stop is the
// start (or the end) of the entries, one after the other.
void ByTheLibrary(const kt::TempDir& dir, const Row& row, uint32_t entries) {
  kelisi* ix = nullptr;
  ASSERT_EQ(kelisi_open(dir.file("d.isi").c_str(), dir.file("d.txt").c_str(), 0, &ix), KELISI_OK);
  kelisi_cursor* c = nullptr;
  ASSERT_EQ(kelisi_cursor_open(ix, &c), KELISI_OK);
  Walked fwd = Walk(c, true), back = Walk(c, false);
  bool treeSound = !row.damaged || row.inChain;
  EXPECT_EQ(fwd.status, treeSound ? KELISI_NOTFOUND : KELISI_E_CORRUPT);
  EXPECT_EQ(back.status, treeSound ? KELISI_NOTFOUND : KELISI_E_CORRUPT);
  EXPECT_EQ(fwd.offsets.size() == entries && back.offsets.size() == entries, treeSound);
  for (size_t i = 0; i < fwd.offsets.size(); ++i) {
    ASSERT_EQ(fwd.offsets[i], i * kt::kCraftRecordSize) << "forward, entry " << i;
  }
  for (size_t i = 0; i < back.offsets.size(); ++i) {
    ASSERT_EQ(back.offsets[i], (entries - 1 - i) * kt::kCraftRecordSize) << "backward, entry " << i;
  }
  for (uint32_t k = 0; treeSound && k < entries; k += 7) {
    kelisi_entry e;
    std::string key = kt::CraftKey(k);
    ASSERT_EQ(kelisi_find(c, key.data(), key.size(), &e), KELISI_OK) << key;
    EXPECT_EQ(e.record_offset, k * kt::kCraftRecordSize);
  }
  size_t n = 0;
  EXPECT_EQ(kelisi_deleted(ix, nullptr, 0, &n) == KELISI_E_CORRUPT, row.inChain);
  kelisi_cursor_close(c);
  kelisi_close(ix);
}

void ByTheCheck(const kt::TempDir& dir, const Row& row) {
  struct Seen {
    std::set<int> notes;
    std::string problems;
  } seen;
  auto report = [](void* ctx, const kelisi_problem* p) {
    Seen& s = *static_cast<Seen*>(ctx);
    if (KELISI_IS_NOTE(p->kind)) {
      EXPECT_NE(p->sector, KELISI_NO_SECTOR) << p->message;  // the first sector of its kind
      s.notes.insert(p->kind);
    } else {
      s.problems += std::string(p->message) + "\n";
    }
    return 0;
  };
  kelisi* ix = nullptr;
  ASSERT_EQ(kelisi_open(dir.file("d.isi").c_str(), dir.file("d.txt").c_str(), 0, &ix), KELISI_OK);
  kelisi_check_counts counts;
  int n = kelisi_check_with_counts(ix, KELISI_CHECK_RECORDS, report, &seen, &counts);
  kelisi_close(ix);
  ASSERT_GE(n, 0) << kelisi_strerror(n);
  EXPECT_EQ(n > 0, row.damaged) << seen.problems;
  if (!row.damaged) {
    EXPECT_TRUE(counts.data_compared) << counts.note;
    if (row.notes) {
      EXPECT_EQ(seen.notes, *row.notes);
    }
  }
}

void ByCompaction(const kt::TempDir& dir, const Row& row, uint32_t entries) {
  kt::RunResult run = RunIn(dir, {"d.isi,n.isi", "-c"});
  if (row.damaged && !row.repaired) {
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("Damaged ISI structure found in file named:  d.isi."), std::string::npos)
        << run.out;
    EXPECT_FALSE(dir.exists("n.isi"));
    return;
  }
  ASSERT_EQ(run.exitCode, 0) << run.out;
  kt::Index fresh = kt::ReadIndex(dir.file("n.isi"), dir.file("d.txt"));
  EXPECT_EQ(fresh.error, "");
  EXPECT_TRUE(fresh.problems.empty()) << fresh.problems[0];
  ASSERT_EQ(fresh.entries.size(), entries);
  for (uint32_t k = 0; k < entries; ++k) EXPECT_EQ(fresh.entries[k].key, kt::CraftKey(k));
}

TEST(Agreement, SoundShapesAreReadByAllDamageRefusedByAll) {
  for (Row& row : Table()) {
    for (bool swapped : {false, true}) {
      SCOPED_TRACE(std::string(row.what) + (swapped ? ", other byte order" : ""));
      row.options.swapped = swapped;
      kt::Crafted crafted = kt::Craft(row.tree, row.options);
      kt::TempDir dir;
      dir.write("d.isi", crafted.isi);
      dir.write("d.txt", crafted.data);
      uint32_t entries = static_cast<uint32_t>(crafted.data.size() / kt::kCraftRecordSize -
                                               (row.options.deleted ? 2 : 0));
      ByTheLibrary(dir, row, entries);
      ByTheCheck(dir, row);
      ByCompaction(dir, row, entries);
    }
  }
}

// The tree sectors of an index from the root on (the header is the
// writer's), in native order.
std::string NativeTree(std::string isi, bool swapped) {
  for (size_t at = kIsiRootPos; swapped && at + kIsiSector <= isi.size(); at += kIsiSector) {
    if (at != kIsiDdrHeadPos) {
      IsiXlatKeySector(reinterpret_cast<uint8_t*>(isi.data() + at), kt::kCraftEntrySize);
    }
  }
  return isi.substr(kIsiRootPos);
}

// Keys out of order all over, equal keys among them, and enough entries for
// many sort trains: compaction, in place and into a new file, gives the
// entries and the tree that a build over the same data gives, byte for byte.
TEST(Agreement, KeysOutOfOrderCompactToTheTreeOfABuild) {
  struct Shape {
    const char* what;
    CraftedTree tree;
    uint32_t repeat;
    bool recordNumbers;
  };
  const Shape shapes[] = {
      {"three levels, three records a key", CraftedTree::TopDown(3, 20, 3, false), 3, true},
      {"random tree in byte offsets", CraftedTree::Random(5, 4, 25), 1, false},
  };
  const std::vector<std::string> smallMemory = {"-m524288", "-m262144", "-m131072", "-m65536",
                                                "-m32768",  "-m16384",  "-m8192"};
  for (const Shape& shape : shapes) {
    for (bool swapped : {false, true}) {
      for (bool inPlace : {false, true}) {
        SCOPED_TRACE(std::string(shape.what) + (swapped ? ", other byte order" : "") +
                     (inPlace ? ", in place" : ", into a new file"));
        kt::CraftOptions o = Options(false, shape.recordNumbers);
        o.repeat = shape.repeat;
        o.shuffle = 7;
        o.swapped = swapped;
        kt::Crafted crafted = kt::Craft(shape.tree, o);
        kt::TempDir dir;
        dir.write("d.isi", crafted.isi);
        dir.write("d.txt", crafted.data);
        kt::Data data;
        for (size_t at = 0; at < crafted.data.size(); at += kt::kCraftRecordSize) {
          data.Rec(crafted.data.substr(at, kt::kCraftRecordSize - 1));
        }
        std::vector<std::string> args = smallMemory;
        args.insert(args.end(), {inPlace ? "d.isi" : "d.isi,n.isi", "-c"});
        kt::RunResult run = RunIn(dir, args);
        ASSERT_EQ(run.exitCode, 0) << run.out;
        const std::string result = dir.file(inPlace ? "d.isi" : "n.isi");
        // The line end after the progress of the trains: more than one.
        EXPECT_NE(run.out.find(result.substr(dir.path().size() + 1) + "\n\n"), std::string::npos)
            << run.out;
        ASSERT_EQ(RunIn(dir, {"d.txt,b.isi", shape.recordNumbers ? "-1-6" : "-v,1-6"}).exitCode, 0);
        kt::Index fresh = kt::ReadIndex(result, dir.file("d.txt"));
        EXPECT_EQ(fresh.error, "");
        EXPECT_TRUE(fresh.problems.empty()) << fresh.problems[0];
        std::vector<kt::Entry> want = kt::Expected(data, {{1, 6}});
        EXPECT_EQ(fresh.entries, want) << kt::DiffEntries(fresh.entries, want);
        EXPECT_TRUE(NativeTree(kt::ReadFileBytes(result), swapped) ==
                    NativeTree(kt::ReadFileBytes(dir.file("b.isi")), false));
      }
    }
  }
}

}  // namespace
