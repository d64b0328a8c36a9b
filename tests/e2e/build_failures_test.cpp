// Runs that fail, through the binary: refusals of the command text, a full
// disk at every write of a build, a data file that cannot be read at every
// read, a missing data file. Each ends with exit status 1 and its own
// message, and leaves neither an index nor a work file behind.
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class BuildFailuresTest : public E2eTest {
 protected:
  // Sweeps a fault plan "N:<what>" over N = 1, 2, ... until a run succeeds;
  // every failing run must print one of `texts` (regular expressions over
  // the messages after the banner), leave only `data` in the directory and
  // nothing in the work-file directory. Returns how often each text came.
  std::vector<int> Sweep(const std::string& what, const std::vector<std::string>& args,
                         const std::string& data, const std::vector<std::string>& texts) {
    std::vector<int> seen(texts.size(), 0);
    for (int n = 1; n < 60; ++n) {
      SCOPED_TRACE("fault " + std::to_string(n) + ":" + what);
      kt::RunOptions opts;
      opts.faultBinary = true;
      opts.env.emplace_back("KELINDEX_FAULT", std::to_string(n) + ":" + what);
      kt::RunResult r = Run(args, opts);
      if (r.exitCode == 0) {
        isir::IsiReader isi;
        std::string err;
        EXPECT_TRUE(isi.LoadFile(dir.file("d.isi"), &err) && isi.Validate(&err)) << err;
        return seen;
      }
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.err, "kelindex_fi: fault fired\n");
      std::string messages = Messages(r);
      size_t matched = 0;
      for (size_t i = 0; i < texts.size(); ++i) {
        if (std::regex_match(messages, std::regex(texts[i]))) matched = ++seen[i];
      }
      EXPECT_NE(matched, 0u) << messages;
      EXPECT_EQ(Files(), std::vector<std::string>{data});
      EXPECT_TRUE(WorkFiles().empty());
    }
    ADD_FAILURE() << "no run succeeded";
    return seen;
  }
};

TEST_F(BuildFailuresTest, RefusalsOfTheCommandText) {
  const std::string rec = "abcdefghij12345\n";
  dir.write("d.txt", rec + "bbcdefghij12345\n" + "cbcdefghij12345\n");
  dir.write("long.txt", "abc\n" + std::string(70000, 'x') + "\n");
  dir.write("empty.txt", "");
  std::string specs33 = "-1", p11 = "-";
  for (int c = 2; c <= 33; ++c) specs33 += "," + std::to_string(c);
  for (int c = 1; c <= 11; ++c) p11 += "p" + std::to_string(c) + "=a,";
  const struct {
    std::vector<std::string> args;
    const char* text;
  } cases[] = {
      {{"d.txt,d.isi"}, "The command line is incomplete.  Use -? option."},
      {{std::string(250, 'n') + ",d.isi", "-1-10"}, "One of the filenames is too long."},
      {{"d.txt,d.isi,x100", "-1-10"}, "Invalid record length specification."},
      {{"d.txt,d.isi,l65535", "-1-10"}, "Invalid record length specification."},
      {{"d.txt,d.isi,,/nonexistent", "-1-10"}, "One of the temporary files could not be opened."},
      {{"d.txt,d.isi", "-1-65535"}, "A key specification is too large."},
      {{"d.txt,d.isi", "-1-2-3"}, "Invalid key specification syntax."},
      {{"d.txt,d.isi", "-1-10,junk"}, "Invalid key specification syntax."},
      {{"d.txt,d.isi", "-1-10,5-6"}, "Overlapping keys are not allowed."},
      {{"d.txt,d.isi", "-1-151"}, "Too many key bytes have been selected in each record."},
      {{"d.txt,d.isi", specs33}, "Cannot use more than 32 key specifications!"},
      {{"d.txt,d.isi", "-1-10,p11xA"}, "Invalid primary key information."},
      {{"d.txt,d.isi", "-f=80,v1-10"}, "Conflicting utility options specified. (f, s, & v)."},
      {{"d.txt,d.txt", "-1-10"}, "The Output file name can not be same as Input name."},
      {{"d.txt,d.isi,l7", "-f1-5"}, "Record size not valid for file length found."},
      // Refused after the error file was created: it received nothing and goes.
      {{"d.txt,d.isi,l7", "-ef1-5"}, "Record size not valid for file length found."},
      {{"d.txt,d.isi", "-uc"}, "Conflicting key options."},
      {{"d.txt,d.isi", "-m5x,1-10"}, "Invalid Max sector fill percent specification"},
      {{"d.txt,d.isi", "-f1-10"}, "Options '-f or -g' require record length specification."},
      {{"d.txt,d.isi", p11 + "1-10"}, "Cannot use more than 10 'P' option parameters!"},
      {{"d.txt,d.isi", "-1-10u"}, "Uppercase option must be given prior to key specifications."},
      {{"d.txt,d.isi,l100", "-f=80"}, "Conflicting record length specifications."},
      {{"d.txt,d.isi", "-o=3,1-10"}, "Invalid 'O' option value!"},
      {{"d.txt,d.isi", "-c=2"}, "Invalid compact option!"},
      {{"long.txt,d.isi", "-1-3"}, "A record longer than 65533 bytes was found."},
      {{"empty.txt,d.isi", "-1-10"},
       "Unable to determine record length for fixed record length file: empty.txt"},
      {{"missing.txt,d.isi", "-q1-10"}, "Can't open source file missing.txt"},
      // Without q the missing file is created empty, and removed again with
      // the run that could not use it.
      {{"missing.txt,d.isi", "-1-10"},
       "Unable to determine record length for fixed record length file: missing.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    kt::RunResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Messages(r), std::string(c.text) + "\n");
    EXPECT_EQ(Files(), (std::vector<std::string>{"d.txt", "empty.txt", "long.txt"}));
    EXPECT_TRUE(WorkFiles().empty());
  }
  EXPECT_EQ(dir.read("d.txt").size(), 48u);         // the data named as output too is intact
  kt::RunResult r = Run({"d.txt,d.isi", "-1-3?"});  // the usage from among the options
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Messages(r).substr(0, 19), "\nkelindex [-l{log}]");
  EXPECT_EQ(Files(), (std::vector<std::string>{"d.txt", "empty.txt", "long.txt"}));
}

TEST_F(BuildFailuresTest, FailedJobsPrintTheirLinesOnly) {
  const struct {
    const char* what;
    std::string data;
    std::vector<std::string> args;
    std::string messages;
  } cases[] = {
      // m01 leaves no room in a sector of 31 entries: the first key climbs
      // through all 16 levels.
      {"fill that holds no key",
       "abc\nabd\n",
       {"d.txt,d.isi", "-m01,1-3"},
       "Indexing d.txt into d.isi\n"
       "\nError! Tree level limit (16) can only support 0 records for this ISI file! "},
      // g: binary records that must still end in the mark the data showed.
      {"binary record without its mark",
       "abcde\r\nbbcde\n\ncbcde\r\n",
       {"d.txt,d.isi,l5", "-g1-5"},
       "Indexing d.txt into d.isi\nWARNING!  INDEX failed reading input file d.txt.\n"
       "Invalid EOR found for record starting at byte offset: 7.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dir.write("d.txt", c.data);
    kt::RunResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Messages(r), c.messages);
    EXPECT_EQ(Files(), std::vector<std::string>{"d.txt"});
    EXPECT_TRUE(WorkFiles().empty());
  }
}

TEST_F(BuildFailuresTest, FullDiskAtEveryWrite) {
  // Deleted records enough for a full DDR sector, keys for several key
  // sectors.
  DataFile d;
  for (int i = 0; i < 400; ++i) {
    char body[16];
    snprintf(body, sizeof body, "k%09d", (i * 7919) % 300);
    d.Rec(body);
    if (i % 3 == 0) d.Deleted(11);
  }
  dir.write("d.txt", d.bytes());
  const std::string head = "Indexing d\\.txt into d\\.isi\n";
  const std::string counts = "400 records, 134 deleted entries\n";
  std::vector<int> seen = Sweep(
      "w:ENOSPC:sticky", {"d.txt,d.isi", "-1-10"}, "d.txt",
      {head + "(" + counts + ")?\nUnable to write segment of index file\\. Errno=28\n" +
           "WARNING!  INDEX failed writing to file d\\.isi\\.\n",
       head + "WARNING!  INDEX failed writing to file " + workDir() + "/dsort[A-Za-z0-9]{6}\\.\n"});
  EXPECT_GE(seen[0], 3);  // the front, the full DDR sector, the key sectors...
  EXPECT_GE(seen[1], 1);  // ...and the sort train
}

TEST_F(BuildFailuresTest, UnreadableDataOrWorkFileAtEveryRead) {
  // More than one 64 KiB buffer of data, so that the scan reads again.
  DataFile d;
  for (int i = 0; i < 8000; ++i) {
    char body[16];
    snprintf(body, sizeof body, "k%09d", (i * 7919) % 8000);
    d.Rec(body);
  }
  dir.write("d.txt", d.bytes());
  const std::string head = "Indexing d\\.txt into d\\.isi\n";
  std::vector<int> seen = Sweep("r:EIO:sticky", {"d.txt,d.isi", "-1-10"}, "d.txt",
                                {"Invalid number of bytes read from input file: d\\.txt\n",
                                 head + "WARNING!  INDEX failed reading input file d\\.txt\\.\n",
                                 head + "WARNING!  INDEX failed reading temporary work file\\.\n"});
  for (int count : seen) EXPECT_GE(count, 1);
}

}  // namespace
}  // namespace e2e
