#include "support/model.h"

#include <algorithm>
#include <cctype>

#include "kelisi.h"

namespace kt {

uint32_t Rng::Next() {
  s_ ^= s_ << 13;
  s_ ^= s_ >> 7;
  s_ ^= s_ << 17;
  return static_cast<uint32_t>(s_ >> 16);
}

std::string Rng::Text(size_t n, const std::string& alphabet) {
  std::string s(n, ' ');
  for (char& c : s) c = alphabet[Below(static_cast<uint32_t>(alphabet.size()))];
  return s;
}

Data& Data::Rec(const std::string& body) {
  records_.push_back({bytes_.size(), body, static_cast<uint32_t>(body.size() + eor_.size())});
  bytes_ += body + eor_;
  return *this;
}

Data& Data::Deleted(size_t bytes) {
  deleted_.push_back(bytes_.size());
  bytes_.append(bytes, '\0');
  return *this;
}

Data& Data::Raw(const std::string& bytes) {
  bytes_ += bytes;
  return *this;
}

Data RandomData(int n, int len, uint64_t seed, int deleteEvery, const std::string& eor,
                const std::string& alphabet) {
  Rng rng(seed);
  Data d(eor);
  for (int i = 0; i < n; ++i) {
    if (deleteEvery > 0 && i > 0 && i % deleteEvery == 0) {
      d.Deleted(len + eor.size());
    } else {
      d.Rec(rng.Text(static_cast<size_t>(len), alphabet));
    }
  }
  return d;
}

namespace {

std::string KeyOf(const std::string& body, const KeySpecs& specs, bool upper) {
  std::string key;
  for (auto [first, last] : specs) {
    for (int c = first, step = first <= last ? 1 : -1;; c += step) {
      char ch = static_cast<size_t>(c - 1) < body.size() ? body[static_cast<size_t>(c - 1)] : ' ';
      key += upper ? static_cast<char>(toupper(static_cast<unsigned char>(ch))) : ch;
      if (c == last) break;
    }
  }
  return key;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

int CollectProblem(void* ctx, const kelisi_problem* p) {
  static_cast<std::vector<std::string>*>(ctx)->push_back(p->message);
  return 0;
}

}  // namespace

std::vector<Entry> Expected(const Data& data, const KeySpecs& specs, bool upper,
                            const std::function<bool(const std::string&)>& keep, bool firstOnly) {
  std::vector<Entry> entries;
  for (const Data::Record& r : data.records()) {
    if (keep && !keep(r.body)) continue;
    entries.push_back({KeyOf(r.body, specs, upper), r.pos, r.size, 0});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.key < b.key; });
  std::vector<Entry> out;
  for (const Entry& e : entries) {
    bool same = !out.empty() && out.back().key == e.key;
    if (same && firstOnly) continue;
    out.push_back(e);
    if (same) out.back().dup = (out[out.size() - 2].dup + 1) & 0xFFFF;
  }
  return out;
}

Index ReadIndex(const std::string& isi, const std::string& data) {
  Index ix;
  kelisi* h = nullptr;
  int st = kelisi_open(isi.c_str(), data.empty() ? nullptr : data.c_str(), 0, &h);
  if (st != KELISI_OK) {
    ix.error = kelisi_strerror(st);
    return ix;
  }
  kelisi_cursor* c = nullptr;
  kelisi_entry e;
  st = kelisi_cursor_open(h, &c);
  for (st = st == KELISI_OK ? kelisi_first(c, &e) : st; st == KELISI_OK; st = kelisi_next(c, &e)) {
    ix.entries.push_back({std::string(reinterpret_cast<const char*>(e.key), e.key_length),
                          e.record_offset, e.record_size, e.dup_seq});
  }
  if (st != KELISI_NOTFOUND) ix.error = std::string("walk: ") + kelisi_strerror(st);
  kelisi_cursor_close(c);
  size_t count = 0;
  if (kelisi_deleted(h, nullptr, 0, &count) != KELISI_E_ARG) {
    ix.deleted.resize(count);
    kelisi_deleted(h, ix.deleted.data(), count, &count);
  }
  st = kelisi_check(h, data.empty() ? 0 : KELISI_CHECK_RECORDS, CollectProblem, &ix.problems);
  if (st < 0) ix.problems.push_back(std::string("check: ") + kelisi_strerror(st));
  kelisi_close(h);
  return ix;
}

std::string FirstProblem(const std::string& isi, const std::string& data) {
  Index ix = ReadIndex(isi, data);
  for (const std::string& p : ix.problems) {
    if (p.rfind("note: ", 0) != 0 && ix.error.empty()) ix.error = p;
  }
  return ix.error;
}

std::string DiffEntries(const std::vector<Entry>& got, const std::vector<Entry>& want) {
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
    const Entry &g = got[i], &w = want[i];
    if (g == w) continue;
    return "entry " + std::to_string(i) + ": got '" + Printable(g.key) + "' at " +
           std::to_string(g.offset) + " size " + std::to_string(g.size) + " dup " +
           std::to_string(g.dup) + ", want '" + Printable(w.key) + "' at " +
           std::to_string(w.offset) + " size " + std::to_string(w.size) + " dup " +
           std::to_string(w.dup);
  }
  if (got.size() == want.size()) return "";
  return "got " + std::to_string(got.size()) + " entries, want " + std::to_string(want.size());
}

}  // namespace kt
