// tree: reading key sectors. Field access on native sector copies, the
// checks every child position passes before it is read, and the loading
// of a key sector into a caller's buffer in native order.
#pragma once

#include <cstdint>
#include <cstring>

#include "isi/byte_order.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

inline uint32_t SecCount(const uint8_t* s) {
  return s[kIsiKeyTrailerOfs];
}
inline uint16_t SecLevel(const uint8_t* s) {
  return LoadU16(s + 506);
}
inline uint32_t SecRight(const uint8_t* s) {
  return LoadU32(s + 508);
}

inline const uint8_t* EntryAt(const kelisi* ix, const uint8_t* s, uint32_t i) {
  return s + i * ix->entrySize;
}
inline uint32_t EntryPos(const uint8_t* e) {
  return LoadU32(e);
}
inline uint32_t EntryChild(const uint8_t* e) {
  return LoadU32(e + 4);
}
inline uint16_t EntryDup(const uint8_t* e) {
  return LoadU16(e + 8);
}
inline uint16_t EntryRecSize(const uint8_t* e) {
  return LoadU16(e + 10);
}
inline const uint8_t* EntryKey(const uint8_t* e) {
  return e + kIsiEntryKeyOfs;
}

// The record's byte offset in the data file.
inline uint64_t EntryOffset(const kelisi* ix, const uint8_t* e) {
  return ix->recNum ? uint64_t{EntryPos(e)} * EntryRecSize(e) : EntryPos(e);
}

// The child of slot `slot` (0..count): entry slot's child, or the
// rightmost child when slot == count.
inline uint32_t SlotChild(const kelisi* ix, const uint8_t* s, uint32_t slot) {
  return slot < SecCount(s) ? EntryChild(EntryAt(ix, s, slot)) : SecRight(s);
}

// The sector number of a stored key-sector position: false unless it lies
// on a sector boundary, past the front and inside the file.
bool KeySectorNumber(const kelisi* ix, uint32_t pos, uint64_t* sector);

// The root (from the front) or the key sector at `pos`, copied into `out`
// in native order. KELISI_E_CORRUPT for a position no key sector can have
// or a count byte the sector cannot hold; KELISI_E_READ when the read fails.
int LoadRoot(const kelisi* ix, uint8_t* out);
int LoadKeySector(kelisi* ix, uint32_t pos, ReadHint hint, uint8_t* out);

// Compares an entry's key with `key` over `len` bytes as unsigned bytes:
// <0, 0, >0. Eight bytes at a time, since lookups spend their time here.
inline int CompareKey(const uint8_t* entry, const uint8_t* key, uint32_t len) {
  const uint8_t* a = EntryKey(entry);
  uint32_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t x, y;
    memcpy(&x, a + i, 8);
    memcpy(&y, key + i, 8);
    if (x != y) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      x = __builtin_bswap64(x);
      y = __builtin_bswap64(y);
#endif
      return x < y ? -1 : 1;
    }
  }
  return i < len ? memcmp(a + i, key + i, len - i) : 0;
}

}  // namespace kisi
