// Compaction refuses what it cannot or must not compact with its message,
// a failure status and the input ISI unchanged: files that are no index,
// damaged indexes, and data files it cannot open or lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "compact/compact_run.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/file_lock.h"

namespace {

using ct::CompactRunTest;

class CompactRefusalTest : public CompactRunTest {
 protected:
  // A sound two-level index with a DDR chain of two sectors.
  ct::Image Sound() const {
    ct::ImageSpec spec = Spec();
    spec.entries = ct::MakeEntries(200, 4, true, 10);
    spec.perLeaf = 20;
    spec.ddr = ct::MakeDdrChain(2, 5);
    return ct::BuildImage(spec);
  }
  // Runs compaction of `isi` and expects `status`, `messages` and a.isi
  // unchanged, with nothing left behind.
  void ExpectRefused(const std::string& isi, bool inPlace, Status status,
                     const std::string& messages, const std::string& mode = "c",
                     bool removeData = false) {
    Prepare(isi, inPlace, mode);
    if (removeData) unlink(DataPath().c_str());
    EXPECT_EQ(Run(), status);
    EXPECT_EQ(Messages(), messages);
    EXPECT_EQ(dir_.read("a.isi"), isi);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  }
  std::string Damaged(const std::string& what) const {
    return what + "Damaged ISI structure found in file named:  " + IsiPath() + ".\n";
  }
};

TEST_F(CompactRefusalTest, KeyLengthOutsideOneTo150IsADamagedHeader) {
  std::string isi = Sound().bytes;
  ct::Put16(&isi, 10, 0);
  ExpectRefused(isi, true, kErrCorruptIsi,
                Damaged("ISI header damaged: key length 0 is not 1 to 150.\n"));
}

TEST_F(CompactRefusalTest, KeyLengthAbove150InAFileOfTheOtherByteOrder) {
  ct::ImageSpec spec = Spec();
  spec.swapped = true;
  spec.entries = ct::MakeEntries(5, 4, true, 10);
  std::string isi = ct::BuildImage(spec).bytes;
  ct::Put16(&isi, 10, 151, true);
  ExpectRefused(isi, false, kErrCorruptIsi,
                Damaged("ISI header damaged: key length 151 is not 1 to 150.\n"));
}

TEST_F(CompactRefusalTest, RootCountBeyondTheSectorIsRefused) {
  std::string isi = Sound().bytes;
  isi[1024 + 500] = static_cast<char>(32);  // 31 entries of 16 bytes fit
  ExpectRefused(isi, true, kErrCorruptIsi,
                Damaged("ISI tree damaged: the root holds 32 entries, more than fit.\n"));
}

TEST_F(CompactRefusalTest, ChildOutsideTheFileIsRefusedBeforeAnyWrite) {
  ct::Image image = Sound();
  ct::Put32(&image.bytes, 1024 + 4, 9999);  // the first root entry's child
  ExpectRefused(image.bytes, true, kErrCorruptIsi,
                Damaged("ISI tree damaged: a child position names no key sector of the file.\n"));
}

TEST_F(CompactRefusalTest, ChildListedTwiceWouldLoopAndIsRefused) {
  ct::Image image = Sound();
  uint32_t e = 16;
  ct::Put32(&image.bytes, 1024 + e + 4, ct::Get32(image.bytes, 1024 + 4));
  Prepare(image.bytes, true);
  EXPECT_EQ(Run(), kErrCorruptIsi);
  EXPECT_EQ(dir_.read("a.isi"), image.bytes);
  EXPECT_NE(Messages().find("Damaged ISI structure found in file named:  " + IsiPath()),
            std::string::npos);
}

TEST_F(CompactRefusalTest, EntryWithoutRecordSizeUnderRecordNumbersIsRefused) {
  ct::Image image = Sound();
  ct::Put16(&image.bytes, image.leafOffsets[0] + 16 + 10, 0);  // second leaf entry
  ExpectRefused(image.bytes, true, kErrCorruptIsi,
                Damaged("ISI tree damaged: an entry without record size.\n"));
}

TEST_F(CompactRefusalTest, DdrLinkOutsideTheFileIsRefused) {
  ct::Image image = Sound();
  ct::Put32(&image.bytes, 1536 + 504, 5000);
  ExpectRefused(
      image.bytes, true, kErrCorruptIsi,
      Damaged(
          "ISI deleted-record chain damaged: position 5000 names no DDR sector of the file.\n"));
}

TEST_F(CompactRefusalTest, DdrLinkToAKeySectorIsRefused) {
  ct::Image image = Sound();
  uint32_t leaf = image.leafOffsets[0] / 512;
  ct::Put32(&image.bytes, image.ddrOffsets[1] + 504, leaf);
  ExpectRefused(image.bytes, false, kErrCorruptIsi,
                Damaged("ISI deleted-record chain damaged: position " + std::to_string(leaf) +
                        " names no DDR sector of the file.\n"));
}

TEST_F(CompactRefusalTest, DdrChainWithACycleIsRefused) {
  ct::Image image = Sound();
  ct::Put32(&image.bytes, image.ddrOffsets[1] + 504, image.ddrOffsets[1] / 512);
  ExpectRefused(
      image.bytes, true, kErrCorruptIsi,
      Damaged("ISI deleted-record chain damaged: it runs longer than the file has sectors.\n"));
}

TEST_F(CompactRefusalTest, HeaderNamingAnEmptyHeadSectorIsRefused) {
  ct::Image image = Sound();
  std::fill(image.bytes.begin() + 1536, image.bytes.begin() + 2048, '\0');
  ExpectRefused(
      image.bytes, true, kErrCorruptIsi,
      Damaged("ISI deleted-record chain damaged: position 3 names no DDR sector of the file.\n"));
}

TEST_F(CompactRefusalTest, MissingDataFileInSharedMode) {
  ExpectRefused(Sound().bytes, true, kErrLockShared,
                "Unable to open ISI data file: " + DataPath() +
                    "\nUnable to execute ISI compact operation with locking!\n",
                "c", true);
}

TEST_F(CompactRefusalTest, MissingDataFileInExclusiveMode) {
  ExpectRefused(Sound().bytes, true, kErrLockExclusive,
                "Unable to open ISI data file in exclusive mode: " + DataPath() +
                    "\nUnable to execute ISI compact operation!\n",
                "c=1", true);
}

TEST_F(CompactRefusalTest, ExclusiveLockRefusedWhileAnotherProcessSharesTheDataFile) {
  dir_.write("data.txt", std::string(1000, 'x'));
  ct::LockHolder other(DataPath(), F_RDLCK, kWholeFileLockPos, 1);
  ASSERT_TRUE(other.holding());
  ExpectRefused(Sound().bytes, true, kErrLockExclusive,
                "Unable to exclusive lock for ISI data file: " + DataPath() +
                    "\nUnable to execute ISI compact operation!\n",
                "c=1");
}

TEST_F(CompactRefusalTest, ShareLockRefusedWhileAnotherProcessHoldsTheDataFileExclusively) {
  dir_.write("data.txt", std::string(1000, 'x'));
  ct::LockHolder other(DataPath(), F_WRLCK, kWholeFileLockPos, 1);
  ASSERT_TRUE(other.holding());
  ExpectRefused(Sound().bytes, false, kErrLockShared,
                "Unable to set share lock for ISI data file: " + DataPath() +
                    "\nUnable to execute ISI compact operation with locking!\n");
}

TEST_F(CompactRefusalTest, EmptyDataFileUnderAnIndexWithRecordsInExclusiveMode) {
  dir_.write("data.txt", "");
  ExpectRefused(Sound().bytes, true, kErrLockExclusive,
                "Unexpected file size truncated for ISI data file: " + DataPath() +
                    "\nUnable to execute ISI compact operation!\n",
                "c=1");
}

TEST_F(CompactRefusalTest, IsiLockThatCannotBeHadEndsTheWait) {
  std::string isi = Sound().bytes;
  Prepare(isi, true);
  FaultPlan plan;  // the share lock passes, every wait for the ISI lock fails
  plan.classes = kFaultLock;
  plan.failAt = 2;
  plan.err = EDEADLK;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(Run(), kErrLockShared);
  EXPECT_EQ(SysFaultCallCount(), 601u);
  EXPECT_EQ(Messages(), "Unable to lock ISI data file: " + DataPath() +
                            "\nUnable to execute ISI compact operation with locking!\n");
  EXPECT_EQ(dir_.read("a.isi"), isi);
}

TEST_F(CompactRefusalTest, IndexRewrittenWhileWaitingForTheLockIsReadAgain) {
  std::string isi = Sound().bytes;
  std::string rewritten = isi;
  ct::Put32(&rewritten, 32, 7);  // another program's rewrite: a new spin counter ...
  rewritten[0] = 'X';            // ... and, here, no longer an index
  Prepare(isi, true);
  std::string path = IsiPath();
  ct::LockHolder other(DataPath(), F_WRLCK, kIsiLockPos, 2, 300,
                       [&] { kt::WriteFileBytes(path, rewritten); });
  ASSERT_TRUE(other.holding());
  EXPECT_EQ(Run(), kErrNotIsi);
  EXPECT_EQ(Messages(),
            "Unable to access ISI spin counter!\nNot a valid .isi file structure for file: " +
                IsiPath() + ".\n");
  EXPECT_EQ(dir_.read("a.isi"), rewritten);
}

}  // namespace
