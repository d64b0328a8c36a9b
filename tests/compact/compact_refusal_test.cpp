// Compaction refuses what it cannot or must not compact with its message, a
// failure status and the input ISI unchanged, nothing left behind: damaged
// indexes (each kind with its own line before the one a user sees through
// the binary), and data files it cannot open or lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "compact/compact_fixture.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/file_lock.h"

namespace {

using ct::CompactRunTest;
using isiw::Get32;
using isiw::Put16;
using isiw::Put32;

TEST_F(CompactRunTest, DamagedIndexesAreRefusedBeforeAnyWrite) {
  isiw::Spec sound = Indexed(200, 20, 131);  // two levels, a chain of two sectors
  isiw::Spec foreign = Indexed(5, 0);
  foreign.swapped = true;
  const std::string damaged = "Damaged ISI structure found in file named:  " + IsiPath() + ".\n";
  const std::string chain = "ISI deleted-record chain damaged: position ";
  const std::string leaf = std::to_string(isiw::Build(sound).leafOffsets[0] / 512);
  const struct {
    const char* what;
    const isiw::Spec& spec;
    std::function<void(const isiw::Image&, std::string*)> patch;
    bool inPlace;
    std::string line;  // before the line a user sees
  } cases[] = {
      {"key length 0", sound, [](auto&, std::string* b) { Put16(b, 10, 0); }, true,
       "ISI header damaged: key length 0 is not 1 to 150.\n"},
      {"key length 151 in the other byte order", foreign,
       [](auto&, std::string* b) { Put16(b, 10, 151, true); }, false,
       "ISI header damaged: key length 151 is not 1 to 150.\n"},
      {"a root count beyond the sector", sound, [](auto&, std::string* b) { (*b)[1524] = 32; },
       true, "ISI tree damaged: the root holds 32 entries, more than fit.\n"},
      {"a child outside the file", sound, [](auto&, std::string* b) { Put32(b, 1028, 9999); }, true,
       "ISI tree damaged: a child position names no key sector of the file.\n"},
      {"a child listed twice would loop", sound,
       [](auto&, std::string* b) { Put32(b, 1024 + 16 + 4, Get32(*b, 1028)); }, true, ""},
      {"an entry without record size", sound,  // under record numbers: the second leaf entry
       [](const isiw::Image& i, std::string* b) { Put16(b, i.leafOffsets[0] + 26, 0); }, true,
       "ISI tree damaged: an entry without record size.\n"},
      {"a DDR link outside the file", sound,
       [](auto&, std::string* b) { Put32(b, 1536 + 504, 5000); }, true,
       chain + "5000 names no DDR sector of the file.\n"},
      {"a DDR link to a key sector", sound,
       [](const isiw::Image& i, std::string* b) {
         Put32(b, i.ddrOffsets[1] + 504, i.leafOffsets[0] / 512);
       },
       false, chain + leaf + " names no DDR sector of the file.\n"},
      {"a DDR chain with a cycle", sound,
       [](const isiw::Image& i, std::string* b) {
         Put32(b, i.ddrOffsets[1] + 504, i.ddrOffsets[1] / 512);
       },
       true, "ISI deleted-record chain damaged: it runs longer than the file has sectors.\n"},
      {"a header naming an empty head sector", sound,
       [](auto&, std::string* b) { b->replace(1536, 512, std::string(512, '\0')); }, true,
       chain + "3 names no DDR sector of the file.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    size_t before = Messages().size();
    isiw::Image image = isiw::Build(c.spec);
    std::string isi = image.bytes;
    c.patch(image, &isi);
    Prepare(isi, c.inPlace);
    EXPECT_EQ(Run(), kErrCorruptIsi);
    if (c.line.empty()) {
      EXPECT_NE(Messages().find(damaged, before), std::string::npos);
    } else {
      EXPECT_EQ(Messages().substr(before), c.line + damaged);
    }
    EXPECT_TRUE(dir_.read("a.isi") == isi);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  }
}

TEST_F(CompactRunTest, DataFilesThatCannotBeOpenedOrLocked) {
  const std::string sound = isiw::Build(Indexed(200, 20, 131)).bytes;
  const std::string shared = "\nUnable to execute ISI compact operation with locking!\n";
  const std::string exclusive = "\nUnable to execute ISI compact operation!\n";
  const struct {
    const char* what;
    std::string data;  // none: the data file is missing
    const char* mode;
    short otherLock;  // held by another process, when not -1
    bool inPlace;
    Status status;
    std::string messages;
  } cases[] = {
      {"missing, shared", "", "c", -1, true, kErrLockShared,
       "Unable to open ISI data file: " + DataPath() + shared},
      {"missing, exclusive", "", "c=1", -1, true, kErrLockExclusive,
       "Unable to open ISI data file in exclusive mode: " + DataPath() + exclusive},
      {"shared by another", "x", "c=1", F_RDLCK, true, kErrLockExclusive,
       "Unable to exclusive lock for ISI data file: " + DataPath() + exclusive},
      {"held exclusively by another", "x", "c", F_WRLCK, false, kErrLockShared,
       "Unable to set share lock for ISI data file: " + DataPath() + shared},
      {"empty under an index with records", "-", "c=1", -1, true, kErrLockExclusive,
       "Unexpected file size truncated for ISI data file: " + DataPath() + exclusive},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    size_t before = Messages().size();
    dir_.write("data.txt", c.data == "-" ? "" : std::string(1000, 'x'));
    std::unique_ptr<ct::LockHolder> other;
    if (c.otherLock != -1) {
      other = std::make_unique<ct::LockHolder>(DataPath(), c.otherLock, kWholeFileLockPos, 1);
      ASSERT_TRUE(other->holding());
    }
    Prepare(sound, c.inPlace, c.mode);
    if (c.data.empty()) unlink(DataPath().c_str());
    EXPECT_EQ(Run(), c.status);
    EXPECT_EQ(Messages().substr(before), c.messages);
    EXPECT_TRUE(dir_.read("a.isi") == sound);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  }
}

TEST_F(CompactRunTest, IsiLockThatCannotBeHadEndsTheWait) {
  std::string isi = isiw::Build(Indexed(200, 20, 131)).bytes;
  Prepare(isi, true);
  SysSetFaultPlan({kFaultLock, 2, EDEADLK, false, true});  // the share lock passes
  EXPECT_EQ(Run(), kErrLockShared);
  EXPECT_EQ(SysFaultCallCount(), 601u);
  EXPECT_EQ(Messages(), "Unable to lock ISI data file: " + DataPath() +
                            "\nUnable to execute ISI compact operation with locking!\n");
  EXPECT_TRUE(dir_.read("a.isi") == isi);
}

TEST_F(CompactRunTest, IndexRewrittenWhileWaitingForTheLockIsReadAgain) {
  std::string isi = isiw::Build(Indexed(200, 20, 131)).bytes;
  std::string rewritten = isi;
  Put32(&rewritten, 32, 7);  // another program's rewrite: a new spin counter ...
  rewritten[0] = 'X';        // ... and, here, no longer an index
  Prepare(isi, true);
  std::string path = IsiPath();
  ct::LockHolder other(DataPath(), F_WRLCK, kIsiLockPos, 2, 300,
                       [&] { kt::WriteFileBytes(path, rewritten); });
  ASSERT_TRUE(other.holding());
  EXPECT_EQ(Run(), kErrNotIsi);
  EXPECT_EQ(Messages(),
            "Unable to access ISI spin counter!\nNot a valid .isi file structure for file: " +
                IsiPath() + ".\n");
  EXPECT_TRUE(dir_.read("a.isi") == rewritten);
}

}  // namespace
