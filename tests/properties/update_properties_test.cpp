// What must hold for every sequence of changes in place: random inserts and
// deletes in changes of random size (some abandoned) on indexes of every
// record form and duplicate rule, each commit held against a model of the
// live records (where each went, its key, its duplicate sequence) and
// against the reader library's check; at the end a rebuild indexes the same
// records and a compaction of the updated index still checks clean.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "kelisi.h"
#include "support/model.h"
#include "support/test_util.h"

namespace {

struct Live {
  uint64_t offset;
  uint32_t size;
  std::string key;
  uint32_t dup;
  bool selected;  // passes the record test (column 1 = 'a') when there is one
};

struct Model {
  std::vector<Live> live;         // in the order they arrived
  std::vector<uint64_t> deleted;  // the deleted-record list, newest last
  uint64_t dataSize = 0;
};

enum Form { kFixed, kFixedNoList, kVariable, kSpaces };

struct Setup {
  Form form;
  std::string dups;  // "", "n", "n0", "n$"
  bool upper;
  int len;
  std::string keys;
  // p1=a: only records with 'a' in column 1 get entries; or the extended
  // expression 1='a' | 2='b' (its second field, past a record of one
  // column, is the end-of-record mark: no 'b').
  enum Test { kNone, kSimple, kExtended } tested;
  // The build lists deleted fixed-length records unless w; changes (and
  // compaction) keep the list only where the header does not mark the
  // records as appended (w, or record tests: p).
  bool List() const { return form == kFixed && !tested; }
  bool BuildLists() const { return form == kFixed; }
  bool Selects(const std::string& body) const {
    // What the columns show: tabs stand for blanks up to the next tab stop.
    std::string shown;
    for (char c : body) {
      if (c == '\n') break;
      shown.append(c == '\t' ? 8 - shown.size() % 8 : 1, c == '\t' ? ' ' : c);
    }
    if (tested == kSimple) return shown[0] == 'a';
    return tested == kNone || shown[0] == 'a' || (shown.size() > 1 && shown[1] == 'b');
  }
  bool FirstOnly() const { return dups == "n0" || dups == "n$"; }
};

// Under n0 and n$ the entry of a key is its record nearest the start of the
// data file; otherwise every live record has one, equal keys in the order
// they arrived.
std::vector<kt::Entry> Expected(const Setup& s, const Model& m) {
  std::vector<kt::Entry> out;
  std::map<std::string, size_t> first;
  for (const Live& l : m.live) {
    if (!l.selected) continue;
    if (s.FirstOnly()) {
      auto [it, fresh] = first.emplace(l.key, out.size());
      if (!fresh) {
        if (out[it->second].offset > l.offset) out[it->second] = {l.key, l.offset, l.size, 0};
        continue;
      }
    }
    out.push_back({l.key, l.offset, l.size, s.FirstOnly() ? 0 : l.dup});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const kt::Entry& a, const kt::Entry& b) { return a.key < b.key; });
  return out;
}

std::string Body(const Setup& s, int len) {
  std::string alphabet = s.form == kSpaces ? "ab\t" : s.upper ? "abAB" : "ab";
  return *rc::gen::container<std::string>(static_cast<size_t>(len), rc::gen::elementOf(alphabet));
}

std::string KeyOf(kelisi* ix, const std::string& rec) {
  kelisi_header h;
  kelisi_get_header(ix, &h);
  std::string key(h.key_length, '\0');
  kelisi_record_key(ix, rec.data(), rec.size(), reinterpret_cast<unsigned char*>(key.data()));
  return key;
}

bool HasEntry(const Setup& s, const Model& m, const Live& l) {
  for (const kt::Entry& e : Expected(s, m)) {
    if (e.offset == l.offset) return true;
  }
  return false;
}

// One insert: the place, the status and the model's answer to it. False
// when the change was spoiled (a duplicate under n).
bool Insert(const Setup& s, kelisi* ix, kelisi_txn* t, Model& m) {
  int len = *rc::gen::inRange(s.form == kFixed || s.form == kFixedNoList ? 0 : 1, s.len + 2);
  std::string body = Body(s, len);
  if (s.form == kSpaces && body[0] == '\t') body[0] = 'a';
  kelisi_entry e;
  int st = kelisi_txn_insert(t, body.data(), body.size(), &e);
  bool fixed = s.form == kFixed || s.form == kFixedNoList;
  if (fixed && len > s.len) {
    RC_ASSERT(st == KELISI_E_TOO_LONG);
    return true;
  }
  std::string rec = body;
  if (fixed) rec.resize(static_cast<size_t>(s.len), ' ');
  rec += "\n";
  Live l{m.dataSize, static_cast<uint32_t>(rec.size()), KeyOf(ix, rec), 0, s.Selects(rec)};
  bool dupKey = false;
  for (const Live& o : m.live) {
    if (o.key == l.key && o.selected && l.selected) dupKey = true, l.dup = o.dup + 1;
  }
  if (dupKey && s.dups == "n") {
    RC_ASSERT(st == KELISI_E_DUPLICATE);
    return false;
  }
  RC_ASSERT(st == KELISI_OK || st == KELISI_NO_ENTRY);
  if (s.List() && !m.deleted.empty()) {
    l.offset = m.deleted.back();
    m.deleted.pop_back();
  } else {
    m.dataSize += l.size;
  }
  RC_ASSERT(e.record_offset == l.offset);
  m.live.push_back(l);
  RC_ASSERT((st == KELISI_OK) == HasEntry(s, m, l));
  return true;
}

// Deletes by a key or the beginning of one, taken from a live record: every
// record with an entry whose key begins so goes, in key order, equal keys
// in the order they arrived (under n0 and n$ by position: the next record
// of a key takes the entry each time).
void DeleteKey(const Setup& s, kelisi_txn* t, Model& m) {
  const Live& from = m.live[*rc::gen::inRange<size_t>(0, m.live.size())];
  std::string prefix = from.key.substr(0, *rc::gen::inRange<size_t>(1, from.key.size() + 1));
  if (*rc::gen::inRange(0, 8) == 0) prefix.back() = '\x01';  // matches nothing
  std::vector<size_t> going;
  for (size_t i = 0; i < m.live.size(); ++i) {
    if (m.live[i].selected && m.live[i].key.compare(0, prefix.size(), prefix) == 0) {
      going.push_back(i);
    }
  }
  std::stable_sort(going.begin(), going.end(), [&](size_t a, size_t b) {
    const Live &x = m.live[a], &y = m.live[b];
    if (x.key != y.key) return x.key < y.key;
    return s.FirstOnly() ? x.offset < y.offset : false;
  });
  uint64_t deleted = 99;
  int st = kelisi_txn_delete_key(t, prefix.data(), prefix.size(),
                                 *rc::gen::arbitrary<bool>() ? KELISI_PREFIX : 0, &deleted);
  RC_ASSERT(st == (going.empty() ? KELISI_NOTFOUND : KELISI_OK));
  RC_ASSERT(deleted == going.size());
  for (size_t i : going) {
    if (s.List()) m.deleted.push_back(m.live[i].offset);
  }
  std::sort(going.rbegin(), going.rend());
  for (size_t i : going) m.live.erase(m.live.begin() + static_cast<long>(i));
}

void Delete(const Setup& s, kelisi_txn* t, Model& m) {
  if (!m.live.empty() && *rc::gen::inRange(0, 8) == 0) return DeleteKey(s, t, m);
  if (m.live.empty() || *rc::gen::inRange(0, 10) == 0) {
    RC_ASSERT(kelisi_txn_delete_at(t, m.dataSize + 1) == KELISI_NOTFOUND);
    return;
  }
  size_t i = *rc::gen::inRange<size_t>(0, m.live.size());
  Live l = m.live[i];
  bool entry = HasEntry(s, m, l);
  int st = kelisi_txn_delete_at(t, l.offset);
  RC_ASSERT(st == (entry ? KELISI_OK : KELISI_NOTFOUND));
  if (!entry) return;
  m.live.erase(m.live.begin() + static_cast<long>(i));
  if (s.List()) m.deleted.push_back(l.offset);
}

// The entries, ignoring the order of equal keys and their sequences.
void ByPosition(std::vector<kt::Entry>* list) {
  for (kt::Entry& e : *list) e.dup = 0;
  std::sort(list->begin(), list->end(), [](const kt::Entry& a, const kt::Entry& b) {
    return a.key != b.key ? a.key < b.key : a.offset < b.offset;
  });
}

// The index at `isi` checks clean and holds the model's entries: in the
// order they arrived, or (`ordered` false: after a compaction or a
// rebuild, which put equal keys in record order) as a set.
void Verify(const Setup& s, const kt::TempDir& dir, const Model& m, const std::string& isi,
            bool ordered = true) {
  kt::Index ix = kt::ReadIndex(dir.file(isi), dir.file("d.txt"));
  RC_ASSERT(ix.error == "");
  for (const std::string& p : ix.problems) {
    if (p.rfind("note: ", 0) != 0) RC_FAIL(isi + ": " + p);  // changes leave sectors part-filled
  }
  std::vector<kt::Entry> want = Expected(s, m), got = ix.entries;
  if (!ordered) ByPosition(&want), ByPosition(&got);
  std::string diff = kt::DiffEntries(got, want);
  if (!diff.empty()) RC_FAIL(isi + ": " + diff);
  if (!ordered) return;  // compaction and rebuild lay the list out by their own rules
  std::vector<uint64_t> a = ix.deleted, b = m.deleted;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  RC_ASSERT(a == b);
}

RC_GTEST_PROP(Update, ChangesKeepTheIndexExactlyTheLiveRecords, ()) {
  Setup s;
  s.form = *rc::gen::element(kFixed, kFixedNoList, kVariable, kSpaces);
  s.dups = *rc::gen::element<std::string>("", "", "n", "n0", "n$");
  s.upper = *rc::gen::arbitrary<bool>();
  s.len = *rc::gen::inRange(3, 12);
  s.keys = *rc::gen::element<std::string>("1-2", "3-1", "1-3", "1,3-4");
  s.tested =
      *rc::gen::element(Setup::kNone, Setup::kNone, Setup::kNone, Setup::kSimple, Setup::kExtended);
  RC_TAG(s.form, s.dups, s.tested);
  // The data: under n one record of each key, else random records, some
  // deleted (listed for a fixed-length index with a list).
  kt::TempDir dir;
  kt::Data data;
  Model m;
  int n = s.dups == "n" ? 1 : *rc::gen::inRange(1, 200);
  bool fixed = s.form == kFixed || s.form == kFixedNoList;
  for (int i = 0; i < n; ++i) {
    if (fixed && i > 0 && *rc::gen::inRange(0, 6) == 0)
      data.Deleted(static_cast<size_t>(s.len) + 1);
    std::string body = Body(s, fixed ? s.len : *rc::gen::inRange(1, s.len + 1));
    if (s.form == kSpaces && body[0] == '\t') body[0] = 'b';
    if (i == 0 && s.tested) body[0] = 'a';  // a build wants a record to index
    data.Rec(body);
  }
  // Now and then the last line lacks its line end: the build indexes it as
  // if it had one, and the first record appended writes it. (A fixed
  // length is measured from a record that has one.)
  std::string bytes = data.bytes();
  if (bytes.back() == '\n' && (!fixed || data.records().size() > 1) &&
      *rc::gen::inRange(0, 5) == 0) {
    bytes.pop_back();
  }
  dir.write("d.txt", bytes);
  std::string opts = s.upper ? "u," : "";
  if (s.form == kFixedNoList) opts += "w,";
  if (s.form == kVariable) opts += "v,";
  if (s.form == kSpaces) opts += "s,";
  if (!s.dups.empty()) opts += s.dups + ",";
  if (s.tested == Setup::kSimple) opts += "p1=a,";
  if (s.tested == Setup::kExtended) opts += "p=\"1='a'|2='b'\",";
  RC_ASSERT(kt::RunKelindex({"d.txt,d.isi", "-" + opts + s.keys}, dir.path()).exitCode == 0);
  kelisi* ix = nullptr;
  RC_ASSERT(kelisi_open(dir.file("d.isi").c_str(), dir.file("d.txt").c_str(), KELISI_WRITE, &ix) ==
            KELISI_OK);
  for (const kt::Data::Record& r : data.records()) {
    std::string rec = data.bytes().substr(r.pos, r.size);
    Live l{r.pos, r.size, KeyOf(ix, rec), 0, s.Selects(rec)};
    for (const Live& o : m.live) {
      if (o.key == l.key && o.selected && l.selected) l.dup = o.dup + 1;
    }
    m.live.push_back(l);
  }
  if (s.BuildLists()) m.deleted = data.deleted();
  m.dataSize = data.bytes().size();
  Verify(s, dir, m, "d.isi");

  int changes = *rc::gen::inRange(1, 8);
  for (int c = 0; c < changes; ++c) {
    Model before = m;
    kelisi_txn* t = nullptr;
    RC_ASSERT(kelisi_txn_begin(ix, &t) == KELISI_OK);
    int ops = *rc::gen::element(1, 5, 40, 200);
    bool spoiled = false;
    for (int i = 0; i < ops && !spoiled; ++i) {
      if (*rc::gen::inRange(0, 100) < 55) {
        spoiled = !Insert(s, ix, t, m);
      } else {
        Delete(s, t, m);
      }
    }
    if (spoiled || *rc::gen::inRange(0, 5) == 0) {
      RC_ASSERT(kelisi_txn_abort(t) == KELISI_OK);
      m = before;
    } else {
      RC_ASSERT(kelisi_txn_commit(t) == KELISI_OK);
    }
    Verify(s, dir, m, "d.isi");
  }
  kelisi_close(ix);

  // A compaction of the updated index keeps its entries, and a rebuild
  // indexes the same records.
  dir.write("c.isi", dir.read("d.isi"));
  RC_ASSERT(kt::RunKelindex({"c.isi", "-c"}, dir.path()).exitCode == 0);
  Verify(s, dir, m, "c.isi", false);
  if (Expected(s, m).empty()) return;  // a build wants at least one record
  RC_ASSERT(kt::RunKelindex({"d.isi", "-r"}, dir.path()).exitCode == 0);
  Verify(s, dir, m, "d.isi", false);
}

}  // namespace
