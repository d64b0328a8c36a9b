// The shared output buffer, and the record-length checks of the index
// output routine.
#include "sort/out_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/cleanup.h"
#include "isi/tree_build.h"
#include "sort_fixture.h"

namespace {

class OutBufferTest : public st::SortFixture {
 protected:
  void SetUp() override {
    SortFixture::SetUp();
    fd = open(dir.file("out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override {
    close(fd);
    SortFixture::TearDown();
  }
  off_t FileSize() { return lseek(fd, 0, SEEK_END); }
  int fd = -1;
};

TEST_F(OutBufferTest, WritesCollectUntilFlushedAndGoOutInFullBlocks) {
  ASSERT_EQ(OutWrite(fd, "abc", 3), 0);
  ASSERT_EQ(OutWrite(fd, "", 0), 0);
  EXPECT_EQ(FileSize(), 0);
  EXPECT_EQ(cd->outBufFree, kOutBufSize - 3);
  std::string data(2 * kOutBufSize + 100, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
  ASSERT_EQ(OutWrite(fd, data.data(), static_cast<uint32_t>(data.size())), 0);
  EXPECT_EQ(FileSize(), static_cast<off_t>(2 * kOutBufSize));
  ASSERT_EQ(OutFlush(fd), 0);
  ASSERT_EQ(OutFlush(fd), 0);  // an empty buffer writes nothing
  EXPECT_EQ(dir.read("out"), "abc" + data);
  // A write that exactly fills the buffer is flushed at once.
  ASSERT_EQ(OutWrite(fd, data.data(), kOutBufSize), 0);
  EXPECT_EQ(FileSize(), static_cast<off_t>(3 * kOutBufSize + 103));
  EXPECT_EQ(cd->outBufFree, kOutBufSize);
  EXPECT_EQ(cd->outBufPtr, cd->outBuf);
}

TEST_F(OutBufferTest, FailedFlushEmptiesTheBuffer) {
  ASSERT_EQ(OutWrite(fd, "abcdef", 6), 0);
  SysSetFaultPlan({kFaultWrite, 1, 0, true});
  EXPECT_EQ(OutFlush(fd), -1);
  EXPECT_EQ(cd->outBufFree, kOutBufSize);
  EXPECT_EQ(dir.read("out"), "abc");
  std::vector<uint8_t> data(kOutBufSize + 10, 'z');
  SysSetFaultPlan({kFaultWrite, 1, ENOSPC});
  EXPECT_EQ(OutWrite(fd, data.data(), static_cast<uint32_t>(data.size())), -1);
}

// The output routine hands each item to a real tree build writing into a
// scratch ISI file.
class WriteTagRecordTest : public st::SortFixture {
 protected:
  void SetUp() override {
    SortFixture::SetUp();
    SetKeyRange(0, 2);
    cd->outFd = open(dir.file("out.isi").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(cd->outFd, 0);
    ASSERT_EQ(IsiBuildBegin(2, 16), kOk);
    cd->diagMode = 1;
  }
  void TearDown() override {
    CmdFree(cd->isiBlock);
    cd->isiBlock = nullptr;
    SortFixture::TearDown();
  }
  int32_t Write(uint16_t len, uint64_t pos) {
    SetItemPosition(item, pos);
    SetItemLength(item, len);
    return WriteTagRecord(item);
  }
  uint8_t item[16] = {};
};

TEST_F(WriteTagRecordTest, FirstRecordSetsTheLengthInEffect) {
  const struct {
    uint8_t varLen;
    uint32_t spec, inEffect;
  } cases[] = {{0, 0, 30}, {1, 0, 256}, {0, 81, 81}};
  for (const auto& c : cases) {
    Restart();
    cd->allowVarLen = c.varLen;
    cd->recLenSpec = c.spec;
    EXPECT_EQ(Write(30, 0), kOk);
    EXPECT_EQ(cd->recLenFound, c.inEffect);
    EXPECT_EQ(cd->curItem, item);
  }
}

TEST_F(WriteTagRecordTest, ShortAndLongRecordsAreNotedOnce) {
  cd->recLenFound = 11;
  cd->posInvalidFound = 1;
  EXPECT_EQ(Write(10, 0x2C), kOk);  // still indexed
  EXPECT_EQ(Write(9, 0x40), kOk);
  EXPECT_EQ(cd->shortRecFound + cd->varLenFound, 2);
  EXPECT_EQ(cd->posInvalidFound + cd->longRecFound, 0);
  EXPECT_EQ(Messages(),
            "\nWriteTagRecord(1):\n1st Short Rec Length:10 at LFA:0x0000002C Max Allowed "
            "RecordLength:11!\n");
  Restart();
  cd->allowVarLen = 1;
  cd->recLenFound = 257;
  size_t before = Messages().size();
  Write(300, 5);
  Write(301, 6);
  EXPECT_EQ(cd->longRecFound, 1);
  EXPECT_EQ(Messages().substr(before),
            "\nWriteTagRecord(2):\n1st Long Rec Length:300 at LFA:0x00000005 Max Allowed "
            "RecordLength:257!\n");
  Restart();
  cd->recLenFound = 20;
  cd->longRecFound = 1;  // the scanner has noted it already
  before = Messages().size();
  Write(30, 5);
  EXPECT_EQ(Messages().substr(before), "");
  EXPECT_EQ(cd->varLenFound, 1);
}

}  // namespace
