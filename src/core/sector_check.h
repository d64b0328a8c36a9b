// What makes the sectors of an existing index sound: the one set of rules
// that the program's compaction, the reader library's cursors, its check
// and the kelisi tool's data check all apply.
//
// Damage is what makes a reader fail or return wrong entries: a sector
// outside the file, off a sector boundary, in the front or reached twice, a
// count byte larger than a sector holds, a child not below its parent's
// level or a leaf above level 0, keys stepping backwards, a tree deeper than
// kIsiPathDepth levels below its root, and a broken deleted-record chain.
// Keys stepping backwards and leaves above level 0 are damage only to a
// reader that relies on them (IsiWalkMode). Everything else a tree may
// look like (levels falling by more than one, child slots left empty,
// sectors with few or no entries) every reader here handles; the check only
// notes it.
//
// All functions work on sectors in native byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/key_order.h"

// The values of an open index that its sectors are checked against.
struct IsiGeometry {
  uint32_t keyLength;
  uint32_t entrySize;
  uint32_t perSector;    // entries a key sector holds
  bool recNum;           // positions are sector numbers, not byte offsets
  uint64_t fileSectors;  // whole sectors in the file
};
// From a native header whose key length is 1 to 150, and the file's size.
IsiGeometry IsiGeometryOf(const uint8_t* header, uint64_t fileSize);

enum IsiDamage : int {
  kIsiSound = 0,
  kIsiDamageCount,       // a count byte larger than the sector holds
  kIsiDamagePlace,       // a position off a sector boundary or inside the front
  kIsiDamagePastEnd,     // a position past the end of the file
  kIsiDamageTwice,       // a sector reached a second time
  kIsiDamageNamedTwice,  // a sector naming one child in two slots
  kIsiDamageLevel,       // a child not below its parent's level
  kIsiDamageLeaf,        // a leaf above level 0
  kIsiDamageOrder,       // keys stepping backwards
  kIsiDamageDepth,       // more than kIsiPathDepth levels below the root
};

// Field access on native key sectors (inline: every step of a scan uses them).
inline uint32_t IsiCount(const uint8_t* sector) {
  return sector[kKeyCountOfs];
}
inline uint16_t IsiLevel(const uint8_t* sector) {
  return LoadU16(sector + kKeyLevelOfs);
}
inline uint32_t IsiRightChild(const uint8_t* sector) {
  return LoadU32(sector + kKeyRightOfs);
}
inline const uint8_t* IsiEntry(const IsiGeometry& g, const uint8_t* sector, uint32_t i) {
  return sector + static_cast<size_t>(i) * g.entrySize;
}
inline uint32_t IsiEntryChild(const uint8_t* entry) {
  return LoadU32(entry + kEntryChildOfs);
}
inline uint32_t IsiEntryPos(const uint8_t* entry) {
  return LoadU32(entry + kEntryPosOfs);
}
inline uint16_t IsiEntryDup(const uint8_t* entry) {
  return LoadU16(entry + kEntryDupOfs);
}
inline uint16_t IsiEntryRecSize(const uint8_t* entry) {
  return LoadU16(entry + kEntrySizeOfs);
}
inline const uint8_t* IsiEntryKey(const uint8_t* entry) {
  return entry + kIsiEntryKeyOfs;
}
// The byte offset in the data file of the entry's record.
inline uint64_t IsiEntryOffset(const IsiGeometry& g, const uint8_t* entry) {
  return IsiRecordOffset(g.recNum, IsiEntryPos(entry), IsiEntryRecSize(entry));
}
// The child of slot `slot` (0..count): entry slot's child, or the rightmost
// child when slot == count.
inline uint32_t IsiSlotChild(const IsiGeometry& g, const uint8_t* sector, uint32_t slot) {
  return slot < IsiCount(sector) ? IsiEntryChild(IsiEntry(g, sector, slot)) : IsiRightChild(sector);
}
// True when any slot of the sector has a child.
bool IsiHasChildren(const IsiGeometry& g, const uint8_t* sector);

// The sector number of a stored position: sound, or placed off a boundary
// or before `first` (a key sector: behind the front; a DDR sector: from the
// head DDR sector at 1536 on), or past the end of the file.
inline IsiDamage IsiSectorAt(const IsiGeometry& g, uint32_t pos, uint64_t first, uint64_t* sector) {
  uint64_t offset = IsiSectorOffset(g.recNum, pos);
  *sector = offset / kIsiSector;
  if (offset % kIsiSector != 0 || *sector < first) return kIsiDamagePlace;
  return *sector < g.fileSectors ? kIsiSound : kIsiDamagePastEnd;
}
inline IsiDamage IsiKeySectorAt(const IsiGeometry& g, uint32_t pos, uint64_t* sector) {
  return IsiSectorAt(g, pos, kIsiFrontSectors, sector);
}
inline IsiDamage IsiDdrSectorAt(const IsiGeometry& g, uint32_t pos, uint64_t* sector) {
  return IsiSectorAt(g, pos, kIsiDdrHeadPos / kIsiSector, sector);
}
// The stored position of a sector number.
uint32_t IsiPositionOf(const IsiGeometry& g, uint64_t sector);

// What a reader relies on, beyond what keeps every walk finite and each
// entry given once. A cursor that seeks or steps both ways, and a program
// that changes the tree, rely on the keys' order and on a sector's level
// saying whether it is a leaf: keys stepping backwards and leaves above
// level 0 are damage to them. A walk that reads every entry once and sorts
// them all again, as compaction does, relies on neither: it follows the
// children as they stand, and the tree it builds repairs both.
enum class IsiWalkMode : uint8_t { kSeekable = 0, kReadOnce };

// A key sector on its own: its count fits, no child is named twice, its
// keys ascend, and a sector without children is at level 0. The faults
// found, as a set (none: 0); with a count that does not fit, that alone.
// Where each child lies is checked as it is entered (IsiKeySectorAt).
enum : unsigned {
  kIsiFaultCount = 1u << 0,
  kIsiFaultTwice = 1u << 1,
  kIsiFaultOrder = 1u << 2,
  kIsiFaultLeaf = 1u << 3,
};
unsigned IsiKeySectorFaults(const IsiGeometry& g, const uint8_t* sector);
// The damage a reader in `mode` reports for a set of faults: the first of
// count, a child named twice, order and leaf (the last two where the mode
// relies on them).
IsiDamage IsiDamageOf(unsigned faults, IsiWalkMode mode);
// A child reached from a parent at `parentLevel`: damage when it is not
// below it.
inline IsiDamage IsiCheckChildLevel(const uint8_t* child, uint16_t parentLevel) {
  return IsiLevel(child) < parentLevel ? kIsiSound : kIsiDamageLevel;
}
// A sound child's keys between the separators of the slot it was reached
// through: `lowerKey` and `upperKey` are the keys of the entries around
// that slot (nullptr: no bound on that side). A walk that reads each entry
// once takes any.
inline IsiDamage IsiCheckBounds(const IsiGeometry& g, const uint8_t* child, const uint8_t* lowerKey,
                                const uint8_t* upperKey, IsiWalkMode mode) {
  uint32_t n = IsiCount(child);
  if (n == 0 || mode == IsiWalkMode::kReadOnce) return kIsiSound;
  const uint8_t* first = IsiEntry(g, child, 0) + kIsiEntryKeyOfs;
  const uint8_t* last = IsiEntry(g, child, n - 1) + kIsiEntryKeyOfs;
  if (lowerKey != nullptr && IsiCompareKeys(lowerKey, first, g.keyLength) > 0) {
    return kIsiDamageOrder;
  }
  if (upperKey != nullptr && IsiCompareKeys(last, upperKey, g.keyLength) > 0) {
    return kIsiDamageOrder;
  }
  return kIsiSound;
}

// A DDR sector: its marker bytes, and a count of 1 to 126.
enum IsiDdrFault { kIsiDdrSound, kIsiDdrMarker, kIsiDdrCount };
IsiDdrFault IsiCheckDdrSector(const uint8_t* sector);
uint32_t IsiDdrCount(const uint8_t* sector);
uint32_t IsiDdrLink(const uint8_t* sector);

// Deleted records. A fixed-length record (text or binary) is deleted when
// every one of its bytes, end-of-record bytes included, is 0x00: that is
// what the build's scanner lists as deleted and passes over without a
// complaint. Variable-length data has no record size to fill: the scanner
// skips zero bytes one by one, so a record that starts with 0x00 is none.
// The bytes that decide, from the record's start: the record size for fixed
// lengths (`recordSize`, end-of-record bytes included), one byte otherwise.
uint32_t IsiDeletedRecordSpan(uint8_t formatFlags, uint32_t recordSize);
// True when the `len` bytes of IsiDeletedRecordSpan at a record's start
// make it a deleted record.
bool IsiIsDeletedRecord(const uint8_t* bytes, size_t len);
