#include "compact/isi_compare.h"

#include <gtest/gtest.h>

#include <cstring>

namespace ct {

isir::IsiReader LoadValid(const std::string& path) {
  isir::IsiReader reader;
  std::string err;
  EXPECT_TRUE(reader.LoadFile(path, &err)) << path << ": " << err;
  EXPECT_TRUE(reader.Validate(&err)) << path << ": " << err;
  return reader;
}

std::vector<isir::Entry> EntriesOf(const isir::IsiReader& reader) {
  std::vector<isir::Entry> entries;
  std::string err;
  EXPECT_TRUE(reader.Walk(&entries, &err)) << err;
  return entries;
}

void ExpectSameEntries(const std::vector<isir::Entry>& before,
                       const std::vector<isir::Entry>& after) {
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].key, before[i].key) << i;
    EXPECT_EQ(after[i].recPos, before[i].recPos) << i;
    EXPECT_EQ(after[i].recSize, before[i].recSize) << i;
    uint16_t dup = (i > 0 && before[i - 1].key == before[i].key)
                       ? static_cast<uint16_t>(after[i - 1].dupSeq + 1)
                       : 0;
    EXPECT_EQ(after[i].dupSeq, dup) << i;
  }
}

std::vector<uint32_t> CountsAtLevel(const isir::IsiReader& reader, uint16_t level) {
  std::vector<isir::KeySector> sectors;
  std::string err;
  EXPECT_TRUE(reader.TreeSectors(&sectors, &err)) << err;
  std::vector<uint32_t> counts;
  for (const isir::KeySector& s : sectors) {
    if (s.level == level) counts.push_back(s.count);
  }
  return counts;
}

namespace {

void Swap16(std::string* b, uint64_t at) {
  std::swap((*b)[at], (*b)[at + 1]);
}
void Swap32(std::string* b, uint64_t at) {
  std::swap((*b)[at], (*b)[at + 3]);
  std::swap((*b)[at + 1], (*b)[at + 2]);
}

}  // namespace

std::string SwapByteOrder(const std::string& bytes) {
  isir::IsiReader reader;
  std::string err;
  EXPECT_TRUE(reader.Load(bytes, &err)) << err;
  std::vector<isir::KeySector> sectors;
  std::vector<isir::DdrSector> chain;
  EXPECT_TRUE(reader.TreeSectors(&sectors, &err)) << err;
  EXPECT_TRUE(reader.DdrChain(&chain, &err)) << err;
  std::string out = bytes;
  Swap16(&out, 4);
  Swap16(&out, 8);
  Swap16(&out, 10);
  for (uint64_t at = 12; at <= 48; at += 4) Swap32(&out, at);
  for (uint64_t i = 0; i < 10; ++i) Swap16(&out, 64 + 4 * i);
  for (uint64_t i = 0; i < 32 && reader.header().keySpecs[i].length != 0; ++i) {
    Swap16(&out, 112 + 4 * i);
    Swap16(&out, 114 + 4 * i);
  }
  uint32_t e = reader.header().entrySize();
  for (const isir::KeySector& s : sectors) {
    uint64_t at = reader.ByteOffset(s.pos);
    Swap16(&out, at + 506);
    Swap32(&out, at + 508);
    for (uint64_t i = 0; i < s.count; ++i) {
      Swap32(&out, at + i * e);
      Swap32(&out, at + i * e + 4);
      Swap16(&out, at + i * e + 8);
      Swap16(&out, at + i * e + 10);
    }
  }
  for (const isir::DdrSector& d : chain) {
    uint64_t at = reader.ByteOffset(d.pos);
    Swap32(&out, at + 504);
    Swap16(&out, at + 508);
    for (uint64_t i = 0; i < d.positions.size(); ++i) Swap32(&out, at + 4 * i);
  }
  return out;
}

}  // namespace ct
