// Shared pieces of the driver tests: a fresh run context per test with its
// messages captured, and the files of an index build in the middle of its
// work.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"
#include "support/test_util.h"

namespace kt {

using Names = std::vector<std::string>;

// Every test starts from a zero-filled run context with its defaults and
// messages going to `msg`; faults are switched off and buffers released after.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunContext();
    msg.Attach();
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    CmdSetAllocFailAt(0);
    if (pCmdData == nullptr) pCmdData = &gCmdData;
    if (pCmdData->msgOut != msg.file()) CmdCloseLog();  // a log the test opened
    CmdCloseAllFiles(0);
    CmdFreeBuffers();
  }

  int Create(const std::string& name) {
    return SysOpen(dir.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  }
  // The data, output ISI, error file and both work files of an index build.
  void OpenBuildFiles() {
    CmdData* cd = pCmdData;
    snprintf(cd->inName, kNameSize, "%s", dir.file("data.txt").c_str());
    snprintf(cd->outName, kNameSize, "%s", dir.file("data.isi").c_str());
    snprintf(cd->errName, kNameSize, "%s", dir.file("data.ERR").c_str());
    cd->inFd = Create("data.txt");
    cd->outFd = Create("data.isi");
    cd->errFd = Create("data.ERR");
    cd->tmpName1 = static_cast<char*>(CmdMalloc(kTmpNameSize));
    cd->tmpName2 = static_cast<char*>(CmdMalloc(kTmpNameSize));
    snprintf(cd->tmpName1, kTmpNameSize, "%s", dir.file("dsort1").c_str());
    snprintf(cd->tmpName2, kTmpNameSize, "%s", dir.file("dsort2").c_str());
    cd->tmpFd1 = Create("dsort1");
    cd->tmpFd2 = Create("dsort2");
  }
  // The ISI of an in-place compaction, open once for reading and writing.
  void OpenInPlaceIsi() {
    CmdData* cd = pCmdData;
    snprintf(cd->inName, kNameSize, "%s", dir.file("cust.isi").c_str());
    snprintf(cd->outName, kNameSize, "%s", dir.file("cust.isi").c_str());
    cd->inFd = cd->outFd = Create("cust.isi");
    cd->compactFlags = 1;
  }

  MsgCapture msg;
  TempDir dir;
};

}  // namespace kt
