// The driver seen from outside: the built kelindex run with leading options,
// the banner, the usage text, the log file and the refusals that come before
// or instead of a job.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

constexpr const char* kBanner =
    "\nKELVANE INDEX COMMAND   Version 10.8   07 Oct 2025"
    "\nBuilds, shows, rebuilds and compacts ISI index files."
    "\n-? shows the options.\n";
constexpr const char* kUsageStart = "\nkelindex [-l{log}] {data}[,{isi}[,{Lnnn}[,{tmppath}]]]";
constexpr const char* kUsageEnd = "          kelindex test.dat,test.is2 -11-20,1-5,7-8,21-30\n";
constexpr const char* kIncomplete = "The command line is incomplete.  Use -? option.\n";

class DriverE2eTest : public ::testing::Test {
 protected:
  kt::RunResult Run(const std::vector<std::string>& args) {
    kt::RunOptions opts;
    opts.cwd = dir.path();
    return kt::RunKelindex(args, opts);
  }
  static bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }
  static bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  kt::TempDir dir;
};

TEST_F(DriverE2eTest, NoArgumentShowsBannerAndUsage) {
  kt::RunResult r = Run({});
  EXPECT_EQ(r.exitCode, 1);
  std::string head = std::string("kelindex \n") + kBanner + kUsageStart;
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_TRUE(EndsWith(r.out, kUsageEnd));
  EXPECT_EQ(r.err, "");
}

TEST_F(DriverE2eTest, RedirectedOutputStartsWithTheArgumentEcho) {
  kt::RunResult r = Run({"data"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, std::string("kelindex data \n") + kBanner + kIncomplete);
  EXPECT_TRUE(dir.list().empty());
}

TEST_F(DriverE2eTest, QuestionMarkShowsUsage) {
  kt::RunResult r = Run({"-?", "data,isi", "-1-10"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.substr(0, 30), "kelindex -? data,isi -1-10 \n\nK");
  EXPECT_TRUE(Contains(r.out, kUsageStart));
  EXPECT_TRUE(EndsWith(r.out, kUsageEnd));
}

TEST_F(DriverE2eTest, LogReceivesEverythingAndStdoutNothing) {
  kt::RunResult r = Run({"-lrun.log", "-m600000", "data"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dir.read("run.log"), std::string("kelindex -lrun.log -m600000 data \n") + kBanner +
                                     "Max memory set to 600000.\n" + kIncomplete);
}

TEST_F(DriverE2eTest, LogNameAsSeparateArgumentAndUsageIntoLog) {
  dir.write("run.log", "earlier run\n");
  kt::RunResult r = Run({"-L", "run.log", "-?"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  std::string log = dir.read("run.log");
  EXPECT_EQ(log.substr(0, 22), "kelindex -L run.log -?");  // cut to zero length first
  EXPECT_TRUE(EndsWith(log, kUsageEnd));
}

TEST_F(DriverE2eTest, QAppendsToTheLog) {
  dir.write("run.log", "earlier run\n");
  kt::RunResult r = Run({"-qrun.log", "data"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dir.read("run.log"),
            std::string("earlier run\nkelindex -qrun.log data \n") + kBanner + kIncomplete);
}

TEST_F(DriverE2eTest, LoneLogOptionOpensNoLog) {
  kt::RunResult r = Run({"-lrun.log"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, std::string("kelindex -lrun.log \n") + kBanner + kIncomplete);
  EXPECT_TRUE(dir.list().empty());
}

TEST_F(DriverE2eTest, LogNameBeginningWithDashIsSpentWithoutLog) {
  kt::RunResult r = Run({"-l", "-x", "data"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, std::string("kelindex -l -x data \n") + kBanner + kIncomplete);
  EXPECT_TRUE(dir.list().empty());
}

TEST_F(DriverE2eTest, DiagModeReportsTheProfileInUse) {
  kt::RunResult r = Run({"-d", "-m4000000", "data"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(
      Contains(r.out, std::string(kBanner) + "Max memory set to 4000000.\nINI file NOT USED!\n"));
  r = Run({"-D", "-Iprof", "data"});
  EXPECT_TRUE(Contains(r.out, "Using INI file: 'prof.ini'\n"));
}

TEST_F(DriverE2eTest, MemoryAndTrainOptionMessages) {
  kt::RunResult r = Run({"-m100000", "-M600000", "-t16383", "-T16384", "-t0", "data"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.out, std::string(kBanner) +
                                  "-m option value too small.  Default assumed.\n"
                                  "Max memory set to 600000.\n"
                                  "Max sort trains set to 16383.\n"
                                  "-t option value too large.  Default of 999 assumed.\n"
                                  "-t option value too small.  Default assumed.\n"));
  r = Run({"-m2147483648", "data"});
  EXPECT_TRUE(Contains(r.out, "-m option value too large.  Default assumed.\n"));
}

TEST_F(DriverE2eTest, OverlongCommandTextIsRefused) {
  kt::RunResult r = Run({"data,isi", "-1-10", std::string(570, 'k')});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(EndsWith(
      r.out, std::string(kBanner) + "The command line is too long (at most 576 characters).\n"));
  EXPECT_TRUE(dir.list().empty());
}

}  // namespace
