// What the end-to-end tests of the index build share: a data file built
// record by record with every record's position remembered, the order an
// index must hold (an independent sort of the data's keys), and a fixture
// that runs the built kelindex in a temporary directory, with its work-file
// directory (TMPDIR) watched, and loads the ISI it wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/isi_reader.h"
#include "support/test_util.h"

namespace e2e {

using Names = std::vector<std::string>;

// The banner every run prints after the argument echo.
extern const char kBanner[];

// A data file as a test composes it: live records (body + end-of-record
// mark) and deleted records (runs of zero bytes), each with its offset.
class DataFile {
 public:
  struct Record {
    uint64_t pos = 0;
    std::string body;   // without the end-of-record mark
    uint16_t size = 0;  // bytes in the file, mark included
  };

  explicit DataFile(std::string eor = "\n") : eor_(std::move(eor)) {}
  DataFile& Rec(const std::string& body);
  DataFile& Deleted(size_t bytes);  // one deleted record of `bytes` zero bytes

  const std::string& bytes() const { return bytes_; }
  const std::vector<Record>& records() const { return records_; }
  const std::vector<uint64_t>& deleted() const { return deleted_; }  // offsets, in file order

 private:
  std::string eor_, bytes_;
  std::vector<Record> records_;
  std::vector<uint64_t> deleted_;
};

// A key specification as typed: 1-based columns first..last (first > last
// takes them in reverse).
using KeySpecs = std::vector<std::pair<int, int>>;

// The entries an index over `data` must hold, in walk order: every record's
// key (its columns in specification order, blanks past the record's end,
// optionally upper-cased), ordered by key bytes and then by position, with
// duplicate sequences counting within equal keys. Positions are record
// numbers when recordSize is not 0, else byte offsets. Only records whose
// body `keep` accepts take part, when it is given.
std::vector<isir::Entry> ExpectedEntries(
    const DataFile& data, const KeySpecs& specs, uint32_t recordSize, bool upper = false,
    const std::function<bool(const std::string&)>& keep = nullptr);
// The same entries after dropping every key but the first of its kind.
std::vector<isir::Entry> FirstOfEachKey(const std::vector<isir::Entry>& entries);
// The report line of the duplicates among `entries` (none when there are none).
std::string DupReport(const std::vector<isir::Entry>& entries);

::testing::AssertionResult SameEntries(const std::vector<isir::Entry>& got,
                                       const std::vector<isir::Entry>& want);
// First differing byte of two byte strings, for readable failures.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want);

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // Runs kelindex in the test directory with TMPDIR at workDir().
  kt::RunResult Run(const std::vector<std::string>& args, kt::RunOptions opts = {});
  // What a run printed after the argument echo and the banner, with a
  // well-formed time line replaced by "<time>\n". Adds a failure when the
  // echo or banner is missing or a time line is malformed.
  std::string Messages(const kt::RunResult& r);
  // Runs a build that must succeed and loads and validates the ISI `isi`.
  ::testing::AssertionResult BuildAndLoad(const std::vector<std::string>& args,
                                          const std::string& isi, isir::IsiReader* out,
                                          kt::RunResult* run = nullptr);
  // Every entry of a loaded ISI in walk order.
  static std::vector<isir::Entry> Walk(const isir::IsiReader& isi);

  std::string workDir() const { return dir.file("work"); }
  Names WorkFiles() const { return kt::ListDirectory(workDir()); }
  // Names in the test directory other than the work-file directory.
  Names Files() const;

  kt::TempDir dir;
};

// Upper-case hexadecimal of a record offset as the duplicate-key lines show
// it, space-padded to 16 characters.
std::string Hex16(uint64_t v);

}  // namespace e2e
