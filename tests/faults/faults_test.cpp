// The promises kelindex makes when things go wrong around it: every file
// call of a job failing in turn (a full disk, an I/O error, a short
// transfer), an interrupt at any moment, another program holding the locks,
// and a run that leaks nothing into the process that runs it. A job either
// succeeds with the index a clean run makes, or ends with status 1 and a
// message, leaving no partial index, no work file and no backup, and an
// index compacted in place as it was (or, when even the restore failed, a
// whole backup beside it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/lock_protocol.h"
#include "support/fault_env.h"
#include "support/model.h"
#include "support/test_util.h"

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

enum class Job { kBuild, kReindex, kInPlace, kNewFile };
const std::vector<std::string> kJobArgs[] = {
    {"d.txt,d.isi", "-1-150"}, {"d.isi", "-r"}, {"d.isi", "-c"}, {"d.isi,n.isi", "-c"}};

// The sort memory halved step by step to its 8,192-byte floor: a few hundred
// records of 150-byte keys make several sort trains.
std::vector<std::string> JobArgs(Job job) {
  std::vector<std::string> args = {"-m524288", "-m262144", "-m131072", "-m65536",
                                   "-m32768",  "-m16384",  "-m8192"};
  args.insert(args.end(), kJobArgs[static_cast<int>(job)].begin(),
              kJobArgs[static_cast<int>(job)].end());
  return args;
}

// A directory holding the data, and the index the reindex and the
// compactions start from.
struct Scene {
  kt::Data data;
  std::string isi;
  // Records of `length` characters and LF, then `after` (bytes outside any
  // record).
  explicit Scene(int records, int deleteEvery = 11, int length = 150, const std::string& after = "")
      : data(kt::RandomData(records, length, 3, deleteEvery)) {
    data.Raw(after);
    kt::TempDir dir;
    dir.write("d.txt", data.bytes());
    EXPECT_EQ(kt::RunKelindex({"d.txt,d.isi", "-1-150"}, dir.path()).exitCode, 0);
    isi = dir.read("d.isi");
  }
  void Lay(const kt::TempDir& dir, Job job) const {
    dir.write("d.txt", data.bytes());
    mkdir(dir.file("tmp").c_str(), 0700);
    if (job != Job::kBuild) dir.write("d.isi", isi);
  }
  std::string Problem(const std::string& path) const {
    kt::Index ix = kt::ReadIndex(path);
    if (!ix.error.empty()) return ix.error;
    if (!ix.problems.empty()) return ix.problems[0];
    return kt::DiffEntries(ix.entries, kt::Expected(data, {{1, 150}}));
  }
};

// ---- Every call failing in turn ----------------------------------------------

struct LoopCase {
  const char* name;
  Job job;
  const char* plan;  // after "N:": classes and what fails
};
void PrintTo(const LoopCase& c, std::ostream* os) {
  *os << c.name;
}

class FaultLoop : public ::testing::TestWithParam<LoopCase> {
 protected:
  std::string Output() const { return GetParam().job == Job::kNewFile ? "n.isi" : "d.isi"; }
  // What a job left after a failed run: nothing half done.
  void ExpectNothingHalfDone(const kt::TempDir& dir, const Scene& scene, const std::string& out,
                             bool unlinkFailed, const std::string& where) {
    switch (GetParam().job) {
      case Job::kBuild:
      case Job::kNewFile:
        EXPECT_TRUE(!dir.exists(Output()) || unlinkFailed) << where << "partial index\n" << out;
        break;
      case Job::kReindex:  // refused before the build began, or removed once it had
        EXPECT_TRUE(!dir.exists("d.isi") || unlinkFailed || dir.read("d.isi") == scene.isi)
            << where << out;
        break;
      case Job::kInPlace:
        if (Contains(out, "ISI can not be restored after fatal compact error")) {
          EXPECT_TRUE(dir.read("d.isi.bak") == scene.isi) << where << "backup not whole\n" << out;
        } else if (!Contains(out, "Close(outfile) failed.")) {  // else: compacted and synced
          EXPECT_TRUE(dir.read("d.isi") == scene.isi) << where << "index not restored\n" << out;
        }
        break;
    }
    if (GetParam().job == Job::kNewFile) {
      EXPECT_TRUE(dir.read("d.isi") == scene.isi) << where;
    }
  }
};

TEST_P(FaultLoop, EveryCallFailingInTurnKeepsThePromises) {
  const LoopCase& c = GetParam();
  // Every second record deleted: a deleted-record chain of two sectors,
  // which compaction reads beyond the front. The records of 300 bytes end
  // at an end-of-file mark past the first 64 KiB the scan reads.
  static const Scene scene(260, 2, 299, "\x1A and more");
  std::string clean;
  std::vector<std::string> calls;  // the call each run's fault hit, in order
  uint64_t n = 0;
  for (bool fired = true; (fired || n == 1) && n < 3000 && !HasFailure();) {
    kt::TempDir dir;
    scene.Lay(dir, c.job);
    kt::RunOptions opts;
    opts.cwd = dir.path();
    opts.faultBinary = true;
    opts.env = {{"KELINDEX_FAULT_TRACE", "1"}, {"TMPDIR", dir.file("tmp")}};
    if (n > 0) opts.env.emplace_back("KELINDEX_FAULT", std::to_string(n) + ":" + c.plan);
    kt::RunResult r = kt::RunKelindex(JobArgs(c.job), opts);
    fired = Contains(r.err, "kelindex_fi: fault fired");
    std::string call;
    if (size_t at = r.err.find("fault in "); at != std::string::npos) {
      call =
          kt::ReplaceAll(r.err.substr(at + 9, r.err.find('\n', at) - at - 9), dir.path() + "/", "");
    }
    std::string where = "N=" + std::to_string(n) + " fault in " + call + ": ";
    if (n == 0) {  // the clean run
      ASSERT_EQ(r.exitCode, 0) << r.out;
      ASSERT_EQ(scene.Problem(dir.file(Output())), "");
      clean = dir.read(Output());
    }
    calls.push_back(call);
    bool sticky = Contains(c.plan, "sticky");
    auto leftByFault = [&](const std::string& name) {
      return sticky || call == "unlink(" + name + ")";
    };
    EXPECT_TRUE(r.exitCode == 0 || (r.exitCode == 1 && fired)) << where << r.exitCode << r.out;
    for (const std::string& name : kt::ListDirectory(dir.file("tmp"))) {
      EXPECT_TRUE(leftByFault("tmp/" + name)) << where << "work file left\n" << r.out;
    }
    // A journal whose removal failed, or may not last, keeps the backup it
    // names.
    EXPECT_TRUE(!dir.exists("d.isi.bak") || leftByFault("d.isi.bak") ||
                leftByFault("d.isi-journal") || call == "fsync(.)" ||
                Contains(r.out, "ISI can not be restored"))
        << where << r.out;
    EXPECT_TRUE(!dir.exists("d.isi-journal") || leftByFault("d.isi-journal") ||
                Contains(r.out, "ISI can not be restored"))
        << where << r.out;
    // A failing call of a sound job is never taken for a damaged index, and
    // one failing call leaves the restore of an in-place compaction whole.
    EXPECT_FALSE(Contains(r.out, "Damaged ISI structure")) << where << r.out;
    EXPECT_TRUE(sticky || !Contains(r.out, "can not be restored")) << where << r.out;
    if (r.exitCode == 0) {
      EXPECT_TRUE(dir.read(Output()) == clean) << where << "not the index of a clean run";
    } else {
      // The run's last line is its message, not the progress of a run going on.
      std::string text = r.out.substr(0, r.out.find_last_not_of("\r\n") + 1);
      std::string last = text.substr(text.find_last_of("\r\n") + 1);
      EXPECT_FALSE(last.empty() || Contains(last, "Indexing ") || Contains(last, "Compacting ") ||
                   Contains(last, "Max memory") || Contains(last, " deleted entries"))
          << where << "no message\n"
          << r.out;
      ExpectNothingHalfDone(dir, scene, r.out, leftByFault(Output()), where);
    }
    ++n;
  }
  EXPECT_LT(n, 3000u) << "the loop did not end";
  EXPECT_GT(n, 10u) << "the faults never reached the job";
  // An in-place compaction makes its work durable in this order: the whole
  // backup synced with its name, then the journal naming it with its own, before
  // the index is touched; the whole index synced before the journal goes,
  // and the journal gone for good before the backup goes.
  if (c.job == Job::kInPlace && std::string(c.plan) == "mw:EIO") {
    auto first = [&](const std::string& s) {
      return std::find(calls.begin(), calls.end(), s) - calls.begin();
    };
    auto last = [&](const std::string& s) {
      return calls.rend() - std::find(calls.rbegin(), calls.rend(), s) - 1;
    };
    long backupSync = first("fsync(d.isi.bak)"), isiSync = first("fsync(d.isi)");
    ASSERT_LT(isiSync, static_cast<long>(calls.size()));
    EXPECT_LT(last("write(d.isi.bak)"), backupSync);
    long journalSync = first("fsync(d.isi-journal)"), directorySync = first("fsync(.)");
    long journalNamed =
        std::find(calls.begin() + journalSync, calls.end(), "fsync(.)") - calls.begin();
    EXPECT_LT(backupSync, directorySync);
    EXPECT_LT(directorySync, journalSync);
    EXPECT_LT(journalNamed, first("write(d.isi)"));
    EXPECT_LT(last("write(d.isi)"), isiSync);
    long journalGone = first("unlink(d.isi-journal)");
    EXPECT_LT(isiSync, journalGone);
    EXPECT_LT(journalGone, first("unlink(d.isi.bak)"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, FaultLoop,
    ::testing::Values(LoopCase{"BuildEnospc", Job::kBuild, "a:ENOSPC"},
                      LoopCase{"BuildShort", Job::kBuild, "rw:short"},
                      LoopCase{"ReindexEio", Job::kReindex, "a:EIO"},
                      LoopCase{"InPlaceEio", Job::kInPlace, "a:EIO"},
                      LoopCase{"InPlaceWritesAndSyncs", Job::kInPlace, "mw:EIO"},
                      LoopCase{"InPlaceShort", Job::kInPlace, "rw:short"},
                      LoopCase{"InPlaceDiskFailsFromThenOn", Job::kInPlace, "a:EIO:sticky"},
                      LoopCase{"NewFileEnospc", Job::kNewFile, "a:ENOSPC"},
                      LoopCase{"NewFileShort", Job::kNewFile, "rw:short"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Interrupts ----------------------------------------------------------------

// Runs kelindex on `args` in `dir`, and sends SIGINT `delay` seconds after
// its banner (never, when negative). Returns the exit status; the output
// goes to *out and the seconds from the banner to the end to *took.
int RunInterrupted(const kt::TempDir& dir, const std::vector<std::string>& args, double delay,
                   std::string* out, double* took) {
  kt::RunOptions opts;
  opts.cwd = dir.path();
  opts.env = {{"TMPDIR", dir.file("tmp")}};
  opts.signalWhenOutput = "-? shows the options.\n";
  opts.signalDelayMs = delay < 0 ? 0 : static_cast<int>(delay * 1000);
  opts.signalNumber = delay < 0 ? 0 : SIGINT;
  auto start = std::chrono::steady_clock::now();
  kt::RunResult r = kt::RunKelindex(args, opts);
  *took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *out = r.out;
  return r.exitCode;
}

class Interrupt : public ::testing::TestWithParam<Job> {};

TEST_P(Interrupt, AnyMomentLeavesAFinishedJobOrNothingHalfDone) {
  const Job job = GetParam();
  static const Scene scene(30000);
  const std::string output = job == Job::kNewFile ? "n.isi" : "d.isi";
  kt::TempDir dir;
  scene.Lay(dir, job);
  std::string out;
  double full = 0;
  ASSERT_EQ(RunInterrupted(dir, JobArgs(job), -1, &out, &full), 0) << out;
  constexpr int kRuns = 8;
  int aborted = 0;
  for (int i = 0; i < kRuns && !HasFailure(); ++i) {
    kt::TempDir run;
    scene.Lay(run, job);
    double delay = full * 1.2 * (i + 0.5) / kRuns, took;
    int exitCode = RunInterrupted(run, JobArgs(job), delay, &out, &took);
    std::string where = "interrupt after " + std::to_string(delay) + " s: ";
    EXPECT_EQ(kt::ListDirectory(run.file("tmp")), std::vector<std::string>{}) << where;
    if (exitCode == 0) {
      EXPECT_EQ(scene.Problem(run.file(output)), "") << where;
      EXPECT_FALSE(run.exists("d.isi.bak")) << where;
      continue;
    }
    ++aborted;
    ASSERT_EQ(exitCode, 1) << where << out;
    EXPECT_TRUE(out.ends_with("Processing aborted via user interrupt.\n")) << where << out;
    if (job == Job::kInPlace) {  // the index as it was, or a whole backup beside it
      EXPECT_TRUE(run.read(run.exists("d.isi.bak") ? "d.isi.bak" : "d.isi") == scene.isi) << where;
    } else {
      EXPECT_FALSE(run.exists(output)) << where << out;
    }
  }
  EXPECT_GE(aborted, kRuns / 4) << "the interrupts came too late";
}

INSTANTIATE_TEST_SUITE_P(Jobs, Interrupt,
                         ::testing::Values(Job::kBuild, Job::kInPlace, Job::kNewFile));

// ---- Locks -----------------------------------------------------------------------

TEST(Locks, SharedCompactionWaitsForTheIsiLockExclusiveIsRefusedAtOnce) {
  static const Scene scene(50);
  kt::TempDir dir;
  scene.Lay(dir, Job::kInPlace);
  kt::RunOptions opts;
  opts.cwd = dir.path();
  // Another program's ISI lock: the compaction waits until it goes.
  pid_t holder = kt::HoldLock(dir.file("d.txt"), F_RDLCK, kIsiLockPos, 2, 0.5);
  auto start = std::chrono::steady_clock::now();
  kt::RunResult r = kt::RunKelindex({"d.isi", "-c"}, opts);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_GT(waited, 0.3);
  // Another program's share of the data file: -c=1 needs it alone and stops at once.
  holder = kt::HoldLock(dir.file("d.txt"), F_RDLCK, kWholeFileLockPos, 1, 5);
  std::string before = dir.read("d.isi");
  r = kt::RunKelindex({"d.isi", "-c=1"}, opts);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(
      r.out.ends_with("Unable to exclusive lock for ISI data file: d.txt\n"
                      "Unable to execute ISI compact operation!\n"))
      << r.out;
  EXPECT_TRUE(dir.read("d.isi") == before);
}

// A run started without standard input: the first file it opens takes
// descriptor 0, which is as good as any other.
TEST(Descriptors, ARunWithoutStandardInputWorks) {
  static const Scene scene(50);
  kt::TempDir dir;
  scene.Lay(dir, Job::kBuild);
  kt::RunOptions opts;
  opts.cwd = dir.path();
  opts.closeStdin = true;
  opts.env = {{"TMPDIR", dir.file("tmp")}};
  for (const auto& args : {kJobArgs[0], kJobArgs[2]}) {
    kt::RunResult r = kt::RunKelindex(args, opts);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(scene.Problem(dir.file("d.isi")), "");
  }
}

// ---- Nothing leaks into the process ------------------------------------------------

int OpenDescriptors() {
  return static_cast<int>(kt::ListDirectory("/proc/self/fd").size());
}
size_t Mappings() {
  std::ifstream maps("/proc/self/maps");
  return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(maps), {}, '\n'));
}

// One run of kelindex in this process in `dir` on `env`, with the n-th
// allocation failing (none when 0). Returns whether that allocation was reached.
bool RunFailingAllocation(const std::vector<std::string>& args, const kt::TempDir& dir,
                          kt::FaultEnv* env, uint64_t failAt) {
  env->SetPlan({kt::kFaultAlloc, failAt, ENOMEM});
  kt::RunInProcess(args, dir.path(), env);
  return env->Fired();
}

TEST(InProcess, EveryJobGivesBackItsDescriptorsMappingsAndMemory) {
  static const Scene scene(200);
  kt::TempDir dir;
  scene.Lay(dir, Job::kBuild);
  setenv("TMPDIR", dir.file("tmp").c_str(), 1);
  kt::FaultEnv env;
  const std::vector<std::vector<std::string>> runs = {
      {"d.txt,d.isi", "-1-150"}, {"d.isi", "-i"},          {"d.isi", "-r"},
      {"d.isi", "-c"},           {"d.isi,n.isi", "-c"},    {"nothere.isi", "-c"},
      {"d.txt,d.isi", "-1-3,2"}, {"d.txt,e.isi", "-1-150"}};
  RunFailingAllocation(runs[0], dir, &env, 0);  // the C library's own first-use allocations
  for (const auto& args : runs) {
    // The run whole, then with each of its allocations failing in turn.
    bool fired = true;
    for (uint64_t n = 0; fired && n < 200; ++n) {
      int fds = OpenDescriptors();
      size_t maps = Mappings();
      int64_t live = env.LiveAllocations();
      fired = RunFailingAllocation(args, dir, &env, n) || n == 0;
      std::string where = args[0] + " " + args[1] + " allocation " + std::to_string(n);
      EXPECT_EQ(OpenDescriptors(), fds) << where;
      EXPECT_EQ(Mappings(), maps) << where;
      EXPECT_EQ(env.LiveAllocations(), live) << where;
      sigset_t blocked;
      sigprocmask(SIG_BLOCK, nullptr, &blocked);
      EXPECT_FALSE(sigismember(&blocked, SIGINT)) << where << ": interrupts left blocked";
      unlink(dir.file("e.isi").c_str());
      unlink(dir.file("n.isi").c_str());
    }
  }
  unsetenv("TMPDIR");
}

}  // namespace
