// The ISI file format: a two-sector header, a B-tree of 512-byte key
// sectors and a chain of deleted-record (DDR) sectors. Every multi-byte
// number is in the byte order of the machine that wrote the file; a file in
// the other order is recognised by its version word and translated field by
// field (core/isi_xlat). These records describe the bytes exactly: every
// offset, width, marker and sentinel of the format is named here once, and
// every reader and writer of an index uses these names.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Sizes and fixed places --------------------------------------------------

constexpr uint32_t kIsiSector = 512;
constexpr uint32_t kIsiHeaderSize = 1024;
constexpr uint32_t kIsiRootPos = 1024;     // byte position of the root key sector
constexpr uint32_t kIsiDdrHeadPos = 1536;  // byte position of the head DDR sector
constexpr uint32_t kIsiFrontSize = 2048;   // header + root + head DDR sector
constexpr uint64_t kIsiFrontSectors = kIsiFrontSize / kIsiSector;
constexpr uint16_t kIsiVersion = 0xFC03;  // as the writing machine stores it
constexpr uint16_t kIsiVersionSwapped = 0x03FC;
constexpr char kIsiMagic[4] = {'S', 'I', 'S', 'I'};
// "No sector" in the DDR-chain fields; the header also carries it at 24.
constexpr uint32_t kIsiNoSector = 0xFFFFFFFF;
// Parent sectors a reader keeps on its way down: a tree may reach this many
// levels below its root. The build makes at most 16 levels; programs that
// update an index in place need not keep it balanced, so every reader goes
// this deep.
constexpr uint32_t kIsiPathDepth = 48;

// Limits of the header's tables and of a key.
constexpr int kMaxKeySpecs = 32;
constexpr int kMaxPrimaryTests = 10;
constexpr uint32_t kMaxKeyBytes = 150;

// Header byte 6: record-format flags.
enum : uint8_t {
  kFmtEorMask = 0xC0,    // the end-of-record field:
  kFmtEorCr = 0x00,      //   a lone CR
  kFmtEorCrLf = 0x40,    //   CR LF
  kFmtEorLf = 0x80,      //   LF
  kFmtEorLfCr = 0xC0,    //   LF CR
  kFmtAppend = 0x20,     // records may be appended at end of file
  kFmtBinary = 0x10,     // binary records without end-of-record bytes
  kFmtSpaceComp = 0x08,  // space compression
  kFmtNoDups = 0x04,     // duplicate keys not allowed
  kFmtVarLen = 0x02,     // variable-length records
  kFmtUpper = 0x01,      // keys converted to upper case
};
// An index keeps its deleted-record list through a rewrite (a compaction
// copies it, a change in place takes records from it and adds to it)
// unless its header marks its records as appended at the end, of variable
// length or space-compressed: then a compaction purges the list and a
// change neither takes from it nor adds to it.
constexpr bool IsiKeepsDeletedList(uint8_t formatFlags) {
  return (formatFlags & (kFmtVarLen | kFmtSpaceComp | kFmtAppend)) == 0;
}

// Header byte 7: addressing and OS type.
enum : uint8_t { kModeRecNum = 0x01, kModeOsType1 = 0x08, kModeOsType2 = 0x10 };

// The key lengths the format can hold.
constexpr bool IsiKeyLengthValid(uint32_t keyLength) {
  return keyLength >= 1 && keyLength <= kMaxKeyBytes;
}

// Positions under the two addressing modes: a sector position is the byte
// offset of the sector or its number; a record position the byte offset
// of the record or its number, counted in records of `recordSize` bytes.
constexpr uint64_t IsiSectorOffset(bool recordNumbers, uint32_t pos) {
  return recordNumbers ? uint64_t{pos} * kIsiSector : pos;
}
constexpr uint64_t IsiRecordOffset(bool recordNumbers, uint32_t pos, uint32_t recordSize) {
  return recordNumbers ? uint64_t{pos} * recordSize : pos;
}

// True when the high byte of a version word is the ones' complement of its low byte.
inline bool IsiVersionValid(uint16_t word) {
  return static_cast<uint8_t>(word >> 8) == static_cast<uint8_t>(~word & 0xFF);
}

// ---- The header ------------------------------------------------------------------

// One key specification as the header stores it.
struct KeySpecEntry {
  uint16_t first;   // 0-based first column
  uint16_t length;  // last − (first − 1), in 16-bit arithmetic; 0 ends the list
};
static_assert(sizeof(KeySpecEntry) == 4);

// One primary-record test as the header stores it.
struct PrimarySelEntry {
  uint16_t column;  // 1-based; 0 ends the list
  uint8_t ops;      // kSelOpNotEqual or kSelOpEqual (the decision entry's bits for an expression)
  uint8_t matchChar;
};
static_assert(sizeof(PrimarySelEntry) == 4);
enum : uint8_t { kSelOpNotEqual = 0x10, kSelOpEqual = 0x20 };
// The character byte of the last test holds this when the records were
// selected by an extended expression, kept only in the stored command line.
constexpr uint8_t kSelExtendedMark = 0xFF;

struct IsiHeader {
  char magic[4];          // kIsiMagic
  uint16_t version;       // kIsiVersion
  uint8_t formatFlags;    // byte 6
  uint8_t modeFlags;      // byte 7
  uint16_t recordLength;  // without end-of-record bytes
  uint16_t keyLength;     // 1 to 150
  uint32_t dataLength;    // bytes, or records under record-number addressing
  uint32_t ddrHead;       // newest DDR sector; kIsiNoSector = none
  uint32_t rootPos;       // 1024, or 2 under record-number addressing
  uint32_t reserved24;    // kIsiNoSector
  uint32_t reserved28;    // 0
  uint32_t spin;          // changed by every process that rewrites the file
  uint32_t reserved36;    // 0
  uint32_t reserved40;    // 0
  uint32_t recordCount;   // records delivered to the index, low 32 bits
  uint32_t deletedCount;  // deleted records met (or DDR entries copied)
  uint8_t zero52[12];     // an older layout keeps its version word at 52
  PrimarySelEntry primaryTests[kMaxPrimaryTests];
  uint8_t zero104[8];
  KeySpecEntry keySpecs[kMaxKeySpecs];
  char dataName[256];  // NUL-padded; 256 bytes fill it without a terminator
  char cmdLine[528];   // stored command line, NUL-terminated
};
static_assert(sizeof(IsiHeader) == kIsiHeaderSize);

// Byte offsets of the header's fields, for code that works on the raw
// buffer (the translators, and writers that change one field).
constexpr uint32_t kHdrVersionOfs = offsetof(IsiHeader, version);
constexpr uint32_t kHdrFormatOfs = offsetof(IsiHeader, formatFlags);
constexpr uint32_t kHdrModeOfs = offsetof(IsiHeader, modeFlags);
constexpr uint32_t kHdrRecordLengthOfs = offsetof(IsiHeader, recordLength);
constexpr uint32_t kHdrKeyLengthOfs = offsetof(IsiHeader, keyLength);
constexpr uint32_t kHdrDataLengthOfs = offsetof(IsiHeader, dataLength);
constexpr uint32_t kHdrDdrHeadOfs = offsetof(IsiHeader, ddrHead);
constexpr uint32_t kHdrRootPosOfs = offsetof(IsiHeader, rootPos);
constexpr uint32_t kHdrReserved24Ofs = offsetof(IsiHeader, reserved24);
constexpr uint32_t kHdrSpinOfs = offsetof(IsiHeader, spin);
constexpr uint32_t kHdrReserved36Ofs = offsetof(IsiHeader, reserved36);
constexpr uint32_t kHdrRecordCountOfs = offsetof(IsiHeader, recordCount);
constexpr uint32_t kHdrDeletedCountOfs = offsetof(IsiHeader, deletedCount);
constexpr uint32_t kHdrPrimaryOfs = offsetof(IsiHeader, primaryTests);
constexpr uint32_t kHdrKeySpecOfs = offsetof(IsiHeader, keySpecs);
constexpr uint32_t kHdrDataNameOfs = offsetof(IsiHeader, dataName);
constexpr uint32_t kHdrDataNameSize = sizeof(IsiHeader::dataName);
constexpr uint32_t kHdrCmdLineOfs = offsetof(IsiHeader, cmdLine);
constexpr uint32_t kHdrCmdLineMax = sizeof(IsiHeader::cmdLine) - 1;  // characters
// The numbers the translation reverses: the u32 fields from the data length
// to the deleted-record count.
constexpr uint32_t kHdrFirstU32Ofs = kHdrDataLengthOfs, kHdrLastU32Ofs = kHdrDeletedCountOfs;
static_assert(kHdrVersionOfs == 4 && kHdrKeyLengthOfs == 10 && kHdrSpinOfs == 32);
static_assert(kHdrPrimaryOfs == 64 && kHdrKeySpecOfs == 112 && kHdrDataNameOfs == 240);
static_assert(kHdrCmdLineOfs == 496 && kHdrDeletedCountOfs == 48);

// The older layout, recognised only to read its stored command line.
constexpr uint32_t kIsiOldVersionOfs = offsetof(IsiHeader, zero52);
constexpr uint32_t kIsiOldCmdLineOfs = 128;
constexpr uint32_t kIsiOldCmdLineSize = 256;

// ---- Key sectors -------------------------------------------------------------

// The fixed part of a key entry; the key bytes follow it, then padding up to
// the entry size E = key length + 12 rounded up to a multiple of 4.
struct IsiKeyEntry {
  uint32_t recPos;   // record position (byte offset or record number)
  uint32_t child;    // sector of the keys below this one; 0 in leaves
  uint16_t dupSeq;   // 0 for the first record of a key, then +1 (mod 65536)
  uint16_t recSize;  // the record's length including end-of-record bytes
  uint8_t key[kMaxKeyBytes + 2];
};
constexpr uint32_t kEntryPosOfs = offsetof(IsiKeyEntry, recPos);
constexpr uint32_t kEntryChildOfs = offsetof(IsiKeyEntry, child);
constexpr uint32_t kEntryDupOfs = offsetof(IsiKeyEntry, dupSeq);
constexpr uint32_t kEntrySizeOfs = offsetof(IsiKeyEntry, recSize);
constexpr uint32_t kIsiEntryKeyOfs = offsetof(IsiKeyEntry, key);
static_assert(kEntryChildOfs == 4 && kEntryDupOfs == 8 && kIsiEntryKeyOfs == 12);
static_assert(sizeof(IsiKeyEntry) == 164);  // the largest entry

constexpr uint32_t IsiEntrySize(uint32_t keyLength) {
  return (keyLength + kIsiEntryKeyOfs + 3) & ~3u;
}
constexpr uint32_t kIsiMinEntrySize = IsiEntrySize(1);

struct IsiKeySector {
  uint8_t entries[500];  // count entries of E bytes, packed
  uint8_t count;         // entries in use
  uint8_t zero501[5];
  uint16_t level;       // 0 for leaves
  uint32_t rightChild;  // sector of the keys above the last entry
};
static_assert(sizeof(IsiKeySector) == kIsiSector);
constexpr uint32_t kKeyCountOfs = offsetof(IsiKeySector, count);
constexpr uint32_t kKeyLevelOfs = offsetof(IsiKeySector, level);
constexpr uint32_t kKeyRightOfs = offsetof(IsiKeySector, rightChild);
// The entries end where the trailer (count, level, rightmost child) begins.
constexpr uint32_t kIsiKeyTrailerOfs = kKeyCountOfs;
// The build keeps a pointer to each pending sector's trailer; these are the
// trailer's fields from there.
constexpr uint32_t kTrailerCountOfs = 0;
constexpr uint32_t kTrailerLevelOfs = kKeyLevelOfs - kKeyCountOfs;
constexpr uint32_t kTrailerRightOfs = kKeyRightOfs - kKeyCountOfs;
static_assert(kKeyCountOfs == 500 && kKeyLevelOfs == 506 && kKeyRightOfs == 508);

// Entries a key sector holds at most.
constexpr uint32_t IsiEntriesPerSector(uint32_t entrySize) {
  return kIsiKeyTrailerOfs / entrySize;
}

// ---- DDR sectors -------------------------------------------------------------

constexpr uint32_t kIsiDdrPerSector = 126;
struct IsiDdrSector {
  uint32_t positions[kIsiDdrPerSector];  // deleted-record positions in the order found
  uint32_t link;                         // previously written DDR sector; kIsiNoSector = oldest
  int16_t count;                         // 1 to 126
  uint8_t mark1;                         // kIsiDdrMark1
  uint8_t mark2;                         // kIsiDdrMark2
};
static_assert(sizeof(IsiDdrSector) == kIsiSector);
constexpr uint8_t kIsiDdrMark1 = 0xF9, kIsiDdrMark2 = 0xFD;
constexpr uint32_t kDdrLinkOfs = offsetof(IsiDdrSector, link);
constexpr uint32_t kDdrCountOfs = offsetof(IsiDdrSector, count);
constexpr uint32_t kDdrMark1Ofs = offsetof(IsiDdrSector, mark1);
constexpr uint32_t kDdrMark2Ofs = offsetof(IsiDdrSector, mark2);
constexpr uint32_t kIsiDdrTrailerOfs = kDdrLinkOfs;
// From the build's DDR trailer pointer.
constexpr uint32_t kDdrTrailerLinkOfs = 0;
constexpr uint32_t kDdrTrailerCountOfs = kDdrCountOfs - kDdrLinkOfs;
constexpr uint32_t kDdrTrailerMark1Ofs = kDdrMark1Ofs - kDdrLinkOfs;
constexpr uint32_t kDdrTrailerMark2Ofs = kDdrMark2Ofs - kDdrLinkOfs;
static_assert(kDdrLinkOfs == 504 && kDdrCountOfs == 508 && kDdrMark1Ofs == 510);
