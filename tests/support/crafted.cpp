// Indexes made sector by sector (see crafted.h).
#include "support/crafted.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "support/model.h"

namespace kt {

int CraftedTree::Add(uint32_t count) {
  CraftedSector s;
  s.count = count;
  s.child.assign(count + 1, -1);
  sectors.push_back(s);
  return static_cast<int>(sectors.size()) - 1;
}

void CraftedTree::Number() {
  uint32_t next = 0;
  std::function<uint16_t(int)> visit = [&](int i) -> uint16_t {
    uint16_t height = 0;
    sectors[i].keys.clear();
    for (uint32_t slot = 0; slot <= sectors[i].count; ++slot) {
      int c = sectors[i].child[slot];
      if (c >= 0) height = std::max<uint16_t>(height, visit(c) + 1);
      if (slot < sectors[i].count) sectors[i].keys.push_back(next++);
    }
    return sectors[i].level = height;
  };
  visit(0);
}

CraftedTree CraftedTree::Spine(uint32_t levels, bool left) {
  CraftedTree t;
  for (uint32_t i = 0; i < levels; ++i) {
    int s = t.Add(1);
    if (i > 0) t.sectors[s - 1].child[left ? 0 : 1] = s;
  }
  t.Number();
  return t;
}

CraftedTree CraftedTree::Random(uint64_t seed, uint32_t depth, uint32_t most) {
  CraftedTree t;
  Rng rng(seed);
  // The root is full and has all its children, so that no tree is small.
  std::function<int(uint32_t)> make = [&](uint32_t d) {
    bool root = t.sectors.empty();
    int s = t.Add(root ? most : rng.Below(most + 1));
    for (uint32_t slot = 0; slot <= t.sectors[s].count; ++slot) {
      if (d > 1 && (root || rng.Below(2) == 0)) t.sectors[s].child[slot] = make(d - 1);
    }
    return s;
  };
  make(depth);
  t.Number();
  return t;
}

CraftedTree CraftedTree::TopDown(uint64_t seed, uint32_t entries, uint32_t depth, bool uneven) {
  CraftedTree t;
  Rng rng(seed);
  std::function<int(uint32_t)> make = [&](uint32_t d) {
    int s = t.Add(entries);
    for (uint32_t slot = 0; d > 1 && slot <= entries; ++slot) {
      t.sectors[s].child[slot] = make(d - 1 - (uneven ? rng.Below(std::min(d - 1, 3u)) : 0));
    }
    return s;
  };
  make(depth);
  t.Number();
  return t;
}

std::string CraftKey(uint32_t n) {
  char key[16];
  snprintf(key, sizeof key, "K%05u", n % 100000);
  return key;
}

namespace {

constexpr uint32_t kDeletedRecords = 2;

void Put16(std::string* s, size_t at, uint16_t v) {
  StoreU16(reinterpret_cast<uint8_t*>(s->data() + at), v);
}

}  // namespace

void Put32(std::string* s, size_t at, uint32_t v) {
  StoreU32(reinterpret_cast<uint8_t*>(s->data() + at), v);
}

void ToOtherByteOrder(std::string* isi, bool ddrHead, size_t fullDdr) {
  auto* p = reinterpret_cast<uint8_t*>(isi->data());
  uint32_t entrySize = IsiEntrySize(LoadU16(p + kHdrKeyLengthOfs));
  IsiXlatHeader(p);
  std::swap((*isi)[kHdrVersionOfs], (*isi)[kHdrVersionOfs + 1]);  // it tells the order
  IsiXlatKeySector(p + kIsiRootPos, entrySize);
  if (ddrHead) IsiXlatDdrSector(p + kIsiDdrHeadPos);
  for (size_t s = kIsiFrontSectors; s < isi->size() / kIsiSector; ++s) {
    if (s < kIsiFrontSectors + fullDdr) {
      IsiXlatDdrSector(p + kIsiSector * s);
    } else {
      IsiXlatKeySector(p + kIsiSector * s, entrySize);
    }
  }
}

size_t CraftedLayout::At(int i) const {
  size_t sector = i == 0 ? kIsiRootPos / kIsiSector : kIsiFrontSectors + sectors - 1 - i;
  return sector * kIsiSector;
}

uint32_t CraftedLayout::Pos(int i) const {
  return static_cast<uint32_t>(recordNumbers ? At(i) / kIsiSector : At(i));
}

size_t CraftedLayout::Entry(size_t sectorAt, uint32_t e) {
  return sectorAt + e * kCraftEntrySize;
}

Crafted Craft(const CraftedTree& tree, const CraftOptions& o) {
  const size_t n = tree.sectors.size();
  uint32_t entries = 0;
  for (const CraftedSector& s : tree.sectors) entries += s.count;
  const CraftedLayout l = {n, o.recordNumbers};
  auto pos = [&](uint32_t sector) { return o.recordNumbers ? sector : sector * kIsiSector; };

  Crafted c;
  for (uint32_t k = 0; k < entries; ++k) c.data += CraftKey(k / o.repeat) + " data \n";
  std::vector<uint32_t> record(entries);  // the record of the entry with key number k
  for (uint32_t k = 0; k < entries; ++k) record[k] = k;
  Rng rng(o.shuffle);
  for (uint32_t k = entries; o.shuffle != 0 && k > 1; --k)
    std::swap(record[k - 1], record[rng.Below(k)]);
  c.data.append(o.deleted ? kDeletedRecords * kCraftRecordSize : 0, '\0');

  c.isi.assign((n + 3) * kIsiSector, '\0');
  IsiHeader h = {};
  memcpy(h.magic, kIsiMagic, sizeof h.magic);
  h.version = kIsiVersion;
  h.formatFlags = kFmtEorLf | (o.recordNumbers ? 0 : kFmtVarLen | kFmtAppend);
  h.modeFlags = o.recordNumbers ? kModeRecNum : 0;
  // Variable-length records: the maximum a build assumes.
  h.recordLength = o.recordNumbers ? kCraftRecordSize - 1 : 256;
  h.keyLength = kCraftKeyLength;
  h.dataLength = o.recordNumbers ? static_cast<uint32_t>(c.data.size() / kCraftRecordSize)
                                 : static_cast<uint32_t>(c.data.size());
  h.ddrHead = o.deleted ? pos(kIsiDdrHeadPos / kIsiSector) : kIsiNoSector;
  h.rootPos = pos(kIsiRootPos / kIsiSector);
  h.reserved24 = kIsiNoSector;
  h.recordCount = entries;
  h.deletedCount = o.deleted ? kDeletedRecords : 0;
  h.keySpecs[0] = {0, kCraftKeyLength};
  memcpy(h.dataName, "d.txt", 5);
  snprintf(h.cmdLine, sizeof h.cmdLine, "d.txt,d.isi,-%s1-6", o.recordNumbers ? "" : "v,");
  memcpy(c.isi.data(), &h, sizeof h);

  for (size_t i = 0; i < n; ++i) {
    const CraftedSector& s = tree.sectors[i];
    size_t base = l.At(static_cast<int>(i));
    for (uint32_t e = 0; e < s.count; ++e) {
      size_t en = CraftedLayout::Entry(base, e);
      uint32_t r = record[s.keys.at(e)];
      Put32(&c.isi, en + kEntryPosOfs, o.recordNumbers ? r : r * kCraftRecordSize);
      if (s.child[e] >= 0) Put32(&c.isi, en + kEntryChildOfs, l.Pos(s.child[e]));
      Put16(&c.isi, en + kEntryDupOfs, static_cast<uint16_t>(r % o.repeat));
      Put16(&c.isi, en + kEntrySizeOfs, kCraftRecordSize);
      memcpy(c.isi.data() + en + kIsiEntryKeyOfs, CraftKey(r / o.repeat).data(), kCraftKeyLength);
    }
    c.isi[base + kKeyCountOfs] = static_cast<char>(s.count);
    Put16(&c.isi, base + kKeyLevelOfs, s.level);
    if (s.child[s.count] >= 0) Put32(&c.isi, base + kKeyRightOfs, l.Pos(s.child[s.count]));
  }
  if (o.deleted) {
    for (uint32_t d = 0; d < kDeletedRecords; ++d) {
      Put32(&c.isi, kIsiDdrHeadPos + 4 * d,
            o.recordNumbers ? entries + d : (entries + d) * kCraftRecordSize);
    }
    Put32(&c.isi, kIsiDdrHeadPos + kDdrLinkOfs, kIsiNoSector);
    Put16(&c.isi, kIsiDdrHeadPos + kDdrCountOfs, kDeletedRecords);
    c.isi[kIsiDdrHeadPos + kDdrMark1Ofs] = static_cast<char>(kIsiDdrMark1);
    c.isi[kIsiDdrHeadPos + kDdrMark2Ofs] = static_cast<char>(kIsiDdrMark2);
  }
  if (o.patch) o.patch(&c.isi, l);
  if (o.swapped) {
    auto* p = reinterpret_cast<uint8_t*>(c.isi.data());
    IsiXlatHeader(p);
    std::swap(c.isi[kHdrVersionOfs], c.isi[kHdrVersionOfs + 1]);
    if (o.deleted) IsiXlatDdrSector(p + kIsiDdrHeadPos);
    for (size_t i = 0; i < n; ++i) {
      size_t base = l.At(static_cast<int>(i));
      if (base + kIsiSector <= c.isi.size()) IsiXlatKeySector(p + base, kCraftEntrySize);
    }
  }
  return c;
}

}  // namespace kt
