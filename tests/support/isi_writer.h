// Crafted ISI files for tests, written the way an index build writes them
// and sharing nothing with the program's own ISI code: bottom-up in one
// pass, one pending sector per level, every full sector appended behind the
// 2048-byte front, the root at 1024; the deleted-record chain's full
// sectors first (oldest first), the newest at 1536 unless it is full, when
// it stands behind the others and nothing is at 1536 (as other writers
// leave it). Either byte order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace isiw {

struct Entry {
  uint32_t recPos;   // as stored: byte offset, or record number under recNum
  uint16_t recSize;  // end-of-record bytes included
  std::string key;   // keyLength bytes
};

struct Spec {
  uint16_t keyLength = 4;
  bool recNum = true;             // header byte 7 bit 0x01
  bool swapped = false;           // written in the other byte order
  uint8_t formatFlags = 0x80;     // header byte 6
  uint16_t recordLength = 9;      // without end-of-record bytes
  uint32_t leafFill = 0;          // entries a leaf takes before it is full; 0: as many as fit
  uint32_t upperFill = 0;         // the same above the leaves
  bool countDuplicates = true;    // false: every duplicate sequence is 0
  std::vector<Entry> entries;     // in key order
  std::vector<uint32_t> deleted;  // positions of deleted records, oldest first
  std::optional<uint32_t> dataLength, recordCount;  // default: the number of entries
  std::optional<uint32_t> deletedCount;             // default: the number of deleted
  uint32_t spin = 0;
  std::vector<std::pair<uint16_t, uint16_t>> keySpecs;  // (first column - 1, length); default one
  std::vector<std::string> tests;  // primary tests: 4 bytes each (u16 column, op, char)
  std::string dataName = "data.txt";
  std::string cmdLine = "data.txt,a.isi,-1-4";
};

struct Image {
  std::string bytes;
  std::vector<uint32_t> leafOffsets;  // byte offsets of the leaves, in key order
  std::vector<uint32_t> ddrOffsets;   // byte offsets of the DDR sectors, newest first
};

Image Build(const Spec& spec);

// `count` ascending entries with keys "k0000000"... cut or blank-filled to
// `keyLength`, every fifth key repeated once; record positions 0, 1, 2 ...
// (times recSize unless recNum).
std::vector<Entry> NumberedEntries(uint32_t count, uint16_t keyLength, bool recNum,
                                   uint16_t recSize);
// Positions 1000, 1001 ... of `n` deleted records.
std::vector<uint32_t> DeletedRun(uint32_t n);

// Fields of file bytes, in the machine's order or swapped.
uint16_t Get16(const std::string& bytes, size_t at, bool swapped = false);
uint32_t Get32(const std::string& bytes, size_t at, bool swapped = false);
void Put16(std::string* bytes, size_t at, uint16_t v, bool swapped = false);
void Put32(std::string* bytes, size_t at, uint32_t v, bool swapped = false);

}  // namespace isiw
