// The index's definition as the library reads it from the stored command
// line, held against a rebuild. A table of command lines, each read by the
// program (the index it builds: header flags, tests, entries) and by the
// library (which records a change gives entries to), against expectations
// written out here; then changes through the library on indexes of every
// kind of selection and option, each commit followed by a rebuild of a copy
// (kelindex ISI -r), which must hold the same (key, offset, size) entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/isi_format.h"
#include "kelisi.h"
#include "support/crafted.h"
#include "support/model.h"
#include "support/test_util.h"

namespace {

// 14 bytes: a 6-byte key, a word, a flag in column 14 (1-based).
std::string Rec(const std::string& key, const std::string& word, char flag) {
  std::string r = key + " " + word;
  r.resize(13, ' ');
  return r + flag;
}

// The entries as sets: (key, offset, size), in that order.
std::vector<kt::Entry> Set(std::vector<kt::Entry> list) {
  for (kt::Entry& e : list) e.dup = 0;
  std::sort(list.begin(), list.end(), [](const kt::Entry& a, const kt::Entry& b) {
    return a.key != b.key ? a.key < b.key : a.offset < b.offset;
  });
  return list;
}

// A rebuild of a copy of the index and its data, in a directory of its own.
std::vector<kt::Entry> Rebuilt(const kt::TempDir& dir) {
  kt::TempDir copy;
  copy.write("d.txt", dir.read("d.txt"));
  copy.write("d.isi", dir.read("d.isi"));
  kt::RunResult r = kt::RunKelindex({"d.isi", "-r"}, copy.path());
  EXPECT_EQ(r.exitCode, 0) << r.out;
  kt::Index ix = kt::ReadIndex(copy.file("d.isi"), copy.file("d.txt"));
  EXPECT_EQ(ix.error, "");
  return Set(ix.entries);
}

struct Row {
  const char* what;
  std::string command;  // the options and key specifications
  std::string data;     // the data file
  // Each change: the records it inserts and the byte offsets it deletes.
  std::vector<std::pair<std::vector<std::string>, std::vector<uint64_t>>> changes;
  bool otherOrder = false;
};

std::string Lines(const std::vector<std::string>& records, const std::string& eor = "\n") {
  std::string s;
  for (const std::string& r : records) s += r + eor;
  return s;
}

std::vector<Row> Rows() {
  const std::string base = Lines({Rec("K00001", "one", 'A'), Rec("K00002", "two", 'B'),
                                  Rec("K00001", "again", 'A'), Rec("k00003", "low", 'A')});
  const std::vector<std::string> mixed = {Rec("K00004", "four", 'A'), Rec("K00002", "dup", 'B'),
                                          Rec("K00001", "more", 'A'), Rec("k00005", "x", 'C')};
  std::vector<Row> rows = {
      {"a simple test", "-p14=A,1-6", base, {{mixed, {}}, {{}, {0}}}},
      {"the same test twice on one column: nothing is selected",
       "-p14=A,p14=A,1-6",
       base,
       {{mixed, {}}}},
      {"two tests on one column", "-p14#B,p14#C,1-6", base, {{mixed, {15}}}},
      {"an extended expression",
       "-p=\"14='A'|8N>'5'\",1-6",
       base + Lines({Rec("K00009", "7", 'B')}),
       {{mixed, {}}, {{Rec("K00010", "9", 'Z')}, {15}}}},
      {"an extended expression, then a simple test", "-p=\"1='K'\",p14#B,1-6", base, {{mixed, {}}}},
      {"an extended expression negated", "-p#\"14='A'\",1-6", base, {{mixed, {}}}},
      {"n0 in upper case, a later record of a key and the kept one deleted",
       "-N0,1-6",
       base,
       {{mixed, {}}, {{}, {0}}, {{Rec("K00001", "last", 'A')}, {}}}},
      {"n$ behind the ; marker", "d.txt,d.isi;n$,1-6", base, {{mixed, {0}}}},
      {"n0 undone by d for the header only", "-n0,d,1-6", base, {{mixed, {}}}},
      {"u", "-u,1-6", base, {{mixed, {15}}}},
      {"s: tabs stand for blanks",
       "-s,1-6,9-12",
       Lines({"K0\t01 ab", "K00002 x\tcd"}),
       {{{"K0\t03\tzz", "K00001 w\tq"}, {}}}},
      {"b and s: tabs are bytes",
       "-b,s,1-6,9-12",
       Lines({"K0\t01 ab", "K00002 x\tcd"}),
       {{{"K0\t03\tzz", "K00001 w\tq"}, {0}}}},
      {"a lone CR",
       "-1-6",
       Lines({Rec("K00001", "one", 'A'), Rec("K00002", "two", 'B')}, "\r"),
       {{mixed, {14}}}},
      {"CR LF and an expression",
       "-p=\"14='A'\",1-6",
       Lines({Rec("K00001", "one", 'A'), Rec("K00002", "two", 'B')}, "\r\n"),
       {{mixed, {}}}},
      {"the last record without its line end",
       "-1-6",
       base.substr(0, base.size() - 1),
       {{mixed, {}}}},
      {"the last record without its line end, its last bytes zeros",
       "-v,1-6",
       base + "K00009" + std::string(3, '\0'),
       {{mixed, {}}}},
      {"an end-of-file mark closing the data", "-v,1-6", base + "\x1A", {{mixed, {}}}},
      {"v", "-v,p14=A,1-6", base, {{{"K00007 a   A", "K7"}, {15}}}},
      {"binary with its marks", "-g=14,1-6", base, {{mixed, {}}}},
      {"the other byte order", "-p14=A,1-6", base, {{mixed, {0}}}, true},
  };
  return rows;
}

// What a command line makes of an index, written out: the header the
// program builds (byte 6, the tests, the mark of an extended selection in
// byte 103) and what the library reads from the line it stores (its
// tests, the expression, the key a record carries, what an insert gives).
TEST(Definition, TheProgramAndTheLibraryReadAStoredLineAlike) {
  struct Probe {
    std::string record;
    int status;  // of its insert
  };
  struct Line {
    const char* command;
    uint8_t format;         // header byte 6
    bool marked;            // byte 103 is 0xFF
    int extended;           // kelisi_header.extended_selection
    std::string tests;      // kelisi_header.tests as column, op, char; ...
    std::string keyOfTabs;  // the key of "K\t0001": a tab stands for blanks, unless b
    std::vector<Probe> probes;
  } lines[] = {
      // clang-format off
      {"-1-6", 0x80, false, 0, "", "K     ", {{Rec("K00001", "x", 'A'), KELISI_OK}}},
      {"-N0,1-6", 0x84, false, 0, "", "K     ",
       {{Rec("K00001", "x", 'A'), KELISI_NO_ENTRY}, {Rec("K00009", "x", 'A'), KELISI_OK}}},
      {"-n0,d,1-6", 0x80, false, 0, "", "K     ", {{Rec("K00001", "x", 'A'), KELISI_NO_ENTRY}}},
      {"-p=\"1='K'\",p14=A,1-6", 0xA0, false, 1, "14=A;", "K     ",
       {{Rec("K00003", "x", 'A'), KELISI_OK}, {Rec("L00003", "x", 'A'), KELISI_NO_ENTRY},
        {Rec("K00003", "x", 'B'), KELISI_NO_ENTRY}}},
      {"-p=\"1='K'\",1-6", 0xA0, true, 1, "", "K     ",
       {{Rec("K00003", "x", 'B'), KELISI_OK}, {Rec("L00003", "x", 'A'), KELISI_NO_ENTRY}}},
      {"-p14=A,p14=A,1-6", 0xA0, false, 0, "14=A;14=A;", "K     ",
       {{Rec("K00003", "x", 'A'), KELISI_NO_ENTRY}}},
      {"-p14#A,2-3,1", 0xA0, false, 0, "14#A;", "  K", {{Rec("K00003", "x", 'B'), KELISI_OK}}},
      {"-b,s,1-6", 0xAA, false, 0, "", "K\t0001", {{"K\t0001 x", KELISI_OK}}},
      {"-s,u,1-6", 0xAB, false, 0, "", "K     ", {{"k\t0001 x", KELISI_OK}}},
      // A field of an expression sees a tab as blanks up to the next tab stop.
      {"-s,p=\"1='K0      x'\",1-6", 0xAA, true, 1, "", "K     ",
       {{"K0\tx", KELISI_OK}, {"K0\ty", KELISI_NO_ENTRY}, {"K0 \tx", KELISI_OK}}},
      // clang-format on
  };
  for (const Line& l : lines) {
    SCOPED_TRACE(l.command);
    kt::TempDir dir;
    dir.write("d.txt", Lines({Rec("K00001", "one", 'A'), Rec("K00002", "two", 'B')}));
    ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", l.command}, dir.path()).exitCode, 0);
    std::string header = dir.read("d.isi").substr(0, kIsiHeaderSize);
    EXPECT_EQ(static_cast<uint8_t>(header[kHdrFormatOfs]), l.format);
    EXPECT_EQ(static_cast<uint8_t>(header[103]) == kSelExtendedMark, l.marked);
    kelisi* ix = nullptr;
    ASSERT_EQ(kelisi_open(dir.file("d.isi").c_str(), dir.file("d.txt").c_str(), KELISI_WRITE, &ix),
              KELISI_OK);
    kelisi_header h;
    ASSERT_EQ(kelisi_get_header(ix, &h), KELISI_OK);
    EXPECT_EQ(h.extended_selection, l.extended);
    std::string tests;
    for (uint32_t i = 0; i < h.test_count; ++i) {
      tests += std::to_string(h.tests[i].column) + h.tests[i].op +
               static_cast<char>(h.tests[i].ch) + ";";
    }
    EXPECT_EQ(tests, l.tests);
    std::string key(h.key_length, '\0');
    ASSERT_EQ(kelisi_record_key(ix, "K\t0001", 6, reinterpret_cast<unsigned char*>(key.data())),
              KELISI_OK);
    EXPECT_EQ(key, l.keyOfTabs);
    for (const Probe& p : l.probes) {
      kelisi_txn* t = nullptr;
      ASSERT_EQ(kelisi_txn_begin(ix, &t), KELISI_OK);
      EXPECT_EQ(kelisi_txn_insert(t, p.record.data(), p.record.size(), nullptr), p.status)
          << p.record;
      ASSERT_EQ(kelisi_txn_commit(t), KELISI_OK);
    }
    kelisi_close(ix);
  }
  // A line kelindex does not take, and an extended expression after a
  // simple test, which it refuses: the index is read by its header and
  // cannot be changed.
  kt::TempDir dir;
  dir.write("d.txt", Lines({Rec("K00001", "one", 'A')}));
  kt::RunResult refused = kt::RunKelindex({"d.txt,d.isi", "-p5=B,p=\"1='A'\",1-6"}, dir.path());
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.out.find("Invalid primary key information."), std::string::npos);
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-6"}, dir.path()).exitCode, 0);
  for (const char* stored : {"d.txt,d.isi,-1,1", "d.txt,d.isi,-p5=B,p=\"1='A'\",1-6", ""}) {
    std::string isi = dir.read("d.isi");
    std::string field(kHdrCmdLineMax + 1, '\0');
    field.replace(0, strlen(stored), stored);
    dir.write("d.isi", isi.replace(kHdrCmdLineOfs, kHdrCmdLineMax + 1, field));
    kelisi* ix = nullptr;
    ASSERT_EQ(kelisi_open(dir.file("d.isi").c_str(), dir.file("d.txt").c_str(), KELISI_WRITE, &ix),
              KELISI_OK);
    kelisi_txn* t = nullptr;
    EXPECT_EQ(kelisi_txn_begin(ix, &t), KELISI_E_DEFINITION) << stored;
    kelisi_check_counts counts;
    EXPECT_EQ(kelisi_check_with_counts(ix, KELISI_CHECK_RECORDS, nullptr, nullptr, &counts), 0);
    EXPECT_FALSE(counts.data_compared);
    EXPECT_FALSE(counts.rebuildable);
    EXPECT_NE(std::string(counts.note).find("cannot be used"), std::string::npos) << counts.note;
    kelisi_close(ix);
  }
}

TEST(Definition, ChangesGiveEntriesExactlyAsARebuild) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.what);
    kt::TempDir dir;
    dir.write("d.txt", row.data);
    std::string command =
        row.command.rfind("d.txt", 0) == 0 ? row.command : "d.txt,d.isi," + row.command;
    ASSERT_EQ(kt::RunKelindex(kt::Split(command), dir.path()).exitCode, 0) << command;
    if (row.otherOrder) {
      std::string isi = dir.read("d.isi");
      kt::ToOtherByteOrder(&isi, false, 0);
      dir.write("d.isi", isi);
    }
    EXPECT_EQ(Set(kt::ReadIndex(dir.file("d.isi")).entries), Rebuilt(dir)) << "as built";
    for (size_t c = 0; c < row.changes.size(); ++c) {
      kelisi* ix = nullptr;
      ASSERT_EQ(
          kelisi_open(dir.file("d.isi").c_str(), dir.file("d.txt").c_str(), KELISI_WRITE, &ix),
          KELISI_OK);
      kelisi_txn* t = nullptr;
      ASSERT_EQ(kelisi_txn_begin(ix, &t), KELISI_OK);
      for (const std::string& r : row.changes[c].first) {
        int st = kelisi_txn_insert(t, r.data(), r.size(), nullptr);
        EXPECT_TRUE(st == KELISI_OK || st == KELISI_NO_ENTRY) << r << ": " << kelisi_strerror(st);
      }
      for (uint64_t at : row.changes[c].second) {
        int st = kelisi_txn_delete_at(t, at);
        EXPECT_TRUE(st == KELISI_OK || st == KELISI_NOTFOUND) << at << ": " << kelisi_strerror(st);
      }
      EXPECT_EQ(kelisi_txn_commit(t), KELISI_OK);
      kelisi_close(ix);
      kt::Index now = kt::ReadIndex(dir.file("d.isi"), dir.file("d.txt"));
      EXPECT_EQ(now.error, "");
      for (const std::string& p : now.problems) {
        if (p.rfind("note: ", 0) != 0) ADD_FAILURE() << "after change " << c << ": " << p;
      }
      EXPECT_EQ(Set(now.entries), Rebuilt(dir)) << "after change " << c;
    }
  }
}

}  // namespace
