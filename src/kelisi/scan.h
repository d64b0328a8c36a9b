// scan: the library's data scans, kelindex's own (core/data_scan.h) on a
// DataScan of the handle's definition: of a record about to be written
// (ReadRecordBack), and of the whole data file through any reader (the
// check, and the change's view of the data under n0 and n$).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/data_scan.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

struct LibScan {
  DataScan s{};
  std::vector<uint8_t> buffer;  // recBuf
  std::vector<uint8_t> items;   // sortMem
};

// A scan of the handle's definition (which must be usable) with the
// record format the header describes, a sub-list of `items` items (at
// least 2) and `reader`. nullptr when memory is short.
std::unique_ptr<LibScan> NewScan(const kelisi* ix, uint32_t items, const ScanReader& reader);

// Starts the scan again at the data's first byte.
void RestartScan(LibScan* scan);

}  // namespace kisi
