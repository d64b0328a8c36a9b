// Shared pieces of the driver tests: a fresh run context per test, and a
// message stream whose contents a test can read back.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"
#include "support/test_util.h"

namespace kt {

// A temporary file standing in for the message stream.
class MsgCapture {
 public:
  MsgCapture() : file_(tmpfile()) {}
  ~MsgCapture() {
    if (pCmdData != nullptr && pCmdData->msgOut == file_) pCmdData->msgOut = nullptr;
    fclose(file_);
  }
  MsgCapture(const MsgCapture&) = delete;
  MsgCapture& operator=(const MsgCapture&) = delete;

  FILE* file() const { return file_; }
  // Everything written so far.
  std::string text() const {
    fflush(file_);
    std::string all;
    fseek(file_, 0, SEEK_SET);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) all.append(buf, n);
    fseek(file_, 0, SEEK_END);
    return all;
  }

 private:
  FILE* file_;
};

// Every test starts from a zero-filled run context with its defaults and
// messages going to `msg`; faults are switched off and buffers released after.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunContext();
    pCmdData->msgOut = msg.file();
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    CmdSetAllocFailAt(0);
    if (pCmdData == nullptr) pCmdData = &gCmdData;
    if (pCmdData->msgOut != msg.file()) CmdCloseLog();  // a log the test opened
    CmdCloseAllFiles(0);
    CmdFreeBuffers();
  }

  MsgCapture msg;
  TempDir dir;
};

}  // namespace kt
