// txn_internal: what a change (kelisi_txn) holds while it is open. Nothing
// of it reaches the files before the commit: the index sectors it modifies
// are kept here in native order, the records it writes or zeroes as byte
// ranges of the data file, and the header's counts as numbers. Every read
// of the change (the tree walks, the deleted-record list, the records) sees
// the files with these on top.
//
// A change over several indexes of one data file is one kelisi_txn per
// index, the first (the lead, which the caller holds) owning the others:
// each keeps its own index's sectors, header and counts, and all of them
// share the lead's view of the data file, so that a record is written once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/isi_format.h"
#include "core/journal.h"
#include "core/tree_cursor.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

struct LibScan;

enum class PageKind : uint8_t { kKey, kDdr, kZero };

struct Page {
  alignas(8) uint8_t data[kIsiSector];  // native order
  PageKind kind = PageKind::kKey;
};

// The data file as the change sees it: the records it overwrites in place,
// by offset (never overlapping: each is one record's place), the bytes it
// appends (from origDataSize on), and its length. Read and written through
// the lead's handle.
struct TxnData {
  std::map<uint64_t, std::vector<uint8_t>> data;
  std::vector<uint8_t> tail;
  uint64_t origDataSize = 0, dataSize = 0;  // dataSize: where records end (no final 0x1A)
  // The file's last record lacks its end-of-record bytes: the first
  // record appended writes them first.
  bool endIncomplete = false;
};

}  // namespace kisi

struct kelisi_txn {
  kelisi_txn();
  ~kelisi_txn();
  kelisi* ix = nullptr;
  int spoiled = KELISI_OK;  // the status that spoiled the change, or OK
  bool changed = false;
  // The index: modified sectors by number, and the header's fields.
  std::unordered_map<uint64_t, std::unique_ptr<kisi::Page>> pages;
  uint64_t origSectors = 0;                   // the index file's sectors when the change began
  uint64_t sectors = 0;                       // its sectors now
  std::set<uint64_t> freeSectors;             // left by the change, filled before appending
  alignas(8) uint8_t header[kIsiHeaderSize];  // native
  uint32_t recordCount = 0, deletedCount = 0, ddrHead = kIsiNoSector;
  uint32_t recordLength = 0;  // the header's (variable length: the longest)
  IsiTree tree{};             // over the pages and the file
  // The set: the lead, and (the lead only) every index of it, the lead
  // first; a change kelisi_txn_begin began is a set of one.
  kelisi_txn* lead = nullptr;
  std::vector<kelisi_txn*> parts;
  std::vector<std::unique_ptr<kelisi_txn>> others;  // owned by the lead
  // The data file as the change sees it: the lead's own.
  kisi::TxnData ownData;
  kisi::TxnData* d = &ownData;
  // A set of several: the data file's path and the journal beside it.
  std::string setDataPath, setJournalPath;
  std::vector<uint8_t> record;                // the record being inserted
  std::unique_ptr<kisi::LibScan> recordScan;  // reads it as a build would
  // What the definition and the header say about records and keys.
  bool keepsList = false;     // a deleted-record list (IsiKeepsDeletedList)
  bool variable = false;      // v or s
  bool firstOfKey = false;    // n0 or n$: the first record of a key is kept
  bool unique = false;        // n: a second record of a key spoils the change
  uint8_t key[kMaxKeyBytes];  // of the last insert, for its kelisi_entry
  // What the last insert gave this index: KELISI_OK with `entry`,
  // KELISI_NO_ENTRY, or KELISI_E_ARG before any (kelisi_txn_entry).
  int entryStatus = KELISI_E_ARG;
  kelisi_entry entry{};
};

namespace kisi {

// ---- The set (txn_set.cpp) ---------------------------------------------------------
// The most indexes one change covers (the journal's files, the data file
// among them).
constexpr size_t kMostSetIndexes = kJournalMostFiles - 1;
// The data file of a set as every index's header leads to it, into
// *dataPath, and its journal beside it: OK, or KELISI_E_DATA_OTHER when
// the name some index's header keeps does not lead to that file (an opener
// of that index would not find the journal).
int SetJournalPath(kelisi* const* ixs, size_t n, std::string* dataPath, std::string* journalPath);
// Rolls back a change over several indexes that a crash left beside the
// handle's data file (the caller holds the exclusive ISI lock): 0 when
// there was none, 1 when rolled back, a negative errno.
int RecoverDataJournal(kelisi* ix);

// ---- Pages (txn.cpp) ----------------------------------------------------------
// The change's own copy of a sector, or nullptr when it has none.
inline Page* TxnPage(kelisi_txn* t, uint64_t sector) {
  auto it = t->pages.find(sector);
  return it == t->pages.end() ? nullptr : it->second.get();
}
// The sector as the change sees it, native, into out: OK or a read status.
int TxnRead(kelisi_txn* t, uint64_t sector, PageKind kind, uint8_t* out);
// The sector to modify in place (loaded into the change on first use), or
// nullptr after a read failure (the change is then spoiled).
uint8_t* TxnWrite(kelisi_txn* t, uint64_t sector, PageKind kind);
// A new sector, zero-filled: a free one, or one past the end of the file.
uint64_t TxnNewSector(kelisi_txn* t, PageKind kind);
// A sector the change no longer uses.
void TxnFreeSector(kelisi_txn* t, uint64_t sector);
inline uint32_t TxnPos(const kelisi_txn* t, uint64_t sector) {
  return IsiPositionOf(t->tree.geo, sector);
}
// The sector number of a stored key or DDR sector position: OK, or
// KELISI_E_CORRUPT for one off a boundary, in the front or past the end.
int TxnKeySector(const kelisi_txn* t, uint32_t pos, uint64_t* sector);
// Spoils the change with `status` and returns it.
int TxnSpoil(kelisi_txn* t, int status);

// ---- Data (txn.cpp) -----------------------------------------------------------
// Reads `len` bytes at `offset` as the change sees the data file; *got is
// what there is (short at its end). OK or KELISI_E_DATA_READ.
int TxnReadData(kelisi_txn* t, uint64_t offset, uint8_t* buf, size_t len, size_t* got);
// Puts `len` bytes at `offset` (a whole record's place, or the end of the
// data); a write may run on past the file's length as it was.
void TxnPutData(kelisi_txn* t, uint64_t offset, const uint8_t* bytes, size_t len);
// Where the next appended record goes: the end of the data, after the
// end-of-record bytes the last record lacks, which it writes.
uint64_t TxnAppendOffset(kelisi_txn* t);

// ---- The tree (tree_edit.cpp) ---------------------------------------------------
// Enters key/pos/size after the entries of equal keys, splitting full
// sectors up to the root; *dup gets its duplicate sequence. With
// `unique`, an equal key already there returns KELISI_E_DUPLICATE and
// nothing changes.
int TreeInsert(kelisi_txn* t, const uint8_t* key, uint32_t pos, uint16_t size, bool unique,
               uint16_t* dup);
// Removes the entry with this key and record position: OK with the
// record's size in *size, or KELISI_NOTFOUND.
int TreeRemove(kelisi_txn* t, const uint8_t* key, uint32_t pos, uint16_t* size);
// The first entry (lowest duplicate sequence) whose first `len` key bytes
// are `key`: OK with its position and size, and its whole key in `found`
// (may be nullptr), or KELISI_NOTFOUND.
int TreeFindFirst(kelisi_txn* t, const uint8_t* key, uint32_t len, uint32_t* pos, uint16_t* size,
                  uint8_t* found);
// Gives the entry key/oldPos the record position and size of another record.
int TreeRepoint(kelisi_txn* t, const uint8_t* key, uint32_t oldPos, uint32_t pos, uint16_t size);
// Moves the last sector of the index into the free sector `hole`, and
// points whatever named it (a parent key sector, the deleted-record chain,
// the header) at its new place.
int TreeMoveSector(kelisi_txn* t, uint64_t from, uint64_t hole);

// ---- The deleted-record list (txn_ddr.cpp) -----------------------------------------
// Takes the newest listed position: OK with its byte offset, KELISI_NOTFOUND
// when the list is empty.
int DdrTake(kelisi_txn* t, uint64_t* offset);
// Lists a deleted record's byte offset as the newest.
int DdrAdd(kelisi_txn* t, uint64_t offset);
// Takes the position of the record at `offset` out of the list, wherever
// it stands (its place goes to the newest position): OK, or
// KELISI_NOTFOUND when the list does not hold it.
int DdrRemove(kelisi_txn* t, uint64_t offset);

}  // namespace kisi
