// Holding a compacted ISI against the original with the independent test
// reader, and turning a file into the other byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/isi_reader.h"

namespace ct {

// Loads `path` and checks it is a sound index (a test failure otherwise).
isir::IsiReader LoadValid(const std::string& path);
std::vector<isir::Entry> EntriesOf(const isir::IsiReader& reader);

// The compacted entries are the original records in the original order;
// duplicate sequences count anew (0 for the first of a key, then up).
void ExpectSameEntries(const std::vector<isir::Entry>& before,
                       const std::vector<isir::Entry>& after);

// Entry counts of the key sectors of `level`, in tree order (parents first,
// then children in order).
std::vector<uint32_t> CountsAtLevel(const isir::IsiReader& reader, uint16_t level);

// The same index written in the other byte order, field by field.
std::string SwapByteOrder(const std::string& bytes);

}  // namespace ct
