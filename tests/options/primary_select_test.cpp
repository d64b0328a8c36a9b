// The p option: parsing simple tests and extended expressions, and
// evaluating an expression against record bytes.
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
  // the input buffer (no tabs), as the scanner does: each column is checked
  // with the record pointer on it, then the expression is decided.
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
};

TEST_F(PrimarySelectTest, SimpleTests) {
  ASSERT_EQ(Parse("d -p11=A,p3#b,1-2"), kOk);
  EXPECT_EQ(Columns(), "1:0:8 2:1:8 3:0:16:b 11:0:32:A");
  EXPECT_EQ(cd->primarySelForm, 'p');
  EXPECT_EQ(cd->pOptionCount, 2);
  ASSERT_EQ(cd->primarySelCount, 2);
  EXPECT_EQ(cd->primarySelTable[0].column, 3);
  EXPECT_EQ(cd->primarySelTable[0].ops, kColNotEqual);
  EXPECT_EQ(cd->primarySelTable[0].matchChar, 'b');
  EXPECT_EQ(cd->primarySelTable[1].column, 11);
  EXPECT_EQ(cd->primarySelTable[1].ops, kColEqual);
  EXPECT_EQ(cd->primarySelTable[9].matchChar, 0);  // no extended expression
}

TEST_F(PrimarySelectTest, TestsAreKeptInColumnOrder) {
  ASSERT_EQ(Parse("d -p9=A,p3=B,p9#C,1"), kOk);
  const PrimarySelEntry* t = cd->primarySelTable;
  EXPECT_EQ(t[0].column, 3);
  EXPECT_EQ(t[1].column, 9);
  EXPECT_EQ(t[1].matchChar, 'A');
  EXPECT_EQ(t[2].column, 9);  // after the test of the same column
  EXPECT_EQ(t[2].matchChar, 'C');
  EXPECT_EQ(t[2].ops, kColEqual | kColNotEqual);
}

TEST_F(PrimarySelectTest, QuotedMatchCharacter) {
  ASSERT_EQ(Parse("d -p5=\"x\",1"), kOk);
  EXPECT_EQ(cd->primarySelTable[0].matchChar, 'x');
  ResetContext();
  ASSERT_EQ(Parse("d -p5=\"\"\",1"), kOk);
  EXPECT_EQ(cd->primarySelTable[0].matchChar, '"');
  ResetContext();
  ASSERT_EQ(Parse("d -p5=\",1"), kOk);  // a lone quote is the character itself
  EXPECT_EQ(cd->primarySelTable[0].matchChar, '"');
  EXPECT_EQ(cd->keySpecLen, 1u);
}

TEST_F(PrimarySelectTest, MalformedSimpleTests) {
  for (const char* text : {"d -p0=A,1", "d -p5", "d -p5=", "d -p5xA,1", "d -pA", "d -p70000=A,1"}) {
    ResetContext();
    EXPECT_EQ(Parse(text), kErrPrimaryKey) << text;
  }
}

TEST_F(PrimarySelectTest, TenTestsAtMost) {
  std::string tests;
  for (int i = 1; i <= 10; ++i) tests += "p" + std::to_string(i) + "=A,";
  ASSERT_EQ(Parse("d -" + tests + "20"), kOk);
  EXPECT_EQ(cd->pOptionCount, 10);
  ResetContext();
  EXPECT_EQ(Parse("d -" + tests + "p11=A,20"), kErrTooManyP);
  EXPECT_EQ(cd->primarySelCount, 10);
}

TEST_F(PrimarySelectTest, SelectionColumnMayNotBeThe150thEntry) {
  EXPECT_EQ(Parse("d -1-149,p150=A"), kErrPrimaryKey);
  ResetContext();
  EXPECT_EQ(Parse("d -1-148,p150=A"), kOk);
  ResetContext();
  EXPECT_EQ(Parse("d -1-149,p=\"150='A'\""), kErrPrimaryKey);
}

TEST_F(PrimarySelectTest, ExtendedExpression) {
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
  // Columns 1, 10, 20 are extended; the highest decides, '"' ended the expression.
  EXPECT_EQ(Columns(), "1:0:12 10:0:4 20:0:36:\"");
  EXPECT_EQ(cd->primarySelForm, 'P');
  EXPECT_EQ(cd->primarySelTable[0].column, 20);
  EXPECT_EQ(cd->primarySelTable[0].ops, kColEqual);
  EXPECT_EQ(cd->primarySelTable[9].matchChar, 0xFF);
}

TEST_F(PrimarySelectTest, NotEqualFormAndUnquotedExpression) {
  ASSERT_EQ(Parse("d -p#\"1='A'\",2"), kOk);
  EXPECT_EQ(Columns(), "1:0:20:\" 2:0:8");
  ResetContext();
  ASSERT_EQ(Parse("d -p=3='A',2"), kOk);
  EXPECT_EQ(Columns(), "2:0:8 3:0:36:'");  // ended on the literal's closing quote
}

TEST_F(PrimarySelectTest, ExpressionOrder) {
  EXPECT_EQ(Parse("d -p5=A,p=\"1='A'\",2"), kErrPrimaryKey);  // after a simple test
  ResetContext();
  EXPECT_EQ(Parse("d -p=\"1='A'\",p#\"2='B'\",3"), kErrPrimaryKey);  // a second one
  ResetContext();
  ASSERT_EQ(Parse("d -p=\"1='A'\",p5=B,3"), kOk);  // a simple test may follow
  EXPECT_EQ(cd->primarySelTable[9].matchChar, 0);
}

TEST_F(PrimarySelectTest, MalformedExpressions) {
  for (const char* text : {
           "d -p=\"1='A'",
           "d -p=1='A'\"",
           "d -p=\"0='A'\"",
           "d -p=\"32768='A'\"",
           "d -p=\"1 ! 'A'\"",
           "d -p=\"1 = A\"",
           "d -p=\"1 = ''\"",
           "d -p=\"1 = 'A\"",
           "d -p=\"1N = 'x'\"",
           "d -p=\"1N = '1 2'\"",
           "d -p=\"1 = 'A' &\"",
           "d -p=",
       }) {
    ResetContext();
    EXPECT_EQ(Parse(text), kErrPrimaryKey) << text;
  }
}

TEST_F(PrimarySelectTest, TermLimit) {
  std::string expr = "1='A'";
  for (int i = 2; i <= 24; ++i) expr += "|" + std::to_string(i) + "='A'";
  ASSERT_EQ(Expression(expr), kOk);
  EXPECT_EQ(cd->selTerms[24].kind, kTermEnd);
  ResetContext();
  EXPECT_EQ(Expression(expr + "|25='A'"), kErrPrimaryKey);
}

TEST_F(PrimarySelectTest, LiteralLengthIsBounded) {
  ASSERT_EQ(Expression("1='" + std::string(kMaxSelLiteral, 'a') + "'"), kOk);
  ResetContext();
  EXPECT_EQ(Expression("1='" + std::string(kMaxSelLiteral + 1, 'a') + "'"), kErrPrimaryKey);
}

TEST_F(PrimarySelectTest, DoubledQuoteInLiteral) {
  ASSERT_EQ(Expression("1 = 'O''K'"), kOk);
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
    int below = Select("xA"), equal = Select("xM"), above = Select("xZ");
    int expect[3] = {o.code == kOpLess || o.code == kOpLessEq || o.code == kOpNotEqual,
                     o.code == kOpEqual || o.code == kOpLessEq || o.code == kOpGreaterEq,
                     o.code == kOpGreater || o.code == kOpGreaterEq || o.code == kOpNotEqual};
    EXPECT_EQ(below, expect[0]) << o.op;
    EXPECT_EQ(equal, expect[1]) << o.op;
    EXPECT_EQ(above, expect[2]) << o.op;
  }
}

TEST_F(PrimarySelectTest, AndBindsTighterThanOr) {
  ASSERT_EQ(Expression("1 = 'AB' & 10N > '  5' | 20 E 'X'"), kOk);
  std::string rec(24, ' ');
  auto with = [&rec](uint32_t col, const std::string& s) {
    std::string r = rec;
    r.replace(col - 1, s.size(), s);
    return r;
  };
  EXPECT_EQ(Select(with(10, " 12").replace(0, 2, "AB")), 1);
  EXPECT_EQ(Select(with(10, "  3").replace(0, 2, "AB")), 0);
  EXPECT_EQ(Select(with(10, "  3").replace(0, 2, "AB").replace(19, 1, "X")), 1);
  EXPECT_EQ(Select(with(10, " 12").replace(0, 2, "XY").replace(19, 1, "X")), 1);
  EXPECT_EQ(Select(with(10, " 12").replace(0, 2, "XY")), 0);
  ResetContext();
  ASSERT_EQ(Expression("1='A' | 2='B' & 3='C'"), kOk);
  EXPECT_EQ(Select("Axx"), 1);
  EXPECT_EQ(Select("xBC"), 1);
  EXPECT_EQ(Select("xBx"), 0);
  EXPECT_EQ(GetState(), 0);  // results were reset: nothing evaluated is false
}

TEST_F(PrimarySelectTest, NumericFields) {
  ASSERT_EQ(Expression("1N = '  12'"), kOk);
  EXPECT_EQ(Select("  12"), 1);
  EXPECT_EQ(Select("0012"), 1);
  EXPECT_EQ(Select("12  "), 0);  // trailing spaces: no number
  EXPECT_EQ(Select(" 1A2"), 0);
  EXPECT_EQ(Select("  1\n"), 0);  // a line feed makes a numeric term false
  ResetContext();
  ASSERT_EQ(Expression("1N < '-1.5'"), kOk);
  EXPECT_EQ(Select("  -2"), 1);
  EXPECT_EQ(Select("-1.4"), 0);
  EXPECT_EQ(Select("9-99"), 0);  // a '-' after digits ends the value: 9
}

TEST_F(PrimarySelectTest, LineFeedMakesTheFieldLess) {
  ASSERT_EQ(Expression("1 < 'ABC'"), kOk);
  EXPECT_EQ(Select("AB\nZZ"), 1);
  EXPECT_EQ(Select("AC\n"), 0);  // the first difference decides before the line feed
}

TEST_F(PrimarySelectTest, TabStandsForSpacesToTheNextTabStop) {
  ASSERT_EQ(Expression("1 = 'abc     XY'"), kOk);
  const char rec[] = "abc\tXY";
  memcpy(cd->recBuf, rec, sizeof rec - 1);
  cd->recBufPtr = cd->recBuf;
  cd->recBufCount = sizeof rec - 1;
  ChkPopt(cd->recBuf, 0);
  EXPECT_EQ(GetState(), 1);
  // A term starting at column 6 inside the tab sees the rest of its spaces.
  ResetContext();
  ASSERT_EQ(Expression("7 = '  XY'"), kOk);
  memcpy(cd->recBuf, rec, sizeof rec - 1);
  cd->recBufPtr = cd->recBuf + 3;
  cd->recBufCount = 3;
  ChkPopt(cd->recBufPtr, 6);
  EXPECT_EQ(GetState(), 1);
}

TEST_F(PrimarySelectTest, FieldPastAFullBufferIsReadAhead) {
  // The record starts 2 bytes before the end of a full buffer; the file
  // continues with "CD".
  std::string data(kRecBufData, 'z');
  data.replace(kRecBufData - 2, 2, "AB");
  dir.write("data", data + "CDEF");
  cd->inFd = SysOpen(dir.file("data").c_str(), O_RDONLY);
  ASSERT_GE(cd->inFd, 0);
  cd->readPos = kRecBufData;
  ASSERT_EQ(Expression("3 = 'ABCD'"), kOk);
  memcpy(cd->recBuf, data.data(), kRecBufData);
  cd->recBufPtr = cd->recBuf + kRecBufData - 2;
  cd->recBufCount = 2;
  ChkPopt(cd->recBufPtr, 2);
  EXPECT_EQ(GetState(), 1);
}

TEST_F(PrimarySelectTest, LookAheadStaysInsideTheRecordBuffer) {
  std::string data(kRecBufData + 400, 'q');
  dir.write("data", data);
  cd->inFd = SysOpen(dir.file("data").c_str(), O_RDONLY);
  cd->readPos = kRecBufData;
  ASSERT_EQ(Expression("1 = '" + std::string(kMaxSelLiteral, 'q') + "'"), kOk);
  memset(cd->recBuf, 'q', kRecBufData);
  cd->recBuf[kRecBufSize - 1] = '#';
  cd->recBufPtr = cd->recBuf + kRecBufData - 1;  // one byte left in the buffer
  cd->recBufCount = 1;
  ChkPopt(cd->recBufPtr, 0);
  EXPECT_EQ(GetState(), 1);
  EXPECT_EQ(cd->recBuf[kRecBufSize - 1], '#');
}

TEST_F(PrimarySelectTest, NoReadAheadAtTheEndOfTheFile) {
  ASSERT_EQ(Expression("1 >= 'ABCD'"), kOk);
  memcpy(cd->recBuf, "AB", 2);
  cd->recBufPtr = cd->recBuf;
  cd->recBufCount = 2;  // the last, partly filled buffer
  FaultPlan count;
  count.classes = kFaultRead | kFaultSeek;
  count.failAt = 1000;
  SysSetFaultPlan(count);
  ChkPopt(cd->recBufPtr, 0);
  EXPECT_EQ(SysFaultCallCount(), 0u);
  EXPECT_EQ(GetState(), 0);  // the field ended: it is less
}

TEST(SelectionNumbers, Rules) {
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
}

TEST(SelectionColumns, GetCol) {
  const struct {
    const char* text;
    uint32_t col;
    size_t used;
  } cases[] = {{"  12=", 12, 4},        {"0", 0, 1}, {"32767", 32767, 5}, {"32768", 0, 5},
               {"999999999999", 0, 12}, {"x", 0, 0}};
  for (const auto& c : cases) {
    std::string text = c.text;
    char* p = text.data();
    EXPECT_EQ(GetCol(&p), c.col) << c.text;
    EXPECT_EQ(static_cast<size_t>(p - text.data()), c.used) << c.text;
  }
}

}  // namespace
