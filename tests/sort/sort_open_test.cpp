// Opening the data of a run: names, defaults, the output beside the data,
// the diagnostic lines, and the refusals the end-to-end tests cannot reach
// (a data path, a file of 4 GiB, an output that cannot be created).
#include "sort/sort_open.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "sort_fixture.h"

namespace {

class SortOpenTest : public st::SortFixture {
 protected:
  // Names the data file and the output field.
  void Name(const std::string& data, const std::string& out = "") {
    snprintf(cd->inName, kNameSize, "%s", data.c_str());
    snprintf(cd->outName, kNameSize, "%s", out.c_str());
  }
  std::string D(const std::string& name) const { return dir.file(name); }
};

TEST_F(SortOpenTest, OpensTheDataAndCreatesTheIndexAndErrorFileBesideIt) {
  cd->diagMode = cd->errFileOn = 1;
  dir.write("data.txt", "AB\r\nCD\r\n");
  Name(D("data.txt"));
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_GE(cd->inFd, 0);
  EXPECT_GE(cd->outFd, 0);
  EXPECT_GE(cd->errFd, 0);
  EXPECT_STREQ(cd->outName, D("data.ISI").c_str());
  EXPECT_STREQ(cd->errName, D("data.ERR").c_str());
  EXPECT_EQ(cd->eorLen, 2);
  EXPECT_EQ(cd->recLenFound, 4u);
  EXPECT_EQ(cd->recBufCount, 8);  // the input buffer is primed
  EXPECT_EQ(Messages(), "Opened " + D("data.txt") +
                            " as input file\nExpected End of Record for data file is CRLF.\n\r"
                            "Created " +
                            D("data.ISI") + " as output file\nCreated " + D("data.ERR") +
                            " as error file\n");
  close(cd->errFd);
}

TEST_F(SortOpenTest, NamesOfTheDataAndTheOutput) {
  mkdir(D("idx").c_str(), 0777);
  dir.write("data.TXT", "AB\n");
  dir.write("plain", "AB\n");
  std::string path = "/nonexistent:" + dir.path();
  const struct {
    std::string data, out;
    const char* dbPath;
    std::string inName, outName;
  } cases[] = {
      {D("data"), "", nullptr, D("data.TXT"), D("data.ISI")},  // the default extension
      {D("plain."), "", nullptr, D("plain"), D("plain.ISI")},  // a name ending in a dot
      {D("data.TXT"), D("idx") + "/", nullptr, D("data.TXT"), D("idx/data.ISI")},
      {D("data.TXT"), D("data.idx"), nullptr, D("data.TXT"), D("data.idx")},
      {"data.TXT", "", path.c_str(), D("data.TXT"), D("data.ISI")},  // along the data path
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    Restart();
    cd->dbPath = const_cast<char*>(c.dbPath);
    Name(c.data, c.out);
    ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
    EXPECT_STREQ(cd->inName, c.inName.c_str());
    EXPECT_STREQ(cd->outName, c.outName.c_str());
    cd->dbPath = nullptr;
  }
}

TEST_F(SortOpenTest, BinaryDataIsExaminedForItsMarkOnlyWithOptionG) {
  cd->diagMode = 1;
  dir.write("data.txt", "ABC\r\nDEF\r\n");
  Name(D("data.txt"));
  cd->binaryData = 1;
  cd->recLenFound = cd->recLenSpec = 3;
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_EQ(cd->eorChar1, '\n');  // the defaults stay
  EXPECT_NE(Messages().find("Expected End of Record for data file is not defined.\n\r"),
            std::string::npos);
  Restart();
  Name(D("data.txt"));
  cd->binaryData = cd->binaryWithEor = 1;
  cd->recLenSpec = 3;
  ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
  EXPECT_EQ(cd->isiEorLen, 2);
}

TEST_F(SortOpenTest, Refusals) {
  // A resolved name fits 255 characters; the directory the data-path search
  // adds can take it beyond.
  std::string longDir = D(std::string(230, 'd'));
  ASSERT_EQ(mkdir(longDir.c_str(), 0777), 0);
  std::string base = std::string(40, 'n') + ".txt";
  kt::WriteFileBytes(longDir + "/" + base, "AB\n");
  mkdir(D("idx").c_str(), 0777);
  const struct {
    const char* what;
    std::function<void()> set;
    Status status;
    std::string msg;
    bool outNamed = true;  // false: no output name is left for the clean-up to remove
  } cases[] = {
      {"the output has the data's name in another directory",
       [&] { Name(D("data.txt"), D("idx/data.txt")); }, kErrSameName, "", false},
      {"an output that cannot be created", [&] { Name(D("data.txt"), D("nosuch/out.isi")); },
       kErrCreateOutput, "Can't create output file " + D("nosuch/out.isi"), false},
      {"an error file that cannot be created",  // a directory stands where it would go
       [&] { mkdir(D("data.ERR").c_str(), 0777), cd->errFileOn = 1, Name(D("data.txt")); },
       kErrCreateOutput, "Can't create output file " + D("data.ERR")},
      {"data of 4 GiB under byte addressing",
       [&] {
         ASSERT_EQ(truncate(D("data.txt").c_str(), 1ll << 32), 0);
         cd->allowVarLen = 1, cd->recNumMode = 0, Name(D("data.txt"));
       },
       kErrFileTooLarge, ""},
      {"a path found along the data path too long for the header",
       [&] { cd->dbPath = longDir.data(), Name(base); }, kErrNameLimit,
       "Full Path+Filename+Extension size limited to 255 characters without 'z' option!"},
      {"a missing ISI to compact", [&] { cd->compactFlags = 1, Name(D("missing.ISI")); },
       kErrOpenSource, "Unable to open input ISI file for compact: " + D("missing.ISI") + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    dir.write("data.txt", "AB\n");
    chmod(D("data.txt").c_str(), 0600);
    c.set();
    EXPECT_EQ(sortOpen(), c.status);
    if (!c.msg.empty()) {
      EXPECT_EQ(std::string(cd->msgBuf), c.msg);
    }
    if (!c.outNamed) {
      EXPECT_STREQ(cd->outName, "");
    }
    if (c.status == kErrNameLimit) {
      EXPECT_EQ(cd->inFd, -1);
    }
    EXPECT_FALSE(dir.exists("idx/data.txt"));
    cd->dbPath = nullptr;
    if (c.status == kErrCreateOutput && !c.outNamed) {
      struct stat s;  // the data was opened to all before the output failed
      ASSERT_EQ(stat(D("data.txt").c_str(), &s), 0);
      EXPECT_EQ(s.st_mode & 0777, 0666u);
    }
  }
  // Only name and extension go into the header with z.
  Restart();
  cd->dbPath = longDir.data();
  cd->discardPath = 1;
  Name(base);
  EXPECT_EQ(sortOpen(), kOk) << cd->msgBuf;
  cd->dbPath = nullptr;
}

TEST_F(SortOpenTest, CompactionInPlaceAndIntoAnotherFile) {
  dir.write("old.ISI", std::string(2048, '\0'));
  for (bool inPlace : {true, false}) {
    Restart();
    size_t before = Messages().size();
    cd->diagMode = inPlace;
    cd->compactFlags = 1;
    Name(inPlace ? D("old") : D("old.ISI"), inPlace ? "" : D("new"));
    ASSERT_EQ(sortOpen(), kOk) << cd->msgBuf;
    EXPECT_STREQ(cd->inName, D("old.ISI").c_str());
    EXPECT_EQ(cd->outIsInput, inPlace);
    EXPECT_EQ(cd->outFd == cd->inFd, inPlace);
    if (inPlace) {
      EXPECT_EQ(Messages().substr(before),
                "Compact mode using " + D("old.ISI") + " as output file\n");
      cd->outFd = -1;
    } else {
      EXPECT_STREQ(cd->outName, D("new.ISI").c_str());
    }
  }
}

}  // namespace
