// The soundness rules of key sectors, DDR sectors and deleted records (see
// sector_check.h).
#include "core/sector_check.h"

#include <cstring>

#include "core/byte_order.h"

IsiGeometry IsiGeometryOf(const uint8_t* header, uint64_t fileSize) {
  IsiGeometry g{};
  g.keyLength = LoadU16(header + kHdrKeyLengthOfs);
  g.entrySize = IsiEntrySize(g.keyLength);
  g.perSector = IsiEntriesPerSector(g.entrySize);
  g.recNum = (header[kHdrModeOfs] & kModeRecNum) != 0;
  g.fileSectors = fileSize / kIsiSector;
  return g;
}

bool IsiHasChildren(const IsiGeometry& g, const uint8_t* sector) {
  for (uint32_t slot = 0; slot <= IsiCount(sector); ++slot) {
    if (IsiSlotChild(g, sector, slot) != 0) return true;
  }
  return false;
}

namespace {

// Distinct children: the sector's few child positions, sorted in place.
bool ChildrenDistinct(uint32_t* child, uint32_t n) {
  for (uint32_t i = 1; i < n; ++i) {
    uint32_t v = child[i], j = i;
    for (; j > 0 && child[j - 1] > v; --j) child[j] = child[j - 1];
    if (j > 0 && child[j - 1] == v) return false;
    child[j] = v;
  }
  return true;
}

}  // namespace

uint32_t IsiPositionOf(const IsiGeometry& g, uint64_t sector) {
  return static_cast<uint32_t>(g.recNum ? sector : sector * kIsiSector);
}

unsigned IsiKeySectorFaults(const IsiGeometry& g, const uint8_t* sector) {
  uint32_t n = IsiCount(sector);
  if (n > g.perSector) return kIsiFaultCount;
  unsigned faults = 0;
  uint32_t child[kIsiKeyTrailerOfs / kIsiMinEntrySize + 1];
  uint32_t children = 0;
  for (uint32_t slot = 0; slot <= n; ++slot) {
    uint32_t pos = IsiSlotChild(g, sector, slot);
    if (pos != 0) child[children++] = pos;
  }
  if (!ChildrenDistinct(child, children)) faults |= kIsiFaultTwice;
  for (uint32_t i = 1; i < n; ++i) {
    const uint8_t* a = IsiEntry(g, sector, i - 1) + kIsiEntryKeyOfs;
    if (IsiCompareKeys(a, a + g.entrySize, g.keyLength) > 0) faults |= kIsiFaultOrder;
  }
  if (children == 0 && IsiLevel(sector) != 0) faults |= kIsiFaultLeaf;
  return faults;
}

IsiDamage IsiDamageOf(unsigned faults, IsiWalkMode mode) {
  if (faults & kIsiFaultCount) return kIsiDamageCount;
  if (faults & kIsiFaultTwice) return kIsiDamageNamedTwice;
  if (mode == IsiWalkMode::kReadOnce) return kIsiSound;
  if (faults & kIsiFaultOrder) return kIsiDamageOrder;
  if (faults & kIsiFaultLeaf) return kIsiDamageLeaf;
  return kIsiSound;
}

uint32_t IsiDdrCount(const uint8_t* sector) {
  return LoadU16(sector + kDdrCountOfs);
}
uint32_t IsiDdrLink(const uint8_t* sector) {
  return LoadU32(sector + kDdrLinkOfs);
}

IsiDdrFault IsiCheckDdrSector(const uint8_t* sector) {
  if (sector[kDdrMark1Ofs] != kIsiDdrMark1 || sector[kDdrMark2Ofs] != kIsiDdrMark2) {
    return kIsiDdrMarker;
  }
  // The count is a signed 16-bit field: a negative one is no count either.
  uint32_t count = IsiDdrCount(sector);
  return count >= 1 && count <= kIsiDdrPerSector ? kIsiDdrSound : kIsiDdrCount;
}

uint32_t IsiDeletedRecordSpan(uint8_t formatFlags, uint32_t recordSize) {
  bool variable = (formatFlags & (kFmtVarLen | kFmtSpaceComp)) != 0;
  return variable || recordSize == 0 ? 1 : recordSize;
}

bool IsiIsDeletedRecord(const uint8_t* bytes, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (bytes[i] != 0) return false;
  }
  return len != 0;
}
