// The option letters and their forms, the end of the option scan, and the
// checks after it.
#include <gtest/gtest.h>

#include <string>

#include "options/options_fixture.h"
#include "options/parse_steps.h"

namespace {

using ot::OptionsTest;

TEST_F(OptionsTest, CompactForms) {
  ASSERT_EQ(Parse("old.isi -c"), kOk);  // no key needed
  EXPECT_EQ(cd->compactFlags, 1u);
  EXPECT_EQ(cd->compactShared, 1);
  ResetContext();
  ASSERT_EQ(Parse("old.isi,new.isi -C=0"), kOk);
  EXPECT_EQ(cd->compactFlags, 3u);
  EXPECT_EQ(cd->compactShared, 1);
  ResetContext();
  ASSERT_EQ(Parse("old.isi -c=1"), kOk);
  EXPECT_EQ(cd->compactFlags, 1u);
  EXPECT_EQ(cd->compactShared, 0);
  for (const char* text : {"old -c=2", "old -c="}) {
    ResetContext();
    EXPECT_EQ(Parse(text), kErrCompactOpt) << text;
  }
  // c must be the only option, before or after it.
  for (const char* text : {"old -uc", "old -c1-10", "old -cc", "old -c,x", "old -c i"}) {
    ResetContext();
    EXPECT_EQ(Parse(text), kErrConflictKeyOpts) << text;
    EXPECT_EQ(cd->colCount, 0) << text;
  }
  EXPECT_EQ(cd->compactFlags, 1u);  // c was taken, the letter after it refused
  ResetContext();
  EXPECT_EQ(Parse("old -c , "), kOk);  // separators are not options
}

TEST_F(OptionsTest, DuplicateKeyForms) {
  const struct {
    const char* opts;
    uint8_t noDups, errFile, ignore, quiet;
  } cases[] = {
      {"n", 1, 1, 0, 0},   {"N0", 1, 1, 1, 0}, {"n$", 1, 0, 1, 1},
      {"en$", 1, 0, 1, 1}, {"nd", 0, 1, 0, 0}, {"e", 0, 1, 0, 0},
  };
  for (const auto& c : cases) {
    ResetContext();
    ASSERT_EQ(Parse(std::string("d,i -") + c.opts + ",1-2"), kOk) << c.opts;
    EXPECT_EQ(cd->noDups, c.noDups) << c.opts;
    EXPECT_EQ(cd->errFileOn, c.errFile) << c.opts;
    EXPECT_EQ(cd->dupIgnore, c.ignore) << c.opts;
    EXPECT_EQ(cd->dupQuiet, c.quiet) << c.opts;
  }
  EXPECT_EQ(cd->colCount, 2);  // the character after n0/n$ is the next item
}

TEST_F(OptionsTest, FillPercentAndOsType) {
  ASSERT_EQ(Parse("d -m75,1"), kOk);
  EXPECT_EQ(cd->maxFillPct, 75u);
  for (const char* text : {"d -m5x,1", "d -m", "d -m7", "d -mx5,1"}) {
    ResetContext();
    EXPECT_EQ(Parse(text), kErrFillPct) << text;
    EXPECT_EQ(cd->maxFillPct, 100u);
  }
  const struct {
    const char* text;
    Status status;
    uint8_t osType;
  } os[] = {{"d -o,1", kOk, 16},          {"d -o=1,1", kOk, 8},      {"d -O=2,1", kOk, 16},
            {"d -o=3,1", kErrOsType, 16}, {"d -o=", kErrOsType, 16}, {"d -1", kOk, 0}};
  for (const auto& c : os) {
    ResetContext();
    EXPECT_EQ(Parse(c.text), c.status) << c.text;
    EXPECT_EQ(cd->isiOsType, c.osType) << c.text;
  }
}

TEST_F(OptionsTest, BinaryRecordForms) {
  ASSERT_EQ(Parse("d,i,l100 -f,1-2"), kOk);
  EXPECT_EQ(cd->recLenSpec, 100u);
  EXPECT_EQ(cd->recLenFound, 100u);
  EXPECT_EQ(cd->binaryData, 1);
  EXPECT_EQ(cd->binaryWithEor, 0);
  EXPECT_EQ(cd->eorLen, 0);
  ResetContext();
  ASSERT_EQ(Parse("d,i -g=80,1-2"), kOk);
  EXPECT_EQ(cd->recLenSpec, 80u);
  EXPECT_EQ(cd->binaryWithEor, 1);
  EXPECT_EQ(cd->eorLen, 1);
  ResetContext();
  EXPECT_EQ(Parse("d,i,l80 -F=80,1-2"), kOk);  // the same length twice is no conflict
  const struct {
    const char* text;
    Status status;
  } refused[] = {{"d,i -f,1-2", kErrNeedRecLen},
                 {"d,i -f=,1-2", kErrNeedRecLen},
                 {"d,i,l100 -f=80,1-2", kErrRecLenConflict},
                 {"d,i -f=80,v,1-2", kErrConflictFsv},
                 {"d,i -s,g=80,1-2", kErrConflictFsv}};
  for (const auto& c : refused) {
    ResetContext();
    EXPECT_EQ(Parse(c.text), c.status) << c.text;
    EXPECT_EQ(cd->recLenFound, 0u) << c.text;  // nothing settled
  }
  EXPECT_EQ(cd->binaryWithEor, 1);  // g=80 was taken before the check refused s
  // Without end-of-record bytes a key column may reach 65535.
  ResetContext();
  EXPECT_EQ(Parse("d,i -f=70000,65535"), kOk);
  ResetContext();
  EXPECT_EQ(Parse("d,i -65535"), kErrKeyTooLarge);
}

TEST_F(OptionsTest, RecordFormatAndDisplayLetters) {
  ASSERT_EQ(Parse("d -b,q,w,y,z,x,1"), kOk);
  EXPECT_EQ(cd->spaceCompIsComp, 0);
  EXPECT_EQ(cd->quitIfNoData, 1);
  EXPECT_EQ(cd->writeAtEnd, 1);
  EXPECT_EQ(cd->noDriveInHeader, 1);
  EXPECT_EQ(cd->discardPath, 1);
  EXPECT_EQ(cd->showRecCount, 0);
  EXPECT_EQ(cd->allowVarLen, 0);
  EXPECT_EQ(cd->recNumMode, 1);
  ResetContext();
  ASSERT_EQ(Parse("d -v1"), kOk);
  EXPECT_EQ(cd->allowVarLen, 1);
  EXPECT_EQ(cd->allowSpaceComp, 0);
  EXPECT_EQ(cd->writeAtEnd, 1);
  EXPECT_EQ(cd->recNumMode, 0);
  ResetContext();
  ASSERT_EQ(Parse("d -S1"), kOk);
  EXPECT_EQ(cd->allowSpaceComp, 1);
  EXPECT_EQ(cd->allowVarLen, 1);
}

TEST_F(OptionsTest, UpperCaseMustComeFirst) {
  ASSERT_EQ(Parse("d -u1-3"), kOk);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(cd->colTable[i].flags, kColKey | kColUpper);
  for (const char* text : {"d -1-10u", "d -p5=A,u,1", "d -1 u"}) {
    ResetContext();
    EXPECT_EQ(Parse(text), kErrUpperCaseOrder) << text;
    EXPECT_EQ(cd->upperCaseKeys, 0);
  }
}

TEST_F(OptionsTest, InfoAndReindexLetters) {
  ASSERT_EQ(Parse("isi -r0u"), kOk);  // no key needed
  EXPECT_EQ(cd->reindex, 1);
  EXPECT_EQ(cd->reindexNoPath, 1);
  EXPECT_EQ(cd->upperCaseKeys, 1);
  ResetContext();
  ASSERT_EQ(Parse("isi -i"), kOk);
  EXPECT_EQ(cd->showIndexInfo, 1);
  EXPECT_EQ(cd->reindexNoPath, 0);
  // i, r and z leave a pending key specification pending.
  ResetContext();
  ASSERT_EQ(Parse("d -1z2"), kOk);
  EXPECT_EQ(cd->keySpecTable[0].first, 11);
  EXPECT_EQ(cd->keySpecLen, 1u);
}

TEST_F(OptionsTest, EndOfTheOptionScan) {
  ASSERT_EQ(Parse("d -1-2>3-4"), kOk);  // '>' ends the scan
  EXPECT_EQ(cd->keySpecLen, 2u);
  ResetContext();
  ASSERT_EQ(Parse("d -1-10 junk,20"), kOk);  // unknown letter after a space: the scan ends
  EXPECT_EQ(cd->keySpecLen, 10u);
  ResetContext();
  ASSERT_EQ(Parse("d -1-10 e"), kOk);  // a known letter after a space is an option
  EXPECT_EQ(cd->errFileOn, 1);
  ResetContext();
  EXPECT_EQ(Parse("d -1-10,junk"), kErrKeySyntax);
  ResetContext();
  EXPECT_EQ(Parse("d -j1-10"), kErrKeySyntax);  // the character before 'j' is the marker
  ResetContext();
  EXPECT_EQ(Parse("isi -i,junk"), kOk);  // ignored when showing an index
  ResetContext();
  EXPECT_EQ(Parse("isi -rjunk"), kOk);
}

TEST_F(OptionsTest, QuestionMarkShowsTheUsage) {
  EXPECT_EQ(Parse("d -1-10,?"), kUsageShown);
  EXPECT_NE(Output().find("keyspecs: 1-10,21-30,15-20,...etc;"), std::string::npos);
  ResetContext();
  EXPECT_EQ(Parse("d -c?"), kUsageShown);
}

TEST_F(OptionsTest, SemicolonMarksTheOptions) {
  ASSERT_EQ(Parse("data;1-4"), kOk);
  EXPECT_EQ(cd->keySpecLen, 4u);
  ResetContext();
  // Text between the fourth field and the marker is passed over.
  ASSERT_EQ(Parse("data,isi,l20," + dir.path() + " junk -1-4"), kOk);
  EXPECT_EQ(cd->keySpecLen, 4u);
}

TEST_F(OptionsTest, NoKeyAndNoJob) {
  EXPECT_EQ(Parse("data -e"), kErrIncomplete);
  EXPECT_EQ(cd->errFileOn, 1);
  EXPECT_EQ(WorkFiles().size(), 2u);  // created before the scan; the clean-up removes them
  EXPECT_GE(cd->tmpFd1, 0);
  EXPECT_GE(cd->tmpFd2, 0);
}

TEST_F(OptionsTest, NoPathSetting) {
  SetEnv("QRX_NOPATH", "on");
  cd->diagMode = 1;
  ASSERT_EQ(Parse("d -1"), kOk);
  EXPECT_EQ(cd->discardPath, 1);
  EXPECT_NE(Output().find("'QRX_NOPATH=on'\n"), std::string::npos);
  ResetContext();
  SetEnv("QRX_NOPATH", "off");
  ASSERT_EQ(Parse("d -1"), kOk);
  EXPECT_EQ(cd->discardPath, 0);
  EXPECT_EQ(Output().find("QRX_NOPATH=off"), std::string::npos);  // shown only with -d
}

TEST_F(OptionsTest, CommandLineDiagnostic) {
  cd->diagMode = 1;
  std::string text = std::string(260, 'd') + ",i -1";
  EXPECT_EQ(Parse(text), kErrNameTooLong);
  EXPECT_EQ(Output(), "Command line is:" + text + "\n");  // shown whole, though long
}

}  // namespace
