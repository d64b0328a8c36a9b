// data_check: the proof of an index against its data file, the part of
// kelisi_check that KELISI_CHECK_RECORDS asks for. The data is read with
// kelindex's own record scanner (core/data_scan.h), on the definition the
// index's stored command line gives, with the record format the data shows
// today, so that the records found are exactly those a rebuild would
// index. Both sides are taken as multisets of (record byte offset, record
// size, key) and compared by an order-independent fingerprint in constant
// memory (entry_sums.h): the index side entry by entry as the structure
// check walks the tree, the data side in one scan. Only where the
// fingerprints differ are the differences named: the entries and records
// of the buckets that differ are read again and paired up by offset.
//
// Under n0 and n$ the index keeps only the first record of each key: each
// record the scan delivers is looked up (a batch at a time, in key order,
// so that neighbouring keys find their sectors in the cache), and counts on
// the data side only when the index holds no entry of its key at a smaller
// offset.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kelisi/kelisi_internal.h"

namespace kisi {

// Where the proof's problems go (kind, sector and entry or KELISI_NO_SECTOR
// and 0, data offset or UINT64_MAX, message); `stopped` tells that the
// caller wants no more.
struct ProofSink {
  std::function<void(int kind, uint32_t sector, uint32_t index, uint64_t offset,
                     const std::string& message)>
      report;
  std::function<bool()> stopped;
  // The entries already named by the record-by-record check, which the
  // naming of differences passes over.
  std::function<bool(uint32_t sector, uint32_t index)> named;
};

class DataProof {
 public:
  DataProof(kelisi* ix, ProofSink sink);
  ~DataProof();
  DataProof(const DataProof&) = delete;
  DataProof& operator=(const DataProof&) = delete;

  // Sets up the scan of the data as a build would read it today, and
  // holds the data's form against the header: a data file of another form
  // is one problem, and its records are then not compared (*compare
  // false). OK, or the status that stops the check.
  int Prepare(uint64_t expectedEntries, bool* compare);
  // The index side, each entry of the walk.
  void AddEntry(uint64_t offset, uint32_t size, const uint8_t* key);
  // The data side, the comparison and the naming of the differences; the
  // counts of the data into *out. OK, or the status that stops the check.
  int Finish(kelisi_check_counts* out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kisi
