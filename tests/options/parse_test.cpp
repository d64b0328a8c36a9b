// The command text: its positional fields, the option letters and key
// specifications, the column table they build, and the line kept for the
// ISI header. A refusal whose message the end-to-end tests already see
// through the binary is not repeated here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "options/options_fixture.h"
#include "options/parse_steps.h"
#include "options/parser.h"

namespace {

using ot::OptionsTest;

TEST(ScanField, EndsFieldsAsTheSeparatorSaysAndRefusesOverlongOnes) {
  const struct {
    std::string text;
    Status status;
    const char *field, *rest;  // the rest: what is left under the cursor
  } cases[] = {
      {"data,isi -1", kOk, "data", "isi -1"},
      {"data,   isi", kOk, "data", "isi"},
      {"data   ,  isi", kOk, "data", "isi"},
      {"data  isi", kOk, "data", "isi"},
      {"data , , x", kOk, "data", ", x"},  // only one ',' goes with the spaces
      {"data;1-10", kOk, "data", ";1-10"},
      {",isi", kOk, "", "isi"},
      {"data", kErrIncomplete, "data", ""},
      {"", kErrIncomplete, "", ""},
      {std::string(249, 'a') + " -1", kOk, "", "-1"},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    char* cursor = text.data();
    char out[300];
    EXPECT_EQ(ScanField(&cursor, out, kMaxFileField, false), c.status) << c.text;
    if (c.text.size() < 100) {
      EXPECT_STREQ(out, c.field) << c.text;
    }
    EXPECT_STREQ(cursor, c.rest) << c.text;
  }
  std::string text = std::string(250, 'a') + " -1";
  char* cursor = text.data();
  char out[kMaxFileField + 2];
  out[kMaxFileField + 1] = 'z';
  EXPECT_EQ(ScanField(&cursor, out, kMaxFileField, false), kErrNameTooLong);
  EXPECT_EQ(strlen(out), kMaxFileField);
  EXPECT_EQ(out[kMaxFileField + 1], 'z');  // the character beyond is never written
  text = "L100,";
  cursor = text.data();
  EXPECT_EQ(ScanField(&cursor, out, kMaxRecLenField, true), kOk);
  EXPECT_STREQ(out, "l100");
}

TEST_F(OptionsTest, Statuses) {
  std::string tenTests, specs32 = "d -", longTerms = "1='A'";
  for (int i = 1; i <= 10; ++i) tenTests += "p" + std::to_string(i) + "=A,";
  for (int i = 1; i <= 32; ++i) specs32 += std::to_string(2 * i) + ",";
  for (int i = 2; i <= 24; ++i) longTerms += "|" + std::to_string(i) + "='A'";
  const std::string literal160(kMaxSelLiteral, 'a'), name250(250, 'n');
  const struct {
    std::string text;
    Status status;
    int keyBytes = -1;  // key bytes stored by then, when checked
  } cases[] = {
      // Fields.
      {"", kErrIncomplete},
      {"data", kErrIncomplete},
      {"data,isi ", kErrIncomplete},
      {"data,isi,l10,", kErrIncomplete},
      {"data,isi,l10,/x", kErrIncomplete},
      {"d,i,L65534 -1-10", kOk},
      {"d,i,l0 -1-10", kErrRecLenSpec},
      {"d,i,l -1-10", kErrRecLenSpec},
      {"d,i,l1x -1-10", kErrRecLenSpec},
      {"d,i,l99999999999 -1-10", kErrRecLenSpec},
      {"data," + name250 + " -1-10", kErrNameTooLong},
      {"data,isi,l" + std::string(254, '1') + " -1-10", kErrNameTooLong},
      {"data,isi,," + name250 + " -1-10", kErrNameTooLong},
      {"data;1-4", kOk, 4},
      {"data,isi,l20," + dir.path() + " junk -1-4", kOk, 4},  // text before the marker: passed over
      // Option letters and the end of the scan.
      {"old.isi -c", kOk},  // no key needed
      {"old -c , ", kOk},   // separators are not options
      {"old -c=", kErrCompactOpt},
      {"old -c1-10", kErrConflictKeyOpts},  // c must be the only option
      {"old -cc", kErrConflictKeyOpts},
      {"old -c,x", kErrConflictKeyOpts},
      {"old -c i", kErrConflictKeyOpts},
      {"d -m", kErrFillPct},
      {"d -m7", kErrFillPct},
      {"d -mx5,1", kErrFillPct},
      {"d -o=", kErrOsType},
      {"d,i -f=,1-2", kErrNeedRecLen},
      {"d,i -s,g=80,1-2", kErrConflictFsv},
      {"d,i,l80 -F=80,1-2", kOk},   // the same length twice is no conflict
      {"d,i -f=70000,65535", kOk},  // without end-of-record bytes a column may reach 65535
      {"d -p5=A,u,1", kErrUpperCaseOrder},
      {"d -1 u", kErrUpperCaseOrder},
      {"isi -r0u", kOk},     // no key needed
      {"isi -i,junk", kOk},  // ignored when showing an index
      {"isi -rjunk", kOk},
      {"d -1-2>3-4", kOk, 2},          // '>' ends the scan
      {"d -1-10 junk,20", kOk, 10},    // an unknown letter after a space ends it
      {"d -j1-10", kErrKeySyntax, 0},  // the character before 'j' is the marker
      {"d -1-10,?", kUsageShown},
      {"d -c?", kUsageShown},
      // Key specifications.
      {"d -1-150", kOk, 150},
      {"d -1-100,201-251", kErrTooManyKeyBytes},
      {specs32, kOk, 32},
      {specs32 + "99", kErrTooManyKeySpecs},
      {"d -3,3", kErrKeyOverlap},
      {"d -1-3,3-1", kErrKeyOverlap},
      {"d -65535", kErrKeyTooLarge, 0},
      // One that starts with '-' or 0 stays pending: it adds nothing, later
      // digits extend its last column, a further '-' is refused.
      {"d -0-5", kErrIncomplete, 0},
      {"d --5,7", kErrIncomplete, 0},
      {"d -0-5,7-", kErrKeySyntax, 0},
      {"d -1-10 -5-6", kErrKeySyntax, 10},
      // Record selection.
      {"d -p0=A,1", kErrPrimaryKey},
      {"d -p5", kErrPrimaryKey},
      {"d -p5=", kErrPrimaryKey},
      {"d -pA", kErrPrimaryKey},
      {"d -p70000=A,1", kErrPrimaryKey},
      {"d -" + tenTests + "20", kOk},
      {"d -1-149,p150=A", kErrPrimaryKey},  // the selection column may not be the 150th entry
      {"d -1-148,p150=A", kOk},
      {"d -1-149,p=\"150='A'\"", kErrPrimaryKey},
      {"d -p5=A,p=\"1='A'\",2", kErrPrimaryKey},         // an expression after a simple test
      {"d -p=\"1='A'\",p#\"2='B'\",3", kErrPrimaryKey},  // a second expression
      {"d -p=\"1='A'\",p5=B,3", kOk},                    // a simple test may follow
      {"d -p=\"" + longTerms + "\",1", kOk},             // 24 terms
      {"d -p=\"" + longTerms + "|25='A'\",1", kErrPrimaryKey},
      {"d -p=\"1='" + literal160 + "'\",1", kOk},
      {"d -p=\"1='" + literal160 + "a'\",1", kErrPrimaryKey},
      {"d -p=\"1='A'", kErrPrimaryKey},
      {"d -p=1='A'\"", kErrPrimaryKey},
      {"d -p=\"0='A'\"", kErrPrimaryKey},
      {"d -p=\"32768='A'\"", kErrPrimaryKey},
      {"d -p=\"1 ! 'A'\"", kErrPrimaryKey},
      {"d -p=\"1 = A\"", kErrPrimaryKey},
      {"d -p=\"1 = ''\"", kErrPrimaryKey},
      {"d -p=\"1 = 'A\"", kErrPrimaryKey},
      {"d -p=\"1N = 'x'\"", kErrPrimaryKey},
      {"d -p=\"1N = '1 2'\"", kErrPrimaryKey},
      {"d -p=\"1 = 'A' &\"", kErrPrimaryKey},
      {"d -p=", kErrPrimaryKey},
  };
  for (const auto& c : cases) {
    ResetContext();
    EXPECT_EQ(Parse(c.text), c.status) << c.text;
    if (c.keyBytes >= 0) {
      EXPECT_EQ(cd->keySpecLen, static_cast<uint32_t>(c.keyBytes)) << c.text;
    }
  }
  // A failed ISI field leaves no name behind for the clean-up.
  for (const std::string& text : {std::string("data,isi"), "data," + name250 + " -1-10"}) {
    ResetContext();
    strcpy(cd->outName, "stale");
    EXPECT_NE(Parse(text), kOk);
    EXPECT_STREQ(cd->outName, "") << text;
    EXPECT_TRUE(WorkFiles().empty());
  }
}

TEST_F(OptionsTest, ColumnTableAndKeySpecifications) {
  std::string reversed;
  for (int c = 1; c <= 10; ++c)
    reversed += (c > 1 ? " " : "") + std::to_string(c) + ":" + std::to_string(10 - c) + ":8";
  const struct {
    std::string text;
    std::string columns, specs;
  } cases[] = {
      {"data -20,1-2 5", "1:1:8 2:2:8 5:3:8 20:0:8", "19:1 0:2 4:1"},  // key bytes in command order
      {"data -10-1", reversed, "9:65528"},  // backwards: column 1 carries the last key byte
      {"d -u1-3", "1:0:72 2:1:72 3:2:72", "0:3"},
      {"d -1z2", "12:0:8", "11:1"},  // i, r and z leave a pending specification pending
      {"d -65534,5-", "5:1:8 65534:0:8", "65533:1 4:1"},     // a missing last column is the first
      {"d -p5=A,3-6", "3:0:8 4:1:8 5:2:40:A 6:3:8", "2:4"},  // a range reuses a selection column
      {"d -p11=A,p3#b,1-2", "1:0:8 2:1:8 3:0:16:b 11:0:32:A", "0:2"},
      {"d -p5=\"x\",1", "1:0:8 5:0:32:x", "0:1"},  // a quoted match character
      {"d -p5=\"\"\",1", "1:0:8 5:0:32:\"", "0:1"},
      {"d -p5=\",1", "1:0:8 5:0:32:\"", "0:1"},  // a lone quote is the character itself
      // Extended: its columns marked, the highest decides; '"' ended the expression.
      {"d -p=\"1 = 'AB' & 10N > '  5' | 20 E 'X'\",1", "1:0:12 10:0:4 20:0:36:\"", "0:1"},
      {"d -p#\"1='A'\",2", "1:0:20:\" 2:0:8", "1:1"},
      {"d -p=3='A',2", "2:0:8 3:0:36:'", "1:1"},  // ended on the literal's closing quote
  };
  for (const auto& c : cases) {
    ResetContext();
    ASSERT_EQ(Parse(c.text), kOk) << c.text;
    EXPECT_EQ(Columns(), c.columns) << c.text;
    EXPECT_EQ(Specs(), c.specs) << c.text;
    EXPECT_EQ(cd->colTable[cd->colCount].keyPos, kColEnd) << c.text;
  }
  ResetContext();
  EXPECT_EQ(Parse("d -1-151"), kErrTooManyKeyBytes);
  EXPECT_EQ(cd->colCount, 150);
  ResetContext();
  EXPECT_EQ(AddKeyRange(1, 3), 0);
  EXPECT_EQ(AddKeyRange(3, 3), 1);
  EXPECT_EQ(AddKeyRange(10, 157), 2);  // the 151st entry
}

TEST_F(OptionsTest, OptionLettersSetTheirFields) {
  using Flags = std::vector<int>;
  auto format = [this] {
    return Flags{cd->spaceCompIsComp, cd->quitIfNoData,   cd->writeAtEnd,
                 cd->noDriveInHeader, cd->discardPath,    cd->showRecCount,
                 cd->allowVarLen,     cd->allowSpaceComp, cd->recNumMode};
  };
  ASSERT_EQ(Parse("d -b,q,w,y,z,x,1"), kOk);
  EXPECT_EQ(format(), (Flags{0, 1, 1, 1, 1, 0, 0, 0, 1}));
  ResetContext();
  ASSERT_EQ(Parse("d -v1"), kOk);  // v and s: byte addressing, records written at the end
  EXPECT_EQ(format(), (Flags{1, 0, 1, 0, 0, 1, 1, 0, 0}));
  ResetContext();
  ASSERT_EQ(Parse("d -S1"), kOk);
  EXPECT_EQ(format(), (Flags{1, 0, 1, 0, 0, 1, 1, 1, 0}));
  const struct {
    const char* text;
    uint8_t compact, shared, noDups, errFile, ignore, quiet;
  } cases[] = {
      {"old.isi -c", 1, 1, 0, 0, 0, 0},   {"old.isi,new.isi -C=0", 3, 1, 0, 0, 0, 0},
      {"old.isi -c=1", 1, 0, 0, 0, 0, 0}, {"d,i -n,1-2", 0, 0, 1, 1, 0, 0},
      {"d,i -N0,1-2", 0, 0, 1, 1, 1, 0},  {"d,i -n$,1-2", 0, 0, 1, 0, 1, 1},
      {"d,i -en$,1-2", 0, 0, 1, 0, 1, 1}, {"d,i -nd,1-2", 0, 0, 0, 1, 0, 0},
      {"d,i -e,1-2", 0, 0, 0, 1, 0, 0},   {"d -1-10 e", 0, 0, 0, 1, 0, 0},
  };
  for (const auto& c : cases) {
    ResetContext();
    ASSERT_EQ(Parse(c.text), kOk) << c.text;
    EXPECT_EQ(cd->compactFlags, c.compact) << c.text;
    EXPECT_EQ(cd->compactShared, c.shared) << c.text;
    EXPECT_EQ(cd->noDups, c.noDups) << c.text;
    EXPECT_EQ(cd->errFileOn, c.errFile) << c.text;
    EXPECT_EQ(cd->dupIgnore, c.ignore) << c.text;
    EXPECT_EQ(cd->dupQuiet, c.quiet) << c.text;
  }
  ResetContext();
  ASSERT_EQ(Parse("d,i,l100 -f,1-2"), kOk);
  EXPECT_EQ(cd->recLenFound, 100u);
  EXPECT_EQ((Flags{cd->binaryData, cd->binaryWithEor, cd->eorLen}), (Flags{1, 0, 0}));
  ResetContext();
  ASSERT_EQ(Parse("d,i -g=80,1-2"), kOk);
  EXPECT_EQ(cd->recLenSpec, 80u);
  EXPECT_EQ((Flags{cd->binaryData, cd->binaryWithEor, cd->eorLen}), (Flags{1, 1, 1}));
  ResetContext();
  EXPECT_EQ(Parse("d,i -s,g=80,1-2"), kErrConflictFsv);
  EXPECT_EQ(cd->recLenFound, 0u);   // nothing settled
  EXPECT_EQ(cd->binaryWithEor, 1);  // g=80 was taken before the check refused s
  ResetContext();
  EXPECT_EQ(Parse("old -c i"), kErrConflictKeyOpts);
  EXPECT_EQ(cd->compactFlags, 1u);  // c was taken, the letter after it refused
  ResetContext();
  ASSERT_EQ(Parse("isi -r0u"), kOk);
  EXPECT_EQ((Flags{cd->reindex, cd->reindexNoPath, cd->upperCaseKeys}), (Flags{1, 1, 1}));
  ResetContext();
  ASSERT_EQ(Parse("isi -i"), kOk);
  EXPECT_EQ(cd->showIndexInfo, 1);
  ResetContext();
  EXPECT_EQ(Parse("data -e"), kErrIncomplete);  // no key and no job
  EXPECT_EQ(cd->errFileOn, 1);
  EXPECT_EQ(WorkFiles().size(), 2u);  // made before the scan; the clean-up removes them
}

TEST_F(OptionsTest, FieldsAndTheLineKeptForTheHeader) {
  std::string sub = dir.file("work");
  ASSERT_EQ(Parse("in.dat,out.isi,L100," + sub + " -1-10"), kErrTempFiles);  // no such directory
  EXPECT_STREQ(cd->inName, "in.dat");
  EXPECT_STREQ(cd->outName, "out.isi");
  EXPECT_EQ(cd->recLenSpec, 100u);
  EXPECT_EQ(cd->tmpDir, sub);
  ResetContext();
  EXPECT_EQ(Parse("data,isi,,c: -1-10"), kErrTempFiles);
  EXPECT_STREQ(cd->tmpDir, "c:/");  // a drive letter names its root
  const struct {
    const char *text, *stored;
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
    std::string stored = cd->storedCmdLine;  // read again, it gives the same line
    ResetContext();
    ASSERT_EQ(Parse(stored), kOk) << stored;
    EXPECT_EQ(cd->storedCmdLine, stored);
  }
  // Two 249-character names, the two commas and 27 more make 527, the most
  // the header holds.
  std::string head = std::string(249, 'd') + "," + std::string(249, 'i') + " ";
  ResetContext();
  EXPECT_EQ(Parse(head + "-1-10" + std::string(23, ' ')), kErrCmdTooLong);
  EXPECT_STREQ(cd->msgBuf,
               "The command line is too long to store in the ISI header (at most 527 characters).");
  EXPECT_TRUE(WorkFiles().empty());
  ResetContext();
  EXPECT_EQ(Parse(head + "-1-10" + std::string(22, ' ')), kOk);
  EXPECT_EQ(strlen(cd->storedCmdLine), 527u);
}

TEST_F(OptionsTest, DiagnosticLines) {
  SetEnv("QRX_NOPATH", "on");
  cd->diagMode = 1;
  ASSERT_EQ(Parse("data -u20,p=\"30='x'\",p5=A,3-4"), kOk);
  EXPECT_EQ(cd->discardPath, 1);
  std::string out = Output();
  EXPECT_NE(out.find("'QRX_NOPATH=on'\n"), std::string::npos);
  size_t at = out.find("  Col   Pos Char  Other\n");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.substr(at),
            "  Col   Pos Char  Other\n"
            "    3     2       Key;  Upper Case;\n"
            "    4     3       Key;  Upper Case;\n"
            "    5     0  'A'  = match;\n"
            "   20     1       Key;  Upper Case;\n"
            "   30     0  '\"'  = match;  extended;\n");
  ResetContext();
  SetEnv("QRX_NOPATH", "off");
  size_t before = Output().size();
  ASSERT_EQ(Parse("d -1"), kOk);  // shown only with -d
  EXPECT_EQ(cd->discardPath, 0);
  EXPECT_EQ(Output().size(), before);
  ResetContext();
  cd->diagMode = 1;
  before = Output().size();
  std::string text = std::string(260, 'd') + ",i -1";
  EXPECT_EQ(Parse(text), kErrNameTooLong);
  EXPECT_EQ(Output().substr(before), "Command line is:" + text + "\n");  // whole, though long
}

TEST_F(OptionsTest, ColumnTableSortAndSwap) {
  std::vector<uint16_t> cols = {1, 3, 5, 7, 9};
  do {
    cd->colCount = static_cast<int32_t>(cols.size());
    for (size_t i = 0; i < cols.size(); ++i) {
      cd->colTable[i] = ColumnEntry{cols[i], static_cast<uint16_t>(i), kColKey, 0};
    }
    SortColumnTable();
    for (size_t i = 0; i < cols.size(); ++i) {
      ASSERT_EQ(cd->colTable[i].column, 2 * i + 1);
      ASSERT_EQ(cols[cd->colTable[i].keyPos], cd->colTable[i].column);  // whole entries move
    }
  } while (std::next_permutation(cols.begin(), cols.end()));
  std::vector<uint8_t> a(400), b(400);  // larger than the scratch item
  std::iota(a.begin(), a.end(), 0);
  std::iota(b.begin(), b.end(), 100);
  std::vector<uint8_t> a0 = a, b0 = b;
  swap(a.data(), b.data(), 400);
  EXPECT_EQ(a, b0);
  EXPECT_EQ(b, a0);
}

}  // namespace
