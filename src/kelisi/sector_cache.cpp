// sector_cache: the bounded per-handle sector cache (see sector_cache.h).
#include "kelisi/sector_cache.h"

#include <cstring>
#include <new>

#include "isi/byte_order.h"
#include "isi/isi_format.h"

namespace kisi {

namespace {

constexpr uint32_t kLevelOfs = 506;
constexpr uint64_t kInnerRank = uint64_t{1} << 62;

}  // namespace

bool SectorCache::Reset(uint64_t fileSectors, bool swapped) {
  uint32_t want = kWays;
  while (want < kMaxSlots && want < fileSectors) want *= 2;
  fileSectors_ = fileSectors;
  swapped_ = swapped;
  clock_ = 0;
  if (want != slots_) {
    slots_ = 0;
    tag_.reset(new (std::nothrow) uint64_t[want]);
    age_.reset(new (std::nothrow) uint64_t[want]);
    data_.reset(new (std::nothrow) uint8_t[uint64_t{want} * kIsiSector]);
    if (!ahead_) ahead_.reset(new (std::nothrow) uint8_t[kAheadSectors * kIsiSector]);
    if (!tag_ || !age_ || !data_ || !ahead_) return false;
    slots_ = want;
  }
  memset(tag_.get(), 0, slots_ * sizeof(uint64_t));
  return true;
}

int SectorCache::Find(uint64_t sector) const {
  uint32_t base = static_cast<uint32_t>(sector & (slots_ / kWays - 1)) * kWays;
  for (uint32_t w = 0; w < kWays; ++w) {
    if (tag_[base + w] == sector + 1) return static_cast<int>(base + w);
  }
  return -1;
}

// The least recently used slot of the sector's set, leaves before inner
// sectors; an empty slot first of all.
uint32_t SectorCache::Victim(uint64_t sector) const {
  uint32_t base = static_cast<uint32_t>(sector & (slots_ / kWays - 1)) * kWays;
  uint32_t best = base;
  for (uint32_t w = 0; w < kWays; ++w) {
    if (tag_[base + w] == 0) return base + w;
    if (age_[base + w] < age_[best]) best = base + w;
  }
  return best;
}

uint8_t* SectorCache::Install(uint32_t slot, uint64_t sector) {
  tag_[slot] = sector + 1;
  uint8_t* p = data_.get() + uint64_t{slot} * kIsiSector;
  uint16_t level = LoadU16(p + kLevelOfs);
  if (swapped_) level = __builtin_bswap16(level);
  age_[slot] = ++clock_ + (level != 0 ? kInnerRank : 0);
  return p;
}

const uint8_t* SectorCache::ReadOne(Io& io, int fd, uint64_t sector) {
  uint32_t slot = Victim(sector);
  tag_[slot] = 0;
  uint8_t* p = data_.get() + uint64_t{slot} * kIsiSector;
  size_t got = 0;
  if (!IoPread(io, fd, p, kIsiSector, sector * kIsiSector, &got) || got != kIsiSector) {
    return nullptr;
  }
  return Install(slot, sector);
}

// One block read in the direction of the scan; every whole sector of it
// that is not cached yet goes into the cache.
const uint8_t* SectorCache::ReadAhead(Io& io, int fd, uint64_t sector, ReadHint hint) {
  uint64_t first = sector, last = sector;
  if (hint == ReadHint::kForward) {
    last = sector + kAheadSectors - 1;
    if (last >= fileSectors_) last = fileSectors_ > sector ? fileSectors_ - 1 : sector;
  } else {
    first = sector >= kAheadSectors - 1 ? sector - (kAheadSectors - 1) : 0;
  }
  size_t got = 0;
  size_t len = static_cast<size_t>(last - first + 1) * kIsiSector;
  if (!IoPread(io, fd, ahead_.get(), len, first * kIsiSector, &got)) return nullptr;
  if ((sector - first + 1) * kIsiSector > got) return nullptr;
  // The wanted sector goes in last, so that a small cache cannot lose it
  // to its neighbours.
  for (uint64_t s = first; (s - first + 1) * kIsiSector <= got; ++s) {
    if (s != sector && Find(s) < 0) Copy(s, first);
  }
  int at = Find(sector);
  return at >= 0 ? data_.get() + uint64_t(at) * kIsiSector : Copy(sector, first);
}

uint8_t* SectorCache::Copy(uint64_t sector, uint64_t first) {
  uint32_t slot = Victim(sector);
  memcpy(data_.get() + uint64_t{slot} * kIsiSector, ahead_.get() + (sector - first) * kIsiSector,
         kIsiSector);
  return Install(slot, sector);
}

const uint8_t* SectorCache::Get(Io& io, int fd, uint64_t sector, ReadHint hint) {
  if (slots_ == 0) return nullptr;
  int at = Find(sector);
  if (at >= 0) {
    uint8_t* p = data_.get() + uint64_t(at) * kIsiSector;
    age_[at] = (age_[at] & kInnerRank) + ++clock_;
    return p;
  }
  return hint == ReadHint::kRandom ? ReadOne(io, fd, sector) : ReadAhead(io, fd, sector, hint);
}

}  // namespace kisi
