// The terminal definition file: the name-format character and the default
// extensions, taken whole or not at all.
#include <gtest/gtest.h>

#include <string>

#include "options/options_fixture.h"
#include "options/parse_steps.h"

namespace {

class TerminalDefinitionTest : public ot::OptionsTest {
 protected:
  // A definition file: 512 bytes of other contents, then the used bytes.
  void WriteDefinition(const std::string& name, const std::string& used) {
    dir.write(name, std::string(512, 'x') + used);
  }
  static std::string Used(char fmt, char len, const std::string& data, const std::string& isi) {
    std::string b(16, '\0');
    b[0] = fmt;
    b[2] = len;
    b.replace(3, data.size(), data);
    b.replace(8, isi.size(), isi);
    return b;
  }
  void ExpectDefaults() {
    EXPECT_EQ(cd->nameFmtChar, '.');
    EXPECT_STREQ(cd->defDataExt, ".TXT");
    EXPECT_STREQ(cd->defIsiExt, ".ISI");
  }
};

TEST_F(TerminalDefinitionTest, TakesFormatCharacterAndExtensions) {
  SetEnv("QRX_SYSTEM", dir.path().c_str());
  SetEnv("TERM", "vt");
  WriteDefinition("vt.def", Used('!', 3, "DAT", "IDX"));
  ReadTerminalDefinition();
  EXPECT_EQ(cd->nameFmtChar, '!');
  EXPECT_EQ(cd->defExtLen, 3);
  EXPECT_STREQ(cd->defDataExt, ".DAT");
  EXPECT_STREQ(cd->defIsiExt, ".IDX");
}

TEST_F(TerminalDefinitionTest, NamesComeFromTheFirstSettingThatIsSet) {
  SetEnv("DBC", "/nowhere");
  SetEnv("VEZOR_DBC", dir.path().c_str());
  SetEnv("TERM", "vt");
  SetEnv("VEZOR_TERM", "wy");
  WriteDefinition("vt.def", Used('!', 1, "A", "B"));
  WriteDefinition("wy.def", Used('#', 4, "DATA", "INDX"));
  ReadTerminalDefinition();
  EXPECT_EQ(cd->nameFmtChar, '#');
  EXPECT_STREQ(cd->defDataExt, ".DATA");
  EXPECT_STREQ(cd->defIsiExt, ".INDX");
}

TEST_F(TerminalDefinitionTest, UnusableFilesAreIgnored) {
  SetEnv("QRX_SYSTEM", dir.path().c_str());
  SetEnv("QRX_TERM", "t");
  for (const std::string& used : {Used('!', 5, "ABCDE", "FGHIJ"), Used('\0', 3, "DAT", "IDX"),
                                  Used('!', 3, "DAT", "IDX").substr(0, 11), std::string("!")}) {
    ResetContext();
    WriteDefinition("t.def", used);
    ReadTerminalDefinition();
    ExpectDefaults();
  }
  ResetContext();
  SetEnv("QRX_TERM", "missing");
  ReadTerminalDefinition();
  ExpectDefaults();
  ResetContext();
  SetEnv("QRX_TERM", nullptr);  // no terminal named: no file
  ReadTerminalDefinition();
  ExpectDefaults();
}

TEST_F(TerminalDefinitionTest, ReadDuringParse) {
  SetEnv("QRX_SYSTEM", dir.path().c_str());
  SetEnv("TERM", "vt");
  WriteDefinition("vt.def", Used('.', 2, "DT", "IX"));
  ASSERT_EQ(Parse("data -1"), kOk);
  EXPECT_STREQ(cd->defIsiExt, ".IX");
}

}  // namespace
