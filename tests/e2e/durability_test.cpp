// The order in which an in-place compaction makes its work durable, read
// from the program itself: every write and file-metadata call of the run
// fails in turn, and the fault report names the call and its file, which
// gives the sequence of those calls. The backup must be complete and
// synced before the first byte of the ISI is written, and the finished ISI
// synced before the backup is deleted; a failing sync at either point ends
// the run with the ISI as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/keyed_data.h"
#include "support/test_util.h"

namespace {

class DurabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = kt::MakeKeyedData(300, 20, 7, 5);
    dir_.write("d.txt", data_.bytes);
    kt::RunOptions opts;
    opts.cwd = dir_.path();
    ASSERT_EQ(kt::RunKelindex({"d.txt", "-1-20"}, opts).exitCode, 0);
    isi_ = dir_.read("d.ISI");
  }

  // The in-place compaction with the n-th write or metadata call failing;
  // `call` receives that call with its file named relative to the directory.
  kt::RunResult Compact(int n, std::string* call) {
    for (const std::string& name : dir_.list()) {
      if (name != "d.txt") unlink(dir_.file(name).c_str());  // what a failed unlink left
    }
    dir_.write("d.ISI", isi_);
    kt::RunOptions opts;
    opts.cwd = dir_.path();
    opts.faultBinary = true;
    opts.env = {{"KELINDEX_FAULT", std::to_string(n) + ":mw:EIO"},
                {"KELINDEX_FAULT_TRACE", "1"},
                {"TMPDIR", dir_.path()}};
    kt::RunResult r = kt::RunKelindex({"d.ISI", "-c"}, opts);
    const std::string tag = "kelindex_fi: fault in ";
    size_t at = r.err.find(tag);
    *call = at == std::string::npos ? "" : r.err.substr(at + tag.size());
    if (!call->empty()) call->pop_back();  // the line end
    for (size_t p; (p = call->find(dir_.path() + "/")) != std::string::npos;) {
      call->erase(p, dir_.path().size() + 1);
    }
    return r;
  }

  void ExpectIsiAsItWas(const kt::RunResult& r) {
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(dir_.read("d.ISI") == isi_) << r.out;
    EXPECT_EQ(dir_.list(), (std::vector<std::string>{"d.ISI", "d.txt"})) << r.out;
  }

  kt::KeyedData data_;
  std::string isi_;
  kt::TempDir dir_;
};

TEST_F(DurabilityTest, BackupSyncedBeforeTheIsiIsWrittenAndIsiSyncedBeforeTheBackupGoes) {
  std::vector<std::string> calls;
  std::string call;
  for (int n = 1; n < 1000; ++n) {
    Compact(n, &call);
    if (call.empty()) break;
    calls.push_back(call);
  }
  auto first = [&](const std::string& c) {
    return std::find(calls.begin(), calls.end(), c) - calls.begin();
  };
  auto last = [&](const std::string& c) {
    return calls.rend() - std::find(calls.rbegin(), calls.rend(), c) - 1;
  };
  long n = static_cast<long>(calls.size());
  long backupSync = first("fsync(d.ISI.bak)"), isiSync = first("fsync(d.ISI)");
  long backupGone = first("unlink(d.ISI.bak)");
  ASSERT_LT(backupSync, n);
  ASSERT_LT(isiSync, n);
  ASSERT_LT(backupGone, n);
  EXPECT_LT(last("write(d.ISI.bak)"), backupSync);
  EXPECT_LT(backupSync, first("write(d.ISI)"));
  EXPECT_LT(last("write(d.ISI)"), isiSync);
  EXPECT_LT(isiSync, backupGone);

  // Each sync failing: the run stops with the ISI as it was, untouched at
  // the first, restored from the backup at the second.
  kt::RunResult r = Compact(static_cast<int>(backupSync) + 1, &call);
  ASSERT_EQ(call, "fsync(d.ISI.bak)");
  ExpectIsiAsItWas(r);
  EXPECT_NE(r.out.find("Error writing the ISI backup file: d.ISI.bak\n"
                       "Unable to execute in place ISI compact operation!\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("restored"), std::string::npos) << r.out;

  r = Compact(static_cast<int>(isiSync) + 1, &call);
  ASSERT_EQ(call, "fsync(d.ISI)");
  ExpectIsiAsItWas(r);
  EXPECT_NE(r.out.find("ISI has been restored after fatal compact error for file: d.ISI\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
