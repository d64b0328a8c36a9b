// Every I/O call of a job failing in turn. Each loop runs kelindex_fi with
// the fault plan "N:<classes>:<what>" for N = 1, 2, 3, ... until a run
// reports that no fault fired, and holds every run to the promises a user
// relies on: exit status 0 with a correct index, or exit status 1 with a
// message and nothing half-done left behind; never a crash.
//
// Faults a run survives, ending with status 0 and a correct index:
//  - a merge block read or its seek: the block read is retried;
//  - opening the terminal definition file: its defaults apply;
//  - creating the ISI exclusively: the existing file is opened and cut;
//  - closing a work file, or the header read of -r: nothing was written;
//  - deleting a work file: the clean-up ignores it, and the file stays in
//    the work directory (nothing more can be done about it; the index is
//    sound). This is the one thing a successful run may leave behind.
// Every other fault ends the run with status 1 and its message; a failed
// close of the ISI or of the data file among them (the index goes).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/keyed_data.h"
#include "support/test_util.h"

namespace {

enum class Job { kBuild, kReindex, kCompactInPlace, kCompactNew };

struct LoopCase {
  const char* name;
  Job job;
  const char* plan;  // the plan after "N:"
  int records;       // of the data file, one in 11 deleted
};

void PrintTo(const LoopCase& c, std::ostream* os) {
  *os << c.name;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class FaultLoopTest : public ::testing::TestWithParam<LoopCase> {
 protected:
  // The data of this case, the index the reindex and the compactions start
  // from, and what the job makes of them without faults: a run that
  // survives its fault must leave exactly these bytes.
  void SetUp() override {
    data_ = kt::MakeKeyedData(GetParam().records, 150, 11, 20240611);
    kt::TempDir dir;
    dir.write("d.txt", data_.bytes);
    kt::RunOptions opts;
    opts.cwd = dir.path();
    ASSERT_EQ(kt::RunKelindex({"d.txt", "-1-150"}, opts).exitCode, 0);
    isi_ = dir.read("d.ISI");
    ASSERT_EQ(kt::RunKelindex(Args(), opts).exitCode, 0);
    expected_ = dir.read(Output());
    ASSERT_EQ(kt::CheckIndexOf(data_, dir.file(Output())), "");
  }
  static std::string Output() { return GetParam().job == Job::kCompactNew ? "n.ISI" : "d.ISI"; }
  // The job, with the sort memory lowered step by step to its 8192-byte
  // floor (each step at least half the one before): with 150-byte keys a
  // sub-list holds 46 items, so a few hundred records make several trains.
  static std::vector<std::string> Args() {
    std::vector<std::string> args = {"-m524288", "-m262144", "-m131072", "-m65536",
                                     "-m32768",  "-m16384",  "-m8192"};
    const char* job[4][2] = {
        {"d.txt", "-1-150"}, {"d.ISI", "-r"}, {"d.ISI", "-c"}, {"d.ISI,n.ISI", "-c"}};
    args.insert(args.end(), job[static_cast<int>(GetParam().job)],
                job[static_cast<int>(GetParam().job)] + 2);
    return args;
  }

  // Checks one run; returns false when the loop is over (no fault fired).
  bool CheckRun(uint64_t n, const kt::TempDir& dir) {
    const LoopCase& c = GetParam();
    kt::RunOptions opts;
    opts.cwd = dir.path();
    opts.faultBinary = true;
    opts.env = {{"KELINDEX_FAULT", std::to_string(n) + ":" + c.plan},
                {"KELINDEX_FAULT_TRACE", "1"},
                {"TMPDIR", dir.file("tmp")}};
    kt::RunResult r = kt::RunKelindex(Args(), opts);
    bool fired = Contains(r.err, "kelindex_fi: fault fired");
    // The call the fault hit, as kelindex_fi reports it ("write", "unlink(path)").
    const std::string tag = "kelindex_fi: fault in ";
    size_t at = r.err.find(tag);
    std::string call = at == std::string::npos
                           ? ""
                           : r.err.substr(at + tag.size(), r.err.find('\n', at) - at - tag.size());
    std::string where = "N=" + std::to_string(n) + " fault in " + call + ": ";
    EXPECT_TRUE(r.exitCode == 0 || (r.exitCode == 1 && fired)) << where << r.exitCode << r.out;
    // What a deletion that failed may leave: the file it named. Once every
    // call fails, deletions fail too: what they leave is not held against
    // the run.
    bool sticky = Contains(c.plan, ":sticky");
    auto leftByFault = [&](const std::string& name) {
      return sticky || call == "unlink(" + name + ")" || call == "unlink(" + dir.file(name) + ")";
    };
    for (const std::string& name : kt::ListDirectory(dir.file("tmp"))) {
      EXPECT_TRUE(leftByFault("tmp/" + name)) << where << "work file left\n" << r.out;
    }
    EXPECT_TRUE(!dir.exists("d.ISI.bak") || leftByFault("d.ISI.bak")) << where << r.out;
    if (r.exitCode == 0) {
      EXPECT_TRUE(Contains(r.out, "Start time = ")) << where << r.out;
      EXPECT_TRUE(dir.read(Output()) == expected_) << where << "not the index of a clean run";
    } else if (r.exitCode == 1) {
      EXPECT_FALSE(Contains(r.out, "Start time = ")) << where << r.out;
      // The last line printed is the run's message, not one that a run in
      // progress prints anyway.
      std::string text = r.out;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      std::string last = text.substr(text.find_last_of("\r\n") + 1);
      EXPECT_TRUE(!last.empty() && std::none_of(std::begin(kProgress), std::end(kProgress),
                                                [&](const char* p) { return Contains(last, p); }))
          << where << "no message\n"
          << r.out;
      ExpectNothingHalfDone(dir, where, leftByFault(Output()), r.out);
    }
    return fired && n < 4000;
  }

  void ExpectNothingHalfDone(const kt::TempDir& dir, const std::string& where, bool unlinkFailed,
                             const std::string& out) {
    switch (GetParam().job) {
      case Job::kBuild:
        EXPECT_TRUE(!dir.exists("d.ISI") || unlinkFailed) << where << "ISI left\n" << out;
        break;
      case Job::kReindex:
        // Refused before the build began, the old index stands; once the
        // build has begun, the partial index is removed.
        EXPECT_TRUE(!dir.exists("d.ISI") || unlinkFailed || dir.read("d.ISI") == isi_) << where;
        break;
      case Job::kCompactInPlace:
        // The ISI as it was; or, when even the restore failed (a disk that
        // fails every call from some point on), the backup beside it as it
        // was; or, when a close failed after the compacted ISI was synced,
        // the compacted index. Nothing is ever lost.
        if (dir.read("d.ISI") == isi_) break;
        if (Contains(out, "ISI can not be restored after fatal compact error")) {
          EXPECT_TRUE(dir.read("d.ISI.bak") == isi_) << where << "backup not whole\n" << out;
        } else {
          EXPECT_TRUE(Contains(out, "Close(outfile) failed.")) << where << out;
          EXPECT_TRUE(dir.read("d.ISI") == expected_) << where << out;
        }
        break;
      case Job::kCompactNew:
        EXPECT_TRUE(!dir.exists("n.ISI") || unlinkFailed) << where << "new ISI left\n" << out;
        EXPECT_TRUE(dir.read("d.ISI") == isi_) << where << "old ISI changed\n" << out;
        break;
    }
  }

  static constexpr const char* kProgress[] = {"Indexing ", "Max memory set to", " deleted entries",
                                              "Compacting ", "kelindex d"};
  kt::KeyedData data_;
  std::string isi_, expected_;
};

TEST_P(FaultLoopTest, EveryCallFailingInTurnKeepsThePromises) {
  uint64_t n = 1;
  for (;; ++n) {
    kt::TempDir dir;
    dir.write("d.txt", data_.bytes);
    ASSERT_EQ(mkdir(dir.file("tmp").c_str(), 0700), 0);
    if (GetParam().job != Job::kBuild) dir.write("d.ISI", isi_);
    if (!CheckRun(n, dir) || HasFailure()) break;
  }
  EXPECT_LT(n, 4000u) << "the loop did not come to an end";
  EXPECT_GT(n, 10u) << "the faults never reached the job";
}

// Small data keep the loops short (a run of the sanitizer build costs tens
// of milliseconds): builds of a few sort trains and one merge pass (the
// in-process loop of the driver tests takes a build through two passes);
// a reindex, whose own part is the reading of the stored line; indexes of
// about 50 key sectors for the compactions.
INSTANTIATE_TEST_SUITE_P(
    Jobs, FaultLoopTest,
    ::testing::Values(LoopCase{"BuildEnospc", Job::kBuild, "a:ENOSPC", 200},
                      LoopCase{"BuildEio", Job::kBuild, "a:EIO", 200},
                      LoopCase{"BuildShort", Job::kBuild, "rw:short", 200},
                      LoopCase{"ReindexEnospc", Job::kReindex, "a:ENOSPC", 60},
                      LoopCase{"ReindexEio", Job::kReindex, "a:EIO", 60},
                      LoopCase{"ReindexShort", Job::kReindex, "rw:short", 60},
                      LoopCase{"InPlaceEnospc", Job::kCompactInPlace, "a:ENOSPC", 150},
                      LoopCase{"InPlaceEio", Job::kCompactInPlace, "a:EIO", 150},
                      LoopCase{"InPlaceShort", Job::kCompactInPlace, "rw:short", 150},
                      LoopCase{"InPlaceEioFromThenOn", Job::kCompactInPlace, "a:EIO:sticky", 150},
                      LoopCase{"NewFileEnospc", Job::kCompactNew, "a:ENOSPC", 150},
                      LoopCase{"NewFileEio", Job::kCompactNew, "a:EIO", 150},
                      LoopCase{"NewFileShort", Job::kCompactNew, "rw:short", 150}),
    [](const ::testing::TestParamInfo<LoopCase>& info) { return std::string(info.param.name); });

}  // namespace
