// The part of the key column a query asks for: the comparisons SQLite hands
// the table in its plan, the tightest lower and upper bound they give, and
// placing a cursor on the first entry of that range in either direction.
//
// SQLite compares the key column as TEXT under BINARY collation: memcmp over
// the shorter length, then the shorter string first. An index orders its
// keys by memcmp over the key length, and every key has that length, so the
// index order is SQLite's order and a range of SQLite values is a run of
// entries. Values longer or shorter than the key are handled exactly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kelisi.h"

namespace kelisi_sqlite {

// The comparisons the table answers, as they stand in a plan's text.
enum class KeyOp { kEq, kLt, kLe, kGt, kGe };

// "=", "<", "<=", ">", ">=".
const char* KeyOpText(KeyOp op);
// The plan's text of the comparisons a filter receives, in argument order
// ("=" or ">=,<"), and back; false for a text no plan of this table has.
std::string PlanText(const std::vector<KeyOp>& ops);
bool ParsePlan(std::string_view text, std::vector<KeyOp>* ops);

// SQLite's order of two TEXT values under BINARY collation.
int CompareText(std::string_view a, std::string_view b);

struct Bound {
  bool set = false;
  bool strict = false;  // < or >: the bound itself is outside
  std::string value;
};

// The entries a query wants, from the values of its key comparisons.
class KeyRange {
 public:
  // One comparison "key OP value". A value that is not TEXT narrows
  // nothing, except that no key compares true with NULL, and that TEXT
  // sorts below every BLOB: "key > x'..'" and "key = NULL" match nothing.
  void AddText(KeyOp op, std::string_view value);
  void AddNull() { empty_ = true; }
  void AddBlob(KeyOp op);

  // True when no key can match (a NULL, a BLOB lower bound, crossed bounds).
  bool Empty() const;
  bool Above(std::string_view key) const;  // meets the lower bound
  bool Below(std::string_view key) const;  // meets the upper bound

  // Places `c` on the first entry of the range walking up (or, with
  // `descending`, down): KELISI_OK with *e filled, KELISI_NOTFOUND when the
  // range holds no entry, or a failure. `keyLength` is the index's.
  int Start(kelisi_cursor* c, size_t keyLength, bool descending, kelisi_entry* e) const;
  // Steps to the next entry of the range in the walk's direction.
  int Step(kelisi_cursor* c, bool descending, kelisi_entry* e) const;

 private:
  int Position(kelisi_cursor* c, size_t keyLength, bool descending, kelisi_entry* e) const;
  bool Inside(const kelisi_entry& e) const;

  Bound lo_, hi_;
  bool empty_ = false;
};

}  // namespace kelisi_sqlite
