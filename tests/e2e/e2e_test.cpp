// The built kelindex run on prepared files, one table row per run: the
// command, the exit status, every message line it prints, the files left
// in its directory, and the index it wrote, byte for byte against a
// reviewed golden file under tests/golden/.
//
// KEL_UPDATE_GOLDEN=1 rewrites the golden files from the runs and prints
// each run's messages: review both before committing them. The golden
// files are made on a little-endian machine; a big-endian one compares
// with what they become there (ForThisMachine).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "kel_version.h"
#include "kelisi.h"
#include "support/model.h"
#include "support/test_util.h"

namespace {

using kt::Data;
using kt::TempDir;

// ---- Input files -----------------------------------------------------------

std::string Golden(const std::string& name) {
  return kt::ReadFileBytes(std::string(KEL_SOURCE_DIR) + "/tests/golden/" + name + ".isi");
}

// 508 records of 40 letters, every second one deleted: 253 deleted records
// fill two DDR sectors and start a third; 255 keys make two tree levels.
Data FixedData() {
  return kt::RandomData(508, 40, 1, 2);
}
// CR LF records of lower-case letters, many equal keys.
Data CrlfData() {
  return kt::RandomData(200, 12, 2, 0, "\r\n", "abAB");
}
// One live record, then 126 deleted ones: the head DDR sector full.
Data Ddr126Data() {
  Data d;
  d.Rec("ABCDEFGH");
  for (int i = 0; i < 126; ++i) d.Deleted(9);
  return d;
}
// Variable-length records with zero runs between them.
Data VarData() {
  kt::Rng rng(4);
  Data d;
  for (int i = 0; i < 120; ++i) {
    d.Rec(rng.Text(3 + rng.Below(70), "KLMNOP"));
    if (i % 9 == 4) d.Deleted(1 + rng.Below(30));
  }
  return d;
}

using Setup = std::function<void(const TempDir&)>;
// A setup that writes one file, d.txt unless named.
Setup File(const std::string& bytes, const std::string& name = "d.txt") {
  return [=](const TempDir& d) { d.write(name, bytes); };
}
// `first`, then one more file.
Setup With(const Setup& first, const std::string& name, const std::string& bytes) {
  return [=](const TempDir& d) {
    first(d);
    d.write(name, bytes);
  };
}
void Nothing(const TempDir&) {}
const Setup Small = File("bbb 1\naaa 2\nccc 3\n");
const Setup Fixed = File(FixedData().bytes());
const Setup OnlyIsi = File(Golden("fixed"), "d.isi");
const Setup FixedIsi = With(Fixed, "d.isi", Golden("fixed"));
// The fixed index with `bytes` written at `offset`. Its root (sector 2)
// holds 9 entries over the leaves in sectors 6 to 15; its deleted-record
// chain runs from sector 3 to 5 and 4.
void Damaged(const TempDir& d, size_t offset, std::initializer_list<int> bytes) {
  FixedIsi(d);
  std::string isi = d.read("d.isi");
  for (int b : bytes) isi[offset++] = static_cast<char>(b);
  d.write("d.isi", isi);
}
// A tree `levels` levels below its root: a chain of sectors behind the end
// of the fixed index, each the only child of the one before, down to a leaf
// holding the root's first entry.
void Deep(const TempDir& d, int levels) {
  FixedIsi(d);
  std::string isi = d.read("d.isi"), root = isi.substr(1024, 512);
  auto put = [](std::string* s, size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) (*s)[at + i] = static_cast<char>(v >> (8 * i));
  };
  auto next = static_cast<uint32_t>(isi.size() / 512);
  put(&isi, 1024 + 506, levels, 2);
  isi[1024 + 500] = 0;
  put(&isi, 1024 + 508, next, 4);
  for (int level = levels - 1; level >= 0; --level, ++next) {
    std::string s(512, '\0');
    put(&s, 506, level, 2);
    if (level > 0) put(&s, 508, next + 1, 4);
    if (level == 0) s.replace(0, 20, root.substr(0, 20)), put(&s, 4, 0, 4), s[500] = 1;
    isi += s;
  }
  d.write("d.isi", isi);
}
const Setup Crlf = File(CrlfData().bytes());
const Setup Lfcr = File(kt::RandomData(100, 20, 3, 7, "\n\r").bytes());
// CR records with distinct keys, ended by a 0x1A end-of-data mark, in a folder.
void Cr(const TempDir& d) {
  Data data("\r");
  for (int i = 0; i < 90; ++i) data.Rec(std::to_string(10000 + (i * 37) % 90) + " cr record");
  d.write("sub/d.txt", data.Raw("\x1A"
                                "trailing bytes")
                           .bytes());
}
const Setup Var = File(VarData().bytes());
const Setup VarIsi = With(Var, "d.isi", Golden("var"));
const Setup Tabs = File("ab\tcd  x\n\tzz\nabcdefgh\tq\n\t\tlast\n");
// 16-byte binary records, one all zero (deleted), LF and zero bytes inside others.
void Binary(const TempDir& d) {
  std::string b;
  for (int i = 0; i < 40; ++i) {
    std::string r = kt::Rng(i + 9).Text(16, std::string("\n\0\xFF"
                                                        "ab",
                                                        5));
    b += i == 17 ? std::string(16, '\0') : r;
  }
  d.write("d.bin", b);
}
const Setup BinaryEor =
    File(kt::RandomData(30, 9, 6, 0, "\n", std::string("xy\0", 3)).bytes(), "d.bin");
const Setup Select = File(kt::RandomData(150, 12, 7, 10, "\n", "AB12").bytes());
const Setup SelectExtIsi = With(Select, "d.isi", Golden("select_ext"));
const Setup Dups = File(kt::RandomData(12, 6, 8, 0, "\n", "ab").bytes());
// 3,000 records with 150-byte keys in random order.
const Setup ManyTrains = File(kt::RandomData(3000, 150, 11).bytes());
// 3000 equal keys of 150 bytes whose record numbers fall in key order: a
// sound index whose walk delivers the items of every sub-list below those
// before it, so that each starts a sort train of its own.
void ManyTrainsFalling(const TempDir& d) {
  d.write("d.txt", kt::RandomData(3000, 150, 11, 0, "\n", "A").bytes());
  kt::RunKelindex({"d.txt,d.isi", "-1-150"}, d.path());
  std::string isi = d.read("d.isi");
  kelisi* ix = nullptr;
  kelisi_cursor* c = nullptr;
  kelisi_entry e;
  kelisi_open(d.file("d.isi").c_str(), nullptr, 0, &ix);
  kelisi_cursor_open(ix, &c);
  uint32_t n = 2999;
  for (int st = kelisi_first(c, &e); st == KELISI_OK; st = kelisi_next(c, &e), --n) {
    size_t at = size_t{e.sector} * 512 + (e.index - 1) * 164;
    for (int i = 0; i < 4; ++i) isi[at + i] = static_cast<char>(n >> (8 * i));
  }
  kelisi_cursor_close(c);
  kelisi_close(ix);
  d.write("d.isi", isi);
}
// An extended selection of `n` terms (24 is the most it may have).
std::string Terms(int n) {
  std::string p = "d.txt,d.isi -p=1#'Z'";
  for (int i = 2; i <= n; ++i) p.append(i % 2 ? "|" : "&").append(std::to_string(i)).append("#'Z'");
  return p + ",1-3";
}
const std::string kTerms24 = Terms(24), kTerms25 = Terms(25);
const Setup Ddr126 = File(Ddr126Data().bytes());
// Another writer's layout: the newest DDR sector is full and stands behind
// the tree, the bytes at 1536 are zero.
void Ddr126Moved(const TempDir& d) {
  Ddr126(d);
  std::string isi = Golden("ddr126");
  isi[16] = static_cast<char>(isi.size() / 512);
  isi += isi.substr(1536, 512);
  isi.replace(1536, 512, std::string(512, '\0'));
  d.write("d.isi", isi);
}
const Setup Wide = File(kt::RandomData(40, 64, 10).bytes());
const Setup Empty = File("");
const Setup EmptyIsi = With(Small, "d.isi", "");
const Setup NotIsi = With(Small, "d.isi", std::string(2048, 'x'));
void BadVersion(const TempDir& d) {
  FixedIsi(d);
  std::string isi = d.read("d.isi");
  isi[5] = 0x12;
  d.write("d.isi", isi);
}
const Setup LongRecord = File("short\n" + std::string(70000, 'x') + "\n");
const Setup Odd = File(std::string(33, 'b'), "d.bin");
const Setup TwoBytes = File("a\n");
const Setup NoMark = File("abc\ndefXghi\n", "d.bin");
// Binary records of one byte and a one-byte mark, the third without it.
const Setup OneByteRecords = File("a\nb\ncX", "d.bin");
// 18-byte binary records with a CR LF mark: 65,538 is a multiple of 18, so
// the input buffer ends right before the mark of a record, whose CR is the
// buffer's look-ahead byte.
void MarkAfterBufferEnd(const TempDir& d) {
  std::string b;
  for (int i = 0; i < 4100; ++i) b += std::to_string(1000000000000000 + i) + "\r\n";
  d.write("d.bin", b);
}
// Short and long variable-length records, only the long ones with an x in
// column 20: a test of column 20 sees a blank in a short record, never the
// bytes that follow it.
void TestPastShortRecords(const TempDir& d) {
  Data data;
  for (int i = 0; i < 60; ++i) {
    data.Rec((i % 2 == 0 ? "s" : "L") + std::to_string(100 + i) +
             (i % 2 == 0 ? "" : std::string(21, 'x')));
  }
  d.write("d.txt", data.bytes());
}
// Space-compressed records, the second of 32 tabs and an x: 257 columns,
// which is the longest a record may have after a first one of 3.
const Setup TabsToTheLongestRecord = File("abc\n" + std::string(32, '\t') + "x\nzzz\n");
// CR LF records holding a CR of their own, which is data (not a mark, nor
// a tab to expand).
void LoneCr(const TempDir& d) {
  Data data("\r\n");
  for (int i = 0; i < 300; ++i) data.Rec(std::to_string(10000 + i) + (i % 3 == 1 ? "a\rb" : "axb"));
  d.write("d.txt", data.bytes());
}
void Profile(const TempDir& d) {
  d.write("sub/d.txt", "bbb 1\naaa 2\n");
  d.write("k.ini",
          "[other]\nvezor_dbpath=nowhere\n[ Environment ]\n  qrx_path = nowhere\n"
          "vezor_dbpath = sub \r\n");
}
void Terminal(const TempDir& d) {
  std::string def(530, '\0');
  def[512] = '.';
  def[514] = 3;
  def.replace(515, 4, std::string("dat\0", 4));
  def.replace(520, 4, std::string("idx\0", 4));
  d.write("vt.def", def);
  d.write("D.dat", "bbb 1\naaa 2\n");
}
const Setup Lower = File("bbb 1\naaa 2\n", "d.dat");
const Setup CrlfIsiForeign = With(Crlf, "d.isi", Golden("foreign"));

// Two records of the longest length a LF record may have: measuring the
// record length reads back across the detection's 65,535-byte chunks.
void Longest(const TempDir& d) {
  std::string r = std::string(65533, 'q') + "\n";
  d.write("d.txt", r + r);
}
// Variable-length CR LF records placed so that a CR is the last byte of the
// scanner's first 64 KiB buffer and its LF the byte after.
void MarkAtBufferEnd(const TempDir& d) {
  Data data("\r\n");
  for (int i = 0; i < 655; ++i) data.Rec(kt::Rng(i).Text(98, "mnop"));
  data.Rec(std::string(35, 'z'));
  for (int i = 0; i < 20; ++i) data.Rec(kt::Rng(i + 700).Text(50, "mnop"));
  d.write("d.txt", data.bytes());
}
// CR LF records whose last mark has its LF as the first byte of the last
// 65,535-byte chunk the detection reads, and its CR the byte before; after
// it the end-of-data mark and bytes without any mark.
void MarkAtChunkStart(const TempDir& d) {
  std::string data;
  for (int i = 0; i < 100; ++i) data += kt::Rng(i).Text(8, "rstu") + "\r\n";
  d.write("d.txt", data + "\x1A" + std::string(65533, 'z'));
}
// Numbered text records, ended by `eor`, of `sizes` bytes in turn (mark
// included) up to `markAt`, where the end-of-file mark stands; then bytes
// without a mark up to `fileSize`, the last of them `last`.
Setup EndMarkAt(std::vector<size_t> sizes, const std::string& eor, size_t markAt, size_t fileSize,
                char last = 'y') {
  std::string data;
  for (size_t i = 0; data.size() < markAt; ++i) {
    std::string r = std::to_string(10000000 + i);
    data += r + std::string(sizes[i % sizes.size()] - r.size() - eor.size(), '-') + eor;
  }
  data += '\x1A';
  data += std::string(fileSize - data.size() - 1, 'y') + last;
  return File(data);
}
const Setup InSub = File("bbb 1\naaa 2\n", "sub/d.txt");
// A command whose stored form (data field, ISI field, the rest) is 528
// characters, one more than the header keeps.
const std::string kLongIsiField = std::string(200, 'i'),
                  kLongStored =
                      "d.txt," + kLongIsiField + " -1-3 " + std::string(528 - 6 - 200 - 1 - 5, 'x');

// A terminal definition whose extension length does not fit: ignored.
void BadTerminal(const TempDir& d) {
  std::string def(530, '\0');
  def[514] = 5;
  def.replace(515, 5, "abcde");
  d.write("vt.def", def);
  d.write("D.TXT", "bbb 1\naaa 2\n");
}
const std::string kLongText = "d.txt,d.isi -1-3 " + std::string(560, 'x'),
                  kLongTmp = "d.txt,d.isi,,/" + std::string(247, 't') + " -1-3",
                  kLongBase = "d.txt," + std::string(60, 'b') + ".isi -1-3",
                  kLongLiteral = "d.txt,d.isi -p=1='" + std::string(161, 'a') + "',1-3",
                  kLongLog = "-l" + std::string(600, 'l') + " d.txt,d.isi -1-3";

// The fixed index whose stored command line is `line`.
void StoredLine(const TempDir& d, const std::string& line) {
  FixedIsi(d);
  std::string isi = d.read("d.isi");
  isi.replace(496, 528, line + std::string(528 - line.size(), '\0'));
  d.write("d.isi", isi);
}
const Setup EmptyProfileValue = With(InSub, "k.ini", "[environment]\nQRX_PATH=\n");

// ---- The table ---------------------------------------------------------------

// A run's messages after its command echo and the banner; "T" stands for
// the time line of a successful run.
#define T "<time>\n"

// Who wrote the index a row compares with its golden file: the run's
// build, in this machine's byte order; the run's compaction, in the order
// of the index it was given; or nobody.
enum class Writer { kBuild, kCompaction, kNone };
struct GoldenFile {
  GoldenFile(const char* n = nullptr, Writer w = Writer::kBuild) : name(n), writer(w) {}
  const char* name;
  Writer writer;
};
GoldenFile Compacted(const char* name) {
  return {name, Writer::kCompaction};
}
GoldenFile Untouched(const char* name) {
  return {name, Writer::kNone};
}

struct Case {
  const char* name;
  Setup setup;
  const char* args;  // split at single spaces
  int exit;
  const char* messages;    // exact, after the banner
  const char* after;       // the directory afterwards: names, sorted, space-separated
  GoldenFile golden = {};  // the golden file `isi` must equal (none when its name is null)
  const char* isi = "d.isi";
  const char* env = "";            // NAME=VALUE pairs, space-separated; $D is the run's directory
  const char* textFile = nullptr;  // a text file the run writes, and its exact content
  const char* text = nullptr;
  bool ofItsData = true;    // the index is consistent with its data (not crafted)
  int64_t dataLength = -1;  // the header's data length, when not -1
};

// Halving the sort memory step by step to its floor of 8,192 bytes: with
// 150-byte keys a sub-list then holds 46 items.
#define SMALL_MEMORY "-m524288 -m262144 -m131072 -m65536 -m32768 -m16384 -m8192 "
// A damaged index refused by an in-place compaction: what is wrong, then the refusal.
#define REFUSED(what) \
  "Compacting d.isi into d.isi\n" what "\nDamaged ISI structure found in file named:  d.isi.\n"
// The fixed index with bytes (the rest of the arguments) written at `at`:
// an in-place compaction names the damage `what` and refuses it.
#define DAMAGED(name, at, what, ...)                                                             \
  {                                                                                              \
    name, [](const TempDir& d) { Damaged(d, at, {__VA_ARGS__}); }, "d.isi -c", 1, REFUSED(what), \
        "d.isi d.txt"                                                                            \
  }
// An index over records that an end-of-file mark ends: the header's data
// length is where the scan's fills of 65,536 bytes, read one after another
// from the file's start, have reached when it meets the mark.
#define END_MARK(name, setup, args, report, length)                                               \
  {                                                                                               \
    name, setup, args, 0, "Indexing d.txt into d.isi\n" report T, "d.isi d.txt", {}, "d.isi", "", \
        nullptr, nullptr, true, length                                                            \
  }
#define RECORDS(n) n " records, 0 deleted entries\n"
#define VARIABLE(n) RECORDS(n) "Data file has variable length records.\n"
// A command refused before it touches a file: `message`, status 1, and the
// data file alone in the directory.
#define REFUSED_COMMAND(name, args, message) \
  { name, Small, args, 1, message, "d.txt" }
#define SMALL_MEMORY_SHOWN                                                            \
  "Max memory set to 524288.\nMax memory set to 262144.\nMax memory set to 131072.\n" \
  "Max memory set to 65536.\nMax memory set to 32768.\nMax memory set to 16384.\n"    \
  "Max memory set to 8192.\n"

const Case kCases[] = {
    // Every record format and addressing mode, and the options that shape an index.
    {"FixedLfTwoLevelsThreeDdrSectors", Fixed, "d.txt,d.isi -1-4,9-12", 0,
     "Indexing d.txt into d.isi\n255 records, 253 deleted entries\n" T, "d.isi d.txt", "fixed"},
    {"CrlfUpperReversedDuplicates", Crlf, "d.txt,d.isi -u,6-3,10-12", 0,
     "Indexing d.txt into d.isi\n200 records, 0 deleted entries\n"
     "Data file has 95 duplicate key entries.\n" T,
     "d.isi d.txt", "crlf"},
    {"LfcrHalfFullSectorsOsType1", Lfcr, "d.txt,d.isi -m50,o=1,1-10", 0,
     "Indexing d.txt into d.isi\n86 records, 14 deleted entries\n" T, "d.isi d.txt", "lfcr"},
    {"CrEndMarkNoDupsPathDiscarded", Cr, "sub/d.txt,d.isi -o,n,z,y,1-5", 0,
     "Indexing sub/d.txt into sub/d.isi\n90 records, 0 deleted entries\n" T, "sub", "cr",
     "sub/d.isi"},
    {"VariableLengthByteAddressing", Var, "d.txt,d.isi -v,1-8", 0,
     "Indexing d.txt into d.isi\n120 records, 0 deleted entries\n"
     "Data file has variable length records.\n" T,
     "d.isi d.txt", "var"},
    {"SpaceCompression", Tabs, "d.txt,d.isi -s,3-10", 0,
     "Indexing d.txt into d.isi\n4 records, 0 deleted entries\n"
     "Data file has variable length records and space compression.\n" T,
     "d.isi d.txt", "spacecomp"},
    {"TabsAsBinaryCharacters", Tabs, "d.txt,d.isi,l20 -b,v,3-10", 0,
     "Indexing d.txt into d.isi\n4 records, 0 deleted entries\n"
     "Data file has variable length records.\n" T,
     "d.isi d.txt", "tabs_binary"},
    {"BinaryWithoutMarks", Binary, "d.bin,d.isi -f=16,2-5,1", 0,
     "Indexing d.bin into d.isi\n39 records, 1 deleted entries\n" T, "d.bin d.isi", "binary"},
    {"BinaryWithMarks", BinaryEor, "d.bin,d.isi -g=9,1-3", 0,
     "Indexing d.bin into d.isi\n30 records, 0 deleted entries\n"
     "Data file has 9 duplicate key entries.\n" T,
     "d.bin d.isi", "binary_eor"},
    {"PrimaryTests", Select, "d.txt,d.isi -p5=A,p2#\"1\",w,1-12", 0,
     "Indexing d.txt into d.isi\n29 records, 14 deleted entries\n" T, "d.isi d.txt", "select"},
    {"ExtendedSelection", Select, "d.txt,d.isi -p=3='AB'|9N>=' 1.5'&12#'2',1-4", 0,
     "Indexing d.txt into d.isi\n15 records, 14 deleted entries\n"
     "Data file has 3 duplicate key entries.\n" T,
     "d.isi d.txt", "select_ext"},
    {"ExtendedSelectionOfTheMostTerms", Small, kTerms24.c_str(), 0,
     "Indexing d.txt into d.isi\n3 records, 0 deleted entries\n" T, "d.isi d.txt", "select24"},
    REFUSED_COMMAND("ExtendedSelectionOfTooManyTerms", kTerms25.c_str(),
                    "Invalid primary key information.\n"),
    {"CompactTooManySortTrains", ManyTrainsFalling, SMALL_MEMORY "-t2 d.isi -c", 1,
     SMALL_MEMORY_SHOWN
     "Max sort trains set to 2.\nCompacting d.isi into d.isi\n\nToo many sort trains\n"
     "WARNING!  INDEX failed writing to file $D/work/dsortXXXXXX.\n",
     "d.isi d.txt", nullptr},
    {"DuplicatesIgnoredAndListed", Dups, "d.txt,d.isi -n0,1-4", 0,
     "Indexing d.txt into d.isi\n"
     "Duplicate Key ignored at:              46 Key:aaab \n"
     "Duplicate Key ignored at:              23 Key:baab \n"
     "Duplicate Key ignored at:              2A Key:baab \n"
     "Duplicate Key ignored at:              31 Key:babb \n"
     "12 records, 0 deleted entries\n" T,
     "d.ERR d.isi d.txt", "nodup", "d.isi", "", "d.ERR",
     "Duplicate Key ignored at:              46 Key:aaab \r\n"
     "Duplicate Key ignored at:              23 Key:baab \r\n"
     "Duplicate Key ignored at:              2A Key:baab \r\n"
     "Duplicate Key ignored at:              31 Key:babb \r\n"},
    {"DuplicatesIgnoredQuietly", Dups, "d.txt,d.isi -n$,1-4", 0,
     "Indexing d.txt into d.isi\n12 records, 0 deleted entries\n" T, "d.isi d.txt"},
    {"DuplicatesListed", Dups, "d.txt,d.isi -e,1-2", 0,
     "Indexing d.txt into d.isi\n12 records, 0 deleted entries\n"
     "Data file has 8 duplicate key entries.\n" T,
     "d.ERR d.isi d.txt", nullptr, "d.isi", "", "d.ERR",
     "Duplicate Key at:              38 Key:aa \r\nDuplicate Key at:              46 Key:aa \r\n"
     "Duplicate Key at:              4D Key:aa \r\nDuplicate Key at:              1C Key:ba \r\n"
     "Duplicate Key at:              23 Key:ba \r\nDuplicate Key at:              2A Key:ba \r\n"
     "Duplicate Key at:              31 Key:ba \r\nDuplicate Key at:              3F Key:bb \r\n"},
    {"LastDdrSectorFull", Ddr126, "d.txt,d.isi -1-8", 0,
     "Indexing d.txt into d.isi\n1 records, 126 deleted entries\n" T, "d.isi d.txt", "ddr126"},
    {"ThirtyTwoKeySpecifications", Wide,
     "d.txt,d.isi -1,3,5,7,9,11,13,15,17,19,21,23,25,27,29,31,33,35,37,39,41,43,45,47,49,51,53,"
     "55,57,59,61,63",
     0, "Indexing d.txt into d.isi\n40 records, 0 deleted entries\n" T, "d.isi d.txt", "keys32"},
    {"EmptyDataWithRecordLength", Empty, "d.txt,d.isi,l100 -1-5", 0,
     "Indexing d.txt into d.isi\n0 records, 0 deleted entries\n" T, "d.isi d.txt", "empty"},
    {"TwoByteFile", TwoBytes, "d.txt,d.isi -1", 0,
     "Indexing d.txt into d.isi\n1 records, 0 deleted entries\n" T, "d.isi d.txt"},
    {"SmallSortMemory", ManyTrains, SMALL_MEMORY "d.txt,d.isi -1-150", 0,
     SMALL_MEMORY_SHOWN "Indexing d.txt into d.isi\n\n\n3000 records, 0 deleted entries\n" T,
     "d.isi d.txt", nullptr},
    {"SpaceCompressionUpperCase", Tabs, "d.txt,d.isi -s,u,3-10", 0,
     "Indexing d.txt into d.isi\n4 records, 0 deleted entries\n"
     "Data file has variable length records and space compression.\n" T,
     "d.isi d.txt", "spacecomp_upper"},
    {"LongestRecordsAcrossDetectionChunks", Longest, "d.txt,d.isi -1-3", 0,
     "Indexing d.txt into d.isi\n2 records, 0 deleted entries\n"
     "Data file has 1 duplicate key entries.\n" T,
     "d.isi d.txt", "longest"},
    {"MarkAcrossTheInputBuffer", MarkAtBufferEnd, "d.txt,d.isi -v,1-6", 0,
     "Indexing d.txt into d.isi\n676 records, 0 deleted entries\n"
     "Data file has 52 duplicate key entries.\nData file has variable length records.\n" T,
     "d.isi d.txt", "mark_at_buffer_end"},
    {"MarkAcrossDetectionChunks", MarkAtChunkStart, "d.txt,d.isi -1-8", 0,
     "Indexing d.txt into d.isi\n100 records, 0 deleted entries\n" T, "d.isi d.txt",
     "mark_at_chunk_start"},
    // The mark in the second fill (from 65,536 on), the third (131,072) and
    // the last, which reaches the end of the file (less a 0x1A ending it).
    END_MARK("EndMarkInTheSecondFill", EndMarkAt({20}, "\n", 70000, 270000), "d.txt,d.isi -1-8",
             RECORDS("3500"), 131072 / 20),
    END_MARK("EndMarkInTheSecondFillVariable", EndMarkAt({15, 25}, "\n", 70000, 270000),
             "d.txt,d.isi -v,1-8", VARIABLE("3500"), 131072),
    END_MARK("EndMarkInTheThirdFillCrLf", EndMarkAt({25}, "\r\n", 140000, 240000),
             "d.txt,d.isi -1-8", RECORDS("5600"), 196608 / 25),
    END_MARK("EndMarkInTheLastFill", EndMarkAt({20}, "\n", 180000, 196600), "d.txt,d.isi -1-8",
             RECORDS("9000"), 196600 / 20),
    END_MARK("EndMarkInTheLastFillCrLf", EndMarkAt({25}, "\r\n", 175000, 196600),
             "d.txt,d.isi -1-8", RECORDS("7000"), 196600 / 25),
    END_MARK("EndMarkInTheLastFillEndingInAMark", EndMarkAt({15, 25}, "\n", 180000, 196600, '\x1A'),
             "d.txt,d.isi -v,1-8", VARIABLE("9000"), 196599),
    {"NameWithSlashExtension", Small, "d/txt,e -1-3", 0,
     "Indexing d.txt into e.ISI\n3 records, 0 deleted entries\n" T, "d.txt e.ISI", nullptr,
     "e.ISI"},
    {"NameEndingInADot", [](const TempDir& d) { d.write("d", "bbb 1\naaa 2\n"); }, "d.,e.isi -1-3",
     0, "Indexing d into e.isi\n2 records, 0 deleted entries\n" T, "d e.isi", nullptr, "e.isi"},
    {"EmptyProfileValueLeavesTheEnvironment", EmptyProfileValue, "-ik d.txt,d.isi -1-3", 0,
     "Indexing $D/sub/d.txt into $D/sub/d.isi\n2 records, 0 deleted entries\n" T, "k.ini sub",
     nullptr, "d.isi", "QRX_PATH=$D/sub"},
    {"VolumeName", InSub, "d/txt:data,d.isi -1-3", 0,
     "Indexing $D/sub/d.txt into $D/sub/d.isi\n2 records, 0 deleted entries\n" T, "sub", nullptr,
     "d.isi", "QRXVOL_DATA=$D/sub"},
    {"ErrorFileCannotBeCreated",
     [](const TempDir& d) {
       Small(d);
       mkdir(d.file("d.ERR").c_str(), 0755);
     },
     "d.txt,d.isi -e,1-3", 1, "Can't create output file d.ERR\n", "d.ERR d.txt"},
    // An output that cannot be created leaves the permission bits of the
    // files it was made from as they were (the runner compares them).
    {"OutputInAMissingDirectory", Small, "d.txt,nowhere/x.isi -1-3", 1,
     "Can't create output file nowhere/x.isi\n", "d.txt"},
    {"OutputUnderAFile", Small, "d.txt,d.txt/x.isi -1-3", 1,
     "Can't create output file d.txt/x.isi\n", "d.txt"},
    {"CompactIntoAMissingDirectory", FixedIsi, "d.isi,nowhere/c.isi -c", 1,
     "Can't create output file nowhere/c.isi\n", "d.isi d.txt", Untouched("fixed")},
    {"EmptyErrorFileRemoved", Small, "d.txt,d.isi -e,1-3", 0,
     "Indexing d.txt into d.isi\n3 records, 0 deleted entries\n" T, "d.isi d.txt"},
    {"TerminalDefinitionNotFitting", BadTerminal, "D -1-3", 0,
     "Indexing D.TXT into D.ISI\n2 records, 0 deleted entries\n" T, "D.ISI D.TXT vt.def", nullptr,
     "d.isi", "QRX_SYSTEM=$D QRX_TERM=vt"},

    // Index information, reindex and compaction.
    {"ShowStoredLine", FixedIsi, "d.isi -i", 0, "\nkelindex d.txt,d.isi,-1-4,9-12\n", "d.isi d.txt",
     Untouched("fixed")},
    {"ReindexGivesTheSameBytes", FixedIsi, "d.isi -r", 0,
     "\nkelindex d.txt,d.isi,-1-4,9-12\n"
     "Indexing d.txt into d.isi\n255 records, 253 deleted entries\n" T,
     "d.isi d.txt", "fixed"},
    {"ReindexWithoutTheStoredDirectories",
     [](const TempDir& d) { StoredLine(d, "gone/d.txt,gone/d.isi,-1-4,9-12"); }, "d.isi -r0", 0,
     "\nkelindex gone/d.txt,gone/d.isi,-1-4,9-12\nIndexing d.txt into d.isi\n"
     "255 records, 253 deleted entries\n" T,
     "d.isi d.txt", nullptr},
    {"ReindexIntoTheStoredDirectories",
     [](const TempDir& d) { StoredLine(d, "gone/d.txt,gone/d.isi,-1-4,9-12"); }, "d.isi -r", 1,
     "\nkelindex gone/d.txt,gone/d.isi,-1-4,9-12\nCan't open source file gone/d.txt\n",
     "d.isi d.txt", nullptr},
    {"CompactInPlace", FixedIsi, "d.isi -c", 0,
     "Compacting d.isi into d.isi\n255 records, 253 deleted entries\n" T, "d.isi d.txt",
     Compacted("fixed_compacted")},
    {"CompactExclusive", FixedIsi, "d.isi -c=1", 0,
     "Compacting d.isi into d.isi\n255 records, 253 deleted entries\n" T, "d.isi d.txt",
     Compacted("fixed_compacted")},
    {"CompactIntoNewFile", FixedIsi, "d.isi,n.isi -c", 0,
     "Compacting d.isi into n.isi\n255 records, 253 deleted entries\n" T, "d.isi d.txt n.isi",
     Compacted("fixed_new"), "n.isi"},
    {"CompactKeepingTheStoredLine", FixedIsi, "d.isi,n.isi -c=0", 0,
     "Compacting d.isi into n.isi\n255 records, 253 deleted entries\n" T, "d.isi d.txt n.isi",
     Compacted("fixed_keep"), "n.isi"},
    {"CompactPurgesTheChainOfSelectedRecords", SelectExtIsi, "d.isi -c", 0,
     "Compacting d.isi into d.isi\nDeleted Data Record sectors purged from ISI!"
     "15 records, 0 deleted entries\n" T,
     "d.isi d.txt", Compacted("select_ext_compacted")},
    {"CompactVariableLength", VarIsi, "d.isi -c", 0,
     "Compacting d.isi into d.isi\n120 records, 0 deleted entries\n" T, "d.isi d.txt",
     Compacted("var_compacted")},
    {"CompactStartsTheChainWhereTheHeaderSays", Ddr126Moved, "d.isi -c", 0,
     "Compacting d.isi into d.isi\n1 records, 126 deleted entries\n" T, "d.isi d.txt",
     Compacted("ddr126_compacted")},
    {"CompactOtherByteOrder", CrlfIsiForeign, "d.isi -c", 0,
     "Compacting d.isi into d.isi\n200 records, 0 deleted entries\n" T, "d.isi d.txt",
     Compacted("foreign_compacted")},

    // Damaged indexes: compaction refuses them and leaves the file as it was.
    DAMAGED("DamagedKeyLength", 10, "ISI header damaged: key length 0 is not 1 to 150.", 0, 0),
    DAMAGED("DamagedRootPosition", 20, "ISI header damaged: root position 3.", 3),
    DAMAGED("DamagedAddressing", 7,
            "ISI header damaged: its addressing does not match its record format.", 0),
    DAMAGED("DamagedRootCount", 1524,
            "ISI tree damaged: the root holds 255 entries, more than fit.", 255),
    DAMAGED("DamagedLeafCount", 6 * 512 + 500,
            "ISI tree damaged: a key sector holds more entries than fit.", 26),
    DAMAGED("DamagedChildOutsideTheFile", 1028,
            "ISI tree damaged: a child position names no key sector of the file.", 255, 127),
    DAMAGED("DamagedChildIsTheRoot", 1028,
            "ISI tree damaged: a child position names no key sector of the file.", 2),
    DAMAGED("DamagedLeafAboveItsParent", 6 * 512 + 506,
            "ISI tree damaged: key sector 6 is not below the sector above it.", 5),
    DAMAGED("DamagedSectorListedTwice", 1024 + 24,
            "ISI tree damaged: it yields more entries than the file holds.", 6),
    DAMAGED("DamagedChainLinkOutsideTheFile", 1536 + 504,
            "ISI deleted-record chain damaged: position 32767 names no DDR sector of the file.",
            255, 127),
    DAMAGED("DamagedChainLoop", 4 * 512 + 504,
            "ISI deleted-record chain damaged: it runs longer than the file has sectors.", 5, 0, 0,
            0),
    DAMAGED("DamagedChainMarker", 5 * 512 + 510,
            "ISI deleted-record chain damaged: position 5 names no DDR sector of the file.", 0),
    {"TreeDeeperThanThePath", [](const TempDir& d) { Deep(d, 49); }, "d.isi -c", 1,
     REFUSED("ISI tree damaged: more than 48 levels below the root."), "d.isi d.txt"},
    {"DeepTreeCompacted", [](const TempDir& d) { Deep(d, 48); }, "d.isi -c", 0,
     "Compacting d.isi into d.isi\n1 records, 253 deleted entries\n" T, "d.isi d.txt",
     Compacted("deep_compacted"), "d.isi", "", nullptr, nullptr, false},
    {"InfoRefusesKeyLength", [](const TempDir& d) { Damaged(d, 10, {151}); }, "d.isi -i", 1,
     "Damaged ISI structure found in file named:  d.isi.\n", "d.isi d.txt"},
    {"ReindexOfADamagedTree",
     [](const TempDir& d) {
       Damaged(d, 1028, {255, 127});
     },
     "d.isi -r", 0,
     "\nkelindex d.txt,d.isi,-1-4,9-12\nIndexing d.txt into d.isi\n"
     "255 records, 253 deleted entries\n" T,
     "d.isi d.txt", "fixed"},

    // Leading options and named settings.
    {"LogFile", Small, "-lk.log d.txt,d.isi -1-3", 0,
     "Indexing d.txt into d.isi\n3 records, 0 deleted entries\n" T, "d.isi d.txt k.log", nullptr,
     "d.isi", "", "k.log"},
    {"OptionLimits", Small, "-m2147483648 -t16384 -t0 -1 d.txt,d.isi -1-3", 0,
     "-m option value too large.  Default assumed.\n"
     "-t option value too large.  Default of 999 assumed.\n"
     "-t option value too small.  Default assumed.\n"
     "Indexing d.txt into d.isi\n3 records, 0 deleted entries\n" T,
     "d.isi d.txt", nullptr},
    {"Diagnostics", Small, "-d d.txt,d.isi -1-3", 0,
     "INI file NOT USED!\nCommand line is:d.txt,d.isi -1-3\nTemporary file path is:\n"
     "Created $D/work/dsortXXXXXX as temp file 1\nCreated $D/work/dsortXXXXXX as temp file 2\n"
     "  Col   Pos Char  Other\n    1     1       Key;\n    2     2       Key;\n"
     "    3     3       Key;\nOpened d.txt as input file\n"
     "Expected End of Record for data file is LF.\n\rCreated d.isi as output file\n"
     "Indexing d.txt into d.isi\n3 records, 0 deleted entries\n" T,
     "d.isi d.txt", nullptr},
    {"ProfileNamesTheDataPath", Profile, "-ik d.txt,d.isi -1-3", 0,
     "Indexing sub/d.txt into sub/d.isi\n2 records, 0 deleted entries\n" T, "k.ini sub"},
    {"EnvironmentNamesTheDataPath", Profile, "d.txt,d.isi -1-3", 0,
     "Indexing $D/sub/d.txt into $D/sub/d.isi\n2 records, 0 deleted entries\n" T, "k.ini sub",
     nullptr, "d.isi", "QRX_PATH=$D/sub"},
    {"TerminalDefinitionExtensions", Terminal, "D -1-3", 0,
     "Indexing D.dat into D.ISI\n2 records, 0 deleted entries\n" T, "D.ISI D.dat vt.def", nullptr,
     "d.isi", "QRX_SYSTEM=$D QRX_TERM=vt QRX_FNC=Mixed"},
    {"LowerCaseNames", Lower, "D.DAT,X.IDX -1-3", 0,
     "Indexing d.dat into x.idx\n2 records, 0 deleted entries\n" T, "d.dat x.idx", nullptr, "d.isi",
     "QRX_FNC=lower"},

    // The data do not have the format asked for: the index goes.
    {"DuplicatesRefused", Dups, "d.txt,d.isi -n,1-3", 1,
     "Indexing d.txt into d.isi\n"
     "Duplicate Key at:              38 Key:aaa \nDuplicate Key at:              46 Key:aaa \n"
     "Duplicate Key at:              23 Key:baa \nDuplicate Key at:              2A Key:baa \n"
     "Duplicate Key at:              31 Key:bab \nDuplicate Key at:              3F Key:bba \n"
     "12 records, 0 deleted entries\nData file has 6 duplicate key entries.\n"
     "Data file is not in the correct format.  Index file will be deleted.\n",
     "d.ERR d.txt", nullptr},
    {"TabsWithoutSpaceCompression", Tabs, "d.txt,d.isi -3-10", 1,
     "Indexing d.txt into d.isi\n4 records, 0 deleted entries\n"
     "Data file has variable length records and space compression.\n"
     "Record longer than maximum record length was found.\n"
     "Data file is not in the correct format.  Index file will be deleted.\n",
     "d.txt"},
    {"VariableLengthNotAllowed", Var, "d.txt,d.isi -1-8", 1,
     "Indexing d.txt into d.isi\n120 records, 14 deleted entries\n"
     "Data file has variable length records.\n"
     "Record longer than maximum record length was found.\n"
     "Data file is not in the correct format.  Index file will be deleted.\n",
     "d.txt"},
    {"BinaryRecordWithoutMark", NoMark, "d.bin,d.isi -g=3,1-3", 1,
     "Indexing d.bin into d.isi\nWARNING!  INDEX failed reading input file d.bin.\n"
     "Invalid EOR found for record starting at byte offset: 4.\n",
     "d.bin", nullptr},
    {"BinaryMarkOfOneByteRecords", OneByteRecords, "d.bin,d.isi -g=1,1", 1,
     "Indexing d.bin into d.isi\nWARNING!  INDEX failed reading input file d.bin.\n"
     "Invalid EOR found for record starting at byte offset: 4.\n",
     "d.bin", nullptr},
    {"BinaryMarkRightAfterTheInputBuffer", MarkAfterBufferEnd, "d.bin,d.isi -g=16,1-16", 0,
     "Indexing d.bin into d.isi\n4100 records, 0 deleted entries\n" T, "d.bin d.isi"},
    {"PrimaryTestPastShortRecords", TestPastShortRecords, "d.txt,d.isi -v,p20#x,1-4", 0,
     "Indexing d.txt into d.isi\n30 records, 0 deleted entries\n"
     "Data file has variable length records.\n" T,
     "d.isi d.txt", nullptr},
    {"TabsUpToTheLongestRecord", TabsToTheLongestRecord, "d.txt,d.isi -s,1-3", 0,
     "Indexing d.txt into d.isi\n3 records, 0 deleted entries\n"
     "Data file has variable length records and space compression.\n" T,
     "d.isi d.txt", nullptr},
    {"LoneCrInsideCrLfRecords", LoneCr, "d.txt,d.isi -1-8", 0,
     "Indexing d.txt into d.isi\n300 records, 0 deleted entries\n" T, "d.isi d.txt"},
    {"RecordLongerThanAllowed", LongRecord, "d.txt,d.isi -v,1-3", 1,
     "Indexing d.txt into d.isi\nA record longer than 65533 bytes was found.", "d.txt"},
    {"NullFileWithoutLength", Empty, "d.txt,d.isi -v,1-3", 1,
     "Indexing d.txt into d.isi\n0 records, 0 deleted entries\n"
     "\aNull file must have record length on command line\n"
     "WARNING!  INDEX failed writing to file d.isi.\n",
     "d.txt"},
    {"TooManySortTrains", ManyTrains, SMALL_MEMORY "-t2 d.txt,d.isi -1-150", 1,
     SMALL_MEMORY_SHOWN
     "Max sort trains set to 2.\nIndexing d.txt into d.isi\n\n"
     "Too many sort trains\nWARNING!  INDEX failed writing to file $D/work/dsortXXXXXX.\n",
     "d.txt"},

    // Refused commands and files.
    {"Usage", Nothing, "-?", 1, nullptr, ""},
    REFUSED_COMMAND("Incomplete", "d.txt,d.isi",
                    "The command line is incomplete.  Use -? option.\n"),
    REFUSED_COMMAND("OverlappingKeys", "d.txt,d.isi -1-3,2", "Overlapping keys are not allowed.\n"),
    REFUSED_COMMAND("UpperCaseAfterKeys", "d.txt,d.isi -1-3u",
                    "Uppercase option must be given prior to key specifications.\n"),
    REFUSED_COMMAND("UnknownLetterAfterComma", "d.txt,d.isi -1-3,junk",
                    "Invalid key specification syntax.\n"),
    REFUSED_COMMAND("RecordLengthField", "d.txt,d.isi,x100 -1-3",
                    "Invalid record length specification.\n"),
    REFUSED_COMMAND("RecordLengthZero", "d.txt,d.isi,l0 -1-3",
                    "Invalid record length specification.\n"),
    REFUSED_COMMAND("RecordLengthTooLarge", "d.txt,d.isi,l65535 -1-3",
                    "Invalid record length specification.\n"),
    REFUSED_COMMAND("KeyColumnTooLarge", "d.txt,d.isi -65535",
                    "A key specification is too large.\n"),
    REFUSED_COMMAND("TooManyKeyBytes", "d.txt,d.isi -1-151",
                    "Too many key bytes have been selected in each record.\n"),
    REFUSED_COMMAND(
        "TooManyKeySpecifications",
        "d.txt,d.isi -1,3,5,7,9,11,13,15,17,19,21,23,25,27,29,31,33,35,37,39,41,43,45,47,49,51,53,"
        "55,57,59,61,63,65",
        "Cannot use more than 32 key specifications!\n"),
    REFUSED_COMMAND("MalformedPrimaryTest", "d.txt,d.isi -p5,1-3",
                    "Invalid primary key information.\n"),
    {"HighestPrimaryColumn", Small, "d.txt,d.isi -p65534=A,1-3", 0,
     "Indexing d.txt into d.isi\n0 records, 0 deleted entries\n" T, "d.isi d.txt"},
    REFUSED_COMMAND("PrimaryColumnTooHigh", "d.txt,d.isi -p65535=A,1-3",
                    "Invalid primary key information.\n"),
    REFUSED_COMMAND("ElevenPrimaryTests",
                    "d.txt,d.isi -p1=a,p2=a,p3=a,p4=a,p5=a,p6=a,p7=a,p8=a,p9=a,p10=a,p11=a,1-3",
                    "Cannot use more than 10 'P' option parameters!\n"),
    REFUSED_COMMAND("BinaryWithVariableLength", "d.txt,d.isi -f=80,v,1-3",
                    "Conflicting utility options specified. (f, s, & v).\n"),
    REFUSED_COMMAND("BinaryWithoutLength", "d.txt,d.isi -f,1-3",
                    "Options '-f or -g' require record length specification.\n"),
    REFUSED_COMMAND("BinaryLengthsDisagree", "d.txt,d.isi,l100 -f=80,1-3",
                    "Conflicting record length specifications.\n"),
    {"BinarySizeNotAMultiple", Odd, "d.bin,d.isi -f=10,1-3", 1,
     "Record size not valid for file length found.\n", "d.bin"},
    REFUSED_COMMAND("FillPercent", "d.txt,d.isi -m5x,1-3",
                    "Invalid Max sector fill percent specification\n"),
    REFUSED_COMMAND("OsType", "d.txt,d.isi -o=3,1-3", "Invalid 'O' option value!\n"),
    REFUSED_COMMAND("CompactOption", "d.isi -c=2", "Invalid compact option!\n"),
    REFUSED_COMMAND("CompactNotAlone", "d.isi -uc", "Conflicting key options.\n"),
    REFUSED_COMMAND("SameNameAsData", "d.txt,d.txt -1-3",
                    "The Output file name can not be same as Input name.\n"),
    {"NoRecordLength", Empty, "d.txt,d.isi -1-3", 1,
     "Unable to determine record length for fixed record length file: d.txt\n", "d.txt"},
    {"StoredLineTooLong", Small, kLongStored.c_str(), 1,
     "The command line is too long to store in the ISI header (at most 527 characters).\n", "d.txt",
     nullptr},
    {"DataNotOnThePath", Nothing, "d.txt,d.isi -q,1-3", 1, "Can't open source file d.txt\n", "",
     nullptr, "d.isi", "QRX_PATH=$D/none:$D/other"},
    REFUSED_COMMAND("CommandTextTooLong", kLongText.c_str(),
                    "The command line is too long (at most 576 characters).\n"),
    REFUSED_COMMAND("WorkDirectoryTooLong", kLongTmp.c_str(),
                    "The temporary file path is too long.\n"),
    {"NameTooLong", Small, kLongBase.c_str(), 1, "One of the filenames is too long.\n", "d.txt",
     nullptr},
    REFUSED_COMMAND("SelectionLiteralTooLong", kLongLiteral.c_str(),
                    "Invalid primary key information.\n"),
    REFUSED_COMMAND("SelectionColumnZero", "d.txt,d.isi -p0=a,1-3",
                    "Invalid primary key information.\n"),
    {"LogNameTooLong", Small, kLongLog.c_str(), 1, "One of the filenames is too long.\n", "d.txt",
     nullptr},
    {"InfoOfMissingFile", Nothing, "d.isi -i", 1, "Can't open .isi file d.isi\n", ""},
    {"InfoOfEmptyFile", EmptyIsi, "d.isi -i", 1, "Not a valid .isi file d.isi\n", "d.isi d.txt",
     nullptr},
    {"InfoOfNoIndex", NotIsi, "d.isi -i", 1, "Not a valid .isi file d.isi\n", "d.isi d.txt",
     nullptr},
    {"CompactMissingIsi", Nothing, "d.isi -c", 1,
     "Unable to open input ISI file for compact: d.isi\n\n", ""},
    {"CompactNoIndex", NotIsi, "d.isi -c", 1,
     "Compacting d.isi into d.isi\nNot a valid .isi file structure for file: d.isi.\n",
     "d.isi d.txt", nullptr},
    {"CompactBadVersion", BadVersion, "d.isi -c", 1,
     "Compacting d.isi into d.isi\nInvalid ISI version to compact file named:  d.isi.\n",
     "d.isi d.txt", nullptr},
    {"CompactStoredLineWithoutFields", [](const TempDir& d) { StoredLine(d, "d.txt"); },
     "d.isi,n.isi -c", 1,
     "Compacting d.isi into n.isi\n"
     "Invalid input ISI command line format found in file named:  d.isi.\n",
     "d.isi d.txt", nullptr},
    {"CompactNewStoredLineTooLong",
     [](const TempDir& d) { StoredLine(d, "d.txt,d.isi,-1-4,9-12 " + std::string(500, 'x')); },
     "d.isi,longer-name.isi -c", 1,
     "Compacting d.isi into longer-name.isi\n"
     "New compact command line too long to store in ISI header!\n",
     "d.isi d.txt", nullptr},
    {"CompactWithoutDataFile", OnlyIsi, "d.isi,n.isi -c", 1,
     "Compacting d.isi into n.isi\nUnable to open ISI data file: d.txt\n"
     "Unable to execute ISI compact operation with locking!\n",
     "d.isi", nullptr},
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// ---- The runner --------------------------------------------------------------

const char kBanner[] =
    "\nKELVANE INDEX COMMAND   Version 10.8   07 Oct 2025"
    "\nBuilds, shows, rebuilds and compacts ISI index files."
    "\n-? shows the options.\n";

std::string Listing(const TempDir& dir) {
  std::string names;
  for (const std::string& n : dir.list()) {
    if (n == "work") continue;
    names += (names.empty() ? "" : " ") + n;
  }
  return names;
}

bool UpdatingGoldens() {
  const char* v = getenv("KEL_UPDATE_GOLDEN");
  return v != nullptr && *v == '1';
}

class E2e : public ::testing::TestWithParam<Case> {};

// A run's messages as the table writes them: the time line as T, the run's
// directory as $D, work-file names without their unique part.
std::string Normalized(const std::string& text, const TempDir& dir) {
  std::string t = std::regex_replace(
      text,
      std::regex("Start time = \\d\\d:\\d\\d:\\d\\d  Stop time = \\d\\d:\\d\\d:\\d\\d  "
                 "Elapsed time = \\d\\d:\\d\\d:\\d\\d\n"),
      T);
  t = std::regex_replace(t, std::regex("/dsort[A-Za-z0-9]{6}"), "/dsortXXXXXX");
  return kt::ReplaceAll(t, dir.path(), "$D");
}

mode_t Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A key or DDR sector of an index with every number reversed, also those
// of the slots past its count (the count is forced for the translators).
std::string EverySlotReversed(std::string s, bool ddr, uint32_t entrySize) {
  auto* p = reinterpret_cast<uint8_t*>(s.data());
  const size_t countAt = ddr ? kDdrCountOfs : kKeyCountOfs, countSize = ddr ? 2 : 1;
  std::string count = s.substr(countAt, countSize);
  if (ddr) {
    StoreU16(p + countAt, kIsiDdrPerSector);
    IsiXlatDdrSector(p);
  } else {
    p[countAt] = static_cast<uint8_t>(IsiEntriesPerSector(entrySize));
    IsiXlatKeySector(p, entrySize);
  }
  std::reverse(count.begin(), count.end());
  return s.replace(countAt, countSize, count);
}

// The golden files were made on a little-endian machine and stand as they
// are for a run there. On a big-endian one a build writes that machine's
// order; and whoever fills a key or DDR sector in memory leaves the slots
// past its count (entries its buffer held before, which no reader looks at)
// in the order of its memory, whatever the file's order. A compaction
// fills the key sectors of the new tree, but copies the sectors of deleted
// records as it reads them.
std::string ForThisMachine(const std::string& golden, Writer writer) {
  if (std::endian::native == std::endian::little || writer == Writer::kNone) return golden;
  std::string out = golden, header = golden.substr(0, kIsiHeaderSize);
  auto* h = reinterpret_cast<uint8_t*>(header.data());
  const bool foreign = IsiHeaderOrder(h) == kIsiForeign,
             whole = foreign && writer == Writer::kBuild;
  if (foreign) IsiXlatHeader(h);
  if (whole) {
    out.replace(0, header.size(), header);
    std::swap(out[kHdrVersionOfs], out[kHdrVersionOfs + 1]);
  }
  const uint32_t entrySize = IsiEntrySize(LoadU16(h + kHdrKeyLengthOfs));
  const bool recNum = (h[kHdrModeOfs] & kModeRecNum) != 0;
  std::set<uint64_t> seen;
  // Puts what the run leaves at the sector at `at` into `out`; returns the
  // sector in this machine's order, or "" when it was met before.
  auto place = [&](uint64_t at, bool ddr) -> std::string {
    if (at + kIsiSector > golden.size() || !seen.insert(at).second) return "";
    std::string s = golden.substr(at, kIsiSector), all = EverySlotReversed(s, ddr, entrySize);
    auto* p = reinterpret_cast<const uint8_t*>((foreign ? all : s).data());
    size_t from = ddr ? LoadU16(p + kDdrCountOfs) * sizeof(uint32_t) : p[kKeyCountOfs] * entrySize;
    size_t to = ddr ? kIsiDdrTrailerOfs : IsiEntriesPerSector(entrySize) * entrySize;
    if (whole) {
      out.replace(at, kIsiSector, all);
    } else if (from < to) {
      out.replace(at + from, to - from, all.substr(from, to - from));
    }
    return foreign ? all : s;
  };
  // The tree from its root, then the chain of deleted records that a build
  // filled.
  for (std::vector<uint32_t> next = {LoadU32(h + kHdrRootPosOfs)}; !next.empty();) {
    std::string s = place(IsiSectorOffset(recNum, next.back()), false);
    next.pop_back();
    if (s.empty()) continue;
    auto* p = reinterpret_cast<const uint8_t*>(s.data());
    uint32_t count = std::min(uint32_t{p[kKeyCountOfs]}, IsiEntriesPerSector(entrySize));
    for (uint32_t e = 0; e <= count; ++e) {
      uint32_t child = LoadU32(p + (e < count ? e * entrySize + kEntryChildOfs : kKeyRightOfs));
      if (child != 0) next.push_back(child);
    }
  }
  for (uint32_t pos = LoadU32(h + kHdrDdrHeadOfs);
       writer == Writer::kBuild && pos != kIsiNoSector;) {
    std::string s = place(IsiSectorOffset(recNum, pos), true);
    if (s.empty()) break;
    pos = LoadU32(reinterpret_cast<const uint8_t*>(s.data()) + kDdrLinkOfs);
  }
  return out;
}

// kelisi finds the index consistent with the data file beside it, which
// its header names.
void ExpectConsistent(const std::string& isi) {
  kelisi* ix = nullptr;
  ASSERT_EQ(kelisi_open(isi.c_str(), nullptr, 0, &ix), KELISI_OK) << isi;
  kelisi_header h;
  kelisi_get_header(ix, &h);
  kelisi_close(ix);
  std::string name = h.data_name, data = isi.substr(0, isi.find_last_of('/') + 1);
  data += name.substr(name.find_last_of('/') + 1);
  kt::RunResult r = kt::RunKelisi({"check", isi, data});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

TEST_P(E2e, Run) {
  const Case& c = GetParam();
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("work").c_str(), 0700), 0);
  c.setup(dir);
  std::map<std::string, std::string> before;
  std::map<std::string, mode_t> modes;
  for (const std::string& n : dir.list()) {
    before[n] = dir.read(n);
    modes[n] = Mode(dir.file(n));
  }
  kt::RunOptions opts;
  opts.cwd = dir.path();
  opts.env = {{"TMPDIR", dir.file("work")}};
  for (const std::string& pair : kt::Split(c.env)) {
    if (pair.empty()) continue;
    size_t eq = pair.find('=');
    opts.env.emplace_back(pair.substr(0, eq),
                          kt::ReplaceAll(pair.substr(eq + 1), "$D", dir.path()));
  }
  kt::RunResult r = kt::RunKelindex(kt::Split(c.args), opts);

  // The echo of the command and the banner open every run's output.
  // (With -l, the log holds everything.)
  std::string out = r.out.empty() && c.textFile != nullptr ? dir.read(c.textFile) : r.out;
  std::string head = "kelindex " + std::string(c.args) + " \n" + kBanner;
  ASSERT_EQ(out.substr(0, head.size()), head);
  std::string messages = Normalized(out.substr(head.size()), dir);
  std::string text = c.textFile != nullptr ? Normalized(dir.read(c.textFile), dir) : "";
  if (UpdatingGoldens()) {
    printf("%s: exit %d after \"%s\"\n%s\n%s\n", c.name, r.exitCode, Listing(dir).c_str(),
           messages.c_str(), text.c_str());
    // The first row that names a golden file makes it; later rows use it.
    static std::set<std::string> written;
    if (c.golden.name != nullptr && written.insert(c.golden.name).second) {
      kt::WriteFileBytes(std::string(KEL_SOURCE_DIR) + "/tests/golden/" + c.golden.name + ".isi",
                         dir.read(c.isi));
    }
    return;
  }
  EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
  if (c.messages != nullptr) {
    EXPECT_EQ(messages, c.messages);
  }
  if (c.text != nullptr) {
    EXPECT_EQ(text, c.text) << c.textFile;
  }
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Listing(dir), c.after);
  for (const auto& [name, bytes] : before) {
    EXPECT_TRUE(c.exit == 0 || dir.read(name) == bytes) << "a refused run changed " << name;
    if (dir.exists(name)) {
      EXPECT_EQ(Mode(dir.file(name)), modes[name]) << "the run changed the mode of " << name;
    }
  }
  // -d keeps the work files for a look at them.
  if (std::string(c.args).find("-d ") == std::string::npos) {
    EXPECT_EQ(kt::ListDirectory(dir.file("work")), std::vector<std::string>{}) << "work files";
  }
  if (c.exit == 0 && c.golden.name != nullptr && c.ofItsData) ExpectConsistent(dir.file(c.isi));
  if (c.dataLength >= 0) {
    std::string header = dir.read(c.isi);
    uint32_t length = 0;
    ASSERT_GE(header.size(), 16u);
    memcpy(&length, header.data() + 12, sizeof length);
    EXPECT_EQ(length, c.dataLength) << "the header's data length";
  }
  if (c.golden.name != nullptr) {
    std::string want = Golden(c.golden.name);
    ASSERT_FALSE(want.empty()) << "no golden file " << c.golden.name;
    EXPECT_TRUE(dir.read(c.isi) == ForThisMachine(want, c.golden.writer))
        << c.isi << " differs from golden " << c.golden.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, E2e, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// -q appends a run's messages to a log it finds; -l would start it anew.
TEST(Log, AppendsToTheLogItFinds) {
  TempDir dir;
  Small(dir);
  dir.write("k.log", "an earlier run\n");
  ASSERT_EQ(kt::RunKelindex({"-qk.log", "d.txt,d.isi", "-1-3"}, dir.path()).exitCode, 0);
  std::string log = dir.read("k.log");
  EXPECT_EQ(log.substr(0, 51), "an earlier run\nkelindex -qk.log d.txt,d.isi -1-3 \n\n");
  EXPECT_NE(log.find("3 records, 0 deleted entries\n"), std::string::npos) << log;
}

}  // namespace

namespace {

// A read-only directory refuses the output (as it does to anyone but the
// superuser, so the runs are made as another user, who owns the files):
// the files the run started from keep their modes.
TEST(ReadOnlyDirectory, TheFilesARunStartedFromKeepTheirModes) {
  TempDir dir;
  Fixed(dir);
  dir.write("d.isi", Golden("fixed"));
  dir.write("ro/keep", "");
  chmod(dir.path().c_str(), 0755);
  for (const char* f : {"d.txt", "d.isi"}) {
    chmod(dir.file(f).c_str(), 0606);
    if (geteuid() == 0) {
      ASSERT_EQ(chown(dir.file(f).c_str(), 65534, 65534), 0);
    }
  }
  chmod(dir.file("ro").c_str(), 0555);
  kt::RunOptions opts;
  opts.cwd = dir.path();
  opts.notSuperuser = true;
  for (const char* args : {"d.txt,ro/x.isi -1-4,9-12", "d.isi,ro/c.isi -c"}) {
    kt::RunResult r = kt::RunKelindex(kt::Split(args), opts);
    EXPECT_EQ(r.exitCode, 1) << args;
    std::string output = std::string(args).find("-c") != std::string::npos ? "c.isi" : "x.isi";
    EXPECT_NE(r.out.find("\nCan't create output file ro/" + output + "\n"), std::string::npos)
        << args << r.out;
    EXPECT_EQ(Mode(dir.file("d.txt")) & 07777, 0606u) << args;
    EXPECT_EQ(Mode(dir.file("d.isi")) & 07777, 0606u) << args;
  }
  chmod(dir.file("ro").c_str(), 0755);
}

}  // namespace

namespace {

// --help and --version, each the only argument, follow other programs'
// conventions: the usage with every form and leading option, the version,
// status 0. With anything else they are a command text as any other.
TEST(Conventions, HelpAndVersionAloneAnswerWithStatus0) {
  TempDir dir;
  kt::RunResult help = kt::RunKelindex({"--help"}, dir.path());
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.err, "");
  for (const char* line :
       {"usage: kelindex [-l{log}|-q{log}] [-0|-1] [-d] [-i{ini}] [-m{bytes}] [-t{trains}]\n",
        "            {data}[,{isi}[,{Lnnn}[,{tmppath}]]] -[{opts}]{keyspecs}\n",
        "       kelindex isi -i ", "       kelindex isi -r[0] ", "       kelindex isi[,new] -c[=0|=1] ",
        "\n  -t{trains}  the sort trains allowed, 1 to 16383 (20000 without -t)\n",
        "\n  keyspecs: 1-10,21-30,15-20,...etc;  Up to 150 bytes can be used\n"}) {
    EXPECT_NE(help.out.find(line), std::string::npos) << line << help.out;
  }
  const std::string version = std::string("kelindex ") + KEL_VERSION + "\n";
  EXPECT_EQ(help.out.substr(help.out.size() - version.size()), version);
  kt::RunResult v = kt::RunKelindex({"--version"}, dir.path());
  EXPECT_EQ(v.exitCode, 0);
  EXPECT_EQ(v.out, version);
  kt::RunResult more = kt::RunKelindex({"--help", "x"}, dir.path());
  EXPECT_EQ(more.exitCode, 1);
  EXPECT_NE(more.out.find("The command line is incomplete.  Use -? option.\n"), std::string::npos);
  EXPECT_EQ(kt::RunKelindex({"-?"}, dir.path()).exitCode, 1);
  EXPECT_EQ(dir.list(), std::vector<std::string>{});
}

}  // namespace
