// The header of a built index, byte for byte: for each option that changes
// it, the whole 1024-byte header the build wrote is held against one
// composed from the format, and the tree behind it against the data's keys.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "support/isi_writer.h"

namespace e2e {
namespace {

struct HeaderWant {
  uint8_t fmt = 0x80, mode = 0x01;
  uint16_t recLen = 15, keyLen = 10;
  uint32_t dataLen = 30, root = 2;
  std::vector<std::string> primary = {};  // 4-byte entries as they stand at 64
  bool extended = false;                  // 0xFF at 103
  std::vector<std::pair<uint16_t, uint16_t>> keySpecs = {{0, 10}};
  std::string name = "d.txt";
};

std::string Test4(uint16_t column, uint8_t ops, char ch) {
  std::string t(4, '\0');
  isiw::Put16(&t, 0, column);
  t[2] = static_cast<char>(ops);
  t[3] = ch;
  return t;
}

// 30 records of 15 bytes, unique keys in columns 1-10 arriving in
// descending order, '0' in column 11; binary: the same in 16 bytes and no mark.
DataFile Standard(const std::string& eor = "\n") {
  DataFile d(eor);
  for (int i = 0; i < 30; ++i) {
    char body[32];
    snprintf(body, sizeof body, eor.empty() ? "key%02dx    %05d\x01" : "key%02dx    %05d", 29 - i,
             i);
    d.Rec(body);
  }
  return d;
}

class BuildFormatTest : public E2eTest {};

TEST_F(BuildFormatTest, HeaderAndTreeForEachOption) {
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  std::string specs32 = "-1";
  HeaderWant w32 = {.keyLen = 32, .keySpecs = {}};
  for (uint16_t c = 0; c < 32; ++c) {
    if (c > 0) specs32 += "," + std::to_string(c + 1);
    w32.keySpecs.push_back({c, 1});
  }
  const struct {
    const char* what;
    std::string eor;
    std::string data;  // relative to the test directory
    std::vector<std::string> args;
    HeaderWant want;
    KeySpecs keys = {{1, 10}};
    bool upper = false;
  } cases[] = {
      {"default", "\n", "d.txt", {"d.txt,d.isi", "-1-10"}, {}},
      {"u", "\n", "d.txt", {"d.txt,d.isi", "-u1-10"}, {.fmt = 0x81}, {{1, 10}}, true},
      {"n", "\n", "d.txt", {"d.txt,d.isi", "-n1-10"}, {.fmt = 0x84}},
      {"n0", "\n", "d.txt", {"d.txt,d.isi", "-n01-10"}, {.fmt = 0x84}},
      {"n$", "\n", "d.txt", {"d.txt,d.isi", "-n$1-10"}, {.fmt = 0x84}},
      // s and v: byte addressing, variable length.
      {"s", "\n", "d.txt", {"d.txt,d.isi", "-s1-10"}, {0xAA, 0, 256, 10, 480, 1024}},
      {"v", "\n", "d.txt", {"d.txt,d.isi", "-v1-10"}, {0xA2, 0, 256, 10, 480, 1024}},
      {"w", "\n", "d.txt", {"d.txt,d.isi", "-w1-10"}, {.fmt = 0xA0}},
      {"p",
       "\n",
       "d.txt",
       {"d.txt,d.isi", "-p13#x,p11=0,1-10"},
       {.fmt = 0xA0, .primary = {Test4(11, 0x20, '0'), Test4(13, 0x10, 'x')}}},
      {"p extended",
       "\n",
       "d.txt",
       {"d.txt,d.isi", "-p=\"11='0'\",1-10"},
       {.fmt = 0xA0, .primary = {Test4(11, 0x20, '"')}, .extended = true}},
      {"f",
       "",
       "d.bin",
       {"d.bin,d.isi,l16", "-f1-10"},
       {.fmt = 0x90, .recLen = 16, .name = "d.bin"}},
      {"f=",
       "",
       "d.bin",
       {"d.bin,d.isi", "-f=16,1-10"},
       {.fmt = 0x90, .recLen = 16, .name = "d.bin"}},
      {"g", "\n", "d.txt", {"d.txt,d.isi,l15", "-g1-10"}, {}},
      {"o", "\n", "d.txt", {"d.txt,d.isi", "-o1-10"}, {.mode = 0x11}},
      {"o=1", "\n", "d.txt", {"d.txt,d.isi", "-o=1,1-10"}, {.mode = 0x09}},
      {"o=2", "\n", "d.txt", {"d.txt,d.isi", "-o=2,1-10"}, {.mode = 0x11}},
      {"CR LF", "\r\n", "d.txt", {"d.txt,d.isi", "-1-10"}, {.fmt = 0x40}},
      {"LF CR", "\n\r", "d.txt", {"d.txt,d.isi", "-1-10"}, {.fmt = 0xC0}},
      {"CR", "\r", "d.txt", {"d.txt,d.isi", "-1-10"}, {.fmt = 0x00}},
      {"key specs",
       "\n",
       "d.txt",
       {"d.txt,d.isi", "-10-1,12,14-15"},
       {.keyLen = 13, .keySpecs = {{9, 65528}, {11, 1}, {13, 2}}},
       {{10, 1}, {12, 12}, {14, 15}}},
      {"32 key specs fill the table",
       "\n",
       "d.txt",
       {"d.txt,d.isi", specs32},
       w32,
       {{1, 15}, {16, 32}}},
      {"path kept", "\n", "sub/d.txt", {"sub/d.txt,d.isi", "-1-10"}, {.name = "sub/d.txt"}},
      {"z", "\n", "sub/d.txt", {"sub/d.txt,d.isi", "-z1-10"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DataFile data = Standard(c.eor);
    dir.write(c.data, data.bytes());
    std::string isiName = c.data.substr(0, c.data.rfind('/') + 1) + "d.isi";
    isir::IsiReader isi;
    ASSERT_TRUE(BuildAndLoad(c.args, isiName, &isi));
    const HeaderWant& w = c.want;
    std::string h(1024, '\0');
    h.replace(0, 8,
              std::string("SISI\x03\xFC") + static_cast<char>(w.fmt) + static_cast<char>(w.mode));
    isiw::Put16(&h, 8, w.recLen);
    isiw::Put16(&h, 10, w.keyLen);
    isiw::Put32(&h, 12, w.dataLen);
    isiw::Put32(&h, 16, 0xFFFFFFFF);  // no deleted records in these builds
    isiw::Put32(&h, 20, w.root);
    isiw::Put32(&h, 24, 0xFFFFFFFF);
    isiw::Put32(&h, 44, 30);
    for (size_t i = 0; i < w.primary.size(); ++i) h.replace(64 + 4 * i, 4, w.primary[i]);
    if (w.extended) h[103] = static_cast<char>(0xFF);
    for (size_t i = 0; i < w.keySpecs.size(); ++i) {
      isiw::Put16(&h, 112 + 4 * i, w.keySpecs[i].first);
      isiw::Put16(&h, 114 + 4 * i, w.keySpecs[i].second);
    }
    h.replace(240, w.name.size(), w.name);
    // The stored line: the file fields as typed, a ',' closing the ISI
    // field, then the rest of the command text.
    const std::string& fields = c.args[0];
    bool threeFields = fields.find(',', fields.find(',') + 1) != std::string::npos;
    std::string line = fields + (threeFields ? " " : ",") + c.args[1];
    h.replace(496, line.size(), line);
    EXPECT_TRUE(SameBytes(isi.bytes().substr(0, 1024), h));
    uint32_t recordSize = w.mode & 0x01 ? data.records()[0].size : 0;
    EXPECT_TRUE(SameEntries(Walk(isi), ExpectedEntries(data, c.keys, recordSize, c.upper)));
    EXPECT_TRUE(WorkFiles().empty());
  }
}

}  // namespace
}  // namespace e2e
