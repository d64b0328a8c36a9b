// The byte-order translation of the ISI format and the checks of its fixed
// front, on plain buffers. This is the one place that knows which fields of
// a header, a key sector and a DDR sector are numbers; kelindex (through
// isi/sector_io) and the reader library libkelisi both translate with it.
// It depends on nothing but the format description, so that the library
// carries no part of the program with it.
#pragma once

#include <cstdint>

// The byte order a header's version word (offset 4) shows.
enum IsiOrder { kIsiNative, kIsiForeign, kIsiBadVersion };
IsiOrder IsiHeaderOrder(const uint8_t* header);

// Each translates in place, and the same call translates in either
// direction.
void IsiXlatHeader(uint8_t* header);
// Never touches more entries than fit in front of the count byte.
void IsiXlatKeySector(uint8_t* sector, uint32_t entrySize);
// The count field tells the direction: a valid count (1 to 126) read
// backwards is at least 256. A count outside 1 to 126 in either form leaves
// the entries as they are.
void IsiXlatDdrSector(uint8_t* sector);

// What is wrong with a native header in values every reader relies on
// before it reads a sector: the key length, and the root position and
// addressing, which must agree with each other and with the record format.
enum IsiHeaderFault {
  kIsiHeaderSound,
  kIsiBadKeyLength,   // not 1 to 150
  kIsiBadAddressing,  // record numbers with variable-length or space-compressed records, or
                      // byte offsets without them
  kIsiBadRootPos,     // not 1024 (sector 2 under record numbers)
};
IsiHeaderFault IsiCheckHeader(const uint8_t* header);

// A front (header, root, head DDR sector) as read: checks the magic and
// the version word, which tells the file's byte order (*swapped), brings
// the header to native order and checks it; for a sound header also the
// root and, when the header names a chain, the bytes at 1536. On
// kIsiFrontBadHeader the header is native and *fault says what is wrong.
enum IsiFrontResult { kIsiFrontSound, kIsiFrontNotIsi, kIsiFrontBadVersion, kIsiFrontBadHeader };
IsiFrontResult IsiPrepareFront(uint8_t* front, bool* swapped, IsiHeaderFault* fault);

// The end-of-record bytes each record of the data holds, as header byte 6
// records them: 2 (CR LF or LF CR), 1 (LF, or a lone CR), 0 (binary
// records without marks).
uint32_t IsiEorLength(uint8_t formatFlags);
// The end-of-record bytes of header byte 6's field (a string of one or two
// characters), and their name ("CR", "CR LF", "LF", "LF CR").
const char* IsiEorBytes(uint8_t formatFlags);
const char* IsiEorName(uint8_t formatFlags);
