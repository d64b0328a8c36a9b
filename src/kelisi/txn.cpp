// txn: beginning, committing and abandoning a change, and the change's view
// of both files (its modified sectors and records over what the files
// hold). The commit is the only writer: it gives back the sectors the
// change freed, saves the original bytes of everything it will overwrite in
// the rollback journal, syncs the journal, writes in place, syncs both
// files, invalidates the journal and moves the spin counter on. The
// journal file stays, invalidated, for the handle's next change: four
// flushes a change, and no name created, removed or synced. A change over
// several indexes of one data file (txn_set) commits them all, and the data
// file, through one journal beside the data file.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/byte_order.h"
#include "core/isi_xlat.h"
#include "core/journal.h"
#include "core/lock_protocol.h"
#include "kelisi/scan.h"
#include "kelisi/txn_internal.h"

kelisi_txn::kelisi_txn() = default;
kelisi_txn::~kelisi_txn() = default;

namespace kisi {

int TxnSpoil(kelisi_txn* t, int status) {
  if (t->spoiled == KELISI_OK) t->spoiled = status;
  // A set fails as a whole.
  if (t->lead->spoiled == KELISI_OK) t->lead->spoiled = status;
  return status;
}

int TxnKeySector(const kelisi_txn* t, uint32_t pos, uint64_t* sector) {
  return IsiKeySectorAt(t->tree.geo, pos, sector) == kIsiSound ? KELISI_OK : KELISI_E_CORRUPT;
}

int TxnRead(kelisi_txn* t, uint64_t sector, PageKind kind, uint8_t* out) {
  auto it = t->pages.find(sector);
  if (it != t->pages.end()) {
    memcpy(out, it->second->data, kIsiSector);
    return KELISI_OK;
  }
  if (sector >= t->origSectors) return KELISI_E_CORRUPT;
  kelisi* ix = t->ix;
  uint8_t* sound;
  const uint8_t* raw = ix->cache.Get(ix->io, ix->isiFd, sector, ReadHint::kRandom, &sound);
  if (raw == nullptr) return KELISI_E_READ;
  memcpy(out, raw, kIsiSector);
  if (ix->swapped) {
    if (kind == PageKind::kDdr) {
      IsiXlatDdrSector(out);
    } else {
      IsiXlatKeySector(out, ix->entrySize);
    }
  }
  return KELISI_OK;
}

uint8_t* TxnWrite(kelisi_txn* t, uint64_t sector, PageKind kind) {
  auto it = t->pages.find(sector);
  if (it != t->pages.end()) {
    it->second->kind = kind;
    return it->second->data;
  }
  std::unique_ptr<Page> p(new (std::nothrow) Page);
  if (!p) return TxnSpoil(t, KELISI_E_NOMEM), nullptr;
  int st = TxnRead(t, sector, kind, p->data);
  if (st != KELISI_OK) return TxnSpoil(t, st), nullptr;
  p->kind = kind;
  uint8_t* data = p->data;
  t->pages.emplace(sector, std::move(p));
  t->changed = true;
  return data;
}

uint64_t TxnNewSector(kelisi_txn* t, PageKind kind) {
  uint64_t s;
  if (!t->freeSectors.empty()) {
    s = *t->freeSectors.begin();
    t->freeSectors.erase(t->freeSectors.begin());
  } else {
    s = t->sectors++;
    t->tree.geo.fileSectors = t->sectors;
  }
  std::unique_ptr<Page> p(new (std::nothrow) Page);
  if (!p) return TxnSpoil(t, KELISI_E_NOMEM), 0;
  memset(p->data, 0, kIsiSector);
  p->kind = kind;
  t->pages[s] = std::move(p);
  t->changed = true;
  return s;
}

void TxnFreeSector(kelisi_txn* t, uint64_t sector) {
  t->freeSectors.insert(sector);
  auto it = t->pages.find(sector);
  if (it == t->pages.end()) {
    std::unique_ptr<Page> p(new (std::nothrow) Page);
    if (!p) return (void)TxnSpoil(t, KELISI_E_NOMEM);
    it = t->pages.emplace(sector, std::move(p)).first;
  }
  memset(it->second->data, 0, kIsiSector);
  it->second->kind = PageKind::kZero;
}

int TxnReadData(kelisi_txn* txn, uint64_t offset, uint8_t* buf, size_t len, size_t* got) {
  TxnData* t = txn->d;
  kelisi* ix = txn->lead->ix;
  *got = 0;
  if (offset >= t->dataSize) return KELISI_OK;
  len = static_cast<size_t>(std::min<uint64_t>(len, t->dataSize - offset));
  if (offset < t->origDataSize) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(len, t->origDataSize - offset));
    size_t n = 0;
    if (!IoPread(ix->io, ix->dataFd, buf, want, offset, &n) || n != want) {
      return KELISI_E_DATA_READ;
    }
    // The change's own records over it: the one that starts before
    // `offset` may reach into it.
    auto it = t->data.upper_bound(offset);
    if (it != t->data.begin()) --it;
    for (; it != t->data.end() && it->first < offset + want; ++it) {
      uint64_t from = std::max(offset, it->first);
      uint64_t to = std::min<uint64_t>(offset + want, it->first + it->second.size());
      if (from < to)
        memcpy(buf + (from - offset), it->second.data() + (from - it->first), to - from);
    }
  }
  uint64_t from = std::max(offset, t->origDataSize);
  if (from < offset + len) {
    memcpy(buf + (from - offset), t->tail.data() + (from - t->origDataSize), offset + len - from);
  }
  *got = len;
  return KELISI_OK;
}

void TxnPutData(kelisi_txn* txn, uint64_t offset, const uint8_t* bytes, size_t len) {
  TxnData* t = txn->d;
  // Every index's file gets the header's new data length.
  for (kelisi_txn* part : txn->lead->parts) part->changed = true;
  // A record written to the end of the data (the last one deleted) ends it.
  if (offset + len >= t->dataSize) t->endIncomplete = false;
  if (offset < t->origDataSize) {
    size_t inside = static_cast<size_t>(std::min<uint64_t>(len, t->origDataSize - offset));
    t->data[offset].assign(bytes, bytes + inside);
    t->dataSize = std::max<uint64_t>(t->dataSize, offset + inside);
    if (inside == len) return;
    offset += inside;
    bytes += inside;
    len -= inside;
  }
  // Appended, or the place of a record the change appended itself.
  uint64_t at = offset - t->origDataSize;
  if (at + len > t->tail.size()) t->tail.resize(at + len);
  memcpy(t->tail.data() + at, bytes, len);
  t->dataSize = std::max<uint64_t>(t->dataSize, offset + len);
}

uint64_t TxnAppendOffset(kelisi_txn* t) {
  if (t->d->endIncomplete) {
    const kelisi_header& h = t->ix->hdr;
    TxnPutData(t, t->d->dataSize, h.eor, h.eor_length);
  }
  return t->d->dataSize;
}

namespace {

// Where the data file's records end, read from its last bytes: before a
// 0x1A that ends a text file (the build reads no further), and whether a
// last record follows the last end-of-record mark without a mark of its
// own (a last line without its line end). Zeros behind the mark are
// deleted records or skipped bytes, as the build skips them; a record
// that begins with another byte runs to the end, zeros and all.
int MeasureDataEnd(kelisi_txn* txn, uint64_t size) {
  TxnData* t = txn->d;
  kelisi* ix = txn->ix;
  const kelisi_header& h = ix->hdr;
  t->origDataSize = t->dataSize = size;
  uint32_t mark = h.binary ? 0 : h.eor_length;
  if (mark == 0 || size == 0 || ix->def.binaryData) return KELISI_OK;
  // A record is at most 65,535 bytes with its mark; most data files end
  // with a mark in their last kilobyte.
  std::vector<uint8_t> tail;
  size_t n = 0, end = 0;  // end: behind the last mark (0: none in the window)
  for (uint64_t want : {uint64_t{1024}, uint64_t{65536}}) {
    tail.resize(static_cast<size_t>(std::min<uint64_t>(size, want)));
    size_t got = 0;
    if (!IoPread(ix->io, ix->dataFd, tail.data(), tail.size(), size - tail.size(), &got) ||
        got != tail.size()) {
      return KELISI_E_DATA_READ;
    }
    n = tail.size();
    if (tail[n - 1] == kEofMark) --n;
    for (size_t i = n; i >= mark && end == 0; --i) {
      if (memcmp(&tail[i - mark], h.eor, mark) == 0) end = i;
    }
    if (end != 0 || tail.size() == size) break;
  }
  t->dataSize = size - (tail.size() - n);
  while (end < n && tail[end] == 0) ++end;
  t->endIncomplete = end < n;
  return KELISI_OK;
}

// Gives back the sectors the change freed: the last sector of the file
// moves into a free one, or is cut off when it is free itself, so that the
// file keeps no sector outside the tree and the chain.
int ReleaseFreeSectors(kelisi_txn* t) {
  while (!t->freeSectors.empty()) {
    uint64_t last = t->sectors - 1;
    if (t->freeSectors.count(last) == 0) {
      uint64_t hole = *t->freeSectors.begin();
      int st = TreeMoveSector(t, last, hole);
      if (st != KELISI_OK) return TxnSpoil(t, st);
      t->freeSectors.erase(hole);
    } else {
      t->freeSectors.erase(last);
    }
    t->pages.erase(last);
    t->sectors = last;
    t->tree.geo.fileSectors = last;
  }
  return KELISI_OK;
}

// The header as the commit writes it: the counts, the chain, the data
// length and the next spin value (counting up, so that a reader that
// missed several changes still sees another value).
void FinishHeader(kelisi_txn* t) {
  uint8_t* h = t->header;
  StoreU16(h + kHdrRecordLengthOfs, static_cast<uint16_t>(t->recordLength));
  uint64_t len = t->d->dataSize;
  if (t->ix->recNum && t->ix->recordStride != 0) len /= t->ix->recordStride;
  StoreU32(h + kHdrDataLengthOfs, static_cast<uint32_t>(len));
  StoreU32(h + kHdrDdrHeadOfs, t->ddrHead);
  StoreU32(h + kHdrRecordCountOfs, t->recordCount);
  StoreU32(h + kHdrDeletedCountOfs, t->deletedCount);
  StoreU32(h + kHdrSpinOfs, IsiNextSpin(LoadU32(h + kHdrSpinOfs), false));
}

// The journal's number of each file of a set: the lead's index 0 and the
// data file 1, as a change of one index has always numbered them, then
// the other indexes.
uint16_t JournalFileOf(size_t part) {
  return static_cast<uint16_t>(part == 0 ? size_t{kJournalIndex} : part + 1);
}

struct Writer {
  kelisi_txn* lead = nullptr;
  Journal* j = nullptr;
  std::vector<uint8_t> buf;

  // The sectors to write, in file order, in the file's byte order.
  static void FileOrder(const kelisi_txn* t, const Page& p, uint8_t* out) {
    memcpy(out, p.data, kIsiSector);
    if (!t->ix->swapped) return;
    if (p.kind == PageKind::kDdr) IsiXlatDdrSector(out);
    if (p.kind == PageKind::kKey) IsiXlatKeySector(out, t->ix->entrySize);
  }

  int SaveSector(const kelisi_txn* t, uint16_t file, uint64_t s, uint8_t* orig) {
    size_t got = 0;
    kelisi* ix = t->ix;
    if (!IoPread(ix->io, ix->isiFd, orig, kIsiSector, s * kIsiSector, &got) || got != kIsiSector) {
      return KELISI_E_READ;
    }
    return JournalSave(j, file, s * kIsiSector, orig, kIsiSector) != 0 ? KELISI_E_JOURNAL_WRITE
                                                                       : KELISI_OK;
  }

  // The header, every modified sector and every sector cut off.
  int SaveIndex(const kelisi_txn* t, uint16_t file) {
    kelisi* ix = t->ix;
    uint8_t orig[kIsiHeaderSize];
    size_t got = 0;
    if (!IoPread(ix->io, ix->isiFd, orig, kIsiHeaderSize, 0, &got) || got != kIsiHeaderSize) {
      return KELISI_E_READ;
    }
    if (JournalSave(j, file, 0, orig, kIsiHeaderSize) != 0) return KELISI_E_JOURNAL_WRITE;
    for (const auto& [s, p] : t->pages) {
      if (s >= t->origSectors) continue;
      if (int st = SaveSector(t, file, s, orig); st != KELISI_OK) return st;
    }
    for (uint64_t s = t->sectors; s < t->origSectors; ++s) {
      if (int st = SaveSector(t, file, s, orig); st != KELISI_OK) return st;
    }
    return KELISI_OK;
  }

  int SaveOriginals() {
    for (size_t k = 0; k < lead->parts.size(); ++k) {
      if (!lead->parts[k]->changed) continue;
      if (int st = SaveIndex(lead->parts[k], JournalFileOf(k)); st != KELISI_OK) return st;
    }
    kelisi* ix = lead->ix;
    const TxnData* d = lead->d;
    std::vector<uint8_t> rec;
    size_t got = 0;
    for (const auto& [off, bytes] : d->data) {
      if (off >= d->origDataSize) continue;
      size_t len = static_cast<size_t>(std::min<uint64_t>(bytes.size(), d->origDataSize - off));
      rec.resize(len);
      if (!IoPread(ix->io, ix->dataFd, rec.data(), len, off, &got) || got != len) {
        return KELISI_E_DATA_READ;
      }
      if (JournalSave(j, kJournalData, off, rec.data(), static_cast<uint32_t>(len)) != 0) {
        return KELISI_E_JOURNAL_WRITE;
      }
    }
    return KELISI_OK;
  }

  // Writes runs of consecutive sectors in one call each.
  int WriteIndex(kelisi_txn* t) {
    kelisi* ix = t->ix;
    std::vector<uint64_t> order;
    order.reserve(t->pages.size());
    for (const auto& kv : t->pages) order.push_back(kv.first);
    std::sort(order.begin(), order.end());
    uint8_t hdr[kIsiHeaderSize];
    memcpy(hdr, t->header, kIsiHeaderSize);
    if (ix->swapped) IsiXlatHeader(hdr);
    if (IoPwrite(ix->io, ix->isiFd, hdr, kIsiHeaderSize, 0) != 0) return KELISI_E_WRITE;
    for (size_t i = 0; i < order.size();) {
      size_t n = 1;
      while (i + n < order.size() && order[i + n] == order[i] + n) ++n;
      buf.resize(n * kIsiSector);
      for (size_t k = 0; k < n; ++k) {
        FileOrder(t, *t->pages[order[i + k]], buf.data() + k * kIsiSector);
      }
      if (IoPwrite(ix->io, ix->isiFd, buf.data(), buf.size(), order[i] * kIsiSector) != 0) {
        return KELISI_E_WRITE;
      }
      i += n;
    }
    if (t->sectors < t->origSectors &&
        IoTruncate(ix->io, ix->isiFd, t->sectors * kIsiSector) != 0) {
      return KELISI_E_WRITE;
    }
    return KELISI_OK;
  }

  int WriteData() {
    kelisi* ix = lead->ix;
    const TxnData* d = lead->d;
    for (const auto& [off, bytes] : d->data) {
      if (IoPwrite(ix->io, ix->dataFd, bytes.data(), bytes.size(), off) != 0) return KELISI_E_WRITE;
    }
    // The appended records in one write.
    if (!d->tail.empty() &&
        IoPwrite(ix->io, ix->dataFd, d->tail.data(), d->tail.size(), d->origDataSize) != 0) {
      return KELISI_E_WRITE;
    }
    return KELISI_OK;
  }

  // A file whose length the change kept needs its contents synced alone.
  static int SyncFile(Io& io, int fd, bool resized) {
    return resized ? IoSync(io, fd) : IoSyncData(io, fd);
  }

  // The journal of the change: a change of one index keeps it beside the
  // index, in the handle between changes; a set's lies beside the data
  // file, where an opener of any of its indexes looks, and is made for
  // the change.
  // Where the handle keeps the journal of this kind of change.
  Journal** Slot() const {
    return lead->parts.size() == 1 ? &lead->ix->journal : &lead->ix->setJournal;
  }

  int OpenJournal() {
    kelisi* ix = lead->ix;
    Journal** slot = Slot();
    if (lead->parts.size() == 1) {
      return *slot != nullptr ? JournalRestart(*slot)
                              : JournalBegin(ix->io.env, ix->isiPath.c_str(), ix->isiFd,
                                             ix->dataPath.c_str(), ix->dataFd, slot);
    }
    // The journal the handle's last set kept, when this set is that one;
    // another is removed (the change holds the exclusive ISI lock).
    std::string key = SetKey();
    if (*slot != nullptr && key == ix->setJournalKey) return JournalRestart(*slot);
    if (*slot != nullptr) JournalClose(*slot, true);
    *slot = nullptr;
    std::vector<JournalFileSpec> files(lead->parts.size() + 1);
    files[kJournalData] = {lead->setDataPath.c_str(), ix->dataFd};
    for (size_t k = 0; k < lead->parts.size(); ++k) {
      kelisi* p = lead->parts[k]->ix;
      files[JournalFileOf(k)] = {p->isiPath.c_str(), p->isiFd};
    }
    ix->setJournalKey = key;
    return JournalBeginSet(ix->io.env, lead->setJournalPath.c_str(), files.data(),
                           static_cast<uint32_t>(files.size()), slot);
  }

  // What a kept journal of a set must cover to serve this one.
  std::string SetKey() const {
    std::string key = lead->setJournalPath;
    for (const kelisi_txn* t : lead->parts) {
      FileId id;
      FileIdOf(t->ix->io, t->ix->isiFd, &id);
      key += "\n" + std::to_string(t->ix->isiFd) + ":" + std::to_string(id.dev) + ":" +
             std::to_string(id.ino);
    }
    return key + "\n" + std::to_string(lead->ix->dataFd);
  }

  int Run() {
    kelisi* ix = lead->ix;
    Journal** slot = Slot();
    int r = OpenJournal();
    if (r != 0) {
      // The file, if any, holds no change: it stays for the next change.
      if (*slot != nullptr) JournalClose(*slot, false);
      *slot = nullptr;
      return r == -ENOMEM ? KELISI_E_NOMEM : KELISI_E_JOURNAL_WRITE;
    }
    j = *slot;
    *slot = nullptr;
    int st = SaveOriginals();
    if (st == KELISI_OK && JournalSync(j) != 0) st = KELISI_E_JOURNAL_WRITE;
    if (st != KELISI_OK) {
      JournalDiscard(j);
      return st;
    }
    st = WriteData();
    for (kelisi_txn* t : lead->parts) {
      if (st == KELISI_OK && t->changed) st = WriteIndex(t);
    }
    // Every file goes to the disk together: the first sync then finds the
    // other files' blocks on their way, and often their metadata in the
    // same commit of the file system's own journal.
    if (st == KELISI_OK) {
      for (kelisi_txn* t : lead->parts) {
        if (t->changed) IoStartWriteback(t->ix->io, t->ix->isiFd);
      }
      IoStartWriteback(ix->io, ix->dataFd);
    }
    const TxnData* d = lead->d;
    if (st == KELISI_OK && SyncFile(ix->io, ix->dataFd, d->dataSize != d->origDataSize) != 0) {
      st = KELISI_E_WRITE;
    }
    for (kelisi_txn* t : lead->parts) {
      if (st == KELISI_OK && t->changed &&
          SyncFile(t->ix->io, t->ix->isiFd, t->sectors != t->origSectors) != 0) {
        st = KELISI_E_WRITE;
      }
    }
    if (st != KELISI_OK) {
      JournalRollback(j);
      return st;
    }
    // Every file is durable, but until the journal is invalidated the
    // next opener rolls the change back: the commit has not happened yet.
    if (JournalInvalidate(j) != 0) return KELISI_E_WRITE;
    *slot = j;
    return KELISI_OK;
  }
};

void End(kelisi_txn* t) {
  kelisi* ix = t->ix;
  IsiUnlockIndex(IndexLockCalls(ix));
  for (kelisi_txn* part : t->parts) part->ix->txn = nullptr;
  delete t;
}

// What a change needs of one index, read under the exclusive ISI lock.
int BeginPart(kelisi* ix, kelisi_txn* t) {
  int st = LoadFront(ix);
  if (st == KELISI_OK && !ix->keyLayoutOk) st = KELISI_E_KEYSPEC;
  if (st == KELISI_OK) st = ix->defStatus;
  if (st == KELISI_OK && ix->fileSize % kIsiSector != 0) st = KELISI_E_CORRUPT;
  if (st != KELISI_OK) return st;
  t->ix = ix;
  memcpy(t->header, ix->front, kIsiHeaderSize);
  const kelisi_header& h = ix->hdr;
  t->recordCount = h.record_count;
  t->deletedCount = h.deleted_count;
  t->ddrHead = h.ddr_head;
  t->recordLength = h.record_length;
  t->origSectors = t->sectors = ix->fileSectors;
  t->variable = h.variable_length || h.space_compression;
  t->keepsList = IsiKeepsDeletedList(h.format_flags);
  t->firstOfKey = KeepsFirstOfKey(ix->def);
  t->unique = RefusesDuplicates(ix->def);
  t->tree = ix->tree;
  // The root is a page of the change from the start: every insert may
  // reach it, and the tree's root pointer must see the change's copy.
  uint8_t* root = TxnWrite(t, kIsiRootPos / kIsiSector, PageKind::kKey);
  t->changed = false;
  if (root == nullptr) return KELISI_E_NOMEM;
  memcpy(root, ix->front + kIsiRootPos, kIsiSector);
  if (IsiKeySectorFaults(t->tree.geo, root) != 0) return KELISI_E_CORRUPT;
  t->tree.root = root;
  t->tree.rootSound = 0;
  t->tree.source = {
      [](void* ctx, uint64_t sector, IsiReadHint, uint8_t* out, uint8_t** sound) -> const uint8_t* {
        *sound = nullptr;
        auto* txn = static_cast<kelisi_txn*>(ctx);
        return TxnRead(txn, sector, PageKind::kKey, out) == KELISI_OK ? out : nullptr;
      },
      t};
  t->tree.inPlace = false;  // the change's pages move as it writes
  t->tree.visit = nullptr;
  return KELISI_OK;
}

// The handles of a set: each opened for update, none twice (nor two
// handles of one index), none with a change open, all over one data file.
int CheckSet(kelisi* const* ixs, size_t n) {
  FileId data{};
  std::vector<FileId> seen;
  for (size_t k = 0; k < n; ++k) {
    kelisi* ix = ixs[k];
    if (ix == nullptr) return KELISI_E_ARG;
    if ((ix->flags & KELISI_WRITE) == 0 || ix->dataFd < 0) return KELISI_E_READONLY;
    if (ix->txn != nullptr) return KELISI_E_BUSY;
    FileId isi, dat;
    if (!FileIdOf(ix->io, ix->isiFd, &isi)) return KELISI_E_READ;
    if (!FileIdOf(ix->io, ix->dataFd, &dat)) return KELISI_E_DATA_READ;
    if (std::find(seen.begin(), seen.end(), isi) != seen.end()) return KELISI_E_ARG;
    seen.push_back(isi);
    if (k == 0) data = dat;
    if (!(dat == data)) return KELISI_E_DATA_OTHER;
  }
  return KELISI_OK;
}

int Begin(kelisi* const* ixs, size_t n, kelisi_txn** out) {
  int st = CheckSet(ixs, n);
  if (st != KELISI_OK) return st;
  kelisi* ix = ixs[0];
  std::string dataPath, journalPath;
  if (n > 1) {
    st = SetJournalPath(ixs, n, &dataPath, &journalPath);
    if (st != KELISI_OK) return st;
  }
  // The ISI lock lies on the data file: taken once, through the lead's
  // descriptor, it covers every index of the file. The other handles'
  // calls take no lock of their own while the change is open (a lock of
  // theirs on another descriptor would wait for this one).
  if (IsiLockIndex(IndexLockCalls(ix), true, ix->lockWaitMs) != kIsiLockHeld) return KELISI_E_LOCK;
  // A change another program left when it crashed since these handles
  // were opened: rolled back before this one reads the files (BeginPart
  // reads the front again and empties the cache), and before the journal
  // file it lies in is written over.
  for (size_t k = 0; k < n; ++k) {
    if (JournalRecover(ixs[k]->io.env, ixs[k]->isiPath.c_str(), ixs[k]->isiFd, ixs[k]->dataFd) <
            0 ||
        RecoverDataJournal(ixs[k]) < 0) {
      IsiUnlockIndex(IndexLockCalls(ix));
      return KELISI_E_JOURNAL;
    }
  }
  auto* t = new (std::nothrow) kelisi_txn;
  if (t == nullptr) {
    IsiUnlockIndex(IndexLockCalls(ix));
    return KELISI_E_NOMEM;
  }
  t->lead = t;
  t->ix = ix;
  t->setDataPath = std::move(dataPath);
  t->setJournalPath = std::move(journalPath);
  t->parts.push_back(t);
  for (size_t k = 1; k < n && st == KELISI_OK; ++k) {
    std::unique_ptr<kelisi_txn> part(new (std::nothrow) kelisi_txn);
    if (!part) {
      st = KELISI_E_NOMEM;
      break;
    }
    part->lead = t;
    part->d = &t->ownData;
    t->parts.push_back(part.get());
    t->others.push_back(std::move(part));
  }
  uint64_t dataSize = 0;
  for (size_t k = 0; k < t->parts.size() && st == KELISI_OK; ++k) {
    st = BeginPart(ixs[k], t->parts[k]);
  }
  if (st == KELISI_OK && !IoFileSize(ix->io, ix->dataFd, &dataSize)) st = KELISI_E_DATA_READ;
  if (st == KELISI_OK && MeasureDataEnd(t, dataSize) != KELISI_OK) st = KELISI_E_DATA_READ;
  if (st != KELISI_OK) {
    delete t;
    IsiUnlockIndex(IndexLockCalls(ix));
    return st;
  }
  for (kelisi_txn* part : t->parts) part->ix->txn = part;
  *out = t;
  return KELISI_OK;
}

int Commit(kelisi_txn* t) {
  int st = t->spoiled;
  bool changed = false;
  for (kelisi_txn* part : t->parts) {
    if (st == KELISI_OK && part->changed) st = ReleaseFreeSectors(part);
    changed = changed || part->changed;
  }
  if (st == KELISI_OK && changed) {
    for (kelisi_txn* part : t->parts) {
      if (part->changed) FinishHeader(part);
    }
    Writer w;
    w.lead = t;
    st = w.Run();
  }
  // The handles read what was written (or what is there after a rollback).
  int reload = KELISI_OK;
  for (kelisi_txn* part : t->parts) {
    part->ix->stale = true;
    int r = LoadFront(part->ix);
    if (reload == KELISI_OK) reload = r;
  }
  End(t);
  return st != KELISI_OK ? st : reload;
}

}  // namespace

void TxnCloseJournal(kelisi* ix) {
  if (ix->journal == nullptr && ix->setJournal == nullptr) return;
  // Removed only under the exclusive ISI lock: another program may be
  // writing a change into the same file.
  bool locked = IsiLockIndex(IndexLockCalls(ix), true, 0) == kIsiLockHeld;
  for (Journal** kept : {&ix->journal, &ix->setJournal}) {
    if (*kept != nullptr) JournalClose(*kept, locked);
    *kept = nullptr;
  }
  ix->setJournalKey.clear();
  if (locked) IsiUnlockIndex(IndexLockCalls(ix));
}

}  // namespace kisi

extern "C" {

KELISI_API int kelisi_txn_begin(kelisi* ix, kelisi_txn** out) {
  return kelisi_txn_begin_set(&ix, 1, out);
}

KELISI_API int kelisi_txn_begin_set(kelisi* const* ixs, size_t n, kelisi_txn** out) {
  if (out == nullptr) return KELISI_E_ARG;
  *out = nullptr;
  if (ixs == nullptr || n == 0 || n > kisi::kMostSetIndexes) return KELISI_E_ARG;
  return kisi::Begin(ixs, n, out);
}

KELISI_API int kelisi_set_lock_wait(kelisi* ix, int milliseconds) {
  if (ix == nullptr) return KELISI_E_ARG;
  ix->lockWaitMs = milliseconds;
  return KELISI_OK;
}

KELISI_API int kelisi_txn_commit(kelisi_txn* t) {
  if (t == nullptr) return KELISI_E_ARG;
  return kisi::Commit(t->lead);
}

KELISI_API int kelisi_txn_abort(kelisi_txn* t) {
  if (t == nullptr) return KELISI_OK;
  kisi::End(t->lead);
  return KELISI_OK;
}

}  // extern "C"
