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
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n - 1;  // the directory's own descriptor
}

std::string ReadAll(FILE* f) {
  std::string text;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  return text;
}

struct PlanCase {
  const char* name;
  uint32_t classes;  // 0: the allocation seam (CmdMalloc) instead of the fault plan
  int err;
  bool shortIo;
};

class InProcessFaultLoop : public ::testing::TestWithParam<PlanCase> {
 protected:
  static void SetUpTestSuite() { data_ = new kt::KeyedData(kt::MakeKeyedData(1600, 150, 11, 7)); }
  static void TearDownTestSuite() {
    delete data_;
    data_ = nullptr;
  }
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    savedTmpDir_ = tmp != nullptr ? tmp : "";
    dir_.write("d.txt", data_->bytes);
    ASSERT_EQ(mkdir(dir_.file("tmp").c_str(), 0700), 0);
    setenv("TMPDIR", dir_.file("tmp").c_str(), 1);
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    CmdSetAllocFailAt(0);
    RestoreTmpDir();
  }
  void RestoreTmpDir() {
    if (savedTmpDir_.empty()) {
      unsetenv("TMPDIR");
    } else {
      setenv("TMPDIR", savedTmpDir_.c_str(), 1);
    }
  }

  void Arm(uint64_t n) {
    const PlanCase& c = GetParam();
    if (c.classes == 0) {
      CmdSetAllocFailAt(n);
      return;
    }
    FaultPlan plan;
    plan.classes = c.classes;
    plan.failAt = n;
    plan.err = c.err;
    plan.shortIo = c.shortIo;
    SysSetFaultPlan(plan);
  }
  bool Disarm() {
    bool fired = GetParam().classes == 0 ? CmdAllocFailFired() : SysFaultFired();
    SysSetFaultPlan(FaultPlan{});
    CmdSetAllocFailAt(0);
    return fired;
  }

  // One build; with n > 0 the n-th counted call fails. Returns the status;
  // `fired` tells whether the fault was reached.
  Status Build(uint64_t n, bool* fired, std::string* call, std::string* text) {
    unlink(dir_.file("d.ISI").c_str());
    std::vector<std::string> args = {"kelindex",         "-m524288", "-m262144", "-m131072",
                                     "-m65536",          "-m32768",  "-m16384",  "-m8192",
                                     dir_.file("d.txt"), "-1-150"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    FILE* out = tmpfile();
    int fdsBefore = CountOpenFds();
    pCmdData = &gCmdData;
    if (n > 0) Arm(n);
    Status st = FhSortIndex(static_cast<int>(args.size()), argv.data(), out);
    *call = SysFaultFiredCall();
    *fired = Disarm();
    EXPECT_EQ(CountOpenFds(), fdsBefore)
        << "N=" << n << " fault in " << *call << ": descriptor left open";
    *text = ReadAll(out);
    fclose(out);
    return st;
  }

  // One build with the n-th call failing; false when nothing failed.
  bool RunOnce(uint64_t n) {
    bool fired = false;
    std::string call, text;
    Status st = Build(n, &fired, &call, &text);
    std::string where = "N=" + std::to_string(n) + " fault in " + call + ": ";
    auto leftByFault = [&](const std::string& path) { return call == "unlink(" + path + ")"; };
    for (const std::string& name : kt::ListDirectory(dir_.file("tmp"))) {
      EXPECT_TRUE(leftByFault(dir_.file("tmp/" + name))) << where << "work file left\n" << text;
      unlink(dir_.file("tmp/" + name).c_str());
    }
    if (st == kOk) {
      EXPECT_TRUE(dir_.read("d.ISI") == clean_) << where << "not the index of a clean run\n"
                                                << text;
    } else {
      EXPECT_TRUE(!dir_.exists("d.ISI") || leftByFault(dir_.file("d.ISI"))) << where << text;
      EXPECT_EQ(text.find("Start time"), std::string::npos) << where << text;
    }
    if (!fired) {
      EXPECT_EQ(st, kOk) << where << text;
    }
    return fired;
  }

  static kt::KeyedData* data_;
  std::string savedTmpDir_;
  kt::TempDir dir_;
  std::string clean_;  // the index of a build without faults
};

kt::KeyedData* InProcessFaultLoop::data_ = nullptr;

TEST_P(InProcessFaultLoop, BuildKeepsItsPromisesAndNoDescriptor) {
  bool fired;
  std::string call, text;
  ASSERT_EQ(Build(0, &fired, &call, &text), kOk) << text;
  ASSERT_EQ(kt::CheckIndexOf(*data_, dir_.file("d.ISI")), "");
  clean_ = dir_.read("d.ISI");
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
