// The first run the README shows: scripts/demo.sh with the built binary
// prints exactly those lines, the time line aside.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "support/test_util.h"

namespace {

TEST(DemoTest, FirstRunAndItsStoredLine) {
  std::string command = std::string("bash ") + KEL_SOURCE_DIR + "/scripts/demo.sh " +
                        kt::KelindexPath() + " 2>&1; echo exit=$?";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  const std::string banner =
      "\nKELVANE INDEX COMMAND   Version 10.8   07 Oct 2025"
      "\nBuilds, shows, rebuilds and compacts ISI index files."
      "\n-? shows the options.\n";
  // Through a pipe each run first echoes its command.
  const std::string want =
      "$ kelindex customers.txt,customers.isi -1-8,10-29\n"
      "kelindex customers.txt,customers.isi -1-8,10-29 \n" +
      banner +
      "Indexing customers.txt into customers.isi\n"
      "60 records, 0 deleted entries\n"
      "<time>\n\n"
      "$ kelindex customers.isi -i\n"
      "kelindex customers.isi -i \n" +
      banner + "\nkelindex customers.txt,customers.isi,-1-8,10-29\n\nexit=0\n";
  EXPECT_EQ(std::regex_replace(out,
                               std::regex("Start time = \\d\\d:\\d\\d:\\d\\d  Stop time = "
                                          "\\d\\d:\\d\\d:\\d\\d  Elapsed time = 00:00:0\\d"),
                               "<time>"),
            want);
}

}  // namespace
