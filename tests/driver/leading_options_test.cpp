// Leading options: the log option, the options in front of the data file
// name, and the refusals of values that cannot be used.
#include "driver/leading_options.h"

#include <gtest/gtest.h>

#include <string>

#include "args.h"
#include "driver/messages.h"
#include "driver_fixture.h"

namespace {

using kt::Args;

class LeadingOptionsTest : public kt::DriverTest {
 protected:
  // Applies the leading options from argument 1; returns the status and
  // leaves the index of the first argument left over in `next`.
  Status Take(Args args) {
    next = 1;
    return TakeLeadingOptions(args.argc(), args.argv(), &next);
  }
  int next = 0;
};

TEST_F(LeadingOptionsTest, LogOptionOpensLogForWriting) {
  dir.write("run.log", "old contents\n");
  std::string opt = "-l" + dir.file("run.log");
  Args args{opt, "data"};
  EXPECT_EQ(TakeLogOption(args.argc(), args.argv()), 2);
  ASSERT_NE(pCmdData->msgOut, msg.file());
  EXPECT_EQ(pCmdData->logOwned, 1);
  CmdOutInfoString("into the log\n");
  CmdCloseLog();
  EXPECT_EQ(pCmdData->msgOut, nullptr);
  EXPECT_EQ(dir.read("run.log"), "into the log\n");
  EXPECT_EQ(msg.text(), "");
}

TEST_F(LeadingOptionsTest, LogNameMayBeTheNextArgumentAndQAppends) {
  dir.write("run.log", "old\n");
  Args args{"-Q", dir.file("run.log"), "data"};
  EXPECT_EQ(TakeLogOption(args.argc(), args.argv()), 3);
  CmdOutInfoString("new\n");
  CmdCloseLog();
  EXPECT_EQ(dir.read("run.log"), "old\nnew\n");
  Args upper{"-L", dir.file("other.log"), "data"};
  pCmdData->msgOut = msg.file();
  EXPECT_EQ(TakeLogOption(upper.argc(), upper.argv()), 3);
  EXPECT_EQ(pCmdData->logOwned, 1);
  CmdCloseLog();
  EXPECT_TRUE(dir.exists("other.log"));
}

TEST_F(LeadingOptionsTest, LogOptionNeedsThreeArguments) {
  std::string opt = "-l" + dir.file("run.log");
  Args lone{opt};
  EXPECT_EQ(TakeLogOption(lone.argc(), lone.argv()), 1);
  EXPECT_EQ(pCmdData->msgOut, msg.file());
  EXPECT_FALSE(dir.exists("run.log"));
  // As a leading option the lone log option is an unknown letter.
  EXPECT_EQ(Take(Args{opt}), kOk);
  EXPECT_EQ(next, 2);
  // Only the first argument is looked at.
  Args later{"-d", opt, "data"};
  EXPECT_EQ(TakeLogOption(later.argc(), later.argv()), 1);
  EXPECT_FALSE(dir.exists("run.log"));
}

TEST_F(LeadingOptionsTest, LogNameBeginningWithDashOpensNothingButIsSpent) {
  Args args{"-l", "-x", "data"};
  EXPECT_EQ(TakeLogOption(args.argc(), args.argv()), 3);
  EXPECT_EQ(pCmdData->msgOut, msg.file());
  EXPECT_EQ(pCmdData->logOwned, 0);
}

TEST_F(LeadingOptionsTest, UnopenableLogKeepsTheCallersStream) {
  std::string opt = "-l" + dir.file("no/such/dir/run.log");
  Args args{opt, "data"};
  EXPECT_EQ(TakeLogOption(args.argc(), args.argv()), 2);
  EXPECT_EQ(pCmdData->msgOut, msg.file());
  EXPECT_EQ(pCmdData->logOwned, 0);
  EXPECT_EQ(msg.text(), "");
}

TEST_F(LeadingOptionsTest, OverlongLogNameIsRefused) {
  std::string name = dir.path() + "/" + std::string(kNameSize, 'n');
  Args args{"-l", name, "data"};
  EXPECT_EQ(TakeLogOption(args.argc(), args.argv()), kErrNameTooLong);
  EXPECT_EQ(pCmdData->msgOut, msg.file());
  Args fits{"-l", std::string(kNameSize - 1, 'n'), "data"};  // too long for the file system only
  EXPECT_EQ(TakeLogOption(fits.argc(), fits.argv()), 3);
}

TEST_F(LeadingOptionsTest, EmptyFirstArgumentIsNoLogOption) {
  Args args{"", "x", "y"};
  EXPECT_EQ(TakeLogOption(args.argc(), args.argv()), 1);
}

TEST_F(LeadingOptionsTest, SortMethodDiagnosticsAndUnknownLetters) {
  EXPECT_EQ(Take(Args{"-1", "-D", "-z", "-", "data", "-0"}), kOk);
  EXPECT_EQ(next, 5);
  EXPECT_EQ(pCmdData->sortMethod, 1u);
  EXPECT_EQ(pCmdData->diagMode, 1);
  EXPECT_EQ(Take(Args{"-0"}), kOk);
  EXPECT_EQ(pCmdData->sortMethod, 0u);
  EXPECT_EQ(next, 2);
  EXPECT_EQ(msg.text(), "");
}

TEST_F(LeadingOptionsTest, QuestionMarkShowsUsage) {
  EXPECT_EQ(Take(Args{"-d", "-?", "-m600000"}), kUsageShown);
  std::string text = msg.text();
  EXPECT_EQ(text.rfind("\nkelindex [-l{log}] {data}", 0), 0u);
  EXPECT_EQ(text.find("Max memory"), std::string::npos);  // nothing after -? is taken
}

TEST_F(LeadingOptionsTest, IniNameGetsExtensionOnlyWhenLastPartHasNone) {
  EXPECT_EQ(Take(Args{"-iprofile", "data"}), kOk);
  EXPECT_STREQ(pCmdData->iniName, "profile.ini");
  EXPECT_EQ(next, 2);
  EXPECT_EQ(Take(Args{"-i/etc/app.cfg"}), kOk);
  EXPECT_STREQ(pCmdData->iniName, "/etc/app.cfg");
  EXPECT_EQ(Take(Args{"-idir.d/prof"}), kOk);
  EXPECT_STREQ(pCmdData->iniName, "dir.d/prof.ini");
  EXPECT_EQ(Take(Args{"-I", " \tspaced", "data"}), kOk);
  EXPECT_STREQ(pCmdData->iniName, "spaced.ini");
  EXPECT_EQ(next, 3);
}

TEST_F(LeadingOptionsTest, IniWithoutNameIsRefused) {
  EXPECT_EQ(Take(Args{"-i"}), kErrIniParam);
  EXPECT_EQ(Take(Args{"-i", "-d", "data"}), kErrIniParam);
  EXPECT_EQ(msg.text(), "Invalid parameter for -i option!\nInvalid parameter for -i option!\n");
  EXPECT_EQ(pCmdData->iniName[0], '\0');
}

TEST_F(LeadingOptionsTest, IniNameMustFitWithItsExtension) {
  std::string fits(kIniNameSize - 5, 'p');  // 251 characters and ".ini"
  EXPECT_EQ(Take(Args{"-i" + fits}), kOk);
  EXPECT_EQ(std::string(pCmdData->iniName), fits + ".ini");
  pCmdData->iniName[0] = '\0';
  EXPECT_EQ(Take(Args{"-i" + fits + "p"}), kErrNameTooLong);
  EXPECT_EQ(msg.text(), "One of the filenames is too long.\n");
  EXPECT_EQ(pCmdData->iniName[0], '\0');
  std::string withExt = std::string(kIniNameSize - 5, 'q') + ".cfg";  // 255 characters
  EXPECT_EQ(Take(Args{"-i" + withExt}), kOk);
  EXPECT_EQ(std::string(pCmdData->iniName), withExt);
}

TEST_F(LeadingOptionsTest, MaxMemoryTakenOrRefused) {
  EXPECT_EQ(Take(Args{"-m100000", "-M4000000"}), kOk);
  EXPECT_EQ(pCmdData->maxMemory, 4000000u);
  EXPECT_EQ(msg.text(),
            "-m option value too small.  Default assumed.\nMax memory set to 4000000.\n");
}

TEST_F(LeadingOptionsTest, MaxMemoryHalfOfCurrentIsTheLowerBound) {
  EXPECT_EQ(Take(Args{"-m524287", "-m524288"}), kOk);
  EXPECT_EQ(pCmdData->maxMemory, 524288u);
  EXPECT_EQ(msg.text(),
            "-m option value too small.  Default assumed.\nMax memory set to 524288.\n");
}

TEST_F(LeadingOptionsTest, MaxMemoryWithoutDigitsReadsZero) {
  EXPECT_EQ(Take(Args{"-m", "-mabc"}), kOk);
  EXPECT_EQ(pCmdData->maxMemory, 1048576u);
  EXPECT_EQ(msg.text(),
            "-m option value too small.  Default assumed.\n"
            "-m option value too small.  Default assumed.\n");
}

TEST_F(LeadingOptionsTest, MaxMemoryNeverBelowTheSortMemoryFloor) {
  pCmdData->maxMemory = 10000;
  EXPECT_EQ(Take(Args{"-m8191", "-m8192"}), kOk);
  EXPECT_EQ(pCmdData->maxMemory, 8192u);
  EXPECT_EQ(msg.text(), "-m option value too small.  Default assumed.\nMax memory set to 8192.\n");
}

TEST_F(LeadingOptionsTest, MaxMemoryBeyondOneRequestIsTooLarge) {
  EXPECT_EQ(Take(Args{"-m2147483648", "-m-1", "-m99999999999999999999"}), kOk);
  EXPECT_EQ(pCmdData->maxMemory, 1048576u);
  std::string line = "-m option value too large.  Default assumed.\n";
  EXPECT_EQ(msg.text(), line + line + line);
  EXPECT_EQ(Take(Args{"-m 2147483647x"}), kOk);  // leading blank, stops at the x
  EXPECT_EQ(pCmdData->maxMemory, 2147483647u);
}

TEST_F(LeadingOptionsTest, MaxTrainsTakenOrRefused) {
  EXPECT_EQ(Take(Args{"-t16383"}), kOk);
  EXPECT_EQ(pCmdData->maxTrains, 16383u);
  EXPECT_EQ(Take(Args{"-T500"}), kOk);
  EXPECT_EQ(pCmdData->maxTrains, 500u);
  EXPECT_EQ(msg.text(), "Max sort trains set to 16383.\nMax sort trains set to 500.\n");
}

TEST_F(LeadingOptionsTest, MaxTrainsTooLargeBecomes999AsTheMessageSays) {
  EXPECT_EQ(Take(Args{"-t16384"}), kOk);
  EXPECT_EQ(pCmdData->maxTrains, 999u);
  pCmdData->maxTrains = 20000;
  EXPECT_EQ(Take(Args{"-t-5"}), kOk);
  EXPECT_EQ(pCmdData->maxTrains, 999u);
  std::string line = "-t option value too large.  Default of 999 assumed.\n";
  EXPECT_EQ(msg.text(), line + line);
}

TEST_F(LeadingOptionsTest, MaxTrainsZeroIsTooSmall) {
  EXPECT_EQ(Take(Args{"-t0", "-t"}), kOk);
  EXPECT_EQ(pCmdData->maxTrains, 20000u);
  std::string line = "-t option value too small.  Default assumed.\n";
  EXPECT_EQ(msg.text(), line + line);
}

}  // namespace
