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

#include "e2e_fixture.h"
#include "support/keyed_data.h"

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
  std::string Isi() const { return GetParam().job == Job::kCompactNew ? "n.ISI" : "d.ISI"; }

  // Runs kelindex with its output in a file of its own; once the banner is
  // there (the handler is installed by then), waits `delay` seconds and
  // sends SIGINT, unless delay is negative. The exit status and the output
  // in *out; returns the seconds from the banner to the end.
  double Run(double delay, int* exitCode, std::string* out) {
    std::string outPath = logs_.file("out.txt");
    unlink(outPath.c_str());  // the banner to wait for is this run's
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int null = open("/dev/null", O_RDWR);
      if (fd < 0 || null < 0 || chdir(dir_.path().c_str()) != 0) _exit(127);
      dup2(null, 0);
      dup2(fd, 1);
      dup2(null, 2);
      std::vector<std::string> args = {"kelindex", "-m524288", "-m262144", "-m131072",
                                       "-m65536",  "-m32768",  "-m16384",  "-m8192"};
      const char* job[3][2] = {{"d.txt", "-1-60"}, {"d.ISI", "-c"}, {"d.ISI,n.ISI", "-c"}};
      args.insert(args.end(), job[static_cast<int>(GetParam().job)],
                  job[static_cast<int>(GetParam().job)] + 2);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      std::string tmp = "TMPDIR=" + dir_.file("tmp");
      char* envp[] = {tmp.data(), nullptr};
      execve(kt::KelindexPath().c_str(), argv.data(), envp);
      _exit(127);
    }
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
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    *out = logs_.read("out.txt");
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  void ExpectSucceeded(const std::string& out, const std::string& where) {
    EXPECT_NE(out.find("Start time = "), std::string::npos) << where << out;
    EXPECT_EQ(kt::CheckIndexOf(data_, dir_.file(Isi())), "") << where;
    EXPECT_FALSE(dir_.exists("d.ISI.bak")) << where;
  }

  void ExpectAborted(const std::string& out, const std::string& where) {
    EXPECT_NE(out.find(kAborted), std::string::npos) << where << out;
    if (GetParam().job == Job::kCompactInPlace) {
      if (dir_.exists("d.ISI.bak")) {
        EXPECT_TRUE(dir_.read("d.ISI.bak") == isi_) << where << "backup not whole\n" << out;
      } else {
        EXPECT_TRUE(dir_.read("d.ISI") == isi_) << where << "ISI changed, no backup\n" << out;
      }
      return;
    }
    EXPECT_FALSE(dir_.exists(Isi())) << where << out;
    if (GetParam().job == Job::kCompactNew) {
      EXPECT_TRUE(dir_.read("d.ISI") == isi_) << where << out;
      EXPECT_FALSE(dir_.exists("d.ISI.bak")) << where << out;
    }
  }

  kt::KeyedData data_;
  std::string isi_;
  kt::TempDir dir_, logs_;
};

TEST_P(InterruptTest, EveryMomentLeavesAFinishedJobOrNothingHalfDone) {
  int exitCode;
  std::string out;
  double full = Run(-1, &exitCode, &out);
  ASSERT_EQ(exitCode, 0) << out;
  ExpectSucceeded(out, "uninterrupted: ");
  std::mt19937 rng(GetParam().seed);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  int aborted = 0;
  for (int i = 0; i < kRuns && !HasFailure(); ++i) {
    for (const std::string& name : dir_.list()) {  // back to how the job found it
      if (name != "d.txt" && name != "tmp") unlink(dir_.file(name).c_str());
    }
    if (!isi_.empty()) dir_.write("d.ISI", isi_);
    // Run i is interrupted within the i-th slice of 1.2 times the full run.
    double delay = full * 1.2 * (i + within(rng)) / kRuns;
    Run(delay, &exitCode, &out);
    std::string where =
        "interrupt after " + std::to_string(delay) + " s, exit " + std::to_string(exitCode) + ": ";
    EXPECT_TRUE(exitCode == 0 || exitCode == 1) << where << out;
    if (exitCode == 0) {
      ExpectSucceeded(out, where);
    } else {
      ++aborted;
      ExpectAborted(out, where);
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

// The interrupt's line ends the messages of a build that has shown its job
// line; nothing is left, but with -d the work files stay for a look.
TEST(InterruptMessageTest, BuildInterruptedAfterItsJobLine) {
  kt::TempDir dir;
  ASSERT_EQ(mkdir(dir.file("work").c_str(), 0700), 0);
  std::string data;  // a million records of 16 bytes in no order: most of a second's work
  uint32_t x = 12345;
  char body[20];
  for (int i = 0; i < 1000000; ++i) {
    x = x * 1103515245u + 12345u;
    snprintf(body, sizeof body, "%015u\n", x);
    data += body;
  }
  dir.write("big.txt", data);
  const std::string tail = "Indexing big.txt into big.isi\n" + std::string(kAborted);
  for (bool diag : {false, true}) {
    kt::RunOptions opts;
    opts.cwd = dir.path();
    opts.env = {{"TMPDIR", dir.file("work")}};
    opts.signalWhenOutput = "Indexing big.txt into big.isi\n";
    opts.signalDelayMs = 50;
    opts.timeoutSeconds = 60;
    std::vector<std::string> args = {"big.txt,big.isi", "-1-15"};
    if (diag) args.insert(args.begin(), "-d");
    kt::RunResult r = kt::RunKelindex(args, opts);
    EXPECT_TRUE(r.signalSent);
    EXPECT_EQ(r.exitCode, 1);
    if (!diag) {
      EXPECT_EQ(r.out, "kelindex big.txt,big.isi -1-15 \n" + std::string(e2e::kBanner) + tail);
    }
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"big.txt", "work"}));
    EXPECT_EQ(kt::ListDirectory(dir.file("work")).size(), diag ? 2u : 0u);
  }
}

}  // namespace
