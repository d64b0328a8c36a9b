// Crafted ISI files for the compaction tests: trees of a chosen shape, DDR
// chains laid out as a build writes them (or with the newest sector full
// and nothing at 1536, as other writers leave them), in either byte order,
// and damaged variants of all of these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ct {

struct ImageEntry {
  uint32_t recPos;   // as stored: byte offset, or record number under recNum
  uint16_t recSize;  // end-of-record bytes included
  std::string key;   // keyLength bytes
};

struct ImageSpec {
  uint16_t keyLength = 4;
  bool recNum = true;               // header byte 7 bit 0x01
  uint8_t formatFlags = 0x80;       // header byte 6
  uint16_t recordLength = 9;        // without end-of-record bytes
  uint32_t perLeaf = 0;             // 0: one-level tree (every entry in the root)
  std::vector<ImageEntry> entries;  // ascending
  // DDR chain, newest sector first; every sector but the newest must hold
  // 126 positions.
  std::vector<std::vector<uint32_t>> ddr;
  bool newestAt1536 = true;  // false: the newest sector is full and stands behind the others
  bool swapped = false;      // written in the other byte order
  uint32_t spin = 0;
  uint32_t deletedCount = 0;
  std::string dataName = "data.txt";
  std::string cmdLine = "data.txt,a.isi,-1-4";
};

struct Image {
  std::string bytes;
  std::vector<uint32_t> leafOffsets;  // byte offsets of the leaves, in key order
  std::vector<uint32_t> ddrOffsets;   // byte offsets of the DDR sectors, newest first
};

Image BuildImage(const ImageSpec& spec);

// `count` ascending entries with keys of `keyLength` bytes ("k0000001"...),
// record positions 0, 1, 2 ... (times recSize unless recNum), every fifth
// key repeated once as a duplicate.
std::vector<ImageEntry> MakeEntries(uint32_t count, uint16_t keyLength, bool recNum,
                                    uint16_t recSize);

// Deleted-record positions 1000 + i for a chain of `sectors` sectors whose
// newest holds `newest` positions.
std::vector<std::vector<uint32_t>> MakeDdrChain(uint32_t sectors, uint32_t newest);

// Little helpers for poking at files.
uint32_t Get32(const std::string& bytes, size_t at, bool swapped = false);
uint16_t Get16(const std::string& bytes, size_t at, bool swapped = false);
void Put32(std::string* bytes, size_t at, uint32_t v, bool swapped = false);
void Put16(std::string* bytes, size_t at, uint16_t v, bool swapped = false);

}  // namespace ct
