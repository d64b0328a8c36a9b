// The data file read exactly as kelindex reads it for a build: the options
// and key specifications come from the command line stored in an index, and
// the program's own parser and record scanner do the work, so that the
// records found are those a rebuild would index.
//
// The scan runs on a run context of its own, which it makes current only
// while one of its calls runs; the caller's run context is left as it was.
// Nothing is written: no work file, no output file, no error file, and the
// deleted-record list keeps no sectors.
#pragma once

#include <cstdint>
#include <string>

struct CmdData;

namespace kelisi_cli {

class StoredScan {
 public:
  StoredScan();
  ~StoredScan();
  StoredScan(const StoredScan&) = delete;
  StoredScan& operator=(const StoredScan&) = delete;

  // Parses a stored command line (the options and key specifications; its
  // file names are not used). False, with the reason, when kelindex would
  // not build an index from it.
  bool Parse(const char* storedLine, std::string* why);

  // The memory that holds one batch of records (before Open; 1 MiB, a
  // build's default, unless set).
  void SetBatchMemory(uint64_t bytes);

  // Opens the data file read-only, detects how its records end and settles
  // the record length as a build does. False with the reason; ReadFailed()
  // then tells a file that cannot be opened or read from data of another
  // form than the options describe.
  bool Open(const char* dataPath, std::string* why);
  bool ReadFailed() const { return readFailed_; }

  // The next batch of selected records as sort items (8-byte position,
  // 2-byte size, key), `*count` of them from `*items`, each ItemLength()
  // bytes long. Returns 1 when more may follow, 0 after the last batch,
  // -1 on a failure (with the reason).
  int Next(const uint8_t** items, uint32_t* count, std::string* why);

  // What the options say.
  uint32_t KeyLength() const;
  uint32_t ItemLength() const;
  bool IgnoresDuplicates() const;  // n0, n$: only the first record of a key is indexed
  bool RefusesDuplicates() const;  // n, n0, n$
  bool VariableLength() const;     // v, s
  bool Binary() const;             // f, g
  bool KeepsDeletedList() const;   // the build lists deleted records (not w, v, s)
  // What the data showed (after Open).
  uint8_t EndOfRecordFlags() const;  // the header's code of the mark found
  uint32_t MarkLength() const;       // end-of-record bytes per record
  // Record size with its mark, as the scan reads the records: fixed by
  // Open for fixed-length data, set by the first record otherwise (0 until
  // then).
  uint32_t RecordSize() const;
  // The record length a build would write into the header (0: none known).
  uint32_t HeaderRecordLength() const;
  // Findings of the scan so far.
  uint64_t RecordsScanned() const;  // selected or not, deleted records excluded
  uint32_t DeletedRecords() const;
  // The build's verdict on the data's form: empty when it is the form the
  // options describe, else why not.
  std::string FormatViolation() const;

 private:
  class Current;  // makes the scan's run context current for one call
  CmdData* cd_;
  bool keepsDeletedList_ = false;
  bool readFailed_ = false;
};

}  // namespace kelisi_cli
