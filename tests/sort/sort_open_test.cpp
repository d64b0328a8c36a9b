// Opening the data of a run: names, defaults, the output beside the data,
// the record format checks, the error file and every refusal.
#include "sort/sort_open.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "sort_fixture.h"

namespace {

class SortOpenTest : public st::SortFixture {
 protected:
  // Names the data file (inside the test directory) and the output field.
  void Name(const std::string& data, const std::string& out = "") {
    snprintf(cd->inName, kNameSize, "%s", data.c_str());
    snprintf(cd->outName, kNameSize, "%s", out.c_str());
  }
  std::string D(const std::string& name) const { return dir.file(name); }
};

TEST_F(SortOpenTest, OpensTheDataAndCreatesTheIndexBesideIt) {
  cd->diagMode = 1;
  dir.write("data.txt", "AB\r\nCD\r\n");
  Name(D("data.txt"));
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_GE(cd->inFd, 0);
  EXPECT_GE(cd->outFd, 0);
  EXPECT_STREQ(cd->outName, D("data.ISI").c_str());
  EXPECT_TRUE(dir.exists("data.ISI"));
  EXPECT_EQ(cd->eorLen, 2);
  EXPECT_EQ(cd->recLenFound, 4u);
  EXPECT_EQ(cd->recBufCount, 8);  // the input buffer is primed
  EXPECT_EQ(cd->errFd, -1);
  EXPECT_EQ(Messages(), "Opened " + D("data.txt") +
                            " as input file\nExpected End of Record for data file is CRLF.\n\r"
                            "Created " +
                            D("data.ISI") + " as output file\n");
}

TEST_F(SortOpenTest, DefaultDataExtensionAndANameEndingInADot) {
  dir.write("data.TXT", "AB\n");
  Name(D("data"));
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_STREQ(cd->inName, D("data.TXT").c_str());

  Restart();
  dir.write("plain", "AB\n");
  Name(D("plain."));
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_STREQ(cd->inName, D("plain").c_str());
  EXPECT_STREQ(cd->outName, D("plain.ISI").c_str());
}

TEST_F(SortOpenTest, OutputNamedByTheUserKeepsItsDirectoryAndTakesTheDataBase) {
  mkdir(D("idx").c_str(), 0777);
  dir.write("data.txt", "AB\n");
  Name(D("data.txt"), D("idx") + "/");
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_STREQ(cd->outName, (D("idx") + "/data.ISI").c_str());
}

TEST_F(SortOpenTest, OutputWithTheDataNameIsRefusedEvenInAnotherDirectory) {
  mkdir(D("idx").c_str(), 0777);
  dir.write("data.txt", "AB\n");
  Name(D("data.txt"), D("idx/data.txt"));
  EXPECT_EQ(sortOpen(), kErrSameName);
  EXPECT_STREQ(cd->outName, "");
  EXPECT_FALSE(dir.exists("idx/data.txt"));

  Restart();
  dir.write("data.txt", "AB\n");
  Name(D("data.txt"), D("data.idx"));
  EXPECT_EQ(sortOpen(), kOk) << cd->msgBuf;
}

TEST_F(SortOpenTest, MissingDataIsCreatedEmptyUnlessOptionQ) {
  cd->quitIfNoData = 1;
  Name(D("none.txt"));
  EXPECT_EQ(sortOpen(), kErrOpenSource);
  EXPECT_EQ(std::string(cd->msgBuf), "Can't open source file " + D("none.txt"));
  EXPECT_FALSE(dir.exists("none.txt"));

  Restart();
  cd->allowVarLen = 1;
  cd->recNumMode = 0;
  Name(D("none.txt"));
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_EQ(cd->dataCreated, 1);
  EXPECT_TRUE(dir.exists("none.txt"));
  EXPECT_EQ(cd->recBufCount, 0);
}

TEST_F(SortOpenTest, FixedLengthDataWithoutALengthIsRefused) {
  dir.write("data.txt", "");
  Name(D("data.txt"));
  EXPECT_EQ(sortOpen(), kErrNoRecLen);
  EXPECT_EQ(std::string(cd->msgBuf),
            "Unable to determine record length for fixed record length file: " + D("data.txt"));
  EXPECT_EQ(cd->outFd, -1);

  Restart();
  dir.write("data.txt", "");
  Name(D("data.txt"));
  cd->recLenSpec = 80;
  EXPECT_EQ(sortOpen(), kOk) << cd->msgBuf;
}

TEST_F(SortOpenTest, MeasuredRecordTooLongIsRefused) {
  dir.write("data.txt", "AB\n" + std::string(65534, 'x') + "\n");
  Name(D("data.txt"));
  EXPECT_EQ(sortOpen(), kErrLongRecord);
  EXPECT_EQ(std::string(cd->msgBuf), "A record longer than 65533 bytes was found.");
}

TEST_F(SortOpenTest, BinaryDataWithoutMarksIsNotExamined) {
  cd->diagMode = 1;
  dir.write("data.txt", "ABCD\r\n");
  Name(D("data.txt"));
  cd->binaryData = 1;
  cd->recLenFound = cd->recLenSpec = 3;
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_EQ(cd->eorChar1, '\n');  // the defaults stay
  EXPECT_NE(Messages().find("Expected End of Record for data file is not defined.\n\r"),
            std::string::npos);
}

TEST_F(SortOpenTest, BinaryDataWithMarksKeepsTheMarkLength) {
  dir.write("data.txt", "ABC\r\nDEF\r\n");
  Name(D("data.txt"));
  cd->binaryData = cd->binaryWithEor = 1;
  cd->recLenSpec = 3;
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_EQ(cd->isiEorLen, 2);
}

TEST_F(SortOpenTest, ErrorFileIsCreatedBesideTheIndex) {
  cd->diagMode = 1;
  cd->errFileOn = 1;
  dir.write("data.txt", "AB\n");
  Name(D("data.txt"));
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_STREQ(cd->errName, D("data.ERR").c_str());
  EXPECT_GE(cd->errFd, 0);
  EXPECT_NE(Messages().find("Created " + D("data.ERR") + " as error file\n"), std::string::npos);
  close(cd->errFd);
}

TEST_F(SortOpenTest, OutputThatCannotBeCreatedLeavesNoNameBehind) {
  dir.write("data.txt", "AB\n");
  chmod(D("data.txt").c_str(), 0600);
  Name(D("data.txt"), D("nosuchdir/out.isi"));
  EXPECT_EQ(sortOpen(), kErrCreateOutput);
  EXPECT_EQ(std::string(cd->msgBuf), "Can't create output file " + D("nosuchdir/out.isi"));
  EXPECT_STREQ(cd->outName, "");
  struct stat s;
  ASSERT_EQ(stat(D("data.txt").c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 0777, 0666u);
}

TEST_F(SortOpenTest, ErrorFileThatCannotBeCreated) {
  cd->errFileOn = 1;
  dir.write("data.txt", "AB\n");
  mkdir(D("data.ERR").c_str(), 0777);  // a directory stands where the file would go
  Name(D("data.txt"));
  EXPECT_EQ(sortOpen(), kErrCreateOutput);
  EXPECT_EQ(std::string(cd->msgBuf), "Can't create output file " + D("data.ERR"));
}

TEST_F(SortOpenTest, UnreadableDataIsRefused) {
  dir.write("data.txt", "AB\nCD\n");
  Name(D("data.txt"));
  FaultPlan plan;
  plan.classes = kFaultRead;
  plan.failAt = 1;
  plan.err = EIO;
  plan.sticky = true;
  SysSetFaultPlan(plan);
  EXPECT_EQ(sortOpen(), kErrReadInput);
  EXPECT_EQ(std::string(cd->msgBuf),
            "Invalid number of bytes read from input file: " + D("data.txt"));
}

TEST_F(SortOpenTest, DataOfFourGigabytesIsRefusedForByteAddressing) {
  dir.write("big.txt", "");
  ASSERT_EQ(truncate(D("big.txt").c_str(), 1ll << 32), 0);
  Name(D("big.txt"));
  cd->allowVarLen = 1;
  cd->recNumMode = 0;
  EXPECT_EQ(sortOpen(), kErrFileTooLarge);
}

TEST_F(SortOpenTest, PathFoundAlongTheDataPathMayBeTooLongForTheHeader) {
  // A resolved name fits 255 characters; the directory the data-path search
  // adds can take it beyond.
  std::string longDir = dir.path() + "/" + std::string(230, 'd');
  ASSERT_EQ(mkdir(longDir.c_str(), 0777), 0);
  std::string base = std::string(40, 'n') + ".txt";
  kt::WriteFileBytes(longDir + "/" + base, "AB\n");
  cd->dbPath = longDir.data();
  Name(base);
  EXPECT_EQ(sortOpen(), kErrNameLimit);
  EXPECT_EQ(std::string(cd->msgBuf),
            "Full Path+Filename+Extension size limited to 255 characters without 'z' option!");
  EXPECT_EQ(cd->inFd, -1);

  Restart();
  cd->dbPath = longDir.data();
  cd->discardPath = 1;  // only name and extension go into the header
  Name(base);
  EXPECT_EQ(sortOpen(), kOk) << cd->msgBuf;
  cd->dbPath = nullptr;
}

TEST_F(SortOpenTest, DataFoundAlongTheDataPath) {
  dir.write("found.txt", "AB\n");
  std::string path = "/nonexistent:" + dir.path();
  cd->dbPath = path.data();
  Name("found.txt");
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_STREQ(cd->inName, D("found.txt").c_str());
  EXPECT_STREQ(cd->outName, D("found.ISI").c_str());
  cd->dbPath = nullptr;
}

TEST_F(SortOpenTest, CompactionInPlaceAndIntoAnotherFile) {
  cd->diagMode = 1;
  cd->compactFlags = 1;
  dir.write("old.ISI", std::string(2048, '\0'));
  Name(D("old"));
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_STREQ(cd->inName, D("old.ISI").c_str());
  EXPECT_EQ(cd->outIsInput, 1);
  EXPECT_EQ(cd->outFd, cd->inFd);
  EXPECT_EQ(Messages(), "Compact mode using " + D("old.ISI") + " as output file\n");
  cd->outFd = -1;

  Restart();
  cd->compactFlags = 1;
  dir.write("old.ISI", std::string(2048, '\0'));
  Name(D("old.ISI"), D("new"));
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_STREQ(cd->outName, D("new.ISI").c_str());
  EXPECT_NE(cd->outFd, cd->inFd);

  Restart();
  cd->compactFlags = 1;
  Name(D("missing.ISI"));
  EXPECT_EQ(sortOpen(), kErrOpenSource);
  EXPECT_EQ(std::string(cd->msgBuf),
            "Unable to open input ISI file for compact: " + D("missing.ISI") + "\n");
}

}  // namespace
