// The fixture of the option tests: a fresh run context with its input
// buffer, messages captured, a temporary directory that is also TMPDIR, and
// none of the named settings of the machine leaking in.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver/cmd_data.h"
#include "driver/status.h"
#include "support/test_util.h"

namespace ot {

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Closes and removes the files of the last parse; starts a fresh run context.
  void ResetContext();
  // Sets (or with nullptr removes) a named setting for this test only.
  void SetEnv(const char* name, const char* value);
  std::string Output() { return msg_.text(); }
  // ParseCommandText (or parseMain) on a copy of `text` that lives until the
  // test ends (terms of a selection expression point into it).
  Status Parse(const std::string& text);
  Status ParseMain(const std::string& text);
  // The column table as "column:keyPos:flags[:match]" items (1-based column).
  std::string Columns() const;
  // The key specifications as "first:length" items, up to the first empty one.
  std::string Specs() const;
  // Names of the work files in the temporary directory.
  std::vector<std::string> WorkFiles() const;

  CmdData* cd = nullptr;
  kt::TempDir dir;

 private:
  char* KeepText(const std::string& text);
  void ReleaseRun();

  std::vector<uint8_t> recBuf_;
  std::vector<std::vector<char>> texts_;
  std::map<std::string, std::optional<std::string>> savedEnv_;
  kt::MsgCapture msg_;
};

}  // namespace ot
