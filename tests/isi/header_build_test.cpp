// The header of a new index, field by field, from the run context.
#include <cstring>

#include "isi_fixture.h"

namespace isitest {
namespace {

class HeaderBuildTest : public IsiFixture {
 protected:
  void SetUp() override {
    IsiFixture::SetUp();
    cd()->treeKeyLen = 10;
    cd()->ddrChainPos = 0xFFFFFFFF;
    snprintf(cd()->inName, sizeof cd()->inName, "/data/cust/data.txt");
  }
  // Builds the header and decodes it with the independent reader.
  isir::Header Build() {
    EXPECT_EQ(IsiBuildHeader(header_), kOk);
    std::string err;
    EXPECT_TRUE(reader_.Load(std::string(reinterpret_cast<char*>(header_), 1024), &err)) << err;
    return reader_.header();
  }
  uint8_t header_[1024];
  isir::IsiReader reader_;
};

TEST_F(HeaderBuildTest, TypicalBuild) {
  cd()->recLenFound = 102;  // 100 + CR LF
  cd()->eorLen = 2;
  cd()->eorIsiFlags = 0x40;
  cd()->readPos = 1020;
  cd()->recCount = 10;
  cd()->deletedCount = 3;
  cd()->ddrChainPos = 3;
  cd()->upperCaseKeys = 1;
  snprintf(cd()->storedCmdLine, sizeof cd()->storedCmdLine, "data,,-u1-10");
  cd()->keySpecTable[0] = {0, 10};
  cd()->primarySelTable[0] = {11, 0x20, 'A'};
  memset(header_, 0x55, sizeof header_);
  isir::Header h = Build();
  EXPECT_EQ(memcmp(header_, "SISI\x03\xFC", 6), 0);
  EXPECT_EQ(h.formatFlags, 0x41);
  EXPECT_EQ(h.modeFlags, 0x01);
  EXPECT_EQ(h.recordLength, 100);
  EXPECT_EQ(cd()->recLenFound, 100u);
  EXPECT_EQ(h.keyLength, 10);
  EXPECT_EQ(h.dataLength, 10u);
  EXPECT_EQ(h.ddrHead, 3u);
  EXPECT_EQ(h.rootPos, 2u);
  EXPECT_EQ(h.field24, 0xFFFFFFFFu);
  EXPECT_EQ(h.field28 | h.spin | h.field36 | h.field40, 0u);
  EXPECT_EQ(h.recordCount, 10u);
  EXPECT_EQ(h.deletedCount, 3u);
  EXPECT_EQ(h.primary[0].column, 11);
  EXPECT_EQ(h.primary[0].ops, 0x20);
  EXPECT_EQ(h.primary[0].ch, 'A');
  EXPECT_EQ(h.keySpecs[0].first, 0);
  EXPECT_EQ(h.keySpecs[0].length, 10);
  EXPECT_EQ(h.keySpecs[1].length, 0);
  EXPECT_EQ(h.dataName, "/data/cust/data.txt");
  EXPECT_EQ(h.cmdLine, "data,,-u1-10");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(header_) + 52, 12), std::string(12, '\0'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(header_) + 104, 8), std::string(8, '\0'));
}

TEST_F(HeaderBuildTest, ByteAddressingKeepsBytes) {
  cd()->recNumMode = 0;
  cd()->recLenFound = 101;
  cd()->readPos = 1010;
  isir::Header h = Build();
  EXPECT_EQ(h.rootPos, 1024u);
  EXPECT_EQ(h.dataLength, 1010u);
  EXPECT_EQ(h.modeFlags, 0);
}

TEST_F(HeaderBuildTest, EmptyFileTakesTheGivenRecordLength) {
  cd()->recLenSpec = 81;
  isir::Header h = Build();
  EXPECT_EQ(h.recordLength, 80);
  EXPECT_EQ(h.dataLength, 0u);
  EXPECT_EQ(h.recordCount, 0u);
}

TEST_F(HeaderBuildTest, BinaryWithEndMarksKeepsTheMarkOutOfTheLength) {
  cd()->binaryData = cd()->binaryWithEor = 1;
  cd()->recLenFound = 52;  // g=52 after a CR LF was detected
  cd()->eorLen = 0;
  cd()->isiEorLen = 2;
  cd()->eorIsiFlags = 0x40;
  cd()->readPos = 520;
  cd()->recCount = 10;
  isir::Header h = Build();
  EXPECT_EQ(h.recordLength, 50);
  EXPECT_EQ(h.dataLength, 10u);
  EXPECT_EQ(h.formatFlags, 0x40);
}

TEST_F(HeaderBuildTest, BinaryWithoutEndMarks) {
  cd()->binaryData = 1;
  cd()->eorLen = 0;
  cd()->recLenFound = 64;
  cd()->readPos = 640;
  isir::Header h = Build();
  EXPECT_EQ(h.recordLength, 64);
  EXPECT_EQ(h.dataLength, 10u);
  EXPECT_EQ(h.formatFlags, 0x90);
}

TEST_F(HeaderBuildTest, NullFileWithoutRecordLengthIsRefused) {
  EXPECT_EQ(IsiBuildHeader(header_), kErrNullFile);
  EXPECT_EQ(Messages(), "\aNull file must have record length on command line\n");
  EXPECT_EQ(cd()->failFd, cd()->outFd);
}

struct FlagCase {
  const char* name;
  void (*set)(CmdData*);
  uint8_t byte6, byte7;
};

class HeaderFlagTest : public HeaderBuildTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(HeaderFlagTest, OptionsSetTheirBits) {
  cd()->recLenFound = 11;
  GetParam().set(cd());
  isir::Header h = Build();
  EXPECT_EQ(h.formatFlags, GetParam().byte6);
  EXPECT_EQ(h.modeFlags, GetParam().byte7);
}

INSTANTIATE_TEST_SUITE_P(
    Options, HeaderFlagTest,
    ::testing::Values(FlagCase{"None", [](CmdData*) {}, 0x80, 0x01},
                      FlagCase{"S",
                               [](CmdData* c) {
                                 c->allowSpaceComp = c->allowVarLen = c->writeAtEnd = 1;
                                 c->recNumMode = 0;
                               },
                               0xAA, 0x00},
                      FlagCase{"V",
                               [](CmdData* c) {
                                 c->allowVarLen = c->writeAtEnd = 1;
                                 c->recNumMode = 0;
                               },
                               0xA2, 0x00},
                      FlagCase{"W", [](CmdData* c) { c->writeAtEnd = 1; }, 0xA0, 0x01},
                      FlagCase{"PrimaryTest", [](CmdData* c) { c->primarySelCount = 1; }, 0xA0,
                               0x01},
                      FlagCase{"N", [](CmdData* c) { c->noDups = 1; }, 0x84, 0x01},
                      FlagCase{"U", [](CmdData* c) { c->upperCaseKeys = 1; }, 0x81, 0x01},
                      FlagCase{"LfCr", [](CmdData* c) { c->eorIsiFlags = 0xC0; }, 0xC0, 0x01},
                      FlagCase{"Cr", [](CmdData* c) { c->eorIsiFlags = 0x00; }, 0x00, 0x01},
                      FlagCase{"OsType1", [](CmdData* c) { c->isiOsType = 8; }, 0x80, 0x09},
                      FlagCase{"OsType2", [](CmdData* c) { c->isiOsType = 16; }, 0x80, 0x11}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HeaderBuildTest, OptionZKeepsOnlyTheFileName) {
  cd()->recLenFound = 11;
  cd()->discardPath = 1;
  EXPECT_EQ(Build().dataName, "data.txt");
}

TEST_F(HeaderBuildTest, DrivePrefixIsDropped) {
  cd()->recLenFound = 11;
  snprintf(cd()->inName, sizeof cd()->inName, "C:/dir/data.txt");
  EXPECT_EQ(Build().dataName, "/dir/data.txt");
}

TEST_F(HeaderBuildTest, NameOfTheFieldsWidthFillsItWithoutTerminator) {
  cd()->recLenFound = 11;
  std::string name(300, 'n');
  memcpy(cd()->inName, name.data(), name.size() + 1);
  snprintf(cd()->storedCmdLine, sizeof cd()->storedCmdLine, "x");
  isir::Header h = Build();
  EXPECT_EQ(h.dataName, std::string(256, 'n'));
  EXPECT_EQ(h.cmdLine, "x");
}

TEST_F(HeaderBuildTest, LongestStoredLineAndAllKeySpecsFit) {
  cd()->recLenFound = 11;
  std::string line(527, 'c');
  memcpy(cd()->storedCmdLine, line.data(), 528);
  for (int i = 0; i < kMaxKeySpecs; ++i) {
    cd()->keySpecTable[i] = {static_cast<uint16_t>(i), 1};
  }
  isir::Header h = Build();
  EXPECT_EQ(h.cmdLine, line);
  EXPECT_EQ(header_[1023], 0);
  EXPECT_EQ(h.keySpecs[31].first, 31);
  EXPECT_EQ(h.keySpecs[31].length, 1);
}

}  // namespace
}  // namespace isitest
