// The independent ISI reader for tests: decodes by fixed offsets, in the
// byte order the version word reveals.
#include "support/isi_reader.h"

#include <fstream>
#include <set>
#include <sstream>
#include <utility>

namespace isir {

namespace {

bool Fail(std::string* err, const std::string& why) {
  if (err != nullptr) *err = why;
  return false;
}

std::string Hex(uint32_t v) {
  std::ostringstream s;
  s << "0x" << std::hex << v;
  return s.str();
}

std::string CString(const std::string& bytes, size_t ofs, size_t len) {
  std::string field = bytes.substr(ofs, len);
  size_t nul = field.find('\0');
  return nul == std::string::npos ? field : field.substr(0, nul);
}

constexpr int kMaxDepth = 24;  // deeper than any sound tree: stops cycles

}  // namespace

uint16_t IsiReader::U16(uint64_t ofs) const {
  auto b0 = static_cast<uint8_t>(bytes_[ofs]), b1 = static_cast<uint8_t>(bytes_[ofs + 1]);
  return header_.bigEndian ? static_cast<uint16_t>(b0 << 8 | b1)
                           : static_cast<uint16_t>(b1 << 8 | b0);
}

uint32_t IsiReader::U32(uint64_t ofs) const {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t b = static_cast<uint8_t>(bytes_[ofs + static_cast<uint64_t>(i)]);
    v |= header_.bigEndian ? b << (8 * (3 - i)) : b << (8 * i);
  }
  return v;
}

bool IsiReader::LoadFile(const std::string& path, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(err, "cannot open " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return Load(ss.str(), err);
}

bool IsiReader::Load(const std::string& bytes, std::string* err) {
  bytes_ = bytes;
  header_ = Header{};
  if (bytes_.size() < 1024) return Fail(err, "shorter than a header");
  Header& h = header_;
  h.magic = bytes_.substr(0, 4);
  if (h.magic != "SISI") return Fail(err, "no SISI magic");
  auto v0 = static_cast<uint8_t>(bytes_[4]), v1 = static_cast<uint8_t>(bytes_[5]);
  if (v0 == 0x03 && v1 == 0xFC) {
    h.bigEndian = false;
  } else if (v0 == 0xFC && v1 == 0x03) {
    h.bigEndian = true;
  } else {
    return Fail(err, "version word is neither order of 0xFC03");
  }
  h.version = U16(4);
  h.formatFlags = static_cast<uint8_t>(bytes_[6]);
  h.modeFlags = static_cast<uint8_t>(bytes_[7]);
  h.recordLength = U16(8);
  h.keyLength = U16(10);
  h.dataLength = U32(12);
  h.ddrHead = U32(16);
  h.rootPos = U32(20);
  h.field24 = U32(24);
  h.field28 = U32(28);
  h.spin = U32(32);
  h.field36 = U32(36);
  h.field40 = U32(40);
  h.recordCount = U32(44);
  h.deletedCount = U32(48);
  for (int i = 0; i < 10; ++i) {
    h.primary[i].column = U16(64 + 4 * i);
    h.primary[i].ops = static_cast<uint8_t>(bytes_[66 + 4 * i]);
    h.primary[i].ch = static_cast<uint8_t>(bytes_[67 + 4 * i]);
  }
  for (int i = 0; i < 32; ++i) {
    h.keySpecs[i].first = U16(112 + 4 * i);
    h.keySpecs[i].length = U16(114 + 4 * i);
  }
  h.dataName = CString(bytes_, 240, 256);
  h.cmdLine = CString(bytes_, 496, 528);
  return true;
}

uint64_t IsiReader::ByteOffset(uint32_t pos) const {
  return header_.recNum() ? static_cast<uint64_t>(pos) * kSector : pos;
}

bool IsiReader::SectorInFile(uint32_t pos, std::string* err) const {
  uint64_t ofs = ByteOffset(pos);
  if (ofs % kSector != 0) return Fail(err, "position " + Hex(pos) + " is not on a sector");
  if (ofs + kSector > bytes_.size()) return Fail(err, "position " + Hex(pos) + " is past the end");
  return true;
}

bool IsiReader::ReadKeySector(uint32_t pos, KeySector* out, std::string* err) const {
  if (!SectorInFile(pos, err)) return false;
  uint64_t base = ByteOffset(pos);
  KeySector s;
  s.pos = pos;
  s.count = static_cast<uint8_t>(bytes_[base + 500]);
  s.level = U16(base + 506);
  s.rightChild = U32(base + 508);
  uint32_t size = header_.entrySize();
  uint32_t n = s.count < header_.maxEntries() ? s.count : header_.maxEntries();
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t e = base + static_cast<uint64_t>(i) * size;
    Entry entry;
    entry.recPos = U32(e);
    entry.child = U32(e + 4);
    entry.dupSeq = U16(e + 8);
    entry.recSize = U16(e + 10);
    entry.key = bytes_.substr(e + 12, header_.keyLength);
    s.entries.push_back(entry);
  }
  *out = s;
  return true;
}

bool IsiReader::ReadDdrSector(uint32_t pos, DdrSector* out, std::string* err) const {
  if (!SectorInFile(pos, err)) return false;
  uint64_t base = ByteOffset(pos);
  DdrSector d;
  d.pos = pos;
  d.link = U32(base + 504);
  d.count = static_cast<int16_t>(U16(base + 508));
  d.mark1 = static_cast<uint8_t>(bytes_[base + 510]);
  d.mark2 = static_cast<uint8_t>(bytes_[base + 511]);
  int n = d.count < 0 ? 0 : (d.count > 126 ? 126 : d.count);
  for (int i = 0; i < n; ++i) d.positions.push_back(U32(base + 4 * static_cast<uint64_t>(i)));
  *out = d;
  return true;
}

bool IsiReader::WalkFrom(uint32_t pos, int depth, std::vector<Entry>* out,
                         std::vector<KeySector>* sectors, std::string* err) const {
  if (depth > kMaxDepth) return Fail(err, "tree deeper than any sound tree (a cycle?)");
  KeySector s;
  if (!ReadKeySector(pos, &s, err)) return false;
  if (s.count > header_.maxEntries()) {
    return Fail(err, "sector " + Hex(pos) + " count " + std::to_string(s.count) + " above " +
                         std::to_string(header_.maxEntries()));
  }
  if (sectors != nullptr) sectors->push_back(s);
  for (const Entry& e : s.entries) {
    if (e.child != 0 && !WalkFrom(e.child, depth + 1, out, sectors, err)) return false;
    if (out != nullptr) out->push_back(e);
  }
  if (s.rightChild != 0) return WalkFrom(s.rightChild, depth + 1, out, sectors, err);
  return true;
}

bool IsiReader::Walk(std::vector<Entry>* out, std::string* err) const {
  out->clear();
  return WalkFrom(header_.rootPos, 0, out, nullptr, err);
}

bool IsiReader::TreeSectors(std::vector<KeySector>* out, std::string* err) const {
  out->clear();
  return WalkFrom(header_.rootPos, 0, nullptr, out, err);
}

bool IsiReader::DdrChain(std::vector<DdrSector>* out, std::string* err) const {
  out->clear();
  std::set<uint32_t> seen;
  for (uint32_t pos = header_.ddrHead; pos != kNoSector;) {
    if (!seen.insert(pos).second) return Fail(err, "DDR chain loops at " + Hex(pos));
    DdrSector d;
    if (!ReadDdrSector(pos, &d, err)) return false;
    out->push_back(d);
    pos = d.link;
  }
  return true;
}

bool IsiReader::Validate(std::string* err, ChainRule rule) const {
  const Header& h = header_;
  if (h.keyLength < 1 || h.keyLength > 150) return Fail(err, "key length out of range");
  uint32_t root = h.recNum() ? 2 : 1024;
  if (h.rootPos != root) return Fail(err, "root position " + Hex(h.rootPos));
  if (h.field24 != kNoSector) return Fail(err, "header field 24 is not 0xFFFFFFFF");

  std::vector<KeySector> sectors;
  if (!TreeSectors(&sectors, err)) return false;
  std::set<uint32_t> used;
  for (const KeySector& s : sectors) {
    if (!used.insert(s.pos).second) return Fail(err, "key sector " + Hex(s.pos) + " reached twice");
    if (s.pos != h.rootPos && ByteOffset(s.pos) < 2048) {
      return Fail(err, "key sector " + Hex(s.pos) + " inside the front");
    }
    bool leaf = s.level == 0;
    for (const Entry& e : s.entries) {
      if (leaf && e.child != 0) return Fail(err, "leaf " + Hex(s.pos) + " has a child");
    }
    if (leaf && s.rightChild != 0) return Fail(err, "leaf " + Hex(s.pos) + " has a right child");
  }
  // Levels: every child sits strictly lower than its parent.
  for (const KeySector& s : sectors) {
    std::vector<uint32_t> children;
    for (const Entry& e : s.entries) {
      if (e.child != 0) children.push_back(e.child);
    }
    if (s.rightChild != 0) children.push_back(s.rightChild);
    for (uint32_t c : children) {
      KeySector child;
      if (!ReadKeySector(c, &child, err)) return false;
      if (child.level >= s.level) {
        return Fail(err, "child " + Hex(c) + " level " + std::to_string(child.level) +
                             " not below parent " + Hex(s.pos) + " level " +
                             std::to_string(s.level));
      }
    }
  }
  std::vector<Entry> entries;
  if (!Walk(&entries, err)) return false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (i == 0 || entries[i - 1].key != e.key) {
      if (i > 0 && entries[i - 1].key > e.key) return Fail(err, "keys out of order at " + e.key);
      if (e.dupSeq != 0) return Fail(err, "first of key " + e.key + " has a duplicate sequence");
    } else if (e.dupSeq != static_cast<uint16_t>(entries[i - 1].dupSeq + 1)) {
      return Fail(err, "duplicate sequence breaks at key " + e.key);
    }
  }

  std::vector<DdrSector> chain;
  if (!DdrChain(&chain, err)) return false;
  for (size_t i = 0; i < chain.size(); ++i) {
    const DdrSector& d = chain[i];
    if (d.mark1 != 0xF9 || d.mark2 != 0xFD) return Fail(err, "DDR sector " + Hex(d.pos) + " marks");
    if (d.count < 1 || d.count > 126) return Fail(err, "DDR sector " + Hex(d.pos) + " count");
    if (rule == kBuiltChain && i > 0 && d.count != 126)
      return Fail(err, "DDR sector " + Hex(d.pos) + " behind the head not full");
    if (used.count(d.pos) != 0) return Fail(err, "DDR sector " + Hex(d.pos) + " is a key sector");
    used.insert(d.pos);
  }
  uint64_t sectorsInFile = bytes_.size() / kSector;
  if (bytes_.size() % kSector != 0) return Fail(err, "file length not a whole number of sectors");
  for (uint64_t n = 4; n < sectorsInFile; ++n) {
    auto pos = static_cast<uint32_t>(h.recNum() ? n : n * kSector);
    if (used.count(pos) == 0) return Fail(err, "sector " + std::to_string(n) + " belongs to nothing");
  }
  return true;
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
  IsiReader isi;
  std::vector<KeySector> sectors;
  std::vector<DdrSector> chain;
  if (!isi.Load(bytes) || !isi.TreeSectors(&sectors) || !isi.DdrChain(&chain)) return "";
  std::string out = bytes;
  for (uint64_t at : {4, 8, 10}) Swap16(&out, at);
  for (uint64_t at = 12; at <= 48; at += 4) Swap32(&out, at);
  for (uint64_t i = 0; i < 10; ++i) Swap16(&out, 64 + 4 * i);
  for (uint64_t i = 0; i < 32 && isi.header().keySpecs[i].length != 0; ++i) {
    Swap16(&out, 112 + 4 * i);
    Swap16(&out, 114 + 4 * i);
  }
  uint32_t e = isi.header().entrySize();
  for (const KeySector& s : sectors) {
    uint64_t at = isi.ByteOffset(s.pos);
    Swap16(&out, at + 506);
    Swap32(&out, at + 508);
    for (uint64_t i = 0; i < s.entries.size(); ++i) {
      for (uint64_t field : {0, 4}) Swap32(&out, at + i * e + field);
      for (uint64_t field : {8, 10}) Swap16(&out, at + i * e + field);
    }
  }
  for (const DdrSector& d : chain) {
    uint64_t at = isi.ByteOffset(d.pos);
    Swap32(&out, at + 504);
    Swap16(&out, at + 508);
    for (uint64_t i = 0; i < d.positions.size(); ++i) Swap32(&out, at + 4 * i);
  }
  return out;
}

}  // namespace isir
