// The positional fields: the field scanner, the record-length field, the
// work directory field and the command line kept for the ISI header.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "options/options_fixture.h"
#include "options/parse_steps.h"

namespace {

using ot::OptionsTest;

struct ScanCase {
  const char* text;
  Status status;
  const char* field;
  const char* rest;  // the text left under the cursor
};

TEST(ScanField, EndsFieldsAsTheSeparatorSays) {
  const ScanCase cases[] = {
      {"data,isi -1", kOk, "data", "isi -1"}, {"data,   isi", kOk, "data", "isi"},
      {"data   ,  isi", kOk, "data", "isi"},  {"data  isi", kOk, "data", "isi"},
      {"data , , x", kOk, "data", ", x"},  // only one ',' goes with the spaces
      {"data;1-10", kOk, "data", ";1-10"},    {",isi", kOk, "", "isi"},
      {"data", kErrIncomplete, "data", ""},   {"", kErrIncomplete, "", ""},
  };
  for (const ScanCase& c : cases) {
    std::string text = c.text;
    char* cursor = text.data();
    char out[300];
    EXPECT_EQ(ScanField(&cursor, out, kMaxFileField, false), c.status) << c.text;
    EXPECT_STREQ(out, c.field) << c.text;
    EXPECT_STREQ(cursor, c.rest) << c.text;
  }
}

TEST(ScanField, RefusesTheCharacterBeyondTheLimitWithoutWritingIt) {
  std::string text = std::string(250, 'a') + " -1";
  char* cursor = text.data();
  char out[kMaxFileField + 2];
  out[kMaxFileField + 1] = 'z';
  EXPECT_EQ(ScanField(&cursor, out, kMaxFileField, false), kErrNameTooLong);
  EXPECT_EQ(strlen(out), kMaxFileField);
  EXPECT_EQ(out[kMaxFileField + 1], 'z');
  text = std::string(249, 'a') + " -1";
  cursor = text.data();
  EXPECT_EQ(ScanField(&cursor, out, kMaxFileField, false), kOk);
}

TEST(ScanField, LowerCasesWhenAsked) {
  std::string text = "L100,";
  char* cursor = text.data();
  char out[16];
  EXPECT_EQ(ScanField(&cursor, out, kMaxRecLenField, true), kOk);
  EXPECT_STREQ(out, "l100");
}

TEST_F(OptionsTest, ReadsTheFourFields) {
  std::string sub = dir.file("work");
  ASSERT_EQ(Parse("in.dat,out.isi,L100," + sub + " -1-10"), kErrTempFiles);  // no such directory
  EXPECT_STREQ(cd->inName, "in.dat");
  EXPECT_STREQ(cd->outName, "out.isi");
  EXPECT_EQ(cd->recLenSpec, 100u);
  EXPECT_EQ(cd->tmpDir, sub);
}

TEST_F(OptionsTest, StoresTheCommandLineAsTyped) {
  const struct {
    const char* text;
    const char* stored;
  } cases[] = {
      {"test,test,l100 -un,p11=A,1-10,20,30-40", "test,test,l100 -un,p11=A,1-10,20,30-40"},
      {"data -1-10", "data,,-1-10"},
      {"data isi -1-10", "data,isi,-1-10"},
      {"data;1-10", "data,,;1-10"},
      {"data,isi,l50 -p=\"1 = 'O''K'\",2-3", "data,isi,l50 -p=\"1 = 'O''K'\",2-3"},
  };
  for (const auto& c : cases) {
    ResetContext();
    ASSERT_EQ(Parse(c.text), kOk) << c.text;
    EXPECT_STREQ(cd->storedCmdLine, c.stored);
    // The stored line read again gives the same stored line.
    std::string stored = cd->storedCmdLine;
    ResetContext();
    ASSERT_EQ(Parse(stored), kOk) << stored;
    EXPECT_EQ(cd->storedCmdLine, stored);
  }
}

TEST_F(OptionsTest, RecordLengthField) {
  const struct {
    const char* text;
    Status status;
    uint32_t recLen;
  } cases[] = {
      {"d,i,l100 -1-10", kOk, 100},          {"d,i,L65534 -1-10", kOk, 65534},
      {"d,i,x100 -1-10", kErrRecLenSpec, 0}, {"d,i,l0 -1-10", kErrRecLenSpec, 0},
      {"d,i,l -1-10", kErrRecLenSpec, 0},    {"d,i,l65535 -1-10", kErrRecLenSpec, 0},
      {"d,i,l1x -1-10", kErrRecLenSpec, 0},  {"d,i,l99999999999 -1-10", kErrRecLenSpec, 0},
  };
  for (const auto& c : cases) {
    ResetContext();
    EXPECT_EQ(Parse(c.text), c.status) << c.text;
    if (c.status == kOk) {
      EXPECT_EQ(cd->recLenSpec, c.recLen) << c.text;
    }
  }
}

TEST_F(OptionsTest, IncompleteTexts) {
  // The text ends inside a field, or before the option marker.
  for (const char* text : {"", "data", "data,isi ", "data,isi,l10,", "data,isi,l10,/x"}) {
    EXPECT_EQ(Parse(text), kErrIncomplete) << text;
  }
  strcpy(cd->outName, "stale");
  EXPECT_EQ(Parse("data,isi"), kErrIncomplete);
  EXPECT_STREQ(cd->outName, "");  // a failed ISI field leaves no name behind
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(OptionsTest, OverlongFields) {
  std::string longName(250, 'n');
  EXPECT_EQ(Parse(longName + " -1-10"), kErrNameTooLong);
  strcpy(cd->outName, "stale");
  EXPECT_EQ(Parse("data," + longName + " -1-10"), kErrNameTooLong);
  EXPECT_STREQ(cd->outName, "");
  EXPECT_EQ(Parse("data,isi,l" + std::string(254, '1') + " -1-10"), kErrNameTooLong);
  EXPECT_EQ(Parse("data,isi,," + longName + " -1-10"), kErrNameTooLong);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(OptionsTest, RefusesAStoredLineTooLongForTheHeader) {
  // Two 249-character names, the two commas and a rest of 27 characters
  // make 527: the most the header holds.
  std::string head = std::string(249, 'd') + "," + std::string(249, 'i') + " ";
  EXPECT_EQ(Parse(head + "-1-10" + std::string(23, ' ')), kErrCmdTooLong);
  EXPECT_STREQ(cd->msgBuf,
               "The command line is too long to store in the ISI header (at most 527 characters).");
  EXPECT_TRUE(WorkFiles().empty());
  ResetContext();
  EXPECT_EQ(Parse(head + "-1-10" + std::string(22, ' ')), kOk);
  EXPECT_EQ(strlen(cd->storedCmdLine), 527u);
}

TEST_F(OptionsTest, DriveLetterWorkDirectoryNamesItsRoot) {
  EXPECT_EQ(Parse("data,isi,,c: -1-10"), kErrTempFiles);
  EXPECT_STREQ(cd->tmpDir, "c:/");
}

}  // namespace
