// The header of a new index where the end-to-end tests, which hold whole
// headers for each option, cannot reach: binary records with a two-byte
// mark, a null file, drive letters and names of the field's full width.
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

TEST_F(HeaderBuildTest, BinaryRecordsKeepTheirTwoByteMarkOutOfTheLength) {
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

TEST_F(HeaderBuildTest, NullFileWithoutRecordLengthIsRefused) {
  EXPECT_EQ(IsiBuildHeader(header_), kErrNullFile);
  EXPECT_EQ(Messages(), "\aNull file must have record length on command line\n");
  EXPECT_EQ(cd()->failFd, cd()->outFd);
}

TEST_F(HeaderBuildTest, DataNames) {
  cd()->recLenFound = 11;
  snprintf(cd()->inName, sizeof cd()->inName, "C:/dir/data.txt");
  EXPECT_EQ(Build().dataName, "/dir/data.txt");  // the drive is dropped
  std::string name(300, 'n');
  memcpy(cd()->inName, name.data(), name.size() + 1);
  snprintf(cd()->storedCmdLine, sizeof cd()->storedCmdLine, "x");
  isir::Header h = Build();
  EXPECT_EQ(h.dataName, std::string(256, 'n'));  // the field's width, no terminator
  EXPECT_EQ(h.cmdLine, "x");
}

}  // namespace
}  // namespace isitest
