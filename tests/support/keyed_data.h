// Data files of random fixed-length keys for the tests that drive whole
// jobs (fault loops, interrupts, damaged indexes), and the check that an
// ISI file indexes such data correctly.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kt {

// Records of `keyLen` random letters A..J and a LF; every `deletedEvery`-th
// record (none when 0; never the first) is deleted, all zero bytes.
struct KeyedData {
  int keyLen = 0;
  std::string bytes;
  std::vector<std::pair<std::string, uint32_t>> entries;  // (key, record number), key order
  std::vector<uint32_t> deleted;                          // record numbers, in file order
};

KeyedData MakeKeyedData(int records, int keyLen, int deletedEvery, uint32_t seed);

// Empty when the ISI at `path` is sound and holds exactly the entries and
// deleted records of `data` (record-number addressing); else what is wrong.
std::string CheckIndexOf(const KeyedData& data, const std::string& path);

}  // namespace kt
