// SIGINT at seeded random moments of a build, an in-place compaction and a
// compaction into a new file. Each job is first run to its end to learn how
// long it takes; then each run gets its interrupt at a moment drawn from
// its own slice of that time (and a little beyond, so that some runs finish
// first). An interrupted run ends with status 1 and "Processing aborted via
// user interrupt." and leaves:
//  - after a build: no ISI and no work file;
//  - after a compaction into a new file: no new file, the old ISI as it was;
//  - after an in-place compaction: either the ISI as it was and no backup,
//    or a backup beside it that holds the original bytes (from which the
//    user restores it). Never a partial backup.
// A run the signal did not reach in time must have succeeded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/keyed_data.h"
#include "support/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 8;  // per job
constexpr const char* kAborted = "Processing aborted via user interrupt.\n";

enum class Job { kBuild, kCompactInPlace, kCompactNew };

struct InterruptCase {
  const char* name;
  Job job;
  uint32_t seed;
};

void PrintTo(const InterruptCase& c, std::ostream* os) {
  *os << c.name;
}

struct Outcome {
  int exitCode = -1;
  std::string out;
  double seconds = 0;  // from the banner to the end
};

class InterruptTest : public ::testing::TestWithParam<InterruptCase> {
 protected:
  void SetUp() override {
    // Enough data for the smallest sort memory to make several hundred sort
    // trains and two merge passes.
    data_ = kt::MakeKeyedData(60000, 60, 97, GetParam().seed);
    dir_.write("d.txt", data_.bytes);
    ASSERT_EQ(mkdir(dir_.file("tmp").c_str(), 0700), 0);
    if (GetParam().job != Job::kBuild) {
      kt::RunOptions opts;
      opts.cwd = dir_.path();
      ASSERT_EQ(kt::RunKelindex({"d.txt", "-1-60"}, opts).exitCode, 0);
      isi_ = dir_.read("d.ISI");
    }
  }

  std::vector<std::string> Args() const {
    std::vector<std::string> args = {"kelindex", "-m524288", "-m262144", "-m131072",
                                     "-m65536",  "-m32768",  "-m16384",  "-m8192"};
    switch (GetParam().job) {
      case Job::kBuild:
        args.insert(args.end(), {"d.txt", "-1-60"});
        break;
      case Job::kCompactInPlace:
        args.insert(args.end(), {"d.ISI", "-c"});
        break;
      case Job::kCompactNew:
        args.insert(args.end(), {"d.ISI,n.ISI", "-c"});
        break;
    }
    return args;
  }

  // Runs kelindex with its output in a file of its own; once the banner is
  // there (the handler is installed by then), waits `delay` seconds and
  // sends SIGINT, unless delay is negative.
  Outcome Run(double delay) {
    std::string outPath = logs_.file("out.txt");
    unlink(outPath.c_str());  // the banner to wait for is this run's
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int null = open("/dev/null", O_RDWR);
      if (out < 0 || null < 0 || chdir(dir_.path().c_str()) != 0) _exit(127);
      dup2(null, 0);
      dup2(out, 1);
      dup2(null, 2);
      std::vector<std::string> args = Args();
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      std::string tmp = "TMPDIR=" + dir_.file("tmp");
      char* envp[] = {tmp.data(), nullptr};
      execve(kt::KelindexPath().c_str(), argv.data(), envp);
      _exit(127);
    }
    Outcome o;
    struct stat st {};
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while ((stat(outPath.c_str(), &st) != 0 || st.st_size == 0) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    auto start = Clock::now();
    if (delay >= 0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      kill(pid, SIGINT);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.out = logs_.read("out.txt");
    return o;
  }

  void Restore() {
    for (const std::string& name : dir_.list()) {
      if (name != "d.txt" && name != "tmp") unlink(dir_.file(name).c_str());
    }
    if (!isi_.empty()) dir_.write("d.ISI", isi_);
  }

  void ExpectSucceeded(const Outcome& o, const std::string& where) {
    EXPECT_NE(o.out.find("Start time = "), std::string::npos) << where << o.out;
    std::string isi = GetParam().job == Job::kCompactNew ? "n.ISI" : "d.ISI";
    EXPECT_EQ(kt::CheckIndexOf(data_, dir_.file(isi)), "") << where;
    EXPECT_FALSE(dir_.exists("d.ISI.bak")) << where;
  }

  void ExpectAborted(const Outcome& o, const std::string& where) {
    EXPECT_NE(o.out.find(kAborted), std::string::npos) << where << o.out;
    switch (GetParam().job) {
      case Job::kBuild:
        EXPECT_FALSE(dir_.exists("d.ISI")) << where << o.out;
        break;
      case Job::kCompactNew:
        EXPECT_FALSE(dir_.exists("n.ISI")) << where << o.out;
        EXPECT_TRUE(dir_.read("d.ISI") == isi_) << where << o.out;
        EXPECT_FALSE(dir_.exists("d.ISI.bak")) << where << o.out;
        break;
      case Job::kCompactInPlace:
        if (dir_.exists("d.ISI.bak")) {
          EXPECT_TRUE(dir_.read("d.ISI.bak") == isi_)
              << where << "backup of " << dir_.read("d.ISI.bak").size() << " bytes, not "
              << isi_.size() << "\n"
              << o.out;
        } else {
          EXPECT_TRUE(dir_.read("d.ISI") == isi_) << where << "ISI changed, no backup\n" << o.out;
        }
        break;
    }
  }

  kt::KeyedData data_;
  std::string isi_;
  kt::TempDir dir_, logs_;
};

TEST_P(InterruptTest, EveryMomentLeavesAFinishedJobOrNothingHalfDone) {
  Outcome full = Run(-1);
  ASSERT_EQ(full.exitCode, 0) << full.out;
  ExpectSucceeded(full, "uninterrupted: ");
  std::mt19937 rng(GetParam().seed);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  int aborted = 0;
  for (int i = 0; i < kRuns && !HasFailure(); ++i) {
    Restore();
    // Run i is interrupted within the i-th slice of 1.2 times the full run.
    double delay = full.seconds * 1.2 * (i + within(rng)) / kRuns;
    Outcome o = Run(delay);
    std::string where = "interrupt after " + std::to_string(delay) + " s, exit " +
                        std::to_string(o.exitCode) + ": ";
    EXPECT_TRUE(o.exitCode == 0 || o.exitCode == 1) << where << "exit " << o.exitCode << o.out;
    if (o.exitCode == 0) {
      ExpectSucceeded(o, where);
    } else {
      ++aborted;
      ExpectAborted(o, where);
    }
    EXPECT_EQ(kt::ListDirectory(dir_.file("tmp")), std::vector<std::string>{}) << where;
  }
  if (!HasFailure()) {
    EXPECT_GE(aborted, kRuns / 4) << "the interrupts came too late";
  }
}

INSTANTIATE_TEST_SUITE_P(Jobs, InterruptTest,
                         ::testing::Values(InterruptCase{"Build", Job::kBuild, 11},
                                           InterruptCase{"CompactInPlace", Job::kCompactInPlace,
                                                         12},
                                           InterruptCase{"CompactNewFile", Job::kCompactNew, 13}),
                         [](const ::testing::TestParamInfo<InterruptCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
