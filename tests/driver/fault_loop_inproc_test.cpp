// The index build run in this process with every I/O call, and every
// allocation, failing in turn: what each run leaves on disk, and that no
// descriptor survives a run, whatever call failed. The data make 32 sort
// trains in the smallest sort memory, so the merge takes two passes and
// recreates a work file between them.
//
// Reads and seeks are left out: nearly all of them are the merge's block
// reads (some 700 of the build's 860 calls), the same in every pass, and
// the end-to-end loops take every one of a smaller build's reads through
// its failure and its short transfer.
//
// A fault the build survives leaves exactly the index of a clean run: a
// halved sort-memory request, a failed close or unlink of a work file (the
// clean-up ignores both; the unlinked file then stays in the work
// directory).
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"
#include "support/keyed_data.h"
#include "support/test_util.h"

namespace {

constexpr uint64_t kMaxRuns = 4000;

int CountOpenFds() {
  return static_cast<int>(kt::ListDirectory("/proc/self/fd").size()) - 1;  // less the listing's own
}

struct PlanCase {
  const char* name;
  uint32_t classes;  // 0: the allocation seam (CmdMalloc) instead of the fault plan
  int err;
  bool shortIo;
};

class InProcessFaultLoop : public ::testing::TestWithParam<PlanCase> {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    savedTmpDir_ = tmp != nullptr ? tmp : "";
    dir_.write("d.txt", kt::MakeKeyedData(1600, 150, 11, 7).bytes);
    ASSERT_EQ(mkdir(dir_.file("tmp").c_str(), 0700), 0);
    setenv("TMPDIR", dir_.file("tmp").c_str(), 1);
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    CmdSetAllocFailAt(0);
    if (savedTmpDir_.empty()) {
      unsetenv("TMPDIR");
    } else {
      setenv("TMPDIR", savedTmpDir_.c_str(), 1);
    }
  }

  // One build, with the n-th counted call failing when n > 0. Returns
  // whether the fault was reached; checks what the run left.
  bool RunOnce(uint64_t n) {
    const PlanCase& c = GetParam();
    unlink(dir_.file("d.ISI").c_str());
    std::vector<std::string> args = {"kelindex",         "-m524288", "-m262144", "-m131072",
                                     "-m65536",          "-m32768",  "-m16384",  "-m8192",
                                     dir_.file("d.txt"), "-1-150"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    kt::MsgCapture out;
    int fdsBefore = CountOpenFds();
    pCmdData = &gCmdData;
    if (n > 0 && c.classes == 0) CmdSetAllocFailAt(n);
    if (n > 0 && c.classes != 0) SysSetFaultPlan({c.classes, n, c.err, c.shortIo});
    Status st = FhSortIndex(static_cast<int>(args.size()), argv.data(), out.file());
    std::string call = SysFaultFiredCall();
    bool fired = c.classes == 0 ? CmdAllocFailFired() : SysFaultFired();
    SysSetFaultPlan(FaultPlan{});
    CmdSetAllocFailAt(0);
    std::string text = out.text();
    std::string where = "N=" + std::to_string(n) + " fault in " + call + ": ";
    EXPECT_EQ(CountOpenFds(), fdsBefore) << where << "descriptor left open";
    auto leftByFault = [&](const std::string& path) { return call == "unlink(" + path + ")"; };
    for (const std::string& name : kt::ListDirectory(dir_.file("tmp"))) {
      EXPECT_TRUE(leftByFault(dir_.file("tmp/" + name))) << where << "work file left\n" << text;
      unlink(dir_.file("tmp/" + name).c_str());
    }
    if (n == 0) {
      EXPECT_EQ(st, kOk) << text;
      clean_ = dir_.read("d.ISI");
    } else if (st == kOk) {
      EXPECT_TRUE(dir_.read("d.ISI") == clean_) << where << "not the index of a clean run\n"
                                                << text;
    } else {
      EXPECT_TRUE(!dir_.exists("d.ISI") || leftByFault(dir_.file("d.ISI"))) << where << text;
      EXPECT_EQ(text.find("Start time"), std::string::npos) << where << text;
    }
    EXPECT_TRUE(fired || st == kOk) << where << text;
    return fired;
  }

  std::string savedTmpDir_;
  kt::TempDir dir_;
  std::string clean_;  // the index of a build without faults
};

TEST_P(InProcessFaultLoop, BuildKeepsItsPromisesAndNoDescriptor) {
  RunOnce(0);
  ASSERT_EQ(kt::CheckIndexOf(kt::MakeKeyedData(1600, 150, 11, 7), dir_.file("d.ISI")), "");
  uint64_t n = 1;
  while (n < kMaxRuns && RunOnce(n) && !HasFailure()) ++n;
  EXPECT_LT(n, kMaxRuns) << "the loop did not come to an end";
  EXPECT_GT(n, 5u) << "the faults never reached the job";
}

INSTANTIATE_TEST_SUITE_P(
    Plans, InProcessFaultLoop,
    // EIO takes the same paths as ENOSPC here; the end-to-end loops run it.
    ::testing::Values(PlanCase{"AllButReadsEnospc",
                               kFaultOpen | kFaultWrite | kFaultMeta | kFaultLock | kFaultMemory,
                               ENOSPC, false},
                      PlanCase{"ShortWrites", kFaultWrite, 0, true},
                      PlanCase{"Allocations", 0, 0, false}),
    [](const ::testing::TestParamInfo<PlanCase>& info) { return std::string(info.param.name); });

}  // namespace
