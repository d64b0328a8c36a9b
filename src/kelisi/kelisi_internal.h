// kelisi_internal: what a handle and a cursor hold, and the entry through
// which the library's own tests give a handle another Env. Not installed;
// the C API in kelisi.h is the only public surface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/definition.h"
#include "core/isi_format.h"
#include "core/lock_protocol.h"
#include "core/record_key.h"
#include "core/tree_cursor.h"
#include "kelisi.h"
#include "kelisi/io.h"
#include "kelisi/sector_cache.h"

struct Journal;

struct kelisi {
  kisi::Io io;
  int isiFd = -1;
  int dataFd = -1;
  unsigned flags = 0;
  bool swapped = false;
  bool recNum = false;
  bool stale = false;  // the front must be read again before the next call
  uint32_t keyLength = 0;
  uint32_t entrySize = 0;
  uint32_t perSector = 0;     // entries a key sector holds
  uint32_t recordStride = 0;  // record length + end-of-record bytes
  uint64_t fileSize = 0;
  uint64_t fileSectors = 0;
  int64_t fileChanged = 0;  // the index file's modification time when the front was read
  IsiTree tree{};  // the geometry and root of the front last read, its sectors from the cache
  uint64_t generation = 0;  // advanced each time the front is read again
  uint32_t openCursors = 0;
  uint32_t cacheLimit = 0;  // slots kelisi_set_cache_size allows; 0: sized from the index
  alignas(8) uint8_t front[kIsiFrontSize];  // header and root in native order
  kelisi_header hdr;
  // The definition the header's command line gives (definition.cpp), with
  // the text its terms point into; defStatus KELISI_OK when it can be used,
  // else KELISI_E_DEFINITION, defWhy saying why.
  IndexDefinition def;
  char defText[kStoredLineSize];
  int defStatus = KELISI_E_DEFINITION;
  char defWhy[160] = "";
  // The key's bytes as the definition (else the header's key
  // specifications) say.
  KeyLayout keyLayout;
  bool keyLayoutOk = false;
  kisi::SectorCache cache;
  // Opened for update: the paths the rollback journal names, and the change
  // open on the handle (its calls then take no shared ISI lock: the change
  // holds the exclusive one).
  std::string isiPath, dataPath;
  std::string dataName;  // the data file as it was opened, for the check's messages
  kelisi_txn* txn = nullptr;
  // The rollback journal the handle's last change invalidated, kept open
  // for the next one (removed at kelisi_close).
  Journal* journal = nullptr;
  // The same for the last change over several indexes this handle led:
  // the journal beside the data file, kept while the next set is the same
  // (setJournalKey: its path, and the index files and descriptors it
  // covers).
  Journal* setJournal = nullptr;
  std::string setJournalKey;
  int lockWaitMs = -1;  // for the exclusive ISI lock of a change; <0: no limit
};

struct kelisi_cursor {
  kelisi* ix = nullptr;
  uint64_t gen = 0;        // the handle generation the path was read under
  uint32_t dupLen = 0;     // bytes next_dup compares
  uint32_t entrySize = 0;  // of the index the path was read from
  IsiCursor walk{};        // the path; walk.depth 0: not positioned
  // The key and duplicate sequence of the entry the cursor stands on, its
  // own copy: the key a kelisi_entry points to, and the place the cursor
  // finds again after a rewrite (its path may point into a front and a
  // cache that are gone by then).
  uint8_t key[kMaxKeyBytes];
  uint16_t dup = 0;
};

namespace kisi {

// Frees the journals the handle kept between its changes, and removes their
// files when no other program is making a change (txn.cpp).
void TxnCloseJournal(kelisi* ix);

// kelisi_open with the handle's system calls going to `env` (kelisi_open
// itself gives the operating system).
int OpenHandle(const char* isi, const char* data, unsigned flags, const kel::Env* env,
               kelisi** out);

// Reads and checks the front (header and root) and sizes the cache; the
// handle's state changes only when the whole front is sound.
int LoadFront(kelisi* ix);

// Empties the handle's cache and sizes it for the index as it is now. False
// when memory is short.
bool ResetCache(kelisi* ix);

// The shared tree cursor's source of key sectors: the handle's cache, in
// place or translated to native order (ctx: the handle).
const uint8_t* LoadCachedKeySector(void* ctx, uint64_t sector, IsiReadHint hint, uint8_t* out,
                                   uint8_t** sound);

// The library's status for a tree cursor's result (core/tree_cursor).
int CursorStatus(int cursorResult);

// Shared mode around one call: the ISI lock and the spin-counter check.
class CallScope {
 public:
  explicit CallScope(kelisi* ix);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  int status() const { return status_; }

 private:
  kelisi* ix_;
  bool locked_ = false;
  int status_ = KELISI_OK;
};
// The lock calls of the handle, on its data file.
IsiLockCalls IndexLockCalls(kelisi* ix);
// The shared whole-file lock on the data file, for the life of the handle.
int LockDataFile(kelisi* ix);

// Reads the definition from the header as last read (definition.cpp), and
// what follows from it: the key layout, the header's tests and its mark of
// an extended selection.
void ReadDefinition(kelisi* ix);

// ---- The data file an index describes (data_file.cpp) ----------------------------
// A file as the system knows it: two names are the same file when their
// ids are equal.
struct FileId {
  uint64_t dev = 0, ino = 0;
  bool operator==(const FileId&) const = default;
};
bool FileIdOf(Io& io, int fd, FileId* id);
bool FileIdAt(Io& io, const char* path, FileId* id);
// Where the data file a header names is looked for, in order: the name as
// written, beside the index when it is relative, its last part beside the
// index. None when the header names no file.
std::vector<std::string> HeaderDataPaths(const char* dataName, const char* isiPath);
// Whether the data file open on `fd` (opened as `path`) is the one the
// index at `isiPath` describes: one of the files its header's name leads
// to, or, when none of those is there, a file of the same last name; and
// at least as long as the data the header counts. OK, KELISI_E_DATA_OTHER,
// or KELISI_E_DATA_READ when the file cannot be looked at.
int CheckDataFile(kelisi* ix, const char* isiPath, int fd, const char* path);

// The key layout the header's key specifications describe; false when they
// do not add up to the key length.
bool KeyLayoutFromHeader(const kelisi_header& h, KeyLayout* layout);
// The key a record carries (records.cpp), without locking.
int RecordKey(const kelisi* ix, const uint8_t* rec, size_t len, uint8_t* out);
// Reads `len` bytes of the data file at `offset`: OK, KELISI_E_DATA_READ.
int ReadData(kelisi* ix, uint64_t offset, void* buf, size_t len);
// How many bytes of a record of `size` bytes the data file holds, when
// `avail` bytes lie from its start to the file's end and `bytes` holds the
// first of them (up to `size`): all of them, or for the file's last record
// the bytes the build read before the file ended. The build indexes a last
// record that lacks its end-of-record bytes under the size it would have
// with them, and a text file's last byte 0x1A is no part of a record. 0
// when the file holds less of it than that.
size_t HeldBytes(const kelisi_header& h, const uint8_t* bytes, size_t size, uint64_t avail);
// Reads the record of `size` bytes at `offset` into buf (room for `size`):
// OK with the bytes the file holds of it in *len (HeldBytes),
// KELISI_NOTFOUND when the file does not hold it, or a read failure.
int ReadRecordBytes(kelisi* ix, uint64_t offset, size_t size, uint8_t* buf, size_t* len);

}  // namespace kisi
