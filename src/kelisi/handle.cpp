// handle: opening and closing an index, reading and checking its front
// (header and root, one 2048-byte read), the decoded header, and the key
// sectors of its tree from the cache.
#include <fcntl.h>

#include <cstring>
#include <new>

#include "core/byte_order.h"
#include "core/isi_xlat.h"
#include "core/sector_check.h"
#include "kelisi/kelisi_internal.h"
#include "kelisi/recover.h"

namespace kisi {

namespace {

constexpr unsigned kKnownFlags =
    KELISI_SHARED | KELISI_HEADER_DATA | KELISI_WRITE | KELISI_DATA_ANYWAY;
static_assert(KELISI_NO_SECTOR == kIsiNoSector);

void DecodeEor(uint8_t fmt, kelisi_header* h) {
  const char* mark = IsiEorBytes(fmt);
  h->eor[0] = static_cast<unsigned char>(mark[0]);
  h->eor[1] = static_cast<unsigned char>(mark[1]);
  h->eor_length = IsiEorLength(fmt);
}

void DecodeSpecs(const IsiHeader& raw, kelisi_header* h) {
  h->key_spec_count = 0;
  for (int i = 0; i < kMaxKeySpecs && raw.keySpecs[i].length != 0; ++i) {
    kelisi_keyspec& k = h->key_specs[h->key_spec_count++];
    k.first_column = raw.keySpecs[i].first + 1u;
    // first + length wraps to the last column in both directions: a
    // reversed range 10-1 is kept as (9, 65528).
    k.last_column = (raw.keySpecs[i].first + raw.keySpecs[i].length) & 0xFFFFu;
  }
}

void DecodeTests(const IsiHeader& raw, kelisi_header* h) {
  h->test_count = 0;
  for (int i = 0; i < kMaxPrimaryTests && raw.primaryTests[i].column != 0; ++i) {
    kelisi_test& t = h->tests[h->test_count++];
    t.column = raw.primaryTests[i].column;
    t.op = (raw.primaryTests[i].ops & kSelOpEqual) ? '=' : '#';
    t.ch = raw.primaryTests[i].matchChar;
  }
  h->extended_selection = raw.primaryTests[kMaxPrimaryTests - 1].matchChar == kSelExtendedMark;
}

void DecodeHeader(const uint8_t* front, bool swapped, uint64_t size, kelisi_header* h) {
  IsiHeader raw;
  memcpy(&raw, front, sizeof raw);
  memset(h, 0, sizeof *h);
  uint8_t fmt = raw.formatFlags, mode = raw.modeFlags;
  h->record_length = raw.recordLength;
  DecodeEor(fmt, h);
  h->key_length = raw.keyLength;
  h->entry_size = IsiEntrySize(raw.keyLength);
  h->record_numbers = (mode & kModeRecNum) != 0;
  h->other_byte_order = swapped;
  h->upper_case = (fmt & kFmtUpper) != 0;
  h->no_duplicates = (fmt & kFmtNoDups) != 0;
  h->variable_length = (fmt & kFmtVarLen) != 0;
  h->space_compression = (fmt & kFmtSpaceComp) != 0;
  h->append_at_end = (fmt & kFmtAppend) != 0;
  h->binary = (fmt & kFmtBinary) != 0;
  h->os_type = (mode & kModeOsType1) ? 1 : (mode & kModeOsType2) ? 2 : 0;
  h->format_flags = fmt;
  h->mode_flags = mode;
  DecodeSpecs(raw, h);
  DecodeTests(raw, h);
  h->data_length = raw.dataLength;
  h->record_count = raw.recordCount;
  h->deleted_count = raw.deletedCount;
  h->spin = raw.spin;
  h->root_position = raw.rootPos;
  h->ddr_head = raw.ddrHead;
  h->file_size = size;
  memcpy(h->data_name, raw.dataName, sizeof raw.dataName);
  memcpy(h->command_line, raw.cmdLine, sizeof raw.cmdLine);
  h->command_line[sizeof h->command_line - 1] = '\0';
}

// A build writes the front as zero bytes first and the header last, and
// holds no lock a reader could wait on: a file whose header bytes are all
// zero, or that is empty, is an index being built or whose build did not
// finish.
bool HeaderUnwritten(const uint8_t* front, size_t got) {
  size_t n = got < kIsiHeaderSize ? got : kIsiHeaderSize;
  for (size_t i = 0; i < n; ++i) {
    if (front[i] != 0) return false;
  }
  return true;
}

// The front as read, brought to native order and checked.
int ReadFront(kelisi* ix, uint8_t* front, uint64_t* size, bool* swapped) {
  if (!IoFileStamp(ix->io, ix->isiFd, size, &ix->fileChanged)) return KELISI_E_READ;
  size_t got = 0;
  if (!IoPread(ix->io, ix->isiFd, front, kIsiFrontSize, 0, &got)) return KELISI_E_READ;
  if (HeaderUnwritten(front, got)) return KELISI_E_BUILDING;
  if (*size < kIsiFrontSize || got < kIsiFrontSize) return KELISI_E_NOT_ISI;
  IsiHeaderFault fault;
  switch (IsiPrepareFront(front, swapped, &fault)) {
    case kIsiFrontSound:
      return KELISI_OK;
    case kIsiFrontBadHeader:
      return KELISI_E_HEADER;
    default:
      return KELISI_E_NOT_ISI;
  }
}

int OpenData(kelisi* ix, const char* path) {
  ix->dataFd = (ix->flags & KELISI_WRITE) ? IoOpenWrite(ix->io, path) : IoOpen(ix->io, path);
  if (ix->dataFd >= 0 && (ix->flags & KELISI_WRITE)) ix->dataPath = path;
  if (ix->dataFd >= 0) ix->dataName = path;
  return ix->dataFd;
}

// Opens the data file the header names, the first of HeaderDataPaths that
// opens; *path gets its name.
int OpenHeaderData(kelisi* ix, const char* isiPath, std::string* path) {
  for (const std::string& p : HeaderDataPaths(ix->hdr.data_name, isiPath)) {
    if (OpenData(ix, p.c_str()) >= 0) {
      *path = p;
      return KELISI_OK;
    }
  }
  return KELISI_E_DATA_OPEN;
}

int OpenFiles(kelisi* ix, const char* isi, const char* data) {
  // The index is opened first: the header names the data file, beside
  // which the journal of a change over several indexes lies. The
  // descriptor reads the file as the rollback leaves it.
  bool write = (ix->flags & KELISI_WRITE) != 0;
  ix->isiFd = write ? IoOpenWrite(ix->io, isi) : IoOpen(ix->io, isi);
  if (ix->isiFd < 0) return KELISI_E_OPEN;
  int recovered = RecoverInterruptedChange(ix->io, isi, nullptr, data, nullptr, ix->isiFd);
  if (recovered != KELISI_OK) return recovered;
  if (write) ix->isiPath = isi;
  int st = LoadFront(ix);
  if (st != KELISI_OK) return st;
  std::string dataPath = data != nullptr ? data : "";
  if (data != nullptr) {
    if (OpenData(ix, data) < 0) return KELISI_E_DATA_OPEN;
  } else if (ix->flags & (KELISI_HEADER_DATA | KELISI_SHARED | KELISI_WRITE)) {
    st = OpenHeaderData(ix, isi, &dataPath);
    if (st != KELISI_OK) return st;
  }
  // A change through another file than the index describes would write
  // records the index cannot find, and entries for records that are not
  // there.
  if (write && !(ix->flags & KELISI_DATA_ANYWAY)) {
    st = CheckDataFile(ix, isi, ix->dataFd, dataPath.c_str());
    if (st != KELISI_OK) return st;
  }
  if ((ix->flags & (KELISI_SHARED | KELISI_WRITE)) == 0) return KELISI_OK;
  st = LockDataFile(ix);
  // The front was read before the locks were held: read it again under them.
  ix->stale = true;
  if (st == KELISI_OK) st = CallScope(ix).status();
  return st;
}

}  // namespace

// The size kelisi_set_cache_size gave, or else one taken from the index as
// it is now (a file that grows gets a larger cache when its front is read
// again). Cursors read the sectors of a whole cache in place when the
// index is in native order; a cursor follows such a path only while the
// handle's generation stays (a reset comes with a new generation).
bool ResetCache(kelisi* ix) {
  uint32_t limit = ix->cacheLimit;
  if (limit == 0) limit = SectorCache::DefaultSlots(ix->fileSectors);
  bool ok = ix->cache.Reset(ix->io, ix->fileSectors, ix->swapped, limit);
  ix->tree.inPlace = ok && ix->cache.Whole() && !ix->swapped;
  return ok;
}

const uint8_t* LoadCachedKeySector(void* ctx, uint64_t sector, IsiReadHint hint, uint8_t* out,
                                   uint8_t** sound) {
  auto* ix = static_cast<kelisi*>(ctx);
  const uint8_t* raw = ix->cache.Get(ix->io, ix->isiFd, sector, hint, sound);
  if (raw == nullptr || ix->tree.inPlace) return raw;
  memcpy(out, raw, kIsiSector);
  if (ix->swapped) IsiXlatKeySector(out, ix->entrySize);
  return out;
}

int LoadFront(kelisi* ix) {
  alignas(8) uint8_t front[kIsiFrontSize];
  uint64_t size = 0;
  bool swapped = false;
  int st = ReadFront(ix, front, &size, &swapped);
  if (st != KELISI_OK) return st;
  memcpy(ix->front, front, kIsiFrontSize);
  ix->swapped = swapped;
  ix->fileSize = size;
  ix->fileSectors = size / kIsiSector;
  DecodeHeader(front, swapped, size, &ix->hdr);
  ReadDefinition(ix);
  ix->recNum = ix->hdr.record_numbers;
  ix->keyLength = ix->hdr.key_length;
  ix->entrySize = ix->hdr.entry_size;
  ix->perSector = IsiEntriesPerSector(ix->entrySize);
  ix->recordStride = ix->hdr.record_length + ix->hdr.eor_length;
  ix->tree.geo = IsiGeometryOf(ix->front, size);
  ix->tree.root = ix->front + kIsiRootPos;
  ix->tree.rootPos = ix->hdr.root_position;
  ix->tree.rootSound = 0;
  ix->tree.source = {LoadCachedKeySector, ix};
  ++ix->generation;
  ix->stale = false;
  return ResetCache(ix) ? KELISI_OK : KELISI_E_NOMEM;
}

int OpenHandle(const char* isi, const char* data, unsigned flags, const kel::Env* env,
               kelisi** out) {
  if (out == nullptr) return KELISI_E_ARG;
  *out = nullptr;
  if (isi == nullptr || env == nullptr || (flags & ~kKnownFlags) != 0) return KELISI_E_ARG;
  kelisi* ix = new (std::nothrow) kelisi;
  if (ix == nullptr) return KELISI_E_NOMEM;
  ix->io.env = env;
  ix->flags = flags;
  int st = OpenFiles(ix, isi, data);
  if (st != KELISI_OK) {
    kelisi_close(ix);
    return st;
  }
  *out = ix;
  return KELISI_OK;
}

}  // namespace kisi

extern "C" {

KELISI_API int kelisi_open(const char* isi_path, const char* data_path, unsigned flags,
                           kelisi** out) {
  return kisi::OpenHandle(isi_path, data_path, flags, kel::PosixEnv(), out);
}

KELISI_API int kelisi_close(kelisi* ix) {
  if (ix == nullptr) return KELISI_OK;
  if (ix->openCursors != 0) return KELISI_E_ARG;
  kelisi_txn_abort(ix->txn);
  kisi::TxnCloseJournal(ix);
  // Closing the descriptors releases the handle's locks with them.
  if (ix->dataFd >= 0) kisi::IoClose(ix->io, ix->dataFd);
  if (ix->isiFd >= 0) kisi::IoClose(ix->io, ix->isiFd);
  delete ix;
  return KELISI_OK;
}

KELISI_API int kelisi_get_header(kelisi* ix, kelisi_header* out) {
  if (ix == nullptr || out == nullptr) return KELISI_E_ARG;
  kisi::CallScope scope(ix);
  if (scope.status() != KELISI_OK) return scope.status();
  *out = ix->hdr;
  return KELISI_OK;
}

KELISI_API int kelisi_set_cache_size(kelisi* ix, size_t bytes) {
  if (ix == nullptr) return KELISI_E_ARG;
  uint64_t slots = kisi::SectorCache::kWays;
  while (slots * 2 * kIsiSector <= bytes && slots * 2 <= kisi::SectorCache::kMostSlots) slots *= 2;
  ix->cacheLimit = static_cast<uint32_t>(slots);
  ++ix->generation;  // cursors let go of their paths, which may point into the cache
  return kisi::ResetCache(ix) ? KELISI_OK : KELISI_E_NOMEM;
}

}  // extern "C"
