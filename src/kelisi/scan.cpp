// scan: the library's data scans (scan.h).
#include "kelisi/scan.h"

#include <new>

#include "core/sort_item.h"

namespace kisi {

namespace {

int32_t CountDeleted(uint64_t) {
  return 0;
}

}  // namespace

std::unique_ptr<LibScan> NewScan(const kelisi* ix, uint32_t items, const ScanReader& reader) {
  std::unique_ptr<LibScan> scan(new (std::nothrow) LibScan);
  if (!scan) return nullptr;
  DataScan& s = scan->s;
  static_cast<IndexDefinition&>(s) = ix->def;
  RecordFormatFromHeader(&s, ix->hdr.format_flags, ix->hdr.record_length);
  s.keyLen = s.keySpecLen;
  s.itemLen = s.keyLen + kItemKeyOfs;
  s.itemsInMem = items < 2 ? 2 : items;
  try {
    scan->buffer.assign(kRecBufSize, 0);
    scan->items.assign(static_cast<size_t>(s.itemsInMem) * s.itemLen, 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  s.recBuf = scan->buffer.data();
  s.sortMem = scan->items.data();
  s.reader = reader;
  s.deletedRecFn = CountDeleted;
  RestartScan(scan.get());
  return scan;
}

void RestartScan(LibScan* scan) {
  DataScan& s = scan->s;
  s.readPos = s.recStartPos = s.recCount = 0;
  s.recBufCount = 0;
  s.lastFillCount = 0;
  s.deletedCount = 0;
  s.spaceCompFound = s.varLenFound = s.posInvalidFound = s.longRecFound = s.shortRecFound = 0;
}

}  // namespace kisi
