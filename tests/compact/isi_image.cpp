#include "compact/isi_image.h"

#include <cstdio>
#include <cstring>

namespace ct {

uint32_t Get32(const std::string& b, size_t at, bool swapped) {
  uint32_t v;
  memcpy(&v, b.data() + at, 4);
  return swapped ? __builtin_bswap32(v) : v;
}
uint16_t Get16(const std::string& b, size_t at, bool swapped) {
  uint16_t v;
  memcpy(&v, b.data() + at, 2);
  return swapped ? __builtin_bswap16(v) : v;
}
void Put32(std::string* b, size_t at, uint32_t v, bool swapped) {
  if (swapped) v = __builtin_bswap32(v);
  memcpy(b->data() + at, &v, 4);
}
void Put16(std::string* b, size_t at, uint16_t v, bool swapped) {
  if (swapped) v = __builtin_bswap16(v);
  memcpy(b->data() + at, &v, 2);
}

namespace {

constexpr uint32_t kSector = 512;

uint32_t EntrySize(uint16_t keyLength) {
  return (keyLength + 12u + 3u) & ~3u;
}

class Writer {
 public:
  explicit Writer(const ImageSpec& spec) : spec_(spec) { bytes_.assign(2048, '\0'); }

  uint32_t Append() {
    uint32_t at = static_cast<uint32_t>(bytes_.size());
    bytes_.append(kSector, '\0');
    return at;
  }
  uint32_t Pos(uint32_t byteOffset) const {
    return spec_.recNum ? byteOffset / kSector : byteOffset;
  }
  void KeySector(uint32_t at, const std::vector<const ImageEntry*>& entries,
                 const std::vector<uint32_t>& children, uint32_t rightChild, uint16_t level) {
    bool sw = spec_.swapped;
    uint32_t e = EntrySize(spec_.keyLength);
    for (size_t i = 0; i < entries.size(); ++i) {
      size_t p = at + i * e;
      Put32(&bytes_, p, entries[i]->recPos, sw);
      Put32(&bytes_, p + 4, children.empty() ? 0 : children[i], sw);
      Put16(&bytes_, p + 8, 0, sw);
      Put16(&bytes_, p + 10, entries[i]->recSize, sw);
      memcpy(bytes_.data() + p + 12, entries[i]->key.data(), spec_.keyLength);
    }
    bytes_[at + 500] = static_cast<char>(entries.size());
    Put16(&bytes_, at + 506, level, sw);
    Put32(&bytes_, at + 508, rightChild, sw);
  }
  void DdrSector(uint32_t at, const std::vector<uint32_t>& positions, uint32_t link) {
    bool sw = spec_.swapped;
    for (size_t i = 0; i < positions.size(); ++i) Put32(&bytes_, at + 4 * i, positions[i], sw);
    Put32(&bytes_, at + 504, link, sw);
    Put16(&bytes_, at + 508, static_cast<uint16_t>(positions.size()), sw);
    bytes_[at + 510] = static_cast<char>(0xF9);
    bytes_[at + 511] = static_cast<char>(0xFD);
  }
  std::string& bytes() { return bytes_; }

 private:
  const ImageSpec& spec_;
  std::string bytes_;
};

// Full sectors first, oldest first, from 2048 on; the newest behind them,
// or at 1536.
uint32_t WriteDdrChain(Writer* w, const ImageSpec& spec, Image* image) {
  if (spec.ddr.empty()) return 0xFFFFFFFF;
  size_t n = spec.ddr.size();
  std::vector<uint32_t> at(n);
  uint32_t link = 0xFFFFFFFF;
  for (size_t i = n; i-- > 1;) {
    at[i] = w->Append();
    w->DdrSector(at[i], spec.ddr[i], link);
    link = w->Pos(at[i]);
  }
  at[0] = spec.newestAt1536 ? 1536 : w->Append();
  w->DdrSector(at[0], spec.ddr[0], link);
  image->ddrOffsets = at;
  return w->Pos(at[0]);
}

void WriteTree(Writer* w, const ImageSpec& spec, Image* image) {
  std::vector<const ImageEntry*> all;
  for (const ImageEntry& e : spec.entries) all.push_back(&e);
  if (spec.perLeaf == 0) {
    w->KeySector(1024, all, {}, 0, 0);
    return;
  }
  // Leaves of perLeaf entries with one root entry between two leaves.
  std::vector<const ImageEntry*> rootEntries;
  std::vector<uint32_t> children;
  size_t i = 0;
  uint32_t last = 0;
  while (i < all.size()) {
    size_t n = std::min<size_t>(spec.perLeaf, all.size() - i);
    std::vector<const ImageEntry*> leaf(all.begin() + i, all.begin() + i + n);
    i += n;
    uint32_t at = w->Append();
    w->KeySector(at, leaf, {}, 0, 0);
    image->leafOffsets.push_back(at);
    last = w->Pos(at);
    if (i < all.size()) {
      rootEntries.push_back(all[i++]);
      children.push_back(last);
      last = 0;
    }
  }
  w->KeySector(1024, rootEntries, children, last, 1);
}

}  // namespace

Image BuildImage(const ImageSpec& spec) {
  Image image;
  Writer w(spec);
  bool sw = spec.swapped;
  uint32_t ddrHead = WriteDdrChain(&w, spec, &image);
  WriteTree(&w, spec, &image);
  std::string& b = w.bytes();
  memcpy(b.data(), "SISI", 4);
  Put16(&b, 4, 0xFC03, sw);
  b[6] = static_cast<char>(spec.formatFlags);
  b[7] = spec.recNum ? 1 : 0;
  Put16(&b, 8, spec.recordLength, sw);
  Put16(&b, 10, spec.keyLength, sw);
  Put32(&b, 12, static_cast<uint32_t>(spec.entries.size()), sw);
  Put32(&b, 16, ddrHead, sw);
  Put32(&b, 20, spec.recNum ? 2 : 1024, sw);
  Put32(&b, 24, 0xFFFFFFFF, sw);
  Put32(&b, 32, spec.spin, sw);
  Put32(&b, 44, static_cast<uint32_t>(spec.entries.size()), sw);
  Put32(&b, 48, spec.deletedCount, sw);
  Put16(&b, 112, 0, sw);
  Put16(&b, 114, spec.keyLength, sw);
  memcpy(b.data() + 240, spec.dataName.data(), std::min<size_t>(spec.dataName.size(), 256));
  memcpy(b.data() + 496, spec.cmdLine.data(), std::min<size_t>(spec.cmdLine.size(), 527));
  image.bytes = b;
  return image;
}

std::vector<ImageEntry> MakeEntries(uint32_t count, uint16_t keyLength, bool recNum,
                                    uint16_t recSize) {
  std::vector<ImageEntry> entries;
  uint32_t record = 0;
  for (uint32_t i = 0; entries.size() < count; ++i) {
    char key[32];
    snprintf(key, sizeof key, "k%07u", i);
    std::string k(key);
    k.resize(keyLength, ' ');
    for (int copy = 0; copy < (i % 5 == 4 ? 2 : 1) && entries.size() < count; ++copy) {
      entries.push_back({recNum ? record : record * recSize, recSize, k});
      ++record;
    }
  }
  return entries;
}

std::vector<std::vector<uint32_t>> MakeDdrChain(uint32_t sectors, uint32_t newest) {
  std::vector<std::vector<uint32_t>> chain(sectors);
  uint32_t next = 1000;
  for (uint32_t s = sectors; s-- > 0;) {
    uint32_t n = s == 0 ? newest : 126;
    for (uint32_t i = 0; i < n; ++i) chain[s].push_back(next++);
  }
  return chain;
}

}  // namespace ct
