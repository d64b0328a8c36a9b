// An independent reader of ISI index files for tests.
//
// It decodes a file from its bytes by fixed offsets, in either byte order,
// and shares nothing with the program's own ISI code, so a test can hold
// what the program wrote against the file format itself:
//
//   isir::IsiReader isi;
//   ASSERT_TRUE(isi.LoadFile(path, &err)) << err;
//   isi.header().recordCount ...
//   std::vector<isir::Entry> entries;  isi.Walk(&entries, &err);   // key order
//   std::vector<isir::DdrSector> ddr;  isi.DdrChain(&ddr, &err);   // newest first
//   EXPECT_TRUE(isi.Validate(&err)) << err;
//   std::string foreign = isir::SwapByteOrder(bytes);
//
// Positions are as the file stores them: byte offsets, or sector and record
// numbers when the header's addressing bit (byte 7, 0x01) is set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace isir {

constexpr uint32_t kSector = 512;
constexpr uint32_t kNoSector = 0xFFFFFFFF;

struct PrimaryTest {
  uint16_t column;  // 1-based
  uint8_t ops;      // 0x10 '#', 0x20 '='
  uint8_t ch;
};

struct KeySpec {
  uint16_t first;  // 0-based column
  uint16_t length;
};

struct Header {
  bool bigEndian = false;  // the byte order the file was written in
  std::string magic;       // the first 4 bytes
  uint16_t version = 0;    // in the file's order: 0xFC03 for a valid file
  uint8_t formatFlags = 0, modeFlags = 0;
  uint16_t recordLength = 0, keyLength = 0;
  uint32_t dataLength = 0, ddrHead = 0, rootPos = 0, field24 = 0, field28 = 0, spin = 0,
           field36 = 0, field40 = 0, recordCount = 0, deletedCount = 0;
  PrimaryTest primary[10] = {};
  KeySpec keySpecs[32] = {};
  std::string dataName;  // the 256-byte field up to its first NUL
  std::string cmdLine;   // the 528-byte field up to its first NUL

  bool recNum() const { return (modeFlags & 0x01) != 0; }
  // Key length + 12, rounded up to a multiple of 4.
  uint32_t entrySize() const { return (keyLength + 12u + 3u) & ~3u; }
  uint32_t maxEntries() const { return entrySize() == 0 ? 0 : 500 / entrySize(); }
};

struct Entry {
  uint32_t recPos = 0;
  uint32_t child = 0;
  uint16_t dupSeq = 0;
  uint16_t recSize = 0;
  std::string key;  // keyLength bytes
};

struct KeySector {
  uint32_t pos = 0;  // as the file addresses it
  uint8_t count = 0;
  uint16_t level = 0;
  uint32_t rightChild = 0;
  std::vector<Entry> entries;  // the first `count` entries (at most what fits)
};

struct DdrSector {
  uint32_t pos = 0;
  uint32_t link = 0;
  int16_t count = 0;
  uint8_t mark1 = 0, mark2 = 0;
  std::vector<uint32_t> positions;  // the first `count` entries (0 to 126)
};

class IsiReader {
 public:
  // Takes the whole file. False (with a reason) unless it holds at least a
  // 1024-byte header with the magic "SISI" and a valid version word.
  bool Load(const std::string& bytes, std::string* err = nullptr);
  bool LoadFile(const std::string& path, std::string* err = nullptr);

  const Header& header() const { return header_; }
  const std::string& bytes() const { return bytes_; }
  // Byte offset of a sector position (times 512 under record numbers).
  uint64_t ByteOffset(uint32_t pos) const;

  // Decodes the key sector at `pos` (the root is read from the file too).
  bool ReadKeySector(uint32_t pos, KeySector* out, std::string* err = nullptr) const;
  bool ReadRoot(KeySector* out, std::string* err = nullptr) const {
    return ReadKeySector(header_.rootPos, out, err);
  }
  bool ReadDdrSector(uint32_t pos, DdrSector* out, std::string* err = nullptr) const;

  // Every entry of the tree in order: the subtree of e1.child, e1, ...,
  // en, the subtree of the rightmost child.
  bool Walk(std::vector<Entry>* out, std::string* err = nullptr) const;
  // Every key sector of the tree, parents before children.
  bool TreeSectors(std::vector<KeySector>* out, std::string* err = nullptr) const;
  // The DDR chain from the header's head along the links, newest first.
  bool DdrChain(std::vector<DdrSector>* out, std::string* err = nullptr) const;

  // The structure as a sound index has it: header fields, counts within the
  // sector, levels falling strictly toward the leaves (leaves at 0, without
  // children), every key sector reached once, keys in ascending order with
  // counting duplicate sequences, a DDR chain with the right markers whose
  // sectors behind the head are full (as a build writes them; kCarriedChain
  // accepts the partial ones a compaction carries over from another
  // writer's file), and every sector behind the 2048-byte front belonging
  // to the tree or to the chain.
  enum ChainRule { kBuiltChain, kCarriedChain };
  bool Validate(std::string* err = nullptr, ChainRule rule = kBuiltChain) const;

 private:
  uint16_t U16(uint64_t ofs) const;
  uint32_t U32(uint64_t ofs) const;
  bool SectorInFile(uint32_t pos, std::string* err) const;
  bool WalkFrom(uint32_t pos, int depth, std::vector<Entry>* out, std::vector<KeySector>* sectors,
                std::string* err) const;

  std::string bytes_;
  Header header_;
};

// The same index as a machine of the other byte order writes it, field by
// field: the header, every key sector of the tree and every DDR sector of
// the chain. Empty when `bytes` is no index that can be walked.
std::string SwapByteOrder(const std::string& bytes);

}  // namespace isir
