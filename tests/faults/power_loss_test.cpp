// A power loss at any write or sync of an in-place compaction, with none,
// some or all of the writes not yet synced reaching the disk: the next
// program that opens the index finds it as it was or as the compaction
// made it, never half rewritten, and the check passes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"
#include "kelisi_cli/index_check.h"
#include "support/model.h"
#include "support/power_loss_env.h"
#include "support/test_util.h"

namespace {

// kelindex in this process, on `env`; its exit status.
Status RunOnEnv(std::vector<std::string> args, const kel::Env* env, FILE* sink) {
  args.insert(args.begin(), "kelindex");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  memset(static_cast<void*>(&gCmdData), 0, sizeof gCmdData);
  pCmdData = &gCmdData;
  SysUseEnv(env);
  Status s = FhSortIndex(static_cast<int>(argv.size()), argv.data(), sink);
  SysUseEnv(nullptr);
  return s;
}

std::string CheckProblem(const std::string& isi, const std::string& data) {
  kelisi_cli::CheckOptions opt;
  opt.dataPath = data.c_str();
  std::string first;
  auto r = kelisi_cli::CheckIndex(isi.c_str(), opt, [&](const kelisi_cli::CheckProblem& p) {
    if (first.empty()) first = p.message;
  });
  if (r.status != 0) return r.error;
  return r.problems == 0 ? "" : first;
}

TEST(PowerLoss, InPlaceCompactionLeavesTheOldIndexOrTheNew) {
  // Every third record deleted: a deleted-record chain that the compaction
  // rewrites too.
  const kt::Data data = kt::RandomData(600, 40, 7, 3);
  kt::TempDir dir;
  dir.write("d.txt", data.bytes());
  kt::RunOptions opts;
  opts.cwd = dir.path();
  ASSERT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-40"}, opts).exitCode, 0);
  const std::string before = dir.read("d.isi");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  FILE* sink = fopen("/dev/null", "w");
  kt::PowerLossEnv env;
  env.Arm(0);
  ASSERT_EQ(RunOnEnv({"d.isi", "-c"}, &env, sink), 0);
  const uint64_t calls = env.Calls();
  const std::string after = dir.read("d.isi");
  ASSERT_NE(after, before);
  int old = 0, compacted = 0;
  for (uint64_t n = 1; n <= calls && !HasFailure(); ++n) {
    for (auto keep : {kt::PowerLossEnv::Keep::kNone, kt::PowerLossEnv::Keep::kSome,
                      kt::PowerLossEnv::Keep::kAll}) {
      const std::string where = "power lost at call " + std::to_string(n) + " of " +
                                std::to_string(calls) + ", keep " +
                                std::to_string(static_cast<int>(keep)) + ": ";
      dir.write("d.isi", before);
      unlink("d.isi.bak");
      env.Arm(n);
      RunOnEnv({"d.isi", "-c"}, &env, sink);
      env.Crash(keep, static_cast<uint32_t>(n));
      // The next program to open the index: kelindex showing its information.
      EXPECT_EQ(RunOnEnv({"d.isi", "-i"}, &env, sink), 0) << where;
      const std::string got = dir.read("d.isi");
      EXPECT_TRUE(got == before || got == after) << where << "half rewritten";
      old += got == before;
      compacted += got == after;
      EXPECT_EQ(CheckProblem("d.isi", "d.txt"), "") << where;
      EXPECT_FALSE(dir.exists("d.isi-journal")) << where;
    }
  }
  EXPECT_GT(old, 0);
  EXPECT_GT(compacted, 0);
  fclose(sink);
  ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
