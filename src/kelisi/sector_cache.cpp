// sector_cache: the bounded per-handle sector cache (see sector_cache.h).
#include "kelisi/sector_cache.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/byte_order.h"
#include "core/isi_format.h"

namespace kisi {

namespace {

constexpr uint64_t kInnerRank = uint64_t{1} << 62;

}  // namespace

uint32_t SectorCache::DefaultSlots(uint64_t fileSectors) {
  uint32_t slots = kWholeSlots;
  while (slots < kShareSlots && uint64_t{slots} * 8 * 2 <= fileSectors) slots *= 2;
  return slots;
}

void SectorCache::ReleaseData() {
  if (data_ != nullptr) env_->unmapMemory(env_, data_, dataLen_);
  data_ = nullptr;
  dataLen_ = 0;
}

bool SectorCache::Reset(Io& io, uint64_t fileSectors, bool swapped, uint32_t limit) {
  uint32_t want = kWays;
  while (want < limit && want < fileSectors) want *= 2;
  bool whole = want >= fileSectors;
  fileSectors_ = fileSectors;
  swapped_ = swapped;
  winCount_ = 0;
  clock_ = 0;
  if (want != slots_ || whole != whole_) {
    slots_ = 0;
    whole_ = whole;
    set_.reset(whole ? nullptr : new (std::nothrow) Set[want / kWays]);
    present_.reset(whole ? new (std::nothrow) uint64_t[want / 64 + 1] : nullptr);
    ReleaseData();
    env_ = io.env;
    data_ = static_cast<uint8_t*>(env_->mapMemory(env_, uint64_t{want} * kIsiSector));
    if (data_ != nullptr) dataLen_ = uint64_t{want} * kIsiSector;
    checked_.reset(new (std::nothrow) uint8_t[want]);
    if (!ahead_) ahead_.reset(new (std::nothrow) uint8_t[kAheadSectors * kIsiSector]);
    if (!(whole ? !!present_ : !!set_) || !data_ || !checked_ || !ahead_) return false;
    slots_ = want;
  }
  if (whole_) {
    std::fill_n(present_.get(), slots_ / 64 + 1, uint64_t{0});
  } else {
    for (uint32_t i = 0; i < slots_; ++i) At(i) = {0, 0};
  }
  return true;
}

int SectorCache::Find(uint64_t sector) const {
  uint32_t base = static_cast<uint32_t>(sector & (slots_ / kWays - 1)) * kWays;
  for (uint32_t w = 0; w < kWays; ++w) {
    if (At(base + w).tag == sector + 1) return static_cast<int>(base + w);
  }
  return -1;
}

// The least recently used slot of the sector's set, leaves before inner
// sectors; an empty slot first of all.
uint32_t SectorCache::Victim(uint64_t sector) const {
  uint32_t base = static_cast<uint32_t>(sector & (slots_ / kWays - 1)) * kWays;
  uint32_t best = base;
  for (uint32_t w = 0; w < kWays; ++w) {
    if (At(base + w).tag == 0) return base + w;
    if (At(base + w).age < At(best).age) best = base + w;
  }
  return best;
}

uint8_t* SectorCache::Install(uint32_t slot, uint64_t sector) {
  At(slot).tag = sector + 1;
  checked_[slot] = 0;
  uint8_t* p = SlotData(slot);
  uint16_t level = LoadU16(p + kKeyLevelOfs);
  if (swapped_) level = __builtin_bswap16(level);
  At(slot).age = ++clock_ + (level != 0 ? kInnerRank : 0);
  return p;
}

const uint8_t* SectorCache::ReadOne(Io& io, int fd, uint64_t sector) {
  uint32_t slot = Victim(sector);
  At(slot).tag = 0;
  uint8_t* p = SlotData(slot);
  size_t got = 0;
  if (!IoPread(io, fd, p, kIsiSector, sector * kIsiSector, &got) || got != kIsiSector) {
    return nullptr;
  }
  return Install(slot, sector);
}

// The block of kAheadSectors around `sector` in the direction of the scan.
void SectorCache::AheadRange(uint64_t sector, ReadHint hint, uint64_t* first,
                             uint64_t* last) const {
  *first = *last = sector;
  if (hint == ReadHint::kForward) {
    *last = sector + kAheadSectors - 1;
    if (*last >= fileSectors_) *last = fileSectors_ > sector ? fileSectors_ - 1 : sector;
  } else {
    *first = sector >= kAheadSectors - 1 ? sector - (kAheadSectors - 1) : 0;
  }
}

const uint8_t* SectorCache::FromWindow(Io& io, int fd, uint64_t sector, ReadHint hint) {
  if (sector - winFirst_ >= winCount_) {
    uint64_t first, last;
    AheadRange(sector, hint, &first, &last);
    size_t got = 0;
    winCount_ = 0;
    size_t len = static_cast<size_t>(last - first + 1) * kIsiSector;
    if (!IoPread(io, fd, ahead_.get(), len, first * kIsiSector, &got)) return nullptr;
    winFirst_ = first;
    winCount_ = got / kIsiSector;
    if (sector - winFirst_ >= winCount_) return nullptr;
  }
  return ahead_.get() + (sector - winFirst_) * kIsiSector;
}

// Reads the sectors first..last of the file into their slots, leaving every
// sector already there as it is (a reader may be looking at it): those go
// to the read-ahead block instead. False when nothing could be read.
bool SectorCache::ReadIntoWhole(Io& io, int fd, uint64_t first, uint64_t last) {
  struct iovec iov[kAheadSectors];
  int n = 0;
  for (uint64_t s = first; s <= last; ++s, ++n) {
    uint8_t* to = Present(s) ? ahead_.get() + n * kIsiSector : SlotData(static_cast<uint32_t>(s));
    iov[n] = {to, kIsiSector};
  }
  size_t got = 0;
  if (!IoPreadv(io, fd, iov, n, first * kIsiSector, &got)) return false;
  for (uint64_t s = first; (s - first + 1) * kIsiSector <= got; ++s) {
    if (Present(s)) continue;
    present_[s / 64] |= uint64_t{1} << (s % 64);
    checked_[s] = 0;
  }
  return true;
}

const uint8_t* SectorCache::GetWhole(Io& io, int fd, uint64_t sector, ReadHint hint,
                                     uint8_t** checked) {
  if (sector >= fileSectors_) return nullptr;
  uint8_t* p = SlotData(static_cast<uint32_t>(sector));
  // Asking for all of the sector's lines at once lets a search that reads
  // it in place wait for memory once, not once a step.
  for (uint32_t i = 0; i < kIsiSector; i += 64) __builtin_prefetch(p + i);
  if (!Present(sector)) {
    uint64_t first = sector, last = sector;
    if (hint != ReadHint::kRandom) AheadRange(sector, hint, &first, &last);
    if (!ReadIntoWhole(io, fd, first, last) || !Present(sector)) return nullptr;
  }
  *checked = &checked_[sector];
  return p;
}

const uint8_t* SectorCache::Get(Io& io, int fd, uint64_t sector, ReadHint hint, uint8_t** checked) {
  *checked = nullptr;
  if (slots_ == 0) return nullptr;
  if (whole_) return GetWhole(io, fd, sector, hint, checked);
  int at = Find(sector);
  if (at < 0) {
    // A cache that holds a part of the file: a scan goes through the
    // read-ahead block alone, a lookup's sector comes into the cache.
    if (hint != ReadHint::kRandom) return FromWindow(io, fd, sector, hint);
    if (ReadOne(io, fd, sector) == nullptr) return nullptr;
    at = Find(sector);
  }
  At(at).age = (At(at).age & kInnerRank) + ++clock_;
  *checked = &checked_[at];
  return SlotData(at);
}

}  // namespace kisi
