// The p option: what a test or an extended expression leaves in the tables,
// and the evaluation of an expression against record bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "driver/sys_io.h"
#include "options/options_fixture.h"
#include "options/parse_steps.h"
#include "options/primary_select.h"

namespace {

class PrimarySelectTest : public ot::OptionsTest {
 protected:
  // Evaluates the parsed expression against a record laid at the start of
  // the input buffer, as the scanner does: each column is checked with the
  // record pointer on it, then the expression is decided.
  int Select(const std::string& record) {
    memcpy(cd->recBuf, record.data(), record.size());
    for (uint32_t c = 0; c < record.size(); ++c) {
      cd->recBufPtr = cd->recBuf + c;
      cd->recBufCount = static_cast<int32_t>(record.size() - c);
      ChkPopt(cd->recBufPtr, c);
    }
    return GetState();
  }
  Status Expression(const std::string& expr) { return Parse("d -p=\"" + expr + "\",1"); }
  // Checks column `column` of a record that begins at `at` of a buffer of `bytes`.
  int CheckAt(const std::string& bytes, uint32_t at, uint32_t column) {
    memcpy(cd->recBuf, bytes.data(), bytes.size());
    cd->recBufPtr = cd->recBuf + at;
    cd->recBufCount = static_cast<int32_t>(bytes.size() - at);
    ChkPopt(cd->recBufPtr, column);
    return GetState();
  }
};

TEST_F(PrimarySelectTest, SimpleTestsAreKeptInColumnOrder) {
  ASSERT_EQ(Parse("d -p9=A,p3#B,p9#C,1"), kOk);
  EXPECT_EQ(cd->primarySelForm, 'p');
  EXPECT_EQ(cd->pOptionCount, 3);
  const PrimarySelEntry* t = cd->primarySelTable;
  const PrimarySelEntry want[] = {
      {3, kColNotEqual, 'B'}, {9, kColEqual, 'A'}, {9, kColEqual | kColNotEqual, 'C'}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(t[i].column, want[i].column) << i;
    EXPECT_EQ(t[i].ops, want[i].ops) << i;
    EXPECT_EQ(t[i].matchChar, want[i].matchChar) << i;
  }
  EXPECT_EQ(t[9].matchChar, 0);  // no extended expression
  std::string tests;
  for (int i = 1; i <= 10; ++i) tests += "p" + std::to_string(i) + "=A,";
  ResetContext();
  EXPECT_EQ(Parse("d -" + tests + "p11=A,20"), kErrTooManyP);
  EXPECT_EQ(cd->primarySelCount, 10);
}

TEST_F(PrimarySelectTest, ExtendedExpressionTerms) {
  ASSERT_EQ(Expression("1 = 'AB' & 10N > '  5' | 20 E 'X'"), kOk);
  const SelTerm* t = cd->selTerms;
  EXPECT_EQ(t[0].kind, kTermFirst);
  EXPECT_EQ(t[1].kind, kTermAnd);
  EXPECT_EQ(t[2].kind, kTermOr);
  EXPECT_EQ(t[3].kind, kTermEnd);
  EXPECT_EQ(t[1].column, 9u);
  EXPECT_EQ(t[1].numeric, 1);
  EXPECT_EQ(t[1].op, static_cast<uint32_t>(kOpGreater));
  EXPECT_EQ(t[1].value, 5.0);
  EXPECT_EQ(std::string(t[0].text, t[0].length), "AB");
  EXPECT_EQ(cd->primarySelForm, 'P');
  EXPECT_EQ(cd->primarySelTable[0].column, 20);  // the highest column decides
  EXPECT_EQ(cd->primarySelTable[0].ops, kColEqual);
  EXPECT_EQ(cd->primarySelTable[9].matchChar, 0xFF);
  ResetContext();
  ASSERT_EQ(Parse("d -p=\"1='A'\",p5=B,3"), kOk);  // a simple test after it
  EXPECT_EQ(cd->primarySelTable[9].matchChar, 0);
  ResetContext();
  ASSERT_EQ(Expression("1 = 'O''K'"), kOk);  // a doubled quote
  EXPECT_EQ(std::string(cd->selTerms[0].text, cd->selTerms[0].length), "O'K");
  EXPECT_EQ(Select("O'K"), 1);
  EXPECT_EQ(Select("OK "), 0);
  EXPECT_STREQ(cd->storedCmdLine, "d,,-p=\"1 = 'O''K'\",1");  // the stored line is as typed
}

TEST_F(PrimarySelectTest, OperatorSpellings) {
  const struct {
    const char* op;
    uint32_t code;
  } ops[] = {{"<", kOpLess},      {"<=", kOpLessEq},   {"LE", kOpLessEq},    {"le", kOpLessEq},
             {"<>", kOpNotEqual}, {"!=", kOpNotEqual}, {"#", kOpNotEqual},   {"N", kOpNotEqual},
             {">", kOpGreater},   {"g", kOpGreater},   {">=", kOpGreaterEq}, {"Ge", kOpGreaterEq},
             {"=", kOpEqual},     {"E", kOpEqual},     {"l", kOpLess}};
  for (const auto& o : ops) {
    ResetContext();
    ASSERT_EQ(Expression(std::string("2 ") + o.op + " 'M'"), kOk) << o.op;
    EXPECT_EQ(cd->selTerms[0].op, o.code) << o.op;
    // Against a field below, equal to and above the literal.
    int below = o.code == kOpLess || o.code == kOpLessEq || o.code == kOpNotEqual;
    int equal = o.code == kOpEqual || o.code == kOpLessEq || o.code == kOpGreaterEq;
    int above = o.code == kOpGreater || o.code == kOpGreaterEq || o.code == kOpNotEqual;
    EXPECT_EQ(Select("xA"), below) << o.op;
    EXPECT_EQ(Select("xM"), equal) << o.op;
    EXPECT_EQ(Select("xZ"), above) << o.op;
  }
}

TEST_F(PrimarySelectTest, Evaluation) {
  const struct {
    const char* expr;
    const char* record;
    int selected;
  } cases[] = {
      {"1 = 'AB' & 10N > '  5' | 20 E 'X'", "AB        12        ", 1},  // & binds tighter
      {"1 = 'AB' & 10N > '  5' | 20 E 'X'", "AB         3        ", 0},
      {"1 = 'AB' & 10N > '  5' | 20 E 'X'", "AB         3       X", 1},
      {"1 = 'AB' & 10N > '  5' | 20 E 'X'", "XY        12       X", 1},
      {"1 = 'AB' & 10N > '  5' | 20 E 'X'", "XY        12        ", 0},
      {"1='A' | 2='B' & 3='C'", "Axx", 1},
      {"1='A' | 2='B' & 3='C'", "xBC", 1},
      {"1='A' | 2='B' & 3='C'", "xBx", 0},
      {"1N = '  12'", "  12", 1},
      {"1N = '  12'", "0012", 1},
      {"1N = '  12'", "12  ", 0},  // trailing spaces: no number
      {"1N = '  12'", " 1A2", 0},
      {"1N = '  12'", "  1\n", 0},  // a line feed makes a numeric term false
      {"1N < '-1.5'", "  -2", 1},
      {"1N < '-1.5'", "-1.4", 0},
      {"1N < '-1.5'", "9-99", 0},  // a '-' after digits ends the value: 9
      {"1 < 'ABC'", "AC\n", 0},    // the first difference decides before a line feed
      {"1 < 'ABC'", "AB\nZZ", 1},  // which makes the field less
  };
  for (const auto& c : cases) {
    ResetContext();
    ASSERT_EQ(Expression(c.expr), kOk) << c.expr;
    EXPECT_EQ(Select(c.record), c.selected) << c.expr << " on '" << c.record << "'";
  }
  EXPECT_EQ(GetState(), 0);  // results were reset: nothing evaluated is false
}

TEST_F(PrimarySelectTest, TabStandsForSpacesToTheNextTabStop) {
  ASSERT_EQ(Expression("1 = 'abc     XY'"), kOk);
  EXPECT_EQ(CheckAt("abc\tXY", 0, 0), 1);
  ResetContext();
  ASSERT_EQ(Expression("7 = '  XY'"), kOk);  // a term starting inside the tab sees its rest
  EXPECT_EQ(CheckAt("abc\tXY", 3, 6), 1);
}

TEST_F(PrimarySelectTest, ReadAheadPastAFullBuffer) {
  // The record starts 2 bytes before the end of a full buffer; the file
  // goes on with "CD".
  std::string data(kRecBufData, 'z');
  data.replace(kRecBufData - 2, 2, "AB");
  dir.write("data", data + "CDEF");
  cd->inFd = SysOpen(dir.file("data").c_str(), O_RDONLY);
  cd->readPos = kRecBufData;
  ASSERT_EQ(Expression("3 = 'ABCD'"), kOk);
  EXPECT_EQ(CheckAt(data, kRecBufData - 2, 2), 1);
  // The look-ahead of the longest literal stays inside the buffer.
  ResetContext();
  dir.write("data", std::string(kRecBufData + 400, 'q'));
  cd->inFd = SysOpen(dir.file("data").c_str(), O_RDONLY);
  cd->readPos = kRecBufData;
  ASSERT_EQ(Expression("1 = '" + std::string(kMaxSelLiteral, 'q') + "'"), kOk);
  cd->recBuf[kRecBufSize - 1] = '#';
  EXPECT_EQ(CheckAt(std::string(kRecBufData, 'q'), kRecBufData - 1, 0), 1);
  EXPECT_EQ(cd->recBuf[kRecBufSize - 1], '#');
  // None in the last, partly filled buffer: the field ended, it is less.
  ResetContext();
  ASSERT_EQ(Expression("1 >= 'ABCD'"), kOk);
  SysSetFaultPlan({kFaultRead | kFaultSeek, 1000});
  EXPECT_EQ(CheckAt("AB", 0, 0), 0);
  EXPECT_EQ(SysFaultCallCount(), 0u);
}

TEST(SelectionNumbersAndColumns, Rules) {
  const struct {
    const char* text;
    bool ok;
    double value;
  } cases[] = {{"  12", true, 12}, {"1.5", true, 1.5}, {"-3", true, -3}, {"-.5", true, -0.5},
               {"12-3", true, 12}, {"1 2", false, 0},  {"A", false, 0},  {"--1", false, 0},
               {".5-", false, 0},  {"1..2", false, 0}, {"-", false, 0},  {"   ", false, 0},
               {"+1", false, 0},   {"1e3", false, 0}};
  for (const auto& c : cases) {
    double v = 0;
    EXPECT_EQ(ReadSelNumber(c.text, static_cast<uint32_t>(strlen(c.text)), 48, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  std::string digits(48, '1');
  double v;
  EXPECT_TRUE(ReadSelNumber(("  " + digits).c_str(), 50, 48, &v));
  EXPECT_FALSE(ReadSelNumber((digits + "1").c_str(), 49, 48, &v));
  const struct {
    const char* text;
    uint32_t col;
    size_t used;
  } cols[] = {{"  12=", 12, 4},        {"0", 0, 1}, {"32767", 32767, 5}, {"32768", 0, 5},
              {"999999999999", 0, 12}, {"x", 0, 0}};
  for (const auto& c : cols) {
    std::string text = c.text;
    char* p = text.data();
    EXPECT_EQ(GetCol(&p), c.col) << c.text;
    EXPECT_EQ(static_cast<size_t>(p - text.data()), c.used) << c.text;
  }
}

}  // namespace
