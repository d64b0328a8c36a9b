// ddr: reading the deleted-record chain (see ddr.h) and kelisi_deleted.
#include "kelisi/ddr.h"

#include <cstring>

#include "core/isi_xlat.h"

namespace kisi {

int LoadDdr(kelisi* ix, uint32_t pos, uint8_t* out, DdrFault* fault, uint64_t* sector) {
  IsiDamage place = IsiDdrSectorAt(ix->tree.geo, pos, sector);
  if (place != kIsiSound) {
    *fault = place == kIsiDamagePastEnd ? DdrFault::kPastEnd : DdrFault::kPlace;
    return KELISI_OK;
  }
  uint8_t* checked;
  const uint8_t* raw = ix->cache.Get(ix->io, ix->isiFd, *sector, ReadHint::kRandom, &checked);
  if (raw == nullptr) return KELISI_E_READ;
  memcpy(out, raw, kIsiSector);
  if (ix->swapped) IsiXlatDdrSector(out);
  switch (IsiCheckDdrSector(out)) {
    case kIsiDdrMarker:
      *fault = DdrFault::kMarker;
      break;
    case kIsiDdrCount:
      *fault = DdrFault::kCount;
      break;
    case kIsiDdrSound:
      *fault = DdrFault::kSound;
      break;
  }
  return KELISI_OK;
}

const char* DdrFaultText(DdrFault f) {
  static const char* const kText[] = {
      "deleted-record sector sound",
      "deleted-record sector position off a sector boundary or in the header",
      "deleted-record sector position past the end of the file",
      "deleted-record sector without its F9 FD marker",
      "deleted-record sector count not 1 to 126",
  };
  return kText[static_cast<int>(f)];
}

namespace {

int Deleted(kelisi* ix, uint64_t* out, size_t cap, size_t* count) {
  alignas(8) uint8_t sec[kIsiSector];
  size_t n = 0;
  uint64_t sectors = 0;
  for (uint32_t pos = ix->hdr.ddr_head; pos != kIsiNoSector; pos = IsiDdrLink(sec)) {
    // A sound chain visits each sector once; more than the file holds is a loop.
    if (++sectors > ix->fileSectors) return KELISI_E_CORRUPT;
    DdrFault fault;
    uint64_t sector;
    int st = LoadDdr(ix, pos, sec, &fault, &sector);
    if (st != KELISI_OK) return st;
    if (fault != DdrFault::kSound) return KELISI_E_CORRUPT;
    for (uint32_t i = 0; i < IsiDdrCount(sec); ++i, ++n) {
      if (out != nullptr && n < cap) out[n] = DdrOffset(ix, DdrEntry(sec, i));
    }
  }
  *count = n;
  return n > cap ? KELISI_E_BUFFER : KELISI_OK;
}

}  // namespace
}  // namespace kisi

extern "C" KELISI_API int kelisi_deleted(kelisi* ix, uint64_t* out, size_t cap, size_t* count) {
  if (ix == nullptr || count == nullptr) return KELISI_E_ARG;
  *count = 0;
  kisi::CallScope scope(ix);
  if (scope.status() != KELISI_OK) return scope.status();
  return kisi::Deleted(ix, out, cap, count);
}
