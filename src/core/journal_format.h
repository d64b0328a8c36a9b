// The journal's file format (see journal.h), shared by its writer
// (journal.cpp) and by the rollback that reads it back
// (journal_rollback.cpp).
//
// The file, in the byte order of the machine that wrote it, is written
// from front to back by each change:
//   - a header (JournalHeader) and the data file's path, padded to 8 bytes,
//     with a checksum of their own; in a journal of version 2 (a change
//     over several indexes of one data file, the journal beside the data
//     file) a table of the files it covers instead of the path: their
//     count, then for each its original length and absolute path
//     (JournalFileEntry, the path padded to 8 bytes), file 1 the data file;
//   - records (JournalRecord): a saved region of the index or the data file
//     (version 2: of the file the record's number names),
//     its original bytes following, padded to 8 bytes; or the absolute path
//     of a file that holds the index's first bytes as they were (a copy made
//     by the program that rewrites the whole index), padded likewise;
//   - after the records of every JournalSync, a sync mark (a JournalRecord of
//     kind kMarkSync) holding the number of region records before it and a
//     checksum of every byte of the file before it.
// A journal is complete up to its last sync mark whose checksum holds:
// every region a change wrote over in place was saved before such a mark
// was synced, so the regions up to it are all a rollback needs; records
// after it were never synced and are ignored. A journal without a valid
// mark was cut short before its first sync, so nothing was yet written in
// place: it holds nothing to roll back, and is left alone.
//
// The file outlives a change: a write handle keeps it between its changes
// and invalidates it in place once a change is durable (the header's magic
// zeroed and synced), so that no change creates, removes or syncs a
// directory entry. The next change writes over it from the front, with a
// generation one higher in its header; every checksum chain starts at the
// header, so the records of an earlier change still lying behind a newer
// header can never pass for a part of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/journal.h"

namespace journal_file {

inline constexpr char kJournalMagic[8] = {'K', 'E', 'L', 'J', 'R', 'N', 'L', '\n'};
constexpr uint32_t kJournalVersion = 1;     // one index and its data file
constexpr uint32_t kJournalSetVersion = 2;  // the files a table names
constexpr uint32_t kByteOrderMark = 0x01020304;
constexpr uint32_t kByteOrderSwapped = 0x04030201;
constexpr uint32_t kMaxDataPath = 4096;
constexpr size_t kBufferSize = 1u << 20;
constexpr uint32_t kMaxRegion = 1u << 19;  // larger saves are split into records of this size
// The data length of a journal whose change leaves the data file alone.
constexpr uint64_t kNoLength = ~uint64_t{0};

struct JournalHeader {
  char magic[8];
  uint32_t byteOrder;  // kByteOrderMark as the writer stored it
  uint32_t version;
  uint64_t indexLength;     // the index file's length before the change
  uint64_t dataLength;      // the data file's; kNoLength when the change leaves it alone
  uint32_t dataPathLength;  // bytes of the data file's absolute path that follow; 0: none
                            // (the path names the file whose locks guard the index);
                            // version 2: bytes of the file table that follows
  uint32_t generation;      // one more than the change before it in the same file
  uint64_t checksum;        // of this header (this field 0) and the path with its padding
};
static_assert(sizeof(JournalHeader) == 48);

enum : uint8_t {
  kRecordIndex = kJournalIndex,
  kRecordData = kJournalData,
  kMarkSync = 2,
  kRecordCopy = 3,
  kRecordRegion = 4,  // version 2: a region of file `file`
};

struct JournalRecord {
  uint8_t kind;  // kRecordIndex, kRecordData, kRecordCopy, kMarkSync or kRecordRegion
  uint8_t pad;
  uint16_t file;    // kRecordRegion: the file's number in the table; else 0
  uint32_t length;  // bytes of the region (a copy: of its path) that follow;
                    // a mark: records before it
  uint64_t offset;  // where the region lies in its file; a copy: the bytes it holds;
                    // a mark: checksum of the file before it
};
static_assert(sizeof(JournalRecord) == 16);

// Version 2: the table opens with the count of files (uint32) and 4 zero
// bytes, then one of these per file, its path following.
struct JournalFileEntry {
  uint64_t length;      // the file's length before the change; kNoLength: left alone
  uint32_t pathLength;  // bytes of its absolute path that follow (padded to 8)
  uint32_t pad;
};
static_assert(sizeof(JournalFileEntry) == 16);

inline constexpr uint64_t Pad8(uint64_t n) {
  return (n + 7) & ~uint64_t{7};
}

// The checksum: a 64-bit multiply-and-rotate hash over the bytes in order,
// taken eight at a time as a little-endian number, so that a machine of
// either byte order gets the same value from the same bytes. Every length
// hashed is a multiple of 8.
inline uint64_t HashBytes(uint64_t h, const uint8_t* p, size_t len) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i + 8 <= len; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  }
  return h;
}
constexpr uint64_t kHashSeed = 0x4B454C4A524E4C31ull;

}  // namespace journal_file
