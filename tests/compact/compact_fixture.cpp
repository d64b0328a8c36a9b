#include "compact/compact_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/run_steps.h"
#include "driver/sys_io.h"
#include "isi/file_lock.h"

namespace ct {

isir::IsiReader LoadValid(const std::string& path) {
  isir::IsiReader reader;
  std::string err;
  EXPECT_TRUE(reader.LoadFile(path, &err)) << path << ": " << err;
  EXPECT_TRUE(reader.Validate(&err)) << path << ": " << err;
  return reader;
}

std::vector<isir::Entry> EntriesOf(const isir::IsiReader& reader) {
  std::vector<isir::Entry> entries;
  std::string err;
  EXPECT_TRUE(reader.Walk(&entries, &err)) << err;
  return entries;
}

void ExpectSameEntries(const std::string& beforeBytes, const isir::IsiReader& now) {
  isir::IsiReader old;
  ASSERT_TRUE(old.Load(beforeBytes));
  std::vector<isir::Entry> before = EntriesOf(old), after = EntriesOf(now);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].key, before[i].key) << i;
    EXPECT_EQ(after[i].recPos, before[i].recPos) << i;
    EXPECT_EQ(after[i].recSize, before[i].recSize) << i;
    bool dup = i > 0 && before[i - 1].key == before[i].key;
    EXPECT_EQ(after[i].dupSeq, dup ? after[i - 1].dupSeq + 1 : 0) << i;
  }
}

std::vector<uint32_t> CountsAtLevel(const isir::IsiReader& reader, uint16_t level) {
  std::vector<isir::KeySector> sectors;
  EXPECT_TRUE(reader.TreeSectors(&sectors));
  std::vector<uint32_t> counts;
  for (const isir::KeySector& s : sectors) {
    if (s.level == level) counts.push_back(s.count);
  }
  return counts;
}

LockHolder::LockHolder(const std::string& path, short type, uint64_t start, uint64_t length,
                       int holdMillis, std::function<void()> beforeRelease) {
  int ready[2], release[2];
  if (pipe(ready) != 0) return;
  if (pipe(release) != 0) {
    close(ready[0]);
    close(ready[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(ready[0]);
    close(release[1]);
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl = LockRegion(type, start, length);
    char ok = (fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0) ? 1 : 0;
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    pollfd p = {release[0], POLLIN, 0};
    poll(&p, 1, holdMillis);  // until released, closed or the time is up
    if (ok && beforeRelease) beforeRelease();
    _exit(ok ? 0 : 1);
  }
  close(ready[1]);
  close(release[0]);
  releaseFd_ = release[1];
  char ok = 0;
  pollfd p = {ready[0], POLLIN, 0};
  if (pid_ > 0 && poll(&p, 1, 10000) == 1 && read(ready[0], &ok, 1) == 1) holding_ = ok == 1;
  close(ready[0]);
}

void LockHolder::Release() {
  if (releaseFd_ >= 0) close(releaseFd_);
  releaseFd_ = -1;
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  pid_ = -1;
  holding_ = false;
}

bool OtherProcessCanLock(const std::string& path, short type, uint64_t start, uint64_t length) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl = LockRegion(type, start, length);
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void CompactRunTest::SetUp() {
  kt::ResetRunContext();
  msg_.Attach();
}

void CompactRunTest::TearDown() {
  SysSetFaultPlan(FaultPlan{});
  CmdCloseAllFiles(0);
  CmdFreeBuffers();
}

isiw::Spec CompactRunTest::Indexed(uint32_t entries, uint32_t perLeaf, uint32_t deleted) const {
  isiw::Spec spec;
  spec.dataName = DataPath();
  spec.cmdLine = DataPath() + ",a.isi,-1-4";
  spec.entries = isiw::NumberedEntries(entries, 4, true, 10);
  spec.leafFill = perLeaf;
  spec.countDuplicates = false;
  spec.deleted = isiw::DeletedRun(deleted);
  return spec;
}

void CompactRunTest::Prepare(const std::string& isi, bool inPlace, const std::string& mode) {
  CmdData* cd = pCmdData;
  ASSERT_EQ(cd->outBuf, nullptr) << "a second Prepare without Restart()";
  inPlace_ = inPlace;
  dir_.write("a.isi", isi);
  if (!dir_.exists("data.txt")) dir_.write("data.txt", std::string(1000, 'x'));
  snprintf(cd->inName, kNameSize, "%s", IsiPath().c_str());
  snprintf(cd->inDir, kDirSize, "%s/", dir_.path().c_str());
  snprintf(cd->inBase, kBaseSize, "a");
  snprintf(cd->inExt, kExtSize, ".isi");
  cd->compactFlags = 1 | (mode == "c=0" ? 2 : 0);
  cd->compactShared = mode == "c=1" ? 0 : 1;
  cd->inFd = SysOpen(cd->inName, O_RDWR, 0666);
  ASSERT_GE(cd->inFd, 0);
  snprintf(cd->outName, kNameSize, "%s", OutPath().c_str());
  cd->outFd = inPlace ? cd->inFd : SysOpen(cd->outName, O_RDWR | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(cd->outFd, 0);
  cd->outIsInput = inPlace;
  snprintf(cd->storedCmdLine, kStoredLineSize, "a.isi,%s,-%s", inPlace ? "" : "b.isi",
           mode.c_str());
  ASSERT_EQ(AllocRunBuffers(), kOk);
  for (char** name : {&cd->tmpName1, &cd->tmpName2}) {
    *name = static_cast<char*>(CmdMalloc(kTmpNameSize));
    snprintf(*name, kTmpNameSize, "%s/dsortXXXXXX", dir_.path().c_str());
  }
  cd->tmpFd1 = SysMkstemp(cd->tmpName1);
  cd->tmpFd2 = SysMkstemp(cd->tmpName2);
  ASSERT_GE(cd->tmpFd1, 0);
  ASSERT_GE(cd->tmpFd2, 0);
  cd->failFd = cd->tmpFd1;
  cd->mergeInFd = cd->tmpFd2;
  ASSERT_EQ(AllocSortStructures(), kOk);
}

Status CompactRunTest::Run() {
  return CloseJobFiles(RunCompaction());
}

std::vector<std::string> CompactRunTest::Leftovers() const {
  std::vector<std::string> rest;
  for (const std::string& name : dir_.list()) {
    if (name != "a.isi" && name != "data.txt") rest.push_back(name);
  }
  return rest;
}

}  // namespace ct
