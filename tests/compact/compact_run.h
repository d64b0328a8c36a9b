// An in-process compaction run: the run context prepared as the driver and
// the parser leave it for option c, then the driver's compaction job and
// its end (restore or removal, release of the locks, closing the files).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "compact/compact_test_util.h"
#include "compact/isi_image.h"
#include "driver/status.h"
#include "support/test_util.h"

namespace ct {

class CompactRunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A spec whose header names this test's data file.
  ImageSpec Spec() const;
  // Writes `isi` as a.isi (and a data file unless one exists) and opens it
  // as the parser would: in place, or into b.isi. `mode` is the option: "c",
  // "c=0" or "c=1".
  void Prepare(const std::string& isi, bool inPlace, const std::string& mode = "c");
  // The driver's compaction job, then its closing of the files.
  Status Run();
  std::string Messages() { return messages_->text(); }
  std::string IsiPath() const { return dir_.file("a.isi"); }
  std::string OutPath() const { return dir_.file(inPlace_ ? "a.isi" : "b.isi"); }
  std::string DataPath() const { return dir_.file("data.txt"); }
  // The two files a finished run leaves besides a.isi and data.txt.
  std::vector<std::string> Leftovers() const;

  kt::TempDir dir_;
  std::unique_ptr<MessageCapture> messages_;
  bool inPlace_ = true;
};

}  // namespace ct
