// The ISI file format: a two-sector header, a B-tree of 512-byte key
// sectors and a chain of deleted-record (DDR) sectors. Every multi-byte
// number is in the byte order of the machine that wrote the file; a file in
// the other order is recognised by its version word and translated field by
// field (isi/sector_io). These records describe the bytes exactly: every
// offset below is part of the contract with the programs that read indexes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "options/option_tables.h"

constexpr uint32_t kIsiSector = 512;
constexpr uint32_t kIsiHeaderSize = 1024;
constexpr uint32_t kIsiRootPos = 1024;     // byte position of the root key sector
constexpr uint32_t kIsiDdrHeadPos = 1536;  // byte position of the head DDR sector
constexpr uint32_t kIsiFrontSize = 2048;   // header + root + head DDR sector
constexpr uint16_t kIsiVersion = 0xFC03;   // as the writing machine stores it
constexpr uint16_t kIsiVersionSwapped = 0x03FC;
constexpr uint32_t kIsiNoSector = 0xFFFFFFFF;
constexpr uint32_t kIsiKeyTrailerOfs = 500;
constexpr uint32_t kIsiDdrTrailerOfs = 504;
constexpr uint32_t kIsiDdrPerSector = 126;
constexpr uint8_t kIsiDdrMark1 = 0xF9, kIsiDdrMark2 = 0xFD;
// Parent sectors a reader keeps on its way down: a tree may reach this many
// levels below its root. The build makes at most 16 levels; programs that
// update an index in place need not keep it balanced, so every reader goes
// this deep.
constexpr uint32_t kIsiPathDepth = 48;

// Header byte 6: record-format flags.
enum : uint8_t {
  kFmtEorMask = 0xC0,    // 0x80 LF, 0x40 CR LF, 0xC0 LF CR, 0x00 CR
  kFmtAppend = 0x20,     // records may be appended at end of file
  kFmtBinary = 0x10,     // binary records without end-of-record bytes
  kFmtSpaceComp = 0x08,  // space compression
  kFmtNoDups = 0x04,     // duplicate keys not allowed
  kFmtVarLen = 0x02,     // variable-length records
  kFmtUpper = 0x01,      // keys converted to upper case
};
// Header byte 7: addressing and OS type.
enum : uint8_t { kModeRecNum = 0x01, kModeOsType1 = 0x08, kModeOsType2 = 0x10 };

// True when the high byte of a version word is the ones' complement of its low byte.
inline bool IsiVersionValid(uint16_t word) {
  return static_cast<uint8_t>(word >> 8) == static_cast<uint8_t>(~word & 0xFF);
}

struct IsiHeader {
  char magic[4];          // "SISI"
  uint16_t version;       // kIsiVersion
  uint8_t formatFlags;    // byte 6
  uint8_t modeFlags;      // byte 7
  uint16_t recordLength;  // without end-of-record bytes
  uint16_t keyLength;     // 1 to 150
  uint32_t dataLength;    // bytes, or records under record-number addressing
  uint32_t ddrHead;       // newest DDR sector; kIsiNoSector = none
  uint32_t rootPos;       // 1024, or 2 under record-number addressing
  uint32_t reserved24;    // 0xFFFFFFFF
  uint32_t reserved28;    // 0
  uint32_t spin;          // changed by every process that rewrites the file
  uint32_t reserved36;    // 0
  uint32_t reserved40;    // 0
  uint32_t recordCount;   // records delivered to the index, low 32 bits
  uint32_t deletedCount;  // deleted records met (or DDR entries copied)
  uint8_t zero52[12];     // an older layout keeps its version word at 52
  PrimarySelEntry primaryTests[kMaxPrimaryTests];  // byte 103 = 0xFF: extended form
  uint8_t zero104[8];
  KeySpecEntry keySpecs[kMaxKeySpecs];
  char dataName[256];  // NUL-padded; 256 bytes fill it without a terminator
  char cmdLine[528];   // stored command line, NUL-terminated
};
static_assert(sizeof(IsiHeader) == kIsiHeaderSize);
static_assert(offsetof(IsiHeader, version) == 4);
static_assert(offsetof(IsiHeader, formatFlags) == 6);
static_assert(offsetof(IsiHeader, modeFlags) == 7);
static_assert(offsetof(IsiHeader, recordLength) == 8);
static_assert(offsetof(IsiHeader, keyLength) == 10);
static_assert(offsetof(IsiHeader, dataLength) == 12);
static_assert(offsetof(IsiHeader, ddrHead) == 16);
static_assert(offsetof(IsiHeader, rootPos) == 20);
static_assert(offsetof(IsiHeader, reserved24) == 24);
static_assert(offsetof(IsiHeader, spin) == 32);
static_assert(offsetof(IsiHeader, recordCount) == 44);
static_assert(offsetof(IsiHeader, deletedCount) == 48);
static_assert(offsetof(IsiHeader, zero52) == 52);
static_assert(offsetof(IsiHeader, primaryTests) == 64);
static_assert(offsetof(IsiHeader, zero104) == 104);
static_assert(offsetof(IsiHeader, keySpecs) == 112);
static_assert(offsetof(IsiHeader, dataName) == 240);
static_assert(offsetof(IsiHeader, cmdLine) == 496);

// The older layout, recognised only to read its stored command line.
constexpr uint32_t kIsiOldVersionOfs = 52;
constexpr uint32_t kIsiOldCmdLineOfs = 128;
constexpr uint32_t kIsiOldCmdLineSize = 256;

// The fixed part of a key entry; the key bytes follow it, then padding up to
// the entry size E = key length + 12 rounded up to a multiple of 4.
struct IsiKeyEntry {
  uint32_t recPos;   // record position (byte offset or record number)
  uint32_t child;    // sector of the keys below this one; 0 in leaves
  uint16_t dupSeq;   // 0 for the first record of a key, then +1 (mod 65536)
  uint16_t recSize;  // the record's length including end-of-record bytes
  uint8_t key[kMaxKeyBytes + 2];
};
constexpr uint32_t kIsiEntryKeyOfs = 12;
static_assert(offsetof(IsiKeyEntry, child) == 4);
static_assert(offsetof(IsiKeyEntry, dupSeq) == 8);
static_assert(offsetof(IsiKeyEntry, recSize) == 10);
static_assert(offsetof(IsiKeyEntry, key) == kIsiEntryKeyOfs);
static_assert(sizeof(IsiKeyEntry) == 164);  // the largest entry

constexpr uint32_t IsiEntrySize(uint32_t keyLength) {
  return (keyLength + 12 + 3) & ~3u;
}

struct IsiKeySector {
  uint8_t entries[kIsiKeyTrailerOfs];  // count entries of E bytes, packed
  uint8_t count;                       // entries in use
  uint8_t zero501[5];
  uint16_t level;       // 0 for leaves
  uint32_t rightChild;  // sector of the keys above the last entry
};
static_assert(sizeof(IsiKeySector) == kIsiSector);
static_assert(offsetof(IsiKeySector, count) == 500);
static_assert(offsetof(IsiKeySector, level) == 506);
static_assert(offsetof(IsiKeySector, rightChild) == 508);

struct IsiDdrSector {
  uint32_t positions[kIsiDdrPerSector];  // deleted-record positions in the order found
  uint32_t link;                         // previously written DDR sector; kIsiNoSector = oldest
  int16_t count;                         // 1 to 126
  uint8_t mark1;                         // 0xF9
  uint8_t mark2;                         // 0xFD
};
static_assert(sizeof(IsiDdrSector) == kIsiSector);
static_assert(offsetof(IsiDdrSector, link) == 504);
static_assert(offsetof(IsiDdrSector, count) == 508);
static_assert(offsetof(IsiDdrSector, mark1) == 510);
static_assert(offsetof(IsiDdrSector, mark2) == 511);
