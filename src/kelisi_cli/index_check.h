// The check of an ISI file: its structure, and with its data file, that
// its entries are exactly the records a build would index today.
//
// Callable without the kelisi binary: the test suite uses it as an oracle.
//
//   kelisi_cli::CheckOptions opt;
//   opt.dataPath = "orders.txt";
//   auto r = kelisi_cli::CheckIndex("orders.isi", opt,
//                                   [](const kelisi_cli::CheckProblem& p) { ... });
//   if (r.status == 0 && r.problems == 0) ...  // consistent
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "kelisi.h"

namespace kelisi_cli {

constexpr uint32_t kNoSector = KELISI_NO_SECTOR;
constexpr uint64_t kNoOffset = UINT64_MAX;

// Problem kinds: the library's KELISI_P_* (KELISI_P_RECORD names an entry
// whose record is missing, deleted or different; KELISI_P_DELETED a listed
// deleted record that is not one), its notes KELISI_N_* (counted apart),
// and these, found in the data:
enum : int {
  kProblemNoEntry = 100,  // a record the stored options select has no entry
  kProblemDataForm = 101  // the data is not in the form the index was built for
};

struct CheckProblem {
  int kind = 0;
  uint32_t sector = kNoSector;  // key sector concerned, position as stored
  uint32_t entry = 0;           // 1-based entry in that sector; 0: none
  uint64_t offset = kNoOffset;  // byte offset in the data file concerned
  std::string message;          // one line, without a line end
};

struct CheckOptions {
  const char* dataPath = nullptr;  // the data file; nullptr: the structure only
  // Also read every entry's record and every listed deleted record through
  // the library, and name the differences even when the fingerprints agree.
  bool records = false;
  bool allowFree = false;  // accept sectors outside the tree and the chain
};

struct CheckResult {
  int status = 0;     // 0: the check ran; else the negative kelisi status that stopped it
  std::string error;  // with a status: why, as one line
  uint64_t problems = 0;
  uint64_t notes = 0;           // shapes every reader handles (KELISI_N_*), one per kind
  uint64_t entries = 0;         // entries of the index walked
  bool dataCompared = false;    // the entries were compared with a scan of the data
  uint64_t recordsScanned = 0;  // records of the data (selected or not, deleted excluded)
  uint64_t recordsIndexed =
      0;  // records the stored options select (the first of each key under n0, n$)
  uint64_t deletedRecords = 0;  // deleted records in the data
  bool incomplete = false;      // differences were found that could not all be named
  std::string note;             // what could not be checked, and why; empty when all was
};

using ProblemFn = std::function<void(const CheckProblem&)>;

// Checks the index at `isiPath`; every problem goes to `report` as it is
// found (grouped: structure, then data). The result's status is negative
// only when the check could not run (the index or the data cannot be
// opened or read, or is no ISI file).
CheckResult CheckIndex(const char* isiPath, const CheckOptions& options, const ProblemFn& report);

}  // namespace kelisi_cli
