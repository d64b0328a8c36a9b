// tree: field access on native key entries as the library hands them out,
// and the key comparison of its searches.
#pragma once

#include <cstdint>
#include <cstring>

#include "isi/byte_order.h"
#include "isi/sector_check.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

inline uint32_t EntryPos(const uint8_t* e) {
  return LoadU32(e + kEntryPosOfs);
}
inline uint16_t EntryDup(const uint8_t* e) {
  return LoadU16(e + kEntryDupOfs);
}
inline uint16_t EntryRecSize(const uint8_t* e) {
  return LoadU16(e + kEntrySizeOfs);
}
inline const uint8_t* EntryKey(const uint8_t* e) {
  return e + kIsiEntryKeyOfs;
}

// The record's byte offset in the data file.
inline uint64_t EntryOffset(const kelisi* ix, const uint8_t* e) {
  return IsiRecordOffset(ix->recNum, EntryPos(e), EntryRecSize(e));
}

// Compares an entry's key with `key` over `len` bytes as unsigned bytes:
// <0, 0, >0.
inline int CompareKey(const uint8_t* entry, const uint8_t* key, uint32_t len) {
  return IsiCompareKeys(EntryKey(entry), key, len);
}

}  // namespace kisi
