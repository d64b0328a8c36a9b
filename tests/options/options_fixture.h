// The fixture of the option tests: a fresh run context with its input
// buffer, messages captured in memory, a temporary directory that is also
// TMPDIR, and none of the named settings of the machine leaking in.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
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

  // Closes the files of the last parse and starts a fresh run context.
  void ResetContext();
  // Sets (or with nullptr removes) a named setting for this test only.
  void SetEnv(const char* name, const char* value);
  // Everything written to msgOut so far.
  std::string Output();
  // ParseCommandText on a copy of `text` that lives until the test ends
  // (terms of a selection expression point into it).
  Status Parse(const std::string& text);
  // parseMain on such a copy.
  Status ParseMain(const std::string& text);
  // The column table as "column:keyPos:flags:match" items (1-based column).
  std::string Columns() const;
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
  FILE* out_ = nullptr;
  char* outText_ = nullptr;
  size_t outLen_ = 0;
};

}  // namespace ot
