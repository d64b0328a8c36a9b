// check: kelisi_check and kelisi_get_stats. The walk is the cursors' own
// (core/tree_cursor), in key order, with a visitor that sees every key
// sector it enters and a bitmap over the file's sectors that stops a sector
// met twice: damage, which stops the cursors, stops the walk and is a
// problem; a shape the build never makes but every reader handles is a
// note. The walk also checks the duplicate sequences, then the check
// follows the deleted-record chain, compares both with the header and finds
// sectors that belong to neither. With the data file it also proves the
// entries against the data (data_check.h), the walk feeding the index side,
// and reads every deleted record (and, when asked, every entry's record).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <set>
#include <utility>

#include "core/sector_check.h"
#include "kelisi/data_check.h"
#include "kelisi/ddr.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

namespace {

constexpr size_t kMaxRecord = 65536;
constexpr uint32_t kCounts = kIsiKeyTrailerOfs / kIsiMinEntrySize + 1;

// The shapes a note names, counted with the first sector concerned.
enum Shape { kShapeLevelGap, kShapeNoChild, kShapeEmpty, kShapeUnderfull, kShapes };
struct Tally {
  uint64_t sectors = 0;
  uint32_t first = kIsiNoSector;
  uint64_t firstSeen = UINT64_MAX;  // when the first was met, among all sectors
  void Add(uint32_t pos, uint64_t seen) {
    if (sectors++ == 0 || seen < firstSeen) first = pos, firstSeen = seen;
  }
};

class Checker {
 public:
  Checker(kelisi* ix, unsigned flags, kelisi_report_fn fn, void* ctx, bool stats,
          kelisi_check_counts* counts)
      : ix_(ix),
        g_(ix->tree.geo),
        flags_(flags),
        fn_(fn),
        ctx_(ctx),
        stats_(stats),
        counts_(counts) {}
  int Run();
  void FillStats(kelisi_stats* s) const;

 private:
  bool Seen(uint64_t s) const { return (seen_[s / 64] >> (s % 64)) & 1; }
  void See(uint64_t s) { seen_[s / 64] |= uint64_t{1} << (s % 64); }
  void Report(int kind, uint32_t sector, uint32_t index, bool damage, const char* fmt, ...)
      __attribute__((format(printf, 6, 7)));
  void Pass(int kind, uint32_t sector, uint32_t index, uint64_t offset, const char* message);
  int PrepareProof();
  void PastEnd(uint32_t pos, uint64_t sector, uint32_t from, bool ddr);
  int Prepare();
  int WalkTree();
  static bool Visit(void* ctx, const IsiCursor* c, uint64_t sector);
  void ReportDamage(const IsiCursor& c);
  int Entry(const IsiFrame& f);
  int CheckRecord(const IsiFrame& f, const uint8_t* en);
  int WalkDdr();
  int CheckDeleted(uint32_t sectorPos, uint32_t i, uint32_t pos);
  void CheckCounts();
  void CheckFree();
  void ReportNotes();

  kelisi* ix_;
  const IsiGeometry& g_;
  unsigned flags_;
  kelisi_report_fn fn_;
  void* ctx_;
  bool stats_;  // statistics: stop at the first damage
  kelisi_check_counts* counts_;
  bool stop_ = false;
  bool treeWalked_ = false;                        // the walk met every entry
  std::unique_ptr<DataProof> proof_;               // with the data file and a usable definition
  bool eachRecord_ = false;                        // every entry's record is read on its own
  std::set<std::pair<uint32_t, uint32_t>> named_;  // entries the record check reported
  uint64_t notes_ = 0;
  kelisi_check_counts scratchCounts_{};
  bool damaged_ = false;
  uint64_t problems_ = 0;
  std::unique_ptr<uint64_t[]> seen_;
  std::unique_ptr<IsiCursor> walk_;
  bool rightEdge_[kIsiMaxFrames];   // by depth: reached through rightmost slots only
  std::unique_ptr<uint8_t[]> rec_;  // with the data file: one record
  bool deletedToo_ = false;         // with the data file: the deleted records
  uint64_t dataSize_ = 0;
  bool havePrev_ = false;
  uint8_t prevKey_[kMaxKeyBytes];
  uint8_t key_[kMaxKeyBytes];
  uint16_t prevDup_ = 0;
  uint64_t entries_ = 0, keySectors_ = 0, leafSectors_ = 0;
  uint32_t maxDepth_ = 0;
  uint64_t ddrSectors_ = 0, ddrEntries_ = 0;
  // The end of the furthest sector referred to past the end of the file.
  uint64_t truncatedEnd_ = 0;
  uint32_t truncatedPos_ = 0;
  Tally shape_[kShapes];
  Tally byCount_[kCounts];  // sectors off the right edge with entries, by count
  uint32_t maxCount_ = 0;
  char msg_[256];
};

void Checker::Report(int kind, uint32_t sector, uint32_t index, bool damage, const char* fmt, ...) {
  if (stop_) return;
  damaged_ = damaged_ || damage;
  if (stats_) {
    stop_ = damaged_;
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg_, sizeof msg_, fmt, ap);
  va_end(ap);
  if (kind == KELISI_P_RECORD) named_.insert({sector, index});
  Pass(kind, sector, index, UINT64_MAX, msg_);
}

// Counts a problem (or a note) and hands it on.
void Checker::Pass(int kind, uint32_t sector, uint32_t index, uint64_t offset,
                   const char* message) {
  if (stop_) return;
  ++(KELISI_IS_NOTE(kind) ? notes_ : problems_);
  kelisi_problem p = {kind, sector, index, message, offset};
  if (fn_ != nullptr && fn_(ctx_, &p) != 0) stop_ = true;
}

// A position past the end of the file. A truncated file shows as many at
// once; it is one problem, reported when the walks are done. A position
// past any end the index could have had (a sector for every record and
// deleted record the header counts, beyond those the file holds) is no
// cut: the position itself is impossible.
void Checker::PastEnd(uint32_t pos, uint64_t sector, uint32_t from, bool ddr) {
  const kelisi_header& h = ix_->hdr;
  if (sector > ix_->fileSectors + uint64_t{h.record_count} + h.deleted_count + 1) {
    if (ddr) {
      Report(KELISI_P_DDR, from, 0, true,
             "deleted-record chain: link %u: the position is impossible (the file ends at byte "
             "%llu)",
             pos, static_cast<unsigned long long>(ix_->fileSize));
    } else {
      Report(KELISI_P_SECTOR, from, 0, true,
             "key sector %u named by key sector %u: the position is impossible (the file ends "
             "at byte %llu)",
             pos, from, static_cast<unsigned long long>(ix_->fileSize));
    }
    return;
  }
  damaged_ = true;
  if (stats_) stop_ = true;
  uint64_t end = (sector + 1) * kIsiSector;
  if (end > truncatedEnd_) truncatedEnd_ = end, truncatedPos_ = pos;
}

int Checker::Prepare() {
  uint64_t words = (ix_->fileSectors + 63) / 64 + 1;
  seen_.reset(new (std::nothrow) uint64_t[words]());
  walk_.reset(new (std::nothrow) IsiCursor());
  if (!seen_ || !walk_) return KELISI_E_NOMEM;
  // The head deleted-record sector may sit in the front, at sector 3.
  for (uint64_t s = 0; s < kIsiDdrHeadPos / kIsiSector && s < ix_->fileSectors; ++s) See(s);
  bool records = (flags_ & KELISI_CHECK_RECORDS) != 0;
  deletedToo_ = (flags_ & (KELISI_CHECK_RECORDS | KELISI_CHECK_DELETED)) != 0;
  if (!deletedToo_ || stats_) {
    deletedToo_ = false;
    return KELISI_OK;
  }
  if (ix_->dataFd < 0) return KELISI_E_NO_DATA;
  eachRecord_ =
      records && ((flags_ & KELISI_CHECK_EACH_RECORD) != 0 || ix_->defStatus != KELISI_OK);
  if (eachRecord_ && RecordKey(ix_, nullptr, 0, key_) != KELISI_OK) return KELISI_E_KEYSPEC;
  if (!IoFileSize(ix_->io, ix_->dataFd, &dataSize_)) return KELISI_E_DATA_READ;
  rec_.reset(new (std::nothrow) uint8_t[kMaxRecord]);
  if (!rec_) return KELISI_E_NOMEM;
  return records ? PrepareProof() : KELISI_OK;
}

// The proof of the entries against the data, when the stored command line
// says what a build would index.
int Checker::PrepareProof() {
  if (ix_->defStatus != KELISI_OK) {
    if (counts_ != nullptr) {
      snprintf(counts_->note, sizeof counts_->note,
               "the command line stored in the index cannot be used (%s): each entry's record was "
               "checked, but records without an entry were not looked for",
               ix_->defWhy);
    }
    return KELISI_OK;
  }
  ProofSink sink;
  sink.report = [this](int kind, uint32_t sector, uint32_t index, uint64_t offset,
                       const std::string& message) {
    Pass(kind, sector, index, offset, message.c_str());
  };
  sink.stopped = [this] { return stop_; };
  sink.named = [this](uint32_t sector, uint32_t index) {
    return named_.count({sector, index}) != 0;
  };
  proof_.reset(new (std::nothrow) DataProof(ix_, std::move(sink)));
  if (!proof_) return KELISI_E_NOMEM;
  bool compare = false;
  int st = proof_->Prepare(ix_->hdr.record_count, &compare);
  if (st != KELISI_OK || !compare) proof_.reset();
  return st;
}

// A key sector the walk has entered: once only, and its shape.
bool Checker::Visit(void* ctx, const IsiCursor* c, uint64_t sector) {
  Checker* self = static_cast<Checker*>(ctx);
  uint32_t depth = c->depth;
  const IsiFrame& f = c->path[depth - 1];
  bool edge = true;
  if (depth > 1) {
    if (self->Seen(sector)) return false;
    self->See(sector);
    const IsiFrame& p = c->path[depth - 2];
    edge = self->rightEdge_[depth - 2] && p.idx == IsiCount(p.sec);
    // The build hangs a short lower level under the rightmost slot of the
    // sectors along the tree's right edge, and nowhere else.
    if (IsiLevel(f.sec) + 1 < IsiLevel(p.sec) && !edge) {
      self->shape_[kShapeLevelGap].Add(f.pos, self->keySectors_);
    }
  }
  self->rightEdge_[depth - 1] = edge;
  uint64_t seen = self->keySectors_++;
  uint32_t n = IsiCount(f.sec);
  bool inner = IsiHasChildren(self->g_, f.sec);
  if (inner) {
    for (uint32_t slot = 0; slot <= n; ++slot) {
      if (IsiSlotChild(self->g_, f.sec, slot) != 0 || (slot == n && edge)) continue;
      self->shape_[kShapeNoChild].Add(f.pos, seen);
      break;
    }
  } else {
    ++self->leafSectors_;
    if (depth > self->maxDepth_) self->maxDepth_ = depth;
  }
  if (n > self->maxCount_) self->maxCount_ = n;
  if (depth == 1 || edge) return true;
  if (n == 0 && !inner) {
    self->shape_[kShapeEmpty].Add(f.pos, seen);
  } else {
    self->byCount_[n].Add(f.pos, seen);
  }
  return true;
}

// The damage that stopped the walk, in the words of the check: each text
// takes the sector concerned and the one above it.
void Checker::ReportDamage(const IsiCursor& c) {
  static const struct {
    int kind;
    const char* text;
  } kDamage[] = {
      {0, ""},  // sound
      {KELISI_P_COUNT, "key sector %u: a count larger than a sector holds"},
      {KELISI_P_SECTOR, "key sector %u named by key sector %u: off a boundary or in the front"},
      {KELISI_P_TRUNCATED, ""},  // reported once, with the chain's
      {KELISI_P_SECTOR, "sector %u reached a second time (from sector %u)"},
      {KELISI_P_SECTOR, "key sector %u names one child twice"},
      {KELISI_P_LEVEL, "key sector %u is not below key sector %u above it"},
      {KELISI_P_LEVEL, "leaf sector %u above level 0"},
      {KELISI_P_ORDER, "key sector %u: keys stepping backwards"},
      {KELISI_P_LEVEL, "key sector %u more than 48 levels below the root"},
  };
  static_assert(sizeof kDamage / sizeof kDamage[0] == kIsiDamageDepth + 1);
  if (c.damage == kIsiDamagePastEnd) {
    uint64_t s;
    IsiKeySectorAt(g_, c.damagePos, &s);
    PastEnd(c.damagePos, s, c.damageFrom, false);
  } else if (c.damage != kIsiSound) {
    Report(kDamage[c.damage].kind, c.damagePos, 0, true, kDamage[c.damage].text, c.damagePos,
           c.damageFrom);
  }
}

int Checker::WalkTree() {
  IsiTree tree = ix_->tree;
  tree.visit = Visit;
  tree.visitCtx = this;
  walk_->tree = &tree;
  int st = IsiFirst(walk_.get());
  for (; st == kIsiCursorOk && !stop_; st = IsiNext(walk_.get())) {
    int r = Entry(IsiCurrentFrame(walk_.get()));
    if (r != KELISI_OK) return r;
  }
  if (st == kIsiCursorRead) return KELISI_E_READ;
  if (st == kIsiCursorDamaged) ReportDamage(*walk_);
  treeWalked_ = st == kIsiCursorEnd;
  return KELISI_OK;
}

// An entry in key order: the cursor has seen to the order of the keys;
// equal keys follow their duplicate sequence, which counts up in the order
// they arrived (by record position in a build; a change in place adds
// after them and may remove any, so a key may start above 0 and skip
// values). Counting up is taken modulo 65536, as the sequence wraps.
int Checker::Entry(const IsiFrame& f) {
  const uint8_t* en = IsiEntry(g_, f.sec, f.idx);
  uint32_t i = f.idx;
  ++entries_;
  uint32_t len = g_.keyLength;
  uint16_t dup = IsiEntryDup(en);
  int k = havePrev_ ? memcmp(prevKey_, IsiEntryKey(en), len) : -1;
  uint16_t step = static_cast<uint16_t>(dup - prevDup_);
  if (k == 0 && ix_->hdr.no_duplicates) {
    Report(KELISI_P_ORDER, f.pos, i + 1, false,
           "key sector %u entry %u: duplicate key in an index without duplicates", f.pos, i + 1);
  } else if (k == 0 && (step == 0 || step >= 0x8000)) {
    Report(KELISI_P_ORDER, f.pos, i + 1, false,
           "key sector %u entry %u: equal key out of sequence (sequence %u after %u)", f.pos, i + 1,
           dup, prevDup_);
  }
  memcpy(prevKey_, IsiEntryKey(en), len);
  prevDup_ = dup;
  havePrev_ = true;
  if (proof_) proof_->AddEntry(IsiEntryOffset(g_, en), IsiEntryRecSize(en), IsiEntryKey(en));
  return eachRecord_ ? CheckRecord(f, en) : KELISI_OK;
}

int Checker::CheckRecord(const IsiFrame& f, const uint8_t* en) {
  uint32_t i = f.idx;
  uint64_t off = IsiEntryOffset(g_, en);
  uint32_t size = IsiEntryRecSize(en);
  const kelisi_header& h = ix_->hdr;
  // The file's last record may be held without its end-of-record bytes.
  size_t held = 0;
  int st = ReadRecordBytes(ix_, off, size, rec_.get(), &held);
  if (st == KELISI_NOTFOUND) {
    Report(KELISI_P_RECORD, f.pos, i + 1, false,
           "key sector %u entry %u: record at %llu (%u bytes) not inside the data file", f.pos,
           i + 1, static_cast<unsigned long long>(off), size);
    return KELISI_OK;
  }
  if (st != KELISI_OK) return st;
  const uint8_t* r = rec_.get();
  uint32_t span = std::min(IsiDeletedRecordSpan(h.format_flags, ix_->recordStride),
                           static_cast<uint32_t>(held));
  uint32_t el = h.binary ? 0 : h.eor_length;
  const char* what = nullptr;
  if (IsiIsDeletedRecord(r, span)) {
    what = "is a deleted record";
  } else if (held == size && (size < el || memcmp(r + size - el, h.eor, el) != 0)) {
    what = "does not end with its end-of-record bytes";
  } else if (RecordKey(ix_, r, held, key_) != KELISI_OK ||
             memcmp(key_, IsiEntryKey(en), g_.keyLength) != 0) {
    what = "carries another key";
  }
  if (what != nullptr) {
    Report(KELISI_P_RECORD, f.pos, i + 1, false, "key sector %u entry %u: record at %llu %s", f.pos,
           i + 1, static_cast<unsigned long long>(off), what);
  }
  return KELISI_OK;
}

int Checker::CheckDeleted(uint32_t sectorPos, uint32_t i, uint32_t pos) {
  uint64_t off = DdrOffset(ix_, pos);
  uint32_t len = IsiDeletedRecordSpan(ix_->hdr.format_flags, ix_->recordStride);
  const char* what = nullptr;
  if (len > kMaxRecord || off > dataSize_ || len > dataSize_ - off) {
    what = "not inside the data file";
  } else {
    int st = ReadData(ix_, off, rec_.get(), len);
    if (st != KELISI_OK) return st;
    if (!IsiIsDeletedRecord(rec_.get(), len)) what = "not zero-filled";
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
  uint32_t from = kIsiNoSector;
  for (uint32_t pos = ix_->hdr.ddr_head; pos != kIsiNoSector && !stop_; pos = IsiDdrLink(sec)) {
    DdrFault fault;
    uint64_t s;
    int st = LoadDdr(ix_, pos, sec, &fault, &s);
    if (st != KELISI_OK) return st;
    if (fault == DdrFault::kPastEnd) {
      PastEnd(pos, s, from, true);
      return KELISI_OK;
    }
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
    ddrEntries_ += IsiDdrCount(sec);
    for (uint32_t i = 0; deletedToo_ && i < IsiDdrCount(sec); ++i) {
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
  bool firstOnly = ix_->defStatus == KELISI_OK ? KeepsFirstOfKey(ix_->def) : h.no_duplicates != 0;
  if (firstOnly ? got > h.record_count : got != h.record_count) {
    Report(KELISI_P_HEADER, kIsiNoSector, 0, false,
           "the tree holds %llu entries, the header counts %u",
           static_cast<unsigned long long>(entries_), h.record_count);
  }
  if (h.ddr_head != kIsiNoSector && ddrEntries_ != h.deleted_count) {
    Report(KELISI_P_DDR, h.ddr_head, 0, false,
           "the deleted-record chain lists %llu records, the header counts %u",
           static_cast<unsigned long long>(ddrEntries_), h.deleted_count);
  } else if (h.ddr_head == kIsiNoSector && h.deleted_count != 0 && !h.append_at_end) {
    Report(KELISI_P_DDR, kIsiNoSector, 0, false,
           "the header counts %u deleted records but has no deleted-record chain", h.deleted_count);
  }
}

void Checker::CheckFree() {
  if (flags_ & KELISI_CHECK_ALLOW_FREE) return;
  for (uint64_t s = kIsiFrontSectors; s < ix_->fileSectors && !stop_; ++s) {
    if (Seen(s)) continue;
    uint32_t pos = IsiPositionOf(g_, s);
    Report(KELISI_P_FREE, pos, 0, false,
           "sector %u belongs neither to the tree nor to the deleted-record chain", pos);
  }
}

void Checker::ReportNotes() {
  // Under-full: fewer than half the entries of the fullest sector.
  for (uint32_t n = 0; 2 * n < maxCount_; ++n) {
    const Tally& t = byCount_[n];
    if (t.sectors == 0) continue;
    Tally& u = shape_[kShapeUnderfull];
    uint64_t before = u.sectors;
    u.Add(t.first, t.firstSeen);
    u.sectors = before + t.sectors;
  }
  static const struct {
    int kind;
    const char* what;
  } kNotes[kShapes] = {
      {KELISI_N_LEVEL_GAP, "children more than one level below their parents"},
      {KELISI_N_NO_CHILD, "inner sectors with a child slot left empty"},
      {KELISI_N_EMPTY, "sectors without entries or children"},
      {KELISI_N_UNDERFULL, "sectors with fewer than half the entries of the fullest one"},
  };
  for (int i = 0; i < kShapes && !stop_; ++i) {
    const Tally& t = shape_[i];
    if (t.sectors == 0) continue;
    snprintf(msg_, sizeof msg_, "note: %s: %llu key sector%s (the first: key sector %u)",
             kNotes[i].what, static_cast<unsigned long long>(t.sectors), t.sectors == 1 ? "" : "s",
             t.first);
    Pass(kNotes[i].kind, t.first, 0, UINT64_MAX, msg_);
  }
}

int Checker::Run() {
  int st = Prepare();
  if (st == KELISI_OK) st = WalkTree();
  if (st == KELISI_OK && !stop_) st = WalkDdr();
  if (st != KELISI_OK || stats_) return st != KELISI_OK ? st : damaged_ ? KELISI_E_CORRUPT : 0;
  if (truncatedEnd_ != 0) {
    // Sectors the lost part of the file held are missing from every count,
    // and those it left are reached from nowhere: the truncation says it all.
    Report(KELISI_P_TRUNCATED, truncatedPos_, 0, true,
           "the file is truncated: it ends at byte %llu, but the index refers to sector %u, "
           "which ends at byte %llu",
           static_cast<unsigned long long>(ix_->fileSize), truncatedPos_,
           static_cast<unsigned long long>(truncatedEnd_));
  } else if (!damaged_) {
    // After damage the walks stopped early: the counts would not add up,
    // sectors would be left over, and the shapes seen are only a part.
    if (!stop_) CheckCounts();
    if (!stop_) CheckFree();
    if (!stop_) ReportNotes();
  }
  if (proof_ && !stop_) {
    if (treeWalked_) {
      st = proof_->Finish(counts_ != nullptr ? counts_ : &scratchCounts_);
      if (st != KELISI_OK) return st;
    } else if (counts_ != nullptr) {
      snprintf(counts_->note, sizeof counts_->note, "%s",
               "the data was not compared: the tree cannot be walked");
    }
  }
  if (counts_ != nullptr) {
    counts_->problems = problems_;
    counts_->notes = notes_;
    counts_->entries = entries_;
    counts_->rebuildable = ix_->defStatus == KELISI_OK;
  }
  return problems_ > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(problems_);
}

void Checker::FillStats(kelisi_stats* s) const {
  s->depth = maxDepth_;
  s->key_sectors = keySectors_;
  s->leaf_sectors = leafSectors_;
  s->entries = entries_;
  s->per_sector = g_.perSector;
  uint64_t room = keySectors_ * g_.perSector;
  s->fill = room != 0 ? static_cast<double>(entries_) / static_cast<double>(room) : 0.0;
  s->ddr_sectors = ddrSectors_;
  s->ddr_entries = ddrEntries_;
}

}  // namespace
}  // namespace kisi

extern "C" {

KELISI_API int kelisi_check_with_counts(kelisi* ix, unsigned flags, kelisi_report_fn report,
                                        void* ctx, kelisi_check_counts* out) {
  constexpr unsigned kKnown = KELISI_CHECK_RECORDS | KELISI_CHECK_ALLOW_FREE |
                              KELISI_CHECK_DELETED | KELISI_CHECK_EACH_RECORD;
  if (out != nullptr) memset(out, 0, sizeof *out);
  if (ix == nullptr || (flags & ~kKnown) != 0) return KELISI_E_ARG;
  kisi::CallScope scope(ix);
  if (scope.status() != KELISI_OK) return scope.status();
  std::unique_ptr<kisi::Checker> c(new (std::nothrow)
                                       kisi::Checker(ix, flags, report, ctx, false, out));
  return c ? c->Run() : KELISI_E_NOMEM;
}

KELISI_API int kelisi_check(kelisi* ix, unsigned flags, kelisi_report_fn report, void* ctx) {
  return kelisi_check_with_counts(ix, flags, report, ctx, nullptr);
}

KELISI_API int kelisi_get_stats(kelisi* ix, kelisi_stats* out) {
  if (ix == nullptr || out == nullptr) return KELISI_E_ARG;
  kisi::CallScope scope(ix);
  if (scope.status() != KELISI_OK) return scope.status();
  std::unique_ptr<kisi::Checker> c(new (std::nothrow)
                                       kisi::Checker(ix, 0, nullptr, nullptr, true, nullptr));
  if (!c) return KELISI_E_NOMEM;
  int st = c->Run();
  if (st == KELISI_OK) c->FillStats(out);
  return st;
}

}  // extern "C"
