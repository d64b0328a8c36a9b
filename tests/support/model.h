// What an index over a data file must hold, worked out from the data alone:
// data files composed record by record (with every record's position kept),
// a seeded generator of such files, the entries a build must produce from
// them, and the entries, deleted records and problems of a built index as
// the reader library sees them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kt {

// A small deterministic generator (the standard distributions differ
// between libraries; golden files must not).
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Next();
  uint32_t Below(uint32_t n) { return Next() % n; }
  // `n` characters drawn from `alphabet`.
  std::string Text(size_t n, const std::string& alphabet);

 private:
  uint64_t s_;
};

// A data file as a test composes it: live records (body + end-of-record
// mark) and deleted records (runs of zero bytes), each with its offset.
class Data {
 public:
  struct Record {
    uint64_t pos = 0;
    std::string body;   // without the end-of-record mark
    uint32_t size = 0;  // bytes in the file, mark included
  };
  explicit Data(std::string eor = "\n") : eor_(std::move(eor)) {}
  Data& Rec(const std::string& body);
  Data& Deleted(size_t bytes);          // one deleted record of `bytes` zero bytes
  Data& Raw(const std::string& bytes);  // bytes outside any record (a 0x1A end mark)

  const std::string& bytes() const { return bytes_; }
  const std::vector<Record>& records() const { return records_; }
  const std::vector<uint64_t>& deleted() const { return deleted_; }

 private:
  std::string eor_, bytes_;
  std::vector<Record> records_;
  std::vector<uint64_t> deleted_;
};

// `n` fixed-length records of `len` characters from `alphabet`, one in
// `deleteEvery` (none when 0; never the first) replaced by zero bytes.
Data RandomData(int n, int len, uint64_t seed, int deleteEvery = 0, const std::string& eor = "\n",
                const std::string& alphabet = "ABCDEFGHIJ");

// Key columns as typed: 1-based first..last (first > last takes them in reverse).
using KeySpecs = std::vector<std::pair<int, int>>;

struct Entry {
  std::string key;
  uint64_t offset = 0;  // the record's byte offset
  uint32_t size = 0;    // the record's size, mark included
  uint32_t dup = 0;     // duplicate sequence
  bool operator==(const Entry&) const = default;
};

// The entries a build over `data` must produce: every record `keep` accepts
// (all when empty) under its key (blanks past the record's end, optionally
// folded to upper case), by key bytes and then by position, duplicate
// sequences counting within equal keys; with `firstOnly` the first record of
// each key alone (options n0, n$).
std::vector<Entry> Expected(const Data& data, const KeySpecs& specs, bool upper = false,
                            const std::function<bool(const std::string&)>& keep = {},
                            bool firstOnly = false);

// A built index as the reader library sees it.
struct Index {
  std::string error;                  // why it could not be read; empty when it could
  std::vector<Entry> entries;         // first to last
  std::vector<uint64_t> deleted;      // the deleted-record chain, newest first
  std::vector<std::string> problems;  // what kelisi_check reports
};
// `data` may be empty (no data file): the record checks are then skipped.
Index ReadIndex(const std::string& isi, const std::string& data = "");

// Why the index at `isi` could not be read, or the first problem the check
// finds in it against `data` (its notes on the tree's shape aside, which
// changes in place leave); empty when there is none.
std::string FirstProblem(const std::string& isi, const std::string& data);

// Readable first difference of two entry lists.
std::string DiffEntries(const std::vector<Entry>& got, const std::vector<Entry>& want);

}  // namespace kt
