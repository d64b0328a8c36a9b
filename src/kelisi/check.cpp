// check: kelisi_check and kelisi_get_stats. One in-order walk visits every
// key sector once (a bitmap over the file's sectors stops a sector listed
// twice from being walked twice), checks the tree's shape and the order of
// its keys, then follows the deleted-record chain, compares both with the
// header and finds sectors that belong to neither. With the data file it
// also reads every entry's record and every deleted record.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "kelisi/ddr.h"
#include "kelisi/kelisi_internal.h"
#include "kelisi/tree.h"

namespace kisi {

namespace {

constexpr uint32_t kNoSector = 0xFFFFFFFF;
constexpr uint64_t kFrontSectors = kIsiFrontSize / kIsiSector;
constexpr size_t kMaxRecord = 65536;

bool AllZero(const uint8_t* p, size_t n) {
  return n == 0 || (p[0] == 0 && memcmp(p, p + 1, n - 1) == 0);
}

class Checker {
 public:
  Checker(kelisi* ix, unsigned flags, kelisi_report_fn fn, void* ctx, bool stats)
      : ix_(ix), flags_(flags), fn_(fn), ctx_(ctx), stats_(stats) {}
  int Run();
  uint64_t problems() const { return problems_; }
  void FillStats(kelisi_stats* s) const;

 private:
  struct Level {
    alignas(8) uint8_t sec[kIsiSector];
    uint32_t pos;
    uint32_t slot;
    bool childDone;
  };

  bool Seen(uint64_t s) const { return (seen_[s / 64] >> (s % 64)) & 1; }
  void See(uint64_t s) { seen_[s / 64] |= uint64_t{1} << (s % 64); }
  void Report(int kind, uint32_t sector, uint32_t index, bool skips, const char* fmt, ...)
      __attribute__((format(printf, 6, 7)));
  int Prepare();
  int WalkTree();
  void Shape(const Level& f, uint32_t depth);
  int Descend(uint32_t child);
  int Entry(const Level& f, uint32_t i);
  int CheckRecord(const Level& f, uint32_t i, const uint8_t* en);
  int WalkDdr();
  int CheckDeleted(uint32_t sectorPos, uint32_t i, uint32_t pos);
  void CheckCounts();
  void CheckFree();

  kelisi* ix_;
  unsigned flags_;
  kelisi_report_fn fn_;
  void* ctx_;
  bool stats_;  // statistics: stop at the first fault that hides part of the structure
  bool stop_ = false;
  bool damaged_ = false;
  uint64_t problems_ = 0;
  std::unique_ptr<uint64_t[]> seen_;
  std::unique_ptr<Level[]> path_;
  uint32_t depth_ = 0;
  std::unique_ptr<uint8_t[]> rec_;
  uint64_t dataSize_ = 0;
  bool havePrev_ = false;
  uint8_t prevKey_[kMaxKeyBytes];
  uint8_t key_[kMaxKeyBytes];
  uint64_t prevOffset_ = 0;
  uint16_t prevDup_ = 0;
  uint64_t entries_ = 0, keySectors_ = 0, leafSectors_ = 0;
  uint32_t maxDepth_ = 0;
  uint64_t ddrSectors_ = 0, ddrEntries_ = 0;
  char msg_[256];
};

void Checker::Report(int kind, uint32_t sector, uint32_t index, bool skips, const char* fmt, ...) {
  if (stop_) return;
  if (stats_) {
    damaged_ = damaged_ || skips;
    stop_ = damaged_;
    return;
  }
  ++problems_;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg_, sizeof msg_, fmt, ap);
  va_end(ap);
  kelisi_problem p = {kind, sector, index, msg_};
  if (fn_ != nullptr && fn_(ctx_, &p) != 0) stop_ = true;
}

int Checker::Prepare() {
  uint64_t words = (ix_->fileSectors + 63) / 64 + 1;
  seen_.reset(new (std::nothrow) uint64_t[words]());
  path_.reset(new (std::nothrow) Level[kMaxDepth]);
  if (!seen_ || !path_) return KELISI_E_NOMEM;
  // The head deleted-record sector may sit in the front, at sector 3.
  for (uint64_t s = 0; s < kIsiDdrHeadPos / kIsiSector && s < ix_->fileSectors; ++s) See(s);
  if ((flags_ & KELISI_CHECK_RECORDS) == 0 || stats_) return KELISI_OK;
  if (ix_->dataFd < 0) return KELISI_E_NO_DATA;
  if (RecordKey(ix_, nullptr, 0, key_) != KELISI_OK) return KELISI_E_KEYSPEC;
  if (!IoFileSize(ix_->io, ix_->dataFd, &dataSize_)) return KELISI_E_DATA_READ;
  rec_.reset(new (std::nothrow) uint8_t[kMaxRecord]);
  return rec_ ? KELISI_OK : KELISI_E_NOMEM;
}

// The shape of a sector just entered at `depth` (1: the root).
void Checker::Shape(const Level& f, uint32_t depth) {
  ++keySectors_;
  uint32_t n = SecCount(f.sec), withChild = 0;
  for (uint32_t i = 0; i < n; ++i) withChild += EntryChild(EntryAt(ix_, f.sec, i)) != 0;
  bool right = SecRight(f.sec) != 0;
  if ((withChild != 0 && withChild < n) || (n > 0 && withChild == 0 && right)) {
    Report(KELISI_P_LEVEL, f.pos, 0, false, "key sector %u: entries with and without children",
           f.pos);
  }
  if (withChild == 0 && !right) {
    ++leafSectors_;
    if (depth > maxDepth_) maxDepth_ = depth;
    if (SecLevel(f.sec) != 0) {
      Report(KELISI_P_LEVEL, f.pos, 0, false, "leaf sector %u at level %u", f.pos, SecLevel(f.sec));
    }
  }
}

// Enters the child of the bottom frame's current slot, or says why not.
int Checker::Descend(uint32_t child) {
  const Level& p = path_[depth_ - 1];
  bool isRight = p.slot == SecCount(p.sec);
  uint32_t at = isRight ? 0 : p.slot + 1;
  uint64_t s;
  if (!KeySectorNumber(ix_, child, &s)) {
    Report(KELISI_P_SECTOR, p.pos, at, true,
           "key sector %u names child %u: off a sector boundary, in the front or past the end",
           p.pos, child);
    return KELISI_OK;
  }
  if (Seen(s)) {
    Report(KELISI_P_SECTOR, child, 0, true, "sector %u reached a second time (from sector %u)",
           child, p.pos);
    return KELISI_OK;
  }
  See(s);
  if (depth_ >= kMaxDepth) {
    Report(KELISI_P_LEVEL, child, 0, true, "key sector %u more than %u levels deep", child,
           kMaxDepth);
    return KELISI_OK;
  }
  Level& f = path_[depth_];
  int st = LoadKeySector(ix_, child, ReadHint::kForward, f.sec);
  if (st == KELISI_E_READ) return st;
  if (st != KELISI_OK) {
    Report(KELISI_P_COUNT, child, 0, true, "key sector %u: count %u, more than the %u that fit",
           child, SecCount(f.sec), ix_->perSector);
    return KELISI_OK;
  }
  uint32_t pl = SecLevel(p.sec), cl = SecLevel(f.sec);
  if (cl >= pl) {
    Report(KELISI_P_LEVEL, child, 0, true, "key sector %u at level %u, under level %u", child, cl,
           pl);
    return KELISI_OK;
  }
  // The build passes a short level's rightmost child up to the level above
  // it, so only entry children must sit exactly one level down.
  if (!isRight && cl + 1 != pl) {
    Report(KELISI_P_LEVEL, child, 0, false, "key sector %u at level %u, under level %u", child, cl,
           pl);
  }
  f.pos = child;
  f.slot = 0;
  f.childDone = false;
  ++depth_;
  Shape(f, depth_);
  return KELISI_OK;
}

int Checker::Entry(const Level& f, uint32_t i) {
  const uint8_t* en = EntryAt(ix_, f.sec, i);
  ++entries_;
  uint32_t len = ix_->keyLength;
  uint64_t off = EntryOffset(ix_, en);
  uint16_t dup = EntryDup(en);
  int k = havePrev_ ? memcmp(prevKey_, EntryKey(en), len) : -1;
  if (k > 0) {
    Report(KELISI_P_ORDER, f.pos, i + 1, false, "key sector %u entry %u: key below the one before",
           f.pos, i + 1);
  } else if (k == 0 && ix_->hdr.no_duplicates) {
    Report(KELISI_P_ORDER, f.pos, i + 1, false,
           "key sector %u entry %u: duplicate key in an index without duplicates", f.pos, i + 1);
  } else if (k == 0 && (off <= prevOffset_ || dup != static_cast<uint16_t>(prevDup_ + 1))) {
    Report(KELISI_P_ORDER, f.pos, i + 1, false,
           "key sector %u entry %u: equal key out of record order (sequence %u after %u)", f.pos,
           i + 1, dup, prevDup_);
  } else if (k < 0 && dup != 0) {
    Report(KELISI_P_ORDER, f.pos, i + 1, false,
           "key sector %u entry %u: first record of a key with duplicate sequence %u", f.pos, i + 1,
           dup);
  }
  memcpy(prevKey_, EntryKey(en), len);
  prevOffset_ = off;
  prevDup_ = dup;
  havePrev_ = true;
  return rec_ ? CheckRecord(f, i, en) : KELISI_OK;
}

int Checker::CheckRecord(const Level& f, uint32_t i, const uint8_t* en) {
  uint64_t off = EntryOffset(ix_, en);
  uint32_t size = EntryRecSize(en);
  const kelisi_header& h = ix_->hdr;
  if (size == 0 || off > dataSize_ || size > dataSize_ - off) {
    Report(KELISI_P_RECORD, f.pos, i + 1, false,
           "key sector %u entry %u: record at %llu (%u bytes) not inside the data file", f.pos,
           i + 1, static_cast<unsigned long long>(off), size);
    return KELISI_OK;
  }
  int st = ReadData(ix_, off, rec_.get(), size);
  if (st != KELISI_OK) return st;
  const uint8_t* r = rec_.get();
  // A deleted text record starts with 0x00; a deleted binary one is all 0x00.
  bool live = h.binary ? !AllZero(r, size) : r[0] != 0;
  uint32_t el = h.binary ? 0 : h.eor_length;
  const char* what = nullptr;
  if (!live) {
    what = "is a deleted record";
  } else if (size < el || memcmp(r + size - el, h.eor, el) != 0) {
    what = "does not end with its end-of-record bytes";
  } else if (RecordKey(ix_, r, size, key_) != KELISI_OK ||
             memcmp(key_, EntryKey(en), ix_->keyLength) != 0) {
    what = "carries another key";
  }
  if (what != nullptr) {
    Report(KELISI_P_RECORD, f.pos, i + 1, false, "key sector %u entry %u: record at %llu %s", f.pos,
           i + 1, static_cast<unsigned long long>(off), what);
  }
  return KELISI_OK;
}

int Checker::WalkTree() {
  Level& root = path_[0];
  LoadRoot(ix_, root.sec);
  root.pos = ix_->hdr.root_position;
  root.slot = 0;
  root.childDone = false;
  if (SecCount(root.sec) > ix_->perSector) {
    Report(KELISI_P_COUNT, root.pos, 0, true, "root: count %u, more than the %u that fit",
           SecCount(root.sec), ix_->perSector);
    return KELISI_OK;
  }
  if (SecCount(root.sec) == 0 && SecRight(root.sec) != 0) {
    Report(KELISI_P_COUNT, root.pos, 0, false, "root: no entries, but a child");
  }
  depth_ = 1;
  Shape(root, 1);
  while (depth_ > 0 && !stop_) {
    Level& f = path_[depth_ - 1];
    uint32_t n = SecCount(f.sec);
    if (f.slot > n) {
      --depth_;
      continue;
    }
    if (!f.childDone) {
      f.childDone = true;
      uint32_t child = SlotChild(ix_, f.sec, f.slot);
      uint32_t before = depth_;
      int st = child != 0 ? Descend(child) : KELISI_OK;
      if (st != KELISI_OK) return st;
      if (depth_ != before) continue;
    }
    if (f.slot < n) {
      int st = Entry(f, f.slot);
      if (st != KELISI_OK) return st;
    }
    ++f.slot;
    f.childDone = false;
  }
  return KELISI_OK;
}

int Checker::CheckDeleted(uint32_t sectorPos, uint32_t i, uint32_t pos) {
  uint64_t off = DdrOffset(ix_, pos);
  uint32_t len = ix_->recordStride;
  const char* what = nullptr;
  if (len == 0 || len > kMaxRecord || off > dataSize_ || len > dataSize_ - off) {
    what = "not inside the data file";
  } else {
    int st = ReadData(ix_, off, rec_.get(), len);
    if (st != KELISI_OK) return st;
    if (!AllZero(rec_.get(), len)) what = "not zero-filled";
  }
  if (what != nullptr) {
    Report(KELISI_P_DELETED, sectorPos, i + 1, false,
           "deleted-record sector %u entry %u: record at %llu %s", sectorPos, i + 1,
           static_cast<unsigned long long>(off), what);
  }
  return KELISI_OK;
}

int Checker::WalkDdr() {
  alignas(8) uint8_t sec[kIsiSector];
  uint32_t from = kNoSector;
  for (uint32_t pos = ix_->hdr.ddr_head; pos != kIsiNoSector && !stop_; pos = DdrLink(sec)) {
    DdrFault fault;
    uint64_t s;
    int st = LoadDdr(ix_, pos, sec, &fault, &s);
    if (st != KELISI_OK) return st;
    if (fault == DdrFault::kPlace) {
      Report(KELISI_P_DDR, from, 0, true, "deleted-record chain: link %u: %s", pos,
             DdrFaultText(fault));
      return KELISI_OK;
    }
    if (Seen(s)) {
      Report(KELISI_P_DDR, pos, 0, true, "deleted-record sector %u reached a second time", pos);
      return KELISI_OK;
    }
    See(s);
    if (fault != DdrFault::kSound) {
      Report(KELISI_P_DDR, pos, 0, true, "sector %u: %s", pos, DdrFaultText(fault));
      return KELISI_OK;
    }
    ++ddrSectors_;
    ddrEntries_ += DdrCount(sec);
    for (uint32_t i = 0; rec_ && i < DdrCount(sec); ++i) {
      st = CheckDeleted(pos, i, DdrEntry(sec, i));
      if (st != KELISI_OK) return st;
    }
    from = pos;
  }
  return KELISI_OK;
}

void Checker::CheckCounts() {
  const kelisi_header& h = ix_->hdr;
  uint32_t got = static_cast<uint32_t>(entries_);
  // Duplicates dropped by n0 and n$ are counted by the build but not kept.
  if (h.no_duplicates ? got > h.record_count : got != h.record_count) {
    Report(KELISI_P_HEADER, kNoSector, 0, false,
           "the tree holds %llu entries, the header counts %u",
           static_cast<unsigned long long>(entries_), h.record_count);
  }
  if (h.ddr_head != kIsiNoSector && !damaged_ && ddrEntries_ != h.deleted_count) {
    Report(KELISI_P_DDR, h.ddr_head, 0, false,
           "the deleted-record chain lists %llu records, the header counts %u",
           static_cast<unsigned long long>(ddrEntries_), h.deleted_count);
  } else if (h.ddr_head == kIsiNoSector && h.deleted_count != 0 && !h.append_at_end) {
    Report(KELISI_P_DDR, kNoSector, 0, false,
           "the header counts %u deleted records but has no deleted-record chain", h.deleted_count);
  }
}

void Checker::CheckFree() {
  if (flags_ & KELISI_CHECK_ALLOW_FREE) return;
  for (uint64_t s = kFrontSectors; s < ix_->fileSectors && !stop_; ++s) {
    if (Seen(s)) continue;
    uint32_t pos = static_cast<uint32_t>(ix_->recNum ? s : s * kIsiSector);
    Report(KELISI_P_SECTOR, pos, 0, false,
           "sector %u belongs neither to the tree nor to the deleted-record chain", pos);
  }
}

int Checker::Run() {
  int st = Prepare();
  if (st == KELISI_OK) st = WalkTree();
  if (st == KELISI_OK && !stop_) st = WalkDdr();
  if (st != KELISI_OK || stats_) return st != KELISI_OK ? st : damaged_ ? KELISI_E_CORRUPT : 0;
  if (!stop_) CheckCounts();
  if (!stop_) CheckFree();
  return problems_ > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(problems_);
}

void Checker::FillStats(kelisi_stats* s) const {
  s->depth = maxDepth_;
  s->key_sectors = keySectors_;
  s->leaf_sectors = leafSectors_;
  s->entries = entries_;
  s->per_sector = ix_->perSector;
  uint64_t room = keySectors_ * ix_->perSector;
  s->fill = room != 0 ? static_cast<double>(entries_) / static_cast<double>(room) : 0.0;
  s->ddr_sectors = ddrSectors_;
  s->ddr_entries = ddrEntries_;
}

}  // namespace
}  // namespace kisi

extern "C" {

KELISI_API int kelisi_check(kelisi* ix, unsigned flags, kelisi_report_fn report, void* ctx) {
  if (ix == nullptr || (flags & ~unsigned{KELISI_CHECK_RECORDS | KELISI_CHECK_ALLOW_FREE}) != 0) {
    return KELISI_E_ARG;
  }
  kisi::CallScope scope(ix);
  if (scope.status() != KELISI_OK) return scope.status();
  std::unique_ptr<kisi::Checker> c(new (std::nothrow) kisi::Checker(ix, flags, report, ctx, false));
  return c ? c->Run() : KELISI_E_NOMEM;
}

KELISI_API int kelisi_get_stats(kelisi* ix, kelisi_stats* out) {
  if (ix == nullptr || out == nullptr) return KELISI_E_ARG;
  kisi::CallScope scope(ix);
  if (scope.status() != KELISI_OK) return scope.status();
  std::unique_ptr<kisi::Checker> c(new (std::nothrow) kisi::Checker(ix, 0, nullptr, nullptr, true));
  if (!c) return KELISI_E_NOMEM;
  int st = c->Run();
  if (st == KELISI_OK) c->FillStats(out);
  return st;
}

}  // extern "C"
