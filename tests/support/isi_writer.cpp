#include "support/isi_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace isiw {

uint16_t Get16(const std::string& b, size_t at, bool swapped) {
  uint16_t v;
  memcpy(&v, b.data() + at, 2);
  return swapped ? __builtin_bswap16(v) : v;
}
uint32_t Get32(const std::string& b, size_t at, bool swapped) {
  uint32_t v;
  memcpy(&v, b.data() + at, 4);
  return swapped ? __builtin_bswap32(v) : v;
}
void Put16(std::string* b, size_t at, uint16_t v, bool swapped) {
  if (swapped) v = __builtin_bswap16(v);
  memcpy(b->data() + at, &v, 2);
}
void Put32(std::string* b, size_t at, uint32_t v, bool swapped) {
  if (swapped) v = __builtin_bswap32(v);
  memcpy(b->data() + at, &v, 4);
}

namespace {

constexpr uint32_t kSector = 512, kDdrPerSector = 126;

class Writer {
 public:
  explicit Writer(const Spec& spec) : s_(spec), sw_(spec.swapped) {
    entrySize_ = (spec.keyLength + 15u) & ~3u;
    image_.bytes.assign(2048, '\0');
  }

  Image Make() {
    WriteFullDdrSectors();
    for (size_t i = 0; i < s_.entries.size(); ++i) {
      bool dup = s_.countDuplicates && i > 0 && s_.entries[i].key == s_.entries[i - 1].key;
      dupSeq_ = dup ? static_cast<uint16_t>(dupSeq_ + 1) : 0;
      Insert(0, EntryBytes(s_.entries[i]), 0);
    }
    // The pending sectors go out from the leaves up, each the right child
    // of the one above; the top one is the root.
    uint32_t below = 0;
    for (size_t level = 0; level < top_; ++level) {
      Put32(&Level(level), 508, below, sw_);
      if (Count(level) != 0) below = Append(level);
    }
    Put32(&Level(top_), 508, below, sw_);
    image_.bytes.replace(1024, kSector, Level(top_));
    WriteHeadDdrSector();
    image_.bytes.replace(0, 1024, Header());
    return image_;
  }

 private:
  uint32_t Pos(size_t byteOffset) const {
    return static_cast<uint32_t>(s_.recNum ? byteOffset / kSector : byteOffset);
  }
  uint32_t Fill(size_t level) const {
    uint32_t fill = level == 0 ? s_.leafFill : s_.upperFill;
    return fill != 0 ? fill : 500 / entrySize_;
  }
  std::string& Level(size_t level) {
    while (levels_.size() <= level) {
      levels_.emplace_back(kSector, '\0');
      Put16(&levels_.back(), 506, static_cast<uint16_t>(levels_.size() - 1), sw_);
    }
    return levels_[level];
  }
  uint32_t Count(size_t level) { return static_cast<uint8_t>(Level(level)[500]); }

  std::string EntryBytes(const Entry& e) {
    std::string b(entrySize_, '\0');
    Put32(&b, 0, e.recPos, sw_);
    Put16(&b, 8, dupSeq_, sw_);
    Put16(&b, 10, e.recSize, sw_);
    memcpy(b.data() + 12, e.key.data(), std::min<size_t>(e.key.size(), s_.keyLength));
    return b;
  }
  // Writes the pending sector of `level` behind the file and starts a new one.
  uint32_t Append(size_t level) {
    size_t at = image_.bytes.size();
    if (level == 0) image_.leafOffsets.push_back(static_cast<uint32_t>(at));
    image_.bytes += levels_[level];
    levels_[level].assign(kSector, '\0');
    Put16(&levels_[level], 506, static_cast<uint16_t>(level), sw_);
    return Pos(at);
  }
  // An entry that finds its sector full goes up, the full sector its child.
  void Insert(size_t level, std::string entry, uint32_t child) {
    top_ = std::max(top_, level);
    if (Count(level) == Fill(level)) {
      Put32(&Level(level), 508, child, sw_);
      Insert(level + 1, entry, Append(level));
      return;
    }
    Put32(&entry, 4, child, sw_);
    std::string& sector = Level(level);
    sector.replace(Count(level) * entrySize_, entrySize_, entry);
    sector[500] = static_cast<char>(Count(level) + 1);
  }

  std::string DdrSector(size_t first, size_t count, uint32_t link) {
    std::string d(kSector, '\0');
    for (size_t i = 0; i < count; ++i) Put32(&d, 4 * i, s_.deleted[first + i], sw_);
    Put32(&d, 504, link, sw_);
    Put16(&d, 508, static_cast<uint16_t>(count), sw_);
    d[510] = static_cast<char>(0xF9);
    d[511] = static_cast<char>(0xFD);
    return d;
  }
  void WriteFullDdrSectors() {
    for (size_t at = 0; at + kDdrPerSector <= s_.deleted.size(); at += kDdrPerSector) {
      image_.ddrOffsets.insert(image_.ddrOffsets.begin(),
                               static_cast<uint32_t>(image_.bytes.size()));
      std::string sector = DdrSector(at, kDdrPerSector, ddrHead_);
      ddrHead_ = Pos(image_.bytes.size());
      image_.bytes += sector;
    }
  }
  void WriteHeadDdrSector() {
    size_t rest = s_.deleted.size() % kDdrPerSector;
    if (rest == 0) return;
    image_.bytes.replace(1536, kSector, DdrSector(s_.deleted.size() - rest, rest, ddrHead_));
    image_.ddrOffsets.insert(image_.ddrOffsets.begin(), 1536);
    ddrHead_ = Pos(1536);
  }

  std::string Header() {
    std::string h(1024, '\0');
    auto entries = static_cast<uint32_t>(s_.entries.size());
    h.replace(0, 4, "SISI");
    Put16(&h, 4, 0xFC03, sw_);
    h[6] = static_cast<char>(s_.formatFlags);
    h[7] = s_.recNum ? 1 : 0;
    Put16(&h, 8, s_.recordLength, sw_);
    Put16(&h, 10, s_.keyLength, sw_);
    Put32(&h, 12, s_.dataLength.value_or(entries), sw_);
    Put32(&h, 16, ddrHead_, sw_);
    Put32(&h, 20, Pos(1024), sw_);
    Put32(&h, 24, 0xFFFFFFFF, sw_);
    Put32(&h, 32, s_.spin, sw_);
    Put32(&h, 44, s_.recordCount.value_or(entries), sw_);
    Put32(&h, 48, s_.deletedCount.value_or(static_cast<uint32_t>(s_.deleted.size())), sw_);
    for (size_t i = 0; i < s_.tests.size(); ++i) {
      h.replace(64 + 4 * i, 4, s_.tests[i]);
      if (sw_) std::swap(h[64 + 4 * i], h[65 + 4 * i]);
    }
    auto specs = s_.keySpecs;
    if (specs.empty()) specs.push_back({0, s_.keyLength});
    for (size_t i = 0; i < specs.size(); ++i) {
      Put16(&h, 112 + 4 * i, specs[i].first, sw_);
      Put16(&h, 114 + 4 * i, specs[i].second, sw_);
    }
    h.replace(240, std::min<size_t>(s_.dataName.size(), 256), s_.dataName);
    h.replace(496, std::min<size_t>(s_.cmdLine.size(), 527), s_.cmdLine);
    return h;
  }

  const Spec& s_;
  bool sw_;
  uint32_t entrySize_;
  Image image_;
  std::vector<std::string> levels_;
  size_t top_ = 0;
  uint16_t dupSeq_ = 0;
  uint32_t ddrHead_ = 0xFFFFFFFF;
};

}  // namespace

Image Build(const Spec& spec) {
  return Writer(spec).Make();
}

std::vector<Entry> NumberedEntries(uint32_t count, uint16_t keyLength, bool recNum,
                                   uint16_t recSize) {
  std::vector<Entry> entries;
  uint32_t record = 0;
  for (uint32_t i = 0; entries.size() < count; ++i) {
    char key[32];
    snprintf(key, sizeof key, "k%07u", i);
    std::string k(key);
    k.resize(keyLength, ' ');
    for (int copy = 0; copy < (i % 5 == 4 ? 2 : 1) && entries.size() < count; ++copy, ++record) {
      entries.push_back({recNum ? record : record * recSize, recSize, k});
    }
  }
  return entries;
}

std::vector<uint32_t> DeletedRun(uint32_t n) {
  std::vector<uint32_t> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = 1000 + i;
  return v;
}

}  // namespace isiw
