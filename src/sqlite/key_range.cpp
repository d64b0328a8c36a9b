// The key range of a query and the cursor moves that walk it.
#include "sqlite/key_range.h"

#include <algorithm>
#include <cstring>

namespace kelisi_sqlite {

namespace {

constexpr KeyOp kOps[] = {KeyOp::kEq, KeyOp::kLt, KeyOp::kLe, KeyOp::kGt, KeyOp::kGe};

bool IsLower(KeyOp op) {
  return op == KeyOp::kEq || op == KeyOp::kGt || op == KeyOp::kGe;
}
bool IsUpper(KeyOp op) {
  return op == KeyOp::kEq || op == KeyOp::kLt || op == KeyOp::kLe;
}

std::string_view KeyOf(const kelisi_entry& e) {
  return {reinterpret_cast<const char*>(e.key), e.key_length};
}

// The smallest string above every string that begins with `prefix` (empty
// when there is none: the prefix is all 0xFF bytes).
std::string PastPrefix(std::string prefix) {
  while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) prefix.pop_back();
  if (!prefix.empty()) prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
}

}  // namespace

const char* KeyOpText(KeyOp op) {
  switch (op) {
    case KeyOp::kEq:
      return "=";
    case KeyOp::kLt:
      return "<";
    case KeyOp::kLe:
      return "<=";
    case KeyOp::kGt:
      return ">";
    case KeyOp::kGe:
      return ">=";
  }
  return "";
}

std::string PlanText(const std::vector<KeyOp>& ops) {
  std::string text;
  for (KeyOp op : ops) {
    if (!text.empty()) text += ',';
    text += KeyOpText(op);
  }
  return text;
}

bool ParsePlan(std::string_view text, std::vector<KeyOp>* ops) {
  ops->clear();
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view word = text.substr(0, comma);
    auto known = std::find_if(std::begin(kOps), std::end(kOps),
                              [word](KeyOp op) { return word == KeyOpText(op); });
    if (known == std::end(kOps)) return false;
    ops->push_back(*known);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  }
  return true;
}

int CompareText(std::string_view a, std::string_view b) {
  int c = memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

void KeyRange::AddText(KeyOp op, std::string_view value) {
  bool strict = op == KeyOp::kLt || op == KeyOp::kGt;
  if (IsLower(op)) {
    int c = lo_.set ? CompareText(value, lo_.value) : 1;
    if (c > 0 || (c == 0 && strict)) lo_ = {true, strict, std::string(value)};
  }
  if (IsUpper(op)) {
    int c = hi_.set ? CompareText(value, hi_.value) : -1;
    if (c < 0 || (c == 0 && strict)) hi_ = {true, strict, std::string(value)};
  }
}

void KeyRange::AddBlob(KeyOp op) {
  if (IsLower(op)) empty_ = true;
}

bool KeyRange::Empty() const {
  if (empty_) return true;
  if (!lo_.set || !hi_.set) return false;
  int c = CompareText(lo_.value, hi_.value);
  return c > 0 || (c == 0 && (lo_.strict || hi_.strict));
}

bool KeyRange::Above(std::string_view key) const {
  if (!lo_.set) return true;
  int c = CompareText(key, lo_.value);
  return c > 0 || (c == 0 && !lo_.strict);
}

bool KeyRange::Below(std::string_view key) const {
  if (!hi_.set) return true;
  int c = CompareText(key, hi_.value);
  return c < 0 || (c == 0 && !hi_.strict);
}

bool KeyRange::Inside(const kelisi_entry& e) const {
  return Above(KeyOf(e)) && Below(KeyOf(e));
}

// Seeks by the bound's first key-length bytes: the index compares over at
// most the key length, and a longer bound differs from the keys beyond it
// only in length, which Above and Below then settle.
int KeyRange::Position(kelisi_cursor* c, size_t keyLength, bool descending, kelisi_entry* e) const {
  const Bound& from = descending ? hi_ : lo_;
  if (!from.set) return descending ? kelisi_last(c, e) : kelisi_first(c, e);
  std::string head = from.value.substr(0, std::min(from.value.size(), keyLength));
  if (!descending)
    return head.empty() ? kelisi_first(c, e) : kelisi_seek(c, head.data(), head.size(), e);
  if (head.empty()) return KELISI_NOTFOUND;  // every key is longer than ''
  // Walking down: from the entry before the first key past every key that
  // begins with `head`.
  std::string past = PastPrefix(head);
  if (past.empty()) return kelisi_last(c, e);
  int st = kelisi_seek(c, past.data(), past.size(), e);
  if (st == KELISI_OK) return kelisi_prev(c, e);
  return st == KELISI_NOTFOUND ? kelisi_last(c, e) : st;
}

int KeyRange::Start(kelisi_cursor* c, size_t keyLength, bool descending, kelisi_entry* e) const {
  if (Empty()) return KELISI_NOTFOUND;
  int st = Position(c, keyLength, descending, e);
  // Only the first entries can fall short of the bound the walk starts
  // from: keys equal to a strict bound, or to a longer bound's head.
  auto step = descending ? kelisi_prev : kelisi_next;
  while (st == KELISI_OK && !(descending ? Below(KeyOf(*e)) : Above(KeyOf(*e)))) st = step(c, e);
  if (st == KELISI_OK && !Inside(*e)) return KELISI_NOTFOUND;
  return st;
}

int KeyRange::Step(kelisi_cursor* c, bool descending, kelisi_entry* e) const {
  int st = descending ? kelisi_prev(c, e) : kelisi_next(c, e);
  if (st == KELISI_OK && !Inside(*e)) return KELISI_NOTFOUND;
  return st;
}

}  // namespace kelisi_sqlite
