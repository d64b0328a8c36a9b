// Leading options: the values they take, their bounds and refusals, and the
// log options that open no log. Logs that open are held by the end-to-end
// tests.
#include "driver/leading_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "args.h"
#include "driver_fixture.h"

namespace {

using kt::Args;

class LeadingOptionsTest : public kt::DriverTest {};

TEST_F(LeadingOptionsTest, LogOptionsThatOpenNoLog) {
  const std::string log = dir.file("run.log");
  const struct {
    std::vector<std::string> args;
    int next;
  } cases[] = {
      {{"-l" + log}, 1},                                      // needs three arguments
      {{"-d", "-l" + log, "data"}, 1},                        // only the first one is looked at
      {{"", "x", "y"}, 1},                                    // an empty first argument
      {{"-l", "-x", "data"}, 3},                              // a name beginning with '-' is spent
      {{"-l" + dir.file("no/such/dir/run.log"), "data"}, 2},  // unopenable: no message
      {{"-l", dir.path() + "/" + std::string(kNameSize, 'n'), "data"}, kErrNameTooLong},
      {{"-l", std::string(kNameSize - 1, 'n'), "data"}, 3},  // too long for the file system only
  };
  for (const auto& c : cases) {
    Args args(c.args);
    EXPECT_EQ(TakeLogOption(args.argc(), args.argv()), c.next) << c.args[0];
    EXPECT_EQ(pCmdData->msgOut, msg.file());
    EXPECT_EQ(pCmdData->logOwned, 0);
  }
  EXPECT_TRUE(dir.list().empty());
  EXPECT_EQ(msg.text(), "");
}

TEST_F(LeadingOptionsTest, ValuesBoundsAndRefusals) {
  const std::string small = "-m option value too small.  Default assumed.\n";
  const std::string large = "-m option value too large.  Default assumed.\n";
  const std::string trains999 = "-t option value too large.  Default of 999 assumed.\n";
  const std::string fewTrains = "-t option value too small.  Default assumed.\n";
  const std::string ini251(kIniNameSize - 5, 'p');  // 251 characters and ".ini"
  const std::string ini255 = std::string(kIniNameSize - 5, 'q') + ".cfg";
  const struct {
    std::vector<std::string> args;
    Status status;
    int next;
    std::string shown;
    uint64_t memory = 1048576;
    uint32_t trains = 20000;
    std::string ini = "";
    uint32_t method = 0;
    uint8_t diag = 0;
  } cases[] = {
      {{"-1", "-D", "-z", "-", "data", "-0"}, kOk, 5, "", 1048576, 20000, "", 1, 1},
      {{"-0"}, kOk, 2, ""},
      {{"-l" + dir.file("run.log")}, kOk, 2, ""},  // as a leading option an unknown letter
      {{"-iprofile", "data"}, kOk, 2, "", 1048576, 20000, "profile.ini"},
      {{"-i/etc/app.cfg"}, kOk, 2, "", 1048576, 20000, "/etc/app.cfg"},
      {{"-idir.d/prof"}, kOk, 2, "", 1048576, 20000, "dir.d/prof.ini"},
      {{"-I", " \tspaced", "data"}, kOk, 3, "", 1048576, 20000, "spaced.ini"},
      {{"-i" + ini251}, kOk, 2, "", 1048576, 20000, ini251 + ".ini"},
      {{"-i" + ini251 + "p"}, kErrNameTooLong, 1, "One of the filenames is too long.\n"},
      {{"-i" + ini255}, kOk, 2, "", 1048576, 20000, ini255},
      {{"-i"}, kErrIniParam, 1, "Invalid parameter for -i option!\n"},
      {{"-i", "-d", "data"}, kErrIniParam, 1, "Invalid parameter for -i option!\n"},
      {{"-m100000", "-M4000000"}, kOk, 3, small + "Max memory set to 4000000.\n", 4000000},
      // Half the current maximum is the lower bound, 8,192 the floor.
      {{"-m524287", "-m524288"}, kOk, 3, small + "Max memory set to 524288.\n", 524288},
      {{"-m8191", "-m", "-mabc", "-m8192"}, kOk, 5, small + small + small + small},
      {{"-m2147483648", "-m-1", "-m99999999999999999999"}, kOk, 4, large + large + large},
      {{"-m 2147483647x"}, kOk, 2, "Max memory set to 2147483647.\n", 2147483647},
      {{"-t16383", "-T500"},
       kOk,
       3,
       "Max sort trains set to 16383.\nMax sort trains set to 500.\n",
       1048576,
       500},
      {{"-t16384", "-t-5"}, kOk, 3, trains999 + trains999, 1048576, 999},
      {{"-t0", "-t"}, kOk, 3, fewTrains + fewTrains},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    kt::ResetRunContext();
    msg.Attach();
    size_t before = msg.text().size();
    Args args(c.args);
    int next = 1;
    EXPECT_EQ(TakeLeadingOptions(args.argc(), args.argv(), &next), c.status);
    if (c.status == kOk) {
      EXPECT_EQ(next, c.next);
    }
    EXPECT_EQ(msg.text().substr(before), c.shown);
    EXPECT_EQ(pCmdData->maxMemory, c.memory);
    EXPECT_EQ(pCmdData->maxTrains, c.trains);
    EXPECT_EQ(pCmdData->iniName, c.ini);
    EXPECT_EQ(pCmdData->sortMethod, c.method);
    EXPECT_EQ(pCmdData->diagMode, c.diag);
  }
  // The floor holds below a maximum already lowered toward it.
  pCmdData->maxMemory = 10000;
  Args floor{"-m8191", "-m8192"};
  int next = 1;
  EXPECT_EQ(TakeLeadingOptions(floor.argc(), floor.argv(), &next), kOk);
  EXPECT_EQ(pCmdData->maxMemory, 8192u);
}

}  // namespace
