// kelisi end to end: indexes built by kelindex, each subcommand run on them
// with its exit status and exact lines, and the data check on sound indexes
// of several forms and on indexes whose data or tree was changed after the
// build.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "core/lock_protocol.h"
#include "kel_version.h"
#include "kelisi.h"
#include "support/crafted.h"
#include "support/test_util.h"

namespace {

// 11 bytes and LF: a 2-byte key, a word, a flag in column 11.
std::string Rec(const std::string& key, const std::string& word, char flag) {
  std::string r = key + " " + word;
  r.resize(10, ' ');
  return r + flag + "\n";
}

class KelisiCli : public ::testing::Test {
 protected:
  void SetUp() override {
    fixed_ = Rec("B2", "bravo", 'X') + Rec("A1", "alpha", 'Y') + std::string(12, '\0') +
             Rec("C3", "charlie", 'X') + Rec("A1", "again", 'X') + Rec("D4", "delta", 'Y');
    dir_.write("d.txt", fixed_);
    Build({"d.txt,d.isi", "-1-2"});
    // One binary record whose key needs every kind of JSON escape.
    dir_.write("b.bin", "\"\\\xE9\x01!");
    Build({"b.bin,b.isi", "-f=5,1-4"});
  }
  void Build(const std::vector<std::string>& args) {
    ASSERT_EQ(kt::RunKelindex(args, dir_.path()).exitCode, 0) << args[0] << " " << args[1];
  }
  kt::RunResult Kelisi(const std::vector<std::string>& args) {
    return kt::RunKelisi(args, dir_.path());
  }
  // Runs `kelisi check isi data`: its exit status and its lines but the
  // cure and the summary.
  std::pair<int, std::string> Problems(const std::string& isi, const std::string& data) {
    kt::RunResult r = Kelisi({"check", isi, data});
    EXPECT_EQ(r.err, "");
    std::string lines = r.out.substr(0, r.out.rfind('\n', r.out.size() - 2) + 1);
    size_t cure = lines.find("cure: ");
    return {r.exitCode, cure != std::string::npos ? lines.substr(0, cure) : lines};
  }
  kt::TempDir dir_;
  std::string fixed_;
};

TEST_F(KelisiCli, SubcommandsGiveTheirExactLinesAndStatus) {
  struct Case {
    const char* command;  // the arguments, split at blanks
    int code;
    std::string out, err;
  } cases[] = {
      {"dump d.isi", 0,
       "A1\t12\t12\t0\nA1\t48\t12\t1\nB2\t0\t12\t0\nC3\t36\t12\t0\nD4\t60\t12\t0\n", ""},
      {"find d.isi A1 --data d.txt", 0, "A1\t12\t12\t0\tA1 alpha  Y\nA1\t48\t12\t1\tA1 again  X\n",
       ""},
      {"find d.isi C --prefix", 0, "C3\t36\t12\t0\n", ""},
      {"find d.isi \\x43\\x33", 0, "C3\t36\t12\t0\n", ""},
      {"find d.isi C",  // padded to "C ": no such key, and a hint
       1, "",
       "kelisi: find: no key is C padded with blanks to the key length (2 bytes); --prefix "
       "finds the keys that begin with it\n"},
      {"find d.isi Q9", 1, "", ""},
      {"find d.isi A1 --json --data d.txt", 0,
       "{\"key\": \"A1\", \"offset\": 12, \"size\": 12, \"dup_seq\": 0, \"record\": \"A1 alpha  "
       "Y\"}\n"
       "{\"key\": \"A1\", \"offset\": 48, \"size\": 12, \"dup_seq\": 1, \"record\": \"A1 again  "
       "X\"}\n",
       ""},
      {"dump b.isi --json", 0,
       "{\"key\": \"\\\"\\\\\u00e9\\u0001\", \"offset\": 0, \"size\": 5, \"dup_seq\": 0}\n", ""},
      {"count d.isi", 0, "5\n", ""},
      {"count d.isi A1", 0, "2\n", ""},
      {"count d.isi B C", 0, "2\n", ""},
      {"count d.isi A --prefix", 0, "2\n", ""},
      {"count d.isi C", 1, "0\n",
       "kelisi: count: no key is C padded with blanks to the key length (2 bytes); --prefix "
       "finds the keys that begin with it\n"},
      {"count d.isi A B --prefix", 1, "",
       "kelisi: count: --prefix goes with one key, not with a range (kelisi count --help)\n"},
      {"check d.isi .", 1, "", "kelisi: check: cannot read the data file .\n"},
      {"--version", 0, "kelisi " KEL_VERSION "\n", ""},
      {"find d.isi \\xZZ", 1, "",
       "kelisi: find: a backslash must be followed by \\, t or xNN: \\xZZ\n"},
      {"find d.isi ABC", 1, "",
       "kelisi: find: the key ABC is longer than the keys of d.isi (2 bytes)\n"},
      {"range d.isi B C", 0, "B2\t0\t12\t0\nC3\t36\t12\t0\n", ""},
      {"range d.isi D5 \"\"", 1, "", ""},
      {"check d.isi", 0, "d.isi: consistent\n", ""},
      {"check d.isi d.txt", 0,
       "d.isi: consistent with d.txt (5 entries; 5 records to index of 5, 1 deleted)\n", ""},
      {"info d.txt", 1, "", "kelisi: not an ISI file: d.txt\n"},
      {"dump none.isi", 1, "", "kelisi: cannot open none.isi: No such file or directory\n"},
      {"dump", 1, "", "kelisi: dump: missing arguments (kelisi -h shows the usage)\n"},
      {"list d.isi", 1, "", "kelisi: unknown command 'list' (kelisi -h shows the usage)\n"},
  };
  for (const Case& c : cases) {
    kt::RunResult r = Kelisi(kt::Split(c.command));
    EXPECT_EQ(r.exitCode, c.code) << c.command;
    EXPECT_EQ(r.out, c.out) << c.command;
    EXPECT_EQ(r.err, c.err) << c.command;
  }
  kt::RunResult info = Kelisi({"info", "d.isi"});
  EXPECT_EQ(info.exitCode, 0);
  for (const char* line :
       {"records:        fixed-length text, 11 bytes + LF\n",
        "key:            2 bytes from columns 1-2\n", "command line:   kelindex d.txt,d.isi,-1-2\n",
        "deleted:        1 records\n", "entries:        5 (at most 31 a sector)\n"}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << info.out;
  }
  std::string json = Kelisi({"info", "d.isi", "--json"}).out;
  for (const char* field :
       {"\"key_length\": 2,", "\"command_line\": \"kelindex d.txt,d.isi,-1-2\",",
        "\"ddr_head\": 3,"}) {
    EXPECT_NE(json.find(field), std::string::npos) << field << json;
  }
  EXPECT_NE(Kelisi({"info", "b.isi", "--json"}).out.find("\"ddr_head\": null,"), std::string::npos);
  EXPECT_EQ(Kelisi({"--help"}).exitCode, 0);
  kt::RunResult help = Kelisi({"count", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("usage: kelisi count ISI [KEY [--prefix] | FROM TO]\n", 0), 0u)
      << help.out;
  kt::RunResult bare = Kelisi({});
  EXPECT_EQ(bare.exitCode, 1);
  EXPECT_EQ(bare.err.rfind("usage: kelisi info ISI", 0), 0u);
}

// A listing that fails after it has written entries ends with status 1, so
// that a script never takes the part for the whole: an index cut short
// after its first leaf, and one with a count byte of its second leaf made
// larger than a sector holds.
TEST_F(KelisiCli, AFailureAfterOutputEndsWithStatus1) {
  std::string data;
  for (int i = 0; i < 60; ++i) data += Rec(std::to_string(100 + i), "r", 'X');
  dir_.write("m.txt", data);
  Build({"m.txt,m.isi", "-1-3"});
  std::string isi = dir_.read("m.isi");
  ASSERT_GE(isi.size(), 3072u);
  std::string flipped = isi;
  flipped[2560 + 500] = static_cast<char>(0xFF);
  for (const std::string& damaged : {isi.substr(0, 2560), flipped}) {
    dir_.write("t.isi", damaged);
    for (const char* command : {"dump t.isi", "range t.isi 100 159", "find t.isi 1 --prefix"}) {
      kt::RunResult r = Kelisi(kt::Split(command));
      EXPECT_EQ(r.exitCode, 1) << command;
      EXPECT_EQ(r.out.rfind("100\t0\t12\t0\n", 0), 0u) << command << r.out;
      EXPECT_EQ(r.err, "kelisi: damaged ISI structure: t.isi\n") << command;
    }
  }
}

TEST_F(KelisiCli, CheckNamesEachChangeAfterTheBuild) {
  auto patched = [](std::string s, size_t at, const std::string& bytes) {
    return s.replace(at, bytes.size(), bytes);
  };
  std::string isi = dir_.read("d.isi");
  struct Case {
    const char* what;
    std::string data, isi, lines;
    int code = 1;
  } cases[] = {
      {"record changed", patched(fixed_, 36, "Z9"), isi,
       "key sector 2 entry 4: record at 36 carries key \"Z9\", not the entry's \"C3\"\n"},
      // The other record of the key keeps its own entry.
      {"record of a repeated key changed", patched(fixed_, 12, "Q7"), isi,
       "key sector 2 entry 1: record at 12 carries key \"Q7\", not the entry's \"A1\"\n"},
      {"record deleted", patched(fixed_, 60, std::string(12, '\0')), isi,
       "key sector 2 entry 5: record at 60 is a deleted record\n"},
      {"record appended", fixed_ + Rec("E5", "echo", 'X'), isi,
       "data record at 72 (key \"E5\", 12 bytes) has no entry\n"},
      {"key patched", fixed_, patched(isi, 1024 + 3 * 16 + 12, "C0"),
       "key sector 2 entry 4: record at 36 carries key \"C3\", not the entry's \"C0\"\n"},
      {"stored line unusable", fixed_, patched(isi, 496, "d.txt,d.isi,-1,1"),
       "note: the command line stored in the index cannot be used (overlapping keys are not "
       "allowed): each entry's record was checked, but records without an entry were not looked "
       "for\n",
       0},
      {"deleted record reused", patched(fixed_, 24, Rec("Q7", "quebec", 'X')), isi,
       "deleted-record sector 3 entry 1: record at 24 not zero-filled\n"
       "data record at 24 (key \"Q7\", 12 bytes) has no entry\n"},
  };
  for (const Case& c : cases) {
    dir_.write("x.txt", c.data);
    dir_.write("x.isi", c.isi);
    EXPECT_EQ(Problems("x.isi", "x.txt"), std::make_pair(c.code, c.lines)) << c.what;
  }
}

// A long list stops after 100 problems with a count of the rest (--all
// lists them all), and the check names what mends the index: a rebuild
// from its data, which deletes the index when it fails (a copy first), a
// compaction where only the tree's bookkeeping is off, and no rebuild
// before data of another form than the index was built over is mended.
TEST_F(KelisiCli, CheckListsAHundredProblemsAndNamesTheCure) {
  std::string isi = dir_.read("d.isi");
  std::string data = fixed_;
  for (int i = 0; i < 150; ++i) data += Rec("E5", "echo", 'X');
  dir_.write("x.txt", data);
  dir_.write("x.isi", isi);
  const std::string rebuild =
      "kelindex x.isi -r rebuilds it from its data with its stored command line, into the file "
      "names stored there; a rebuild that fails deletes the index: copy x.isi first (cp x.isi "
      "x.isi.copy)";
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  kt::RunResult r = Kelisi({"check", "x.isi", "x.txt"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(count(r.out, "has no entry\n"), 100u);
  EXPECT_NE(r.out.find("\n... 50 more problems not listed (--all lists every one)\ncure: " +
                       rebuild + "\nx.isi: 150 problems against x.txt"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(count(Kelisi({"check", "x.isi", "x.txt", "--all"}).out, "has no entry\n"), 150u);
  std::string json = Kelisi({"check", "x.isi", "x.txt", "--json"}).out;
  EXPECT_EQ(count(json, "\"kind\": \"no_entry\""), 100u);
  EXPECT_NE(json.find("\"problems_not_shown\": 50,"), std::string::npos) << json;

  dir_.write("x.isi", isi + std::string(512, '\0'));  // a sector left over
  EXPECT_NE(Kelisi({"check", "x.isi"})
                .out.find("cure: kelindex x.isi -c compacts it from its own entries when only "
                          "counts or left-over sectors are wrong (a backup guards the rewrite); "
                          "else " +
                          rebuild + "\n"),
            std::string::npos);
  isi[1024 + 500] = 40;  // the root's count byte: more entries than fit
  dir_.write("x.isi", isi);
  EXPECT_NE(Kelisi({"check", "x.isi"}).out.find("cure: " + rebuild + "\nx.isi: "),
            std::string::npos);
  // A tab in data the index was built over without s: a rebuild would
  // refuse the data and delete the index.
  dir_.write("x.isi", dir_.read("d.isi"));
  dir_.write("x.txt", fixed_ + "E5\tx      X\n");
  r = Kelisi({"check", "x.isi", "x.txt"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("\ncure: mend the data file before a rebuild: kelindex x.isi -r refuses "
                       "data of another form than the index was built over, and then deletes the "
                       "index; copy x.isi first (cp x.isi x.isi.copy)\n"),
            std::string::npos)
      << r.out;
}

// Shapes the build never makes are notes, which --strict counts; a file
// cut short is one problem, however many sectors it lost.
TEST_F(KelisiCli, CheckNotesShapesAndNamesATruncatedFileOnce) {
  kt::Crafted spine = kt::Craft(kt::CraftedTree::Spine(5, false), {});
  dir_.write("s.isi", spine.isi);
  dir_.write("s.txt", spine.data);
  const std::string note =
      "note: inner sectors with a child slot left empty: 4 key sectors (the first: key sector 2)\n";
  kt::RunResult r = Kelisi({"check", "s.isi", "s.txt"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, note +
                       "s.isi: consistent (1 note) with s.txt (5 entries; 5 records to index of 5, "
                       "0 deleted)\n");
  r = Kelisi({"check", "s.isi", "--strict"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, note + "cure: kelindex s.isi -c compacts it into the shape kelindex builds\n" +
                       "s.isi: 1 problem\n");
  kt::Crafted tree = kt::Craft(kt::CraftedTree::TopDown(1, 3, 4, false), {});
  dir_.write("t.isi", tree.isi.substr(0, tree.isi.size() - 20 * 512));
  r = Kelisi({"check", "t.isi"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out,
            "the file is truncated: it ends at byte 34816, but the index refers to sector 87, "
            "which ends at byte 45056\ncure: kelindex t.isi -r rebuilds it from its data with its "
            "stored command line, into the file names stored there; a rebuild that fails deletes "
            "the index: copy t.isi first (cp t.isi t.isi.copy)\nt.isi: 1 problem\n");
  // A child position past any end the index could have had is no cut.
  std::string isi = dir_.read("d.isi");
  kt::Put32(&isi, 1024 + 508, 16729962);  // the index is in this machine's order
  dir_.write("t.isi", isi);
  r = Kelisi({"check", "t.isi"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
            "key sector 16729962 named by key sector 2: the position is impossible (the file ends "
            "at byte 2048)\n");
}

// A data file whose last line has no line end: the build indexes that
// record under the size it would have with its LF (and a text file's last
// byte 0x1A is no part of it); every reader takes it as the file holds it.
// (What an insert behind it gives is held against a rebuild in
// tests/kelisi/definition_test.cpp.)
TEST_F(KelisiCli, TheLastRecordWithoutItsLineEndIsReadAsTheFileHoldsIt) {
  dir_.write("n.txt", "abcd\nefgh\nijkl");
  dir_.write("z.txt", "abcd\nefgh\nij\x1a");
  Build({"n.txt,n.isi", "-1-4"});
  Build({"z.txt,z.isi", "-v,1-4"});
  struct Case {
    const char* command;
    int code;
    std::string out;
  } cases[] = {
      {"check n.isi n.txt --records", 0,
       "n.isi: consistent with n.txt (3 entries; 3 records to index of 3, 0 deleted)\n"},
      {"dump n.isi --data n.txt", 0,
       "abcd\t0\t5\t0\tabcd\nefgh\t5\t5\t0\tefgh\nijkl\t10\t5\t0\tijkl\n"},
      {"find n.isi ijkl --data n.txt --json", 0,
       "{\"key\": \"ijkl\", \"offset\": 10, \"size\": 5, \"dup_seq\": 0, \"record\": \"ijkl\"}\n"},
      {"dump z.isi --data z.txt", 0,
       "abcd\t0\t5\t0\tabcd\nefgh\t5\t5\t0\tefgh\nij  \t10\t3\t0\tij\n"},
      {"check z.isi z.txt --records", 0,
       "z.isi: consistent with z.txt (3 entries; 3 records to index of 3, 0 deleted)\n"},
      {"delete n.isi n.txt ijkl --at 10", 0, "1 deleted\n"},
      {"check n.isi n.txt --records", 0,
       "n.isi: consistent with n.txt (2 entries; 2 records to index of 2, 1 deleted)\n"},
  };
  for (const Case& c : cases) {
    kt::RunResult r = Kelisi(kt::Split(c.command));
    EXPECT_EQ(r.exitCode, c.code) << c.command << r.err;
    EXPECT_EQ(r.out, c.out) << c.command;
  }
  // The deleted record's place holds its whole size in zero bytes.
  EXPECT_EQ(dir_.read("n.txt"), std::string("abcd\nefgh\n") + std::string(5, '\0'));
}

// insert and delete, one change each: their lines and status, where the
// records go, and both files unchanged after every refusal.
TEST_F(KelisiCli, InsertAndDeleteChangeBothFilesOrNeither) {
  dir_.write("u.txt", Rec("B2", "bravo", 'X') + Rec("C3", "charlie", 'X'));
  Build({"u.txt,u.isi", "-n,1-2"});
  dir_.write("e5.txt", "E5 echo   Z\n");
  dir_.write("a1.txt", "A1 third\n");
  dir_.write("bad.txt", "A1 \\q\n");
  dir_.write("dup.txt", "Z9 new\nB2 dup\n");
  dir_.write("keys.txt", "C3\nQ9\n");
  dir_.write("empty.txt", "\n");
  dir_.write("o.txt", fixed_);  // a copy of d.txt, another file
  dir_.write("dir.isi/x", "");  // a directory
  dir_.write("t.txt", Rec("T1", "one", 'X') + Rec("T2", "two", 'X'));
  Build({"t.txt,t.isi", "-1-2"});
  dir_.write("t.txt", Rec("T1", "one", 'X'));  // cut short after the build
  struct Case {
    const char* command;  // the arguments, split at blanks
    int code;
    std::string out, err;
  } cases[] = {
      // The deleted record at 24 takes the first record inserted.
      {"insert d.isi d.txt e5.txt", 0, "1 inserted\n", ""},
      {"find d.isi E5", 0, "E5\t24\t12\t0\n", ""},
      {"insert d.isi d.txt bad.txt", 1, "",
       "kelisi: insert: line 1: a backslash must be followed by \\, t or xNN\n"},
      {"insert d.isi d.txt none.txt", 1, "",
       "kelisi: insert: cannot open none.txt: No such file or directory\n"},
      // A duplicate goes after the equal keys, at the end of the data.
      {"insert d.isi d.txt a1.txt", 0, "1 inserted\n", ""},
      {"delete d.isi d.txt A1 --at 48", 0, "1 deleted\n", ""},
      {"find d.isi A1", 0, "A1\t12\t12\t0\nA1\t72\t12\t2\n", ""},
      {"delete d.isi d.txt A1 --at 13", 1, "",
       "kelisi: delete: no record at 13 has the key A1 in d.isi\n"},
      {"delete d.isi d.txt Q9", 1, "", "kelisi: delete: no record has the key Q9 in d.isi\n"},
      {"delete d.isi none.txt A1", 1, "",
       "kelisi: cannot open the data file none.txt: No such file or directory\n"},
      {"insert d.txt d.txt a1.txt", 1, "", "kelisi: not an ISI file: d.txt\n"},
      {"delete none.isi d.txt A1", 1, "",
       "kelisi: cannot open none.isi: No such file or directory\n"},
      {"delete dir.isi d.txt A1", 1, "", "kelisi: cannot open dir.isi: Is a directory\n"},
      {"insert u.isi u.txt dup.txt", 1, "",
       "kelisi: insert: line 2: its key is in u.isi already, which allows no duplicate keys\n"},
      {"delete d.isi d.txt B2", 0, "1 deleted\n", ""},
      {"check d.isi d.txt", 0,
       "d.isi: consistent with d.txt (5 entries; 5 records to index of 5, 2 deleted)\n", ""},
      // Without DATA, the data file the header names; by prefix, by a list.
      {"delete d.isi E --prefix", 0, "1 deleted\n", ""},
      {"delete d.isi --keys keys.txt", 0, "1 deleted\n",
       "kelisi: delete: 1 of the 2 keys matched no record (the first: line 2, Q9)\n"},
      {"delete d.isi --keys empty.txt", 1, "", "kelisi: delete: line 1: an empty key\n"},
      {"delete d.isi d.txt --keys none.txt", 1, "",
       "kelisi: delete: cannot open none.txt: No such file or directory\n"},
      {"delete d.isi A1 --at 72 --prefix", 1, "",
       "kelisi: delete: --at goes with one whole key, not with --keys or --prefix\n"},
      // Another data file than the index describes, unless said so.
      {"insert d.isi o.txt e5.txt", 1, "",
       "kelisi: o.txt is not the data file of d.isi (its header names d.txt, data length 7 "
       "records; o.txt holds 72 bytes); --data-anyway changes it all the same\n"},
      {"delete t.isi T1", 1, "",
       "kelisi: t.txt is not the data file of t.isi (its header names t.txt, data length 2 "
       "records; t.txt holds 12 bytes); --data-anyway changes it all the same\n"},
      {"check d.isi d.txt", 0,
       "d.isi: consistent with d.txt (3 entries; 3 records to index of 3, 4 deleted)\n", ""},
      {"delete d.isi o.txt D4 --data-anyway", 0, "1 deleted\n", ""},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> args = kt::Split(c.command);
    std::string isi = dir_.exists(args[1]) ? dir_.read(args[1]) : "";
    std::string data = dir_.exists(args[2]) ? dir_.read(args[2]) : "";
    kt::RunResult r = Kelisi(args);
    EXPECT_EQ(r.exitCode, c.code) << c.command;
    EXPECT_EQ(r.out, c.out) << c.command;
    EXPECT_EQ(r.err, c.err) << c.command;
    if (c.code != 0) {
      EXPECT_EQ(dir_.read(args[1]), isi) << c.command;
      if (!data.empty()) {
        EXPECT_EQ(dir_.read(args[2]), data) << c.command;
      }
    }
  }
  EXPECT_FALSE(dir_.exists("d.isi-journal"));
  // Another program's change holds the index: the command gives up.
  pid_t holder = kt::HoldLock(dir_.file("d.txt"), F_WRLCK, kIsiLockPos, kIsiLockLen, 30);
  std::string isi = dir_.read("d.isi");
  kt::RunResult r = Kelisi({"insert", "d.isi", "d.txt", "a1.txt", "--wait", "0"});
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "kelisi: another program has held the lock of d.isi for more than 0 seconds "
            "(--wait sets the limit)\n");
  EXPECT_EQ(dir_.read("d.isi"), isi);
}

// What an insert gives is what a rebuild gives (the first record of a key
// under N0, no record under a test repeated on one column, records an
// extended expression selects), and a record a build would not read back
// as one of the index's is refused, through kelisi insert and the C API
// alike, with both files left as they were.
TEST_F(KelisiCli, InsertGivesWhatARebuildGivesAndRefusesWhatItWouldNotRead) {
  const std::string data = Rec("A1", "alpha", 'X') + Rec("B2", "bravo", 'Y');
  const std::string tooLongForV(300, 'v');
  struct Case {
    const char* options;  // of the build over `data`
    std::string input;    // lines for kelisi insert, escaped
    std::string record;   // the same record for the C API
    int status;           // of the C API
    std::string err;      // of kelisi insert; "" when it inserts
    std::string dump;     // of kelisi dump after it
  } cases[] = {
      {"-N0,1-2", "A1 again", "A1 again", KELISI_NO_ENTRY, "", "A1\t0\t12\t0\nB2\t12\t12\t0\n"},
      {"-p11=X,p11=X,1-2", "C3 charlieX", "C3 charlieX", KELISI_NO_ENTRY, "", ""},
      {"-p=\"11='X'|1='B'\",1-2", "C3 charlieX", "C3 charlieX", KELISI_OK, "",
       "A1\t0\t12\t0\nB2\t12\t12\t0\nC3\t24\t12\t0\n"},
      {"-p=\"11='X'|1='B'\",1-2", "D4 delta  Y", "D4 delta  Y", KELISI_NO_ENTRY, "",
       "A1\t0\t12\t0\nB2\t12\t12\t0\n"},
      // Refused: tabs without s, an end-of-record mark inside, a record a
      // build reads as deleted (fixed length) or skips (variable length),
      // the end of the data, a record longer than the index allows.
      {"-1-2", "A1 a\\tb", "A1 a\tb", KELISI_E_RECORD, "refused", ""},
      {"-1-2", "A1\\x0ab", "A1\nb", KELISI_E_RECORD, "refused", ""},
      {"-1-2", "\\x00A1 zero", std::string("\0A1 zero", 8), KELISI_E_RECORD, "refused", ""},
      {"-v,1-2", "\\x00A1 zero", std::string("\0A1 zero", 8), KELISI_E_RECORD, "refused", ""},
      {"-1-2", "\\x1aA1 end",
       "\x1a"
       "A1 end",
       KELISI_E_RECORD, "refused", ""},
      // As the data's last record: a CR before the LF reads as CR LF, a zero
      // byte ends the length measured.
      {"-1-2", "A1 cr     \\x0d", "A1 cr     \r", KELISI_E_RECORD, "refused", ""},
      {"-1-2", "A1\\x00zero", std::string("A1\0zero", 7), KELISI_E_RECORD, "refused", ""},
      {"-v,1-2", tooLongForV, tooLongForV, KELISI_E_TOO_LONG,
       "kelisi: insert: line 1: the record is longer than the records of x.isi (256 bytes)\n", ""},
      {"-s,1-2", kt::ReplaceAll(std::string(40, '\t'), "\t", "\\t"), std::string(40, '\t'),
       KELISI_E_TOO_LONG,
       "kelisi: insert: line 1: the record is longer than the records of x.isi (256 bytes)\n", ""},
  };
  const std::string refused =
      "kelisi: insert: line 1: a build would not read the record back as one of the index (an "
      "end-of-record mark inside it, bytes taken for a deleted record or the end of the data, "
      "tabs without option s)\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.options) + " " + c.input);
    dir_.write("x.txt", data);
    Build({"x.txt,x.isi", c.options});
    const std::string isi = dir_.read("x.isi");
    dir_.write("in.txt", c.input + "\n");
    kt::RunResult r = Kelisi({"insert", "x.isi", "x.txt", "in.txt"});
    bool ok = c.err.empty();
    EXPECT_EQ(r.exitCode, ok ? 0 : 1);
    EXPECT_EQ(r.err, c.err == "refused" ? refused : c.err);
    if (ok) {
      EXPECT_EQ(r.out, "1 inserted\n");
      EXPECT_EQ(Kelisi({"dump", "x.isi"}).out, c.dump);
      EXPECT_EQ(Kelisi({"check", "x.isi", "x.txt"}).exitCode, 0);
    } else {
      EXPECT_TRUE(dir_.read("x.isi") == isi);
      EXPECT_EQ(dir_.read("x.txt"), data);
    }
    // The C API on the files as built.
    dir_.write("x.txt", data);
    dir_.write("x.isi", isi);
    kelisi* ix = nullptr;
    ASSERT_EQ(
        kelisi_open(dir_.file("x.isi").c_str(), dir_.file("x.txt").c_str(), KELISI_WRITE, &ix),
        KELISI_OK);
    kelisi_txn* t = nullptr;
    ASSERT_EQ(kelisi_txn_begin(ix, &t), KELISI_OK);
    EXPECT_EQ(kelisi_txn_insert(t, c.record.data(), c.record.size(), nullptr), c.status);
    EXPECT_EQ(kelisi_txn_commit(t), KELISI_OK);
    kelisi_close(ix);
    if (!ok) {
      EXPECT_TRUE(dir_.read("x.isi") == isi);
      EXPECT_EQ(dir_.read("x.txt"), data);
    }
  }
}

// A change whose journal cannot be made beside the index names the journal
// and its directory, and why (run as another user than the superuser, who
// writes in any directory).
TEST_F(KelisiCli, AReadOnlyDirectoryIsNamedWithTheJournal) {
  dir_.write("ro/d.txt", fixed_);
  ASSERT_EQ(kt::RunKelindex({"ro/d.txt,ro/d.isi", "-1-2"}, dir_.path()).exitCode, 0);
  dir_.write("e5.txt", "E5 echo   Z\n");
  for (const char* f : {"ro/d.txt", "ro/d.isi", "e5.txt"}) chmod(dir_.file(f).c_str(), 0666);
  chmod(dir_.path().c_str(), 0755);
  ASSERT_EQ(chmod(dir_.file("ro").c_str(), 0555), 0);
  kt::RunOptions opts;
  opts.cwd = dir_.path();
  opts.program = KELISI_BIN;
  opts.notSuperuser = true;
  kt::RunResult r = kt::RunKelindex({"insert", "ro/d.isi", "ro/d.txt", "e5.txt"}, opts);
  chmod(dir_.file("ro").c_str(), 0755);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "kelisi: cannot create or write the journal ro/d.isi-journal in the directory ro: "
            "Permission denied\n");
  EXPECT_EQ(dir_.read("ro/d.txt"), fixed_);
}

}  // namespace

// insert and delete over several indexes of one data file: one change that
// keeps each of them what a build over the data gives it, kelisi indexes
// telling which are current, and a change through some of them naming the
// others it left behind.
class KelisiCliIndexes : public KelisiCli {
 protected:
  // The entries of `isi` (key, offset, size) against those of the same
  // definition built afresh over a copy of `data`, in key order, the
  // duplicate sequence aside (a build numbers equal keys by position).
  void ExpectAsBuilt(const std::string& isi, const std::string& data, const std::string& keys) {
    dir_.write("rebuilt.txt", dir_.read(data));
    Build({"rebuilt.txt,rebuilt.isi", keys});
    auto entries = [&](const std::string& file) {
      std::vector<std::string> lines;
      std::istringstream out(Kelisi({"dump", file}).out);
      for (std::string line; std::getline(out, line);) {
        lines.push_back(line.substr(0, line.rfind('\t')));
      }
      std::sort(lines.begin(), lines.end());
      return lines;
    };
    EXPECT_EQ(entries(isi), entries("rebuilt.isi")) << isi;
  }
};

TEST_F(KelisiCliIndexes, OneChangeKeepsEveryIndexOfTheDataFileCurrent) {
  dir_.write("m.txt",
             Rec("B2", "bravo", 'X') + Rec("A1", "alpha", 'Y') + Rec("C3", "charlie", 'X'));
  Build({"m.txt,m1.isi", "-1-2"});
  Build({"m.txt,m2.isi", "-u,4-10"});
  Build({"m.txt,m3.isi", "-11,1-2"});
  dir_.write("o.txt", Rec("Z9", "zulu", 'X'));
  Build({"o.txt,o.isi", "-1-2"});
  dir_.write("lone.txt", Rec("Q1", "quebec", 'X'));
  dir_.write("new.txt", "D4 delta  Y\nE5 echo   X\n");
  dir_.write("f6.txt", "F6 fox    X\n");
  struct Case {
    const char* command;  // the arguments, split at blanks
    int code;
    std::string out, err;
  } cases[] = {
      {"indexes m.txt", 0,
       "m1.isi: current (3 entries)\nm2.isi: current (3 entries)\nm3.isi: current (3 entries)\n"
       "m.txt: 3 indexes, all current\n",
       ""},
      {"insert m1.isi,m2.isi,m3.isi m.txt new.txt", 0, "2 inserted\n", ""},
      {"indexes m.txt m2.isi", 0, "m2.isi: current (5 entries)\nm.txt: 1 index, current\n", ""},
      // Without DATA: the data file the first index's header names.
      {"delete m1.isi,m2.isi,m3.isi A1", 0, "1 deleted\n", ""},
      {"delete m3.isi,m1.isi,m2.isi XB2", 0, "1 deleted\n", ""},
      {"indexes m.txt", 0,
       "m1.isi: current (3 entries)\nm2.isi: current (3 entries)\nm3.isi: current (3 entries)\n"
       "m.txt: 3 indexes, all current\n",
       ""},
      // Refusals change no file.
      {"insert m1.isi,o.isi m.txt new.txt", 1, "",
       "kelisi: m.txt is not the data file of o.isi (its header names o.txt, data length 1 "
       "records; m.txt holds 60 bytes); --data-anyway changes it all the same\n"},
      {"insert m1.isi,./m1.isi m.txt new.txt", 1, "", "kelisi: insert: ./m1.isi is named twice\n"},
      {"delete m1.isi,none.isi m.txt C3", 1, "",
       "kelisi: cannot open none.isi: No such file or directory\n"},
      {"indexes m.txt o.isi", 1,
       "o.isi: not an index of m.txt (its header names o.txt)\nm.txt: 1 "
       "index, 1 not current\n",
       ""},
      {"indexes m.txt none.isi", 1, "m.txt: 1 index, 1 not current\n",
       "kelisi: indexes: cannot open none.isi: No such file or directory\n"},
      {"indexes lone.txt", 1, "", "kelisi: indexes: no .isi file in . names lone.txt\n"},
      {"indexes none.txt", 1, "",
       "kelisi: indexes: cannot open the data file none.txt: No such file or directory\n"},
      // A change through one index names the others it left behind: its
      // record took the place of a deleted one that their lists still hold.
      {"insert m1.isi m.txt f6.txt", 0, "1 inserted\n",
       "kelisi: insert: m2.isi and m3.isi, other indexes of m.txt, did not get this change "
       "(kelisi indexes m.txt tells which are current; kelisi insert m1.isi,m2.isi,m3.isi ... "
       "changes them all)\n"},
      {"indexes m.txt", 1,
       "m1.isi: current (4 entries)\n"
       "m2.isi: not current, 2 problems (kelisi check m2.isi m.txt names them)\n"
       "m3.isi: not current, 2 problems (kelisi check m3.isi m.txt names them)\n"
       "m.txt: 3 indexes, 2 not current\n",
       ""},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> args = kt::Split(c.command);
    std::string before =
        dir_.read("m.txt") + dir_.read("m1.isi") + dir_.read("m2.isi") + dir_.read("m3.isi");
    kt::RunResult r = Kelisi(args);
    EXPECT_EQ(r.exitCode, c.code) << c.command;
    EXPECT_EQ(r.out, c.out) << c.command;
    EXPECT_EQ(r.err, c.err) << c.command;
    if (c.code != 0) {
      EXPECT_EQ(
          dir_.read("m.txt") + dir_.read("m1.isi") + dir_.read("m2.isi") + dir_.read("m3.isi"),
          before)
          << c.command;
    }
    if (std::string(c.command) == "indexes m.txt" && c.code == 0) {
      ExpectAsBuilt("m1.isi", "m.txt", "-1-2");
      ExpectAsBuilt("m2.isi", "m.txt", "-u,4-10");
      ExpectAsBuilt("m3.isi", "m.txt", "-11,1-2");
    }
  }
  for (const char* f : {"m.txt-journal", "m1.isi-journal", "m2.isi-journal", "m3.isi-journal"}) {
    EXPECT_FALSE(dir_.exists(f)) << f;
  }
}

// A key that one index of the change allows once refuses the whole change,
// naming that index; several indexes of one data file take no other file.
TEST_F(KelisiCliIndexes, ARefusalByAnyIndexChangesNoFile) {
  dir_.write("p.txt", Rec("B2", "bravo", 'X') + Rec("A1", "alpha", 'Y'));
  Build({"p.txt,p1.isi", "-1-2"});
  Build({"p.txt,p2.isi", "-n,4-10"});
  dir_.write("q.txt", dir_.read("p.txt"));
  dir_.write("dup.txt", "C3 charlieX\nD4 bravo  X\n");
  std::string before = dir_.read("p.txt") + dir_.read("p1.isi") + dir_.read("p2.isi");
  kt::RunResult r = Kelisi({"insert", "p1.isi,p2.isi", "p.txt", "dup.txt"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "kelisi: insert: line 2: its key is in p2.isi already, which allows no duplicate keys\n");
  r = Kelisi({"insert", "p1.isi,p2.isi", "q.txt", "dup.txt", "--data-anyway"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "kelisi: insert: p1.isi and p2.isi are not indexes of one data file (a change over "
            "several indexes goes through the data file their headers name, not another: "
            "--data-anyway takes one index alone)\n");
  EXPECT_EQ(dir_.read("p.txt") + dir_.read("p1.isi") + dir_.read("p2.isi"), before);
  EXPECT_EQ(dir_.read("q.txt"), dir_.read("p.txt"));
  EXPECT_FALSE(dir_.exists("p.txt-journal"));
  EXPECT_FALSE(dir_.exists("q.txt-journal"));
}
