// The driver seen from outside: the built kelindex run with leading options,
// the argument echo, the banner, the usage text, the log file and the
// refusals that come before or instead of a job.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace {

using e2e::kBanner;

constexpr const char* kUsage =
    "\nkelindex [-l{log}] {data}[,{isi}[,{Lnnn}[,{tmppath}]]] -[{opts}]{keyspecs}"
    "\nkelindex isi -[i|r]"
    "\n  data - Data file spec                  isi  - Index file spec"
    "\n  Lnnn - Record size for NULL file/Max record size for variable length records"
    "\n         (65533 Max)"
    "\n  tmppath - Location of temporary work files"
    "\nopts:\n"
    "  b = Treat space comp as binary char    c[={n}] = Compact ISI file\n"
    "  d = Allow duplicate keys               e = Error file of duplicate keys\n"
    "  f={nn} = Binary data & no EOR          g={nn} = Binary data with EOR\n"
    "  i = Display file index info            m{nn} = Max sector fill percent\n"
    "  n = Don't allow duplicate keys         n0= Duplicate keys ignored for NODUP\n"
    "  n$= Quietly ignore duplicate keys      o[={n}] = Set ISI OS type\n"
    "  p{nnn}{=|#}{c} = Primary record        q = Quit if unable to OPEN data file\n"
    "  r = Reindex file using index info      s = Allow space compression\n"
    "  u = Convert lower case to upper case   v = Allow variable length records\n"
    "  w = Write all records at End Of File   x = Disable record count\n"
    "  y = Don't put Drive in ISI header      z = Discard Path in ISI header\n"
    "  keyspecs: 1-10,21-30,15-20,...etc;  Up to 150 bytes can be used"
    "\nExamples: kelindex test,test,l100 -un,p11=A,1-10,20,30-40\n"
    "          kelindex test.dat,test.is2 -11-20,1-5,7-8,21-30\n";
constexpr const char* kIncomplete = "The command line is incomplete.  Use -? option.\n";

TEST(DriverE2eTest, WhatARunBeforeOrInsteadOfAJobPrints) {
  const std::string small = "-m option value too small.  Default assumed.\n";
  const struct {
    std::vector<std::string> args;
    std::string out;       // all of standard output after the echo and the banner
    std::string log = "";  // all of run.log; none when empty
    bool logBefore = false;
    bool diagnostics = false;  // `out` is how standard output begins
  } cases[] = {
      {{}, kUsage},
      {{"-?", "data,isi", "-1-10"}, kUsage},
      {{"data"}, kIncomplete},              // output to no terminal starts with the echo
      {{"-lrun.log"}, kIncomplete},         // a lone log option opens no log
      {{"-l", "-x", "data"}, kIncomplete},  // a log name beginning with '-' is spent
      {{"-lrun.log", "-m600000", "data"},
       "",
       std::string(kBanner) + "Max memory set to 600000.\n" + kIncomplete},
      {{"-L", "run.log", "-?"}, "", std::string(kBanner) + kUsage, true},     // cut to zero first
      {{"-qrun.log", "data"}, "", std::string(kBanner) + kIncomplete, true},  // q appends
      {{"-d", "-m4000000", "data"},
       "Max memory set to 4000000.\nINI file NOT USED!\n",
       "",
       false,
       true},
      {{"-D", "-Iprof", "data"}, "Using INI file: 'prof.ini'\n", "", false, true},
      {{"-m100000", "-M600000", "-t16383", "-T16384", "-t0", "-m2147483648", "data"},
       small +
           "Max memory set to 600000.\nMax sort trains set to 16383.\n"
           "-t option value too large.  Default of 999 assumed.\n"
           "-t option value too small.  Default assumed.\n"
           "-m option value too large.  Default assumed.\n" +
           kIncomplete},
      {{"data,isi", "-1-10", std::string(570, 'k')},
       "The command line is too long (at most 576 characters).\n"},
  };
  for (const auto& c : cases) {
    kt::TempDir dir;
    if (c.logBefore) dir.write("run.log", "earlier run\n");
    kt::RunOptions opts;
    opts.cwd = dir.path();
    kt::RunResult r = kt::RunKelindex(c.args, opts);
    std::string echo = "kelindex ";
    for (const std::string& a : c.args) echo += a + " ";
    echo += "\n";
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "");
    if (c.log.empty()) {
      std::string out = r.out.substr(std::min(r.out.size(), echo.size() + strlen(kBanner)));
      EXPECT_EQ(r.out.substr(0, echo.size()), echo);
      EXPECT_EQ(r.out.substr(echo.size(), strlen(kBanner)), kBanner);
      if (c.diagnostics) {
        EXPECT_EQ(out.substr(0, c.out.size()), c.out);
      } else {
        EXPECT_EQ(out, c.out);
      }
      EXPECT_TRUE(dir.list().empty());
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(dir.read("run.log"),
                (c.logBefore && c.args[0] == "-qrun.log" ? "earlier run\n" : "") + echo + c.log);
    }
  }
}

}  // namespace
