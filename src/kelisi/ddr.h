// ddr: the deleted-record chain, from the header's head along the links,
// newest sector first. Every sector is distrusted: its place in the file,
// its marker bytes and its count (the rules of core/sector_check).
#pragma once

#include <cstdint>

#include "core/byte_order.h"
#include "core/sector_check.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

enum class DdrFault { kSound, kPlace, kPastEnd, kMarker, kCount };

// Loads the DDR sector at stored position `pos` into `out`, native. OK with
// *fault set (kSound or what is wrong with it), or KELISI_E_READ.
int LoadDdr(kelisi* ix, uint32_t pos, uint8_t* out, DdrFault* fault, uint64_t* sector);

inline uint32_t DdrEntry(const uint8_t* s, uint32_t i) {
  return LoadU32(s + sizeof(uint32_t) * i);
}

// The byte offset in the data file of a listed position.
inline uint64_t DdrOffset(const kelisi* ix, uint32_t pos) {
  return IsiRecordOffset(ix->recNum, pos, ix->recordStride);
}

const char* DdrFaultText(DdrFault f);

}  // namespace kisi
