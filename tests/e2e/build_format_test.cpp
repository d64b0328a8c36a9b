// The header of a built index, byte for byte: for each option that changes
// it, the whole 1024-byte header the build wrote is held against one
// composed from the format, and the tree behind it against the data's keys.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

struct HeaderWant {
  uint8_t fmt = 0x80, mode = 0x01;
  uint16_t recLen = 15, keyLen = 10;
  uint32_t dataLen = 30, root = 2, recCount = 30;
  std::vector<std::string> primary;  // 4-byte entries as they stand at 64
  bool extended = false;             // 0xFF at 103
  std::vector<std::pair<uint16_t, uint16_t>> keySpecs = {{0, 10}};
  std::string name = "d.txt", cmd;
};

std::string HeaderBytes(const HeaderWant& w) {
  std::string h(1024, '\0');
  h.replace(0, 4, "SISI");
  h[4] = 0x03;
  h[5] = static_cast<char>(0xFC);
  h[6] = static_cast<char>(w.fmt);
  h[7] = static_cast<char>(w.mode);
  PutU16(&h, 8, w.recLen);
  PutU16(&h, 10, w.keyLen);
  PutU32(&h, 12, w.dataLen);
  PutU32(&h, 16, 0xFFFFFFFF);  // no deleted records in these builds
  PutU32(&h, 20, w.root);
  PutU32(&h, 24, 0xFFFFFFFF);
  PutU32(&h, 44, w.recCount);
  for (size_t i = 0; i < w.primary.size(); ++i) h.replace(64 + 4 * i, 4, w.primary[i]);
  if (w.extended) h[103] = static_cast<char>(0xFF);
  for (size_t i = 0; i < w.keySpecs.size(); ++i) {
    PutU16(&h, 112 + 4 * i, w.keySpecs[i].first);
    PutU16(&h, 114 + 4 * i, w.keySpecs[i].second);
  }
  h.replace(240, w.name.size(), w.name);
  h.replace(496, w.cmd.size(), w.cmd);
  return h;
}

std::string Test4(uint16_t column, uint8_t ops, char ch) {
  std::string t(4, '\0');
  PutU16(&t, 0, column);
  t[2] = static_cast<char>(ops);
  t[3] = ch;
  return t;
}

// 30 records of 15 bytes, unique keys in columns 1-10 arriving in
// descending order, '0' in column 11.
DataFile Standard(const std::string& eor = "\n") {
  DataFile d(eor);
  for (int i = 0; i < 30; ++i) {
    char body[32];
    snprintf(body, sizeof body, "key%02dx    %05d", 29 - i, i);
    d.Rec(body);
  }
  return d;
}

// The same keys as binary records of 16 bytes without marks.
DataFile Binary() {
  DataFile d("");
  for (int i = 0; i < 30; ++i) {
    char body[32];
    snprintf(body, sizeof body, "key%02dx    %05d\x01", 29 - i, i);
    d.Rec(body);
  }
  return d;
}

struct HeaderCase {
  const char* what;
  DataFile data;
  std::string dataName;  // relative to the test directory
  std::vector<std::string> args;
  std::string isi;  // where the index lands
  HeaderWant want;
  KeySpecs keys = {{1, 10}};
  bool upper = false;
};

HeaderWant With(void (*edit)(HeaderWant&)) {
  HeaderWant w;
  edit(w);
  return w;
}

std::vector<HeaderCase> Cases() {
  return {
      {"default", Standard(), "d.txt", {"d.txt,d.isi", "-1-10"}, "d.isi", {}},
      {"u",
       Standard(),
       "d.txt",
       {"d.txt,d.isi", "-u1-10"},
       "d.isi",
       With([](HeaderWant& w) { w.fmt = 0x81; }),
       {{1, 10}},
       true},
      {"n", Standard(), "d.txt", {"d.txt,d.isi", "-n1-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0x84;
       })},
      {"n0", Standard(), "d.txt", {"d.txt,d.isi", "-n01-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0x84;
       })},
      {"n$", Standard(), "d.txt", {"d.txt,d.isi", "-n$1-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0x84;
       })},
      {"s", Standard(), "d.txt", {"d.txt,d.isi", "-s1-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0xAA, w.mode = 0, w.recLen = 256, w.dataLen = 480, w.root = 1024;
       })},
      {"v", Standard(), "d.txt", {"d.txt,d.isi", "-v1-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0xA2, w.mode = 0, w.recLen = 256, w.dataLen = 480, w.root = 1024;
       })},
      {"w", Standard(), "d.txt", {"d.txt,d.isi", "-w1-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0xA0;
       })},
      {"p",
       Standard(),
       "d.txt",
       {"d.txt,d.isi", "-p13#x,p11=0,1-10"},
       "d.isi",
       With([](HeaderWant& w) {
         w.fmt = 0xA0, w.primary = {Test4(11, 0x20, '0'), Test4(13, 0x10, 'x')};
       })},
      {"p extended",
       Standard(),
       "d.txt",
       {"d.txt,d.isi", "-p=\"11='0'\",1-10"},
       "d.isi",
       With([](HeaderWant& w) {
         w.fmt = 0xA0, w.primary = {Test4(11, 0x20, '"')}, w.extended = true;
       })},
      {"f", Binary(), "d.bin", {"d.bin,d.isi,l16", "-f1-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0x90, w.recLen = 16, w.name = "d.bin";
       })},
      {"f=", Binary(), "d.bin", {"d.bin,d.isi", "-f=16,1-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0x90, w.recLen = 16, w.name = "d.bin";
       })},
      {"g", Standard(), "d.txt", {"d.txt,d.isi,l15", "-g1-10"}, "d.isi", {}},
      {"o", Standard(), "d.txt", {"d.txt,d.isi", "-o1-10"}, "d.isi", With([](HeaderWant& w) {
         w.mode = 0x11;
       })},
      {"o=1", Standard(), "d.txt", {"d.txt,d.isi", "-o=1,1-10"}, "d.isi", With([](HeaderWant& w) {
         w.mode = 0x09;
       })},
      {"o=2", Standard(), "d.txt", {"d.txt,d.isi", "-o=2,1-10"}, "d.isi", With([](HeaderWant& w) {
         w.mode = 0x11;
       })},
      {"CR LF",
       Standard("\r\n"),
       "d.txt",
       {"d.txt,d.isi", "-1-10"},
       "d.isi",
       With([](HeaderWant& w) { w.fmt = 0x40; })},
      {"LF CR",
       Standard("\n\r"),
       "d.txt",
       {"d.txt,d.isi", "-1-10"},
       "d.isi",
       With([](HeaderWant& w) { w.fmt = 0xC0; })},
      {"CR", Standard("\r"), "d.txt", {"d.txt,d.isi", "-1-10"}, "d.isi", With([](HeaderWant& w) {
         w.fmt = 0x00;
       })},
      {"key specs",
       Standard(),
       "d.txt",
       {"d.txt,d.isi", "-10-1,12,14-15"},
       "d.isi",
       With([](HeaderWant& w) {
         w.keyLen = 13, w.keySpecs = {{9, 65528}, {11, 1}, {13, 2}};
       }),
       {{10, 1}, {12, 12}, {14, 15}}},
      {"32 key specs fill the table",
       Standard(),
       "d.txt",
       {"d.txt,d.isi",
        "-1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32"},
       "d.isi",
       With([](HeaderWant& w) {
         w.keyLen = 32, w.keySpecs.clear();
         for (uint16_t c = 0; c < 32; ++c) w.keySpecs.push_back({c, 1});
       }),
       {{1, 15}, {16, 32}}},
      {"path kept",
       Standard(),
       "sub/d.txt",
       {"sub/d.txt,d.isi", "-1-10"},
       "sub/d.isi",
       With([](HeaderWant& w) { w.name = "sub/d.txt"; })},
      {"z", Standard(), "sub/d.txt", {"sub/d.txt,d.isi", "-z1-10"}, "sub/d.isi", {}},
  };
}

class BuildFormatTest : public E2eTest {};

TEST_F(BuildFormatTest, HeaderAndTreeForEachOption) {
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  for (HeaderCase& c : Cases()) {
    SCOPED_TRACE(c.what);
    dir.write(c.dataName, c.data.bytes());
    isir::IsiReader isi;
    ASSERT_TRUE(BuildAndLoad(c.args, c.isi, &isi));
    // The stored line: the file fields as typed, a ',' closing the ISI
    // field, then the rest of the command text.
    std::string rest = c.args[1];
    std::string fields = c.args[0];
    size_t comma = fields.find(',', fields.find(',') + 1);
    c.want.cmd = comma == std::string::npos ? fields + "," + rest : fields + " " + rest;
    EXPECT_TRUE(SameBytes(isi.bytes().substr(0, 1024), HeaderBytes(c.want)));
    uint32_t recordSize = c.want.mode & 0x01 ? c.data.records()[0].size : 0;
    EXPECT_TRUE(SameEntries(Walk(isi), ExpectedEntries(c.data, c.keys, recordSize, c.upper)));
    EXPECT_TRUE(WorkFiles().empty());
  }
}

}  // namespace
}  // namespace e2e
