#include "compact/compact_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/run_steps.h"
#include "driver/sys_io.h"

namespace ct {

void CompactRunTest::SetUp() {
  kt::ResetRunContext();
  messages_ = std::make_unique<MessageCapture>();
}

void CompactRunTest::TearDown() {
  SysSetFaultPlan(FaultPlan{});
  CmdCloseAllFiles(0);
  CmdFreeBuffers();
  messages_.reset();
}

ImageSpec CompactRunTest::Spec() const {
  ImageSpec spec;
  spec.dataName = DataPath();
  spec.cmdLine = DataPath() + ",a.isi,-1-4";
  return spec;
}

void CompactRunTest::Prepare(const std::string& isi, bool inPlace, const std::string& mode) {
  CmdData* cd = pCmdData;
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
  if (inPlace) {
    cd->outFd = cd->inFd;
    cd->outIsInput = 1;
    snprintf(cd->outName, kNameSize, "%s", cd->inName);
    snprintf(cd->storedCmdLine, kStoredLineSize, "a.isi,,-%s", mode.c_str());
  } else {
    snprintf(cd->outName, kNameSize, "%s", OutPath().c_str());
    cd->outFd = SysOpen(cd->outName, O_RDWR | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(cd->outFd, 0);
    snprintf(cd->storedCmdLine, kStoredLineSize, "a.isi,b.isi,-%s", mode.c_str());
  }
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
  Status status = RunCompaction();
  status = CloseJobFiles(status);
  return status;
}

std::vector<std::string> CompactRunTest::Leftovers() const {
  std::vector<std::string> rest;
  for (const std::string& name : dir_.list()) {
    if (name != "a.isi" && name != "data.txt") rest.push_back(name);
  }
  return rest;
}

}  // namespace ct
