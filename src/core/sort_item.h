// The sort item: the unit the scanner produces, the sort orders, the work
// files hold and the tree build consumes. Native byte order, no padding:
//   offset 0  u64  position of the record's first byte in the data file
//   offset 8  u16  the record's length in the file, end-of-record mark included
//   offset 10 key  keyLen bytes
// The end-of-run item is itemLen bytes of 0xFF; it closes every sub-list and
// every sort train and sorts after every real item.
#pragma once

#include <cstdint>
#include <cstring>

constexpr uint32_t kItemKeyOfs = 10;
constexpr uint64_t kEndOfRunPos = 0xFFFFFFFFFFFFFFFFull;
constexpr uint32_t kMaxItemLen = 160;  // 150 key bytes + 10

inline uint64_t ItemPosition(const uint8_t* item) {
  uint64_t v;
  memcpy(&v, item, sizeof v);
  return v;
}
inline void SetItemPosition(uint8_t* item, uint64_t v) {
  memcpy(item, &v, sizeof v);
}
inline uint16_t ItemLength(const uint8_t* item) {
  uint16_t v;
  memcpy(&v, item + 8, sizeof v);
  return v;
}
inline void SetItemLength(uint8_t* item, uint16_t v) {
  memcpy(item + 8, &v, sizeof v);
}
inline bool IsEndOfRun(const uint8_t* item) {
  return ItemPosition(item) == kEndOfRunPos;
}
