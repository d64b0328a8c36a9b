// kelisi find, range, dump and count: the entries of a key, a prefix, a
// range or the whole index, in key order, one line each (tab-separated text
// or one JSON object), with their records when the data file is given;
// count gives only their number.
//
// find, range and count end with status 1 when they find nothing, as grep
// does, so that a script can test for a key; a failure then differs by its
// line on standard error. A failure after entries were written ends with
// status 1 too: what was written is then not the whole answer.
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {

struct IndexCloser {
  void operator()(kelisi* ix) const { kelisi_close(ix); }
};
struct CursorCloser {
  void operator()(kelisi_cursor* c) const { kelisi_cursor_close(c); }
};

// Which entries a command walks over.
struct Selection {
  enum Kind { kAll, kKey, kRange } kind = kAll;
  std::string from, to;  // kKey: the key or prefix; kRange: the bounds (empty: open)
  std::string typed;     // kKey: the key as typed
  bool padded = false;   // kKey: blank-padded to the key length
};

// An open index and a cursor on it, the walk over a selection and the line
// each entry gets.
class EntryLister {
 public:
  bool Open(const std::string& isiPath, const std::string& dataPath) {
    isiPath_ = isiPath;
    dataPath_ = dataPath;
    ix_.reset(OpenOrFail(isiPath, dataPath));
    if (!ix_) return false;
    int st = kelisi_get_header(ix_.get(), &h_);
    kelisi_cursor* c = nullptr;
    if (st == KELISI_OK) st = kelisi_cursor_open(ix_.get(), &c);
    cursor_.reset(c);
    if (st != KELISI_OK) {
      Fail(StatusText(st, isiPath_, dataPath_));
      return false;
    }
    return true;
  }
  const kelisi_header& header() const { return h_; }

  // Reads a key argument (KeyArgument). Prints the failure.
  bool Key(const char* command, const std::string& text, bool pad, std::string* key,
           bool* padded = nullptr) const {
    return KeyArgument(command, text, ix_.get(), h_, isiPath_, pad, key, padded);
  }

  // Hands every selected entry to `each` in key order. False after a
  // failure, its message printed (by `each`, or here for the walk's own).
  bool Walk(const Selection& s, const std::function<bool(const kelisi_entry&)>& each) {
    kelisi_cursor* c = cursor_.get();
    kelisi_entry e;
    int (*step)(kelisi_cursor*, kelisi_entry*) = kelisi_next;
    int st;
    if (s.kind == Selection::kKey && !s.from.empty()) {
      st = kelisi_find(c, s.from.data(), s.from.size(), &e);
      step = kelisi_next_dup;
    } else if (s.kind == Selection::kRange && !s.from.empty()) {
      st = kelisi_seek(c, s.from.data(), s.from.size(), &e);
    } else {  // everything; every key begins with the empty prefix
      st = kelisi_first(c, &e);
    }
    const std::string& to = s.to;
    for (; st == KELISI_OK; st = step(c, &e)) {
      if (s.kind == Selection::kRange && !to.empty() && memcmp(e.key, to.data(), to.size()) > 0) {
        break;
      }
      if (!each(e)) return false;
    }
    if (st != KELISI_OK && st != KELISI_NOTFOUND) {  // NOTFOUND is a walk's normal end
      Fail(StatusText(st, isiPath_, dataPath_));
      return false;
    }
    return true;
  }

  // Writes one entry as a text line or a JSON object; false (after the
  // message) when its record cannot be read.
  bool Show(const kelisi_entry& e, bool json) {
    size_t recordLength = 0;
    if (!dataPath_.empty() && !ReadRecord(e, &recordLength)) return false;
    line_.clear();
    if (json) {
      line_ += "{\"key\": ";
      AppendJsonString(&line_, reinterpret_cast<const char*>(e.key), e.key_length);
      line_ += ", \"offset\": " + std::to_string(e.record_offset) +
               ", \"size\": " + std::to_string(e.record_size) +
               ", \"dup_seq\": " + std::to_string(e.dup_seq);
      if (!dataPath_.empty()) {
        line_ += ", \"record\": ";
        AppendJsonString(&line_, reinterpret_cast<const char*>(record_.data()), recordLength);
      }
      line_ += "}\n";
    } else {
      AppendEscaped(&line_, e.key, e.key_length);
      line_ += '\t' + std::to_string(e.record_offset) + '\t' + std::to_string(e.record_size) +
               '\t' + std::to_string(e.dup_seq);
      if (!dataPath_.empty()) {
        line_ += '\t';
        AppendEscaped(&line_, record_.data(), recordLength);
      }
      line_ += '\n';
    }
    Out(line_);
    return true;
  }

 private:
  // The entry's record, without its end-of-record bytes, into record_.
  bool ReadRecord(const kelisi_entry& e, size_t* length) {
    record_.resize(e.record_size > 0 ? e.record_size : 1);
    size_t len = 0;
    int st = kelisi_read_record(ix_.get(), &e, record_.data(), record_.size(), &len);
    if (st != KELISI_OK) {
      Fail(StatusText(st, isiPath_, dataPath_) + " (entry at byte offset " +
           std::to_string(e.record_offset) + ")");
      return false;
    }
    size_t m = h_.eor_length;
    bool marked = m != 0 && len >= m && memcmp(record_.data() + len - m, h_.eor, m) == 0;
    *length = marked ? len - m : len;
    return true;
  }

  std::string isiPath_, dataPath_;
  std::unique_ptr<kelisi, IndexCloser> ix_;
  std::unique_ptr<kelisi_cursor, CursorCloser> cursor_;
  kelisi_header h_{};
  std::string line_;
  std::vector<unsigned char> record_;
};

std::string DataOption(const Args& args) {
  auto it = args.values.find("--data");
  return it == args.values.end() ? "" : it->second;
}

// The key selection of find and count: KEY, blank-padded unless --prefix.
bool KeySelection(EntryLister& lister, const char* command, const Args& args, Selection* s) {
  s->kind = Selection::kKey;
  s->typed = args.positional[1];
  return lister.Key(command, s->typed, args.flags.count("--prefix") == 0, &s->from, &s->padded);
}

bool RangeSelection(EntryLister& lister, const char* command, const Args& args, Selection* s) {
  s->kind = Selection::kRange;
  return lister.Key(command, args.positional[1], false, &s->from) &&
         lister.Key(command, args.positional[2], false, &s->to);
}

// Writes the entries of a selection, or with `countOnly` their number.
// Status 1 when nothing was found (`emptyFails`); a key shorter than the
// keys was padded with blanks, and when nothing has it the user most likely
// meant the keys that begin with it: standard error says so.
int Answer(EntryLister& lister, const Selection& s, const Args& args, const char* command,
           bool emptyFails, bool countOnly) {
  bool json = args.flags.count("--json") != 0;
  uint64_t found = 0;
  bool ok = lister.Walk(s, [&](const kelisi_entry& e) {
    ++found;
    return countOnly || lister.Show(e, json);
  });
  if (!ok) return kExitFail;
  if (countOnly) Out(std::to_string(found) + "\n");
  int status = Flush(kExitOk);
  if (status != kExitOk || found > 0 || !emptyFails) return status;
  if (s.padded) {
    fprintf(stderr,
            "kelisi: %s: no key is %s padded with blanks to the key length (%u bytes); "
            "--prefix finds the keys that begin with it\n",
            command, s.typed.c_str(), static_cast<unsigned>(lister.header().key_length));
  }
  return kExitFail;
}

}  // namespace

int RunFind(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--prefix", "--json"}, {"--data"}, 2, 2, "find", &args)) {
    return kExitFail;
  }
  EntryLister lister;
  Selection s;
  if (!lister.Open(args.positional[0], DataOption(args)) ||
      !KeySelection(lister, "find", args, &s)) {
    return kExitFail;
  }
  return Answer(lister, s, args, "find", true, false);
}

int RunRange(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--json"}, {"--data"}, 3, 3, "range", &args)) return kExitFail;
  EntryLister lister;
  Selection s;
  if (!lister.Open(args.positional[0], DataOption(args)) ||
      !RangeSelection(lister, "range", args, &s)) {
    return kExitFail;
  }
  return Answer(lister, s, args, "range", true, false);
}

int RunDump(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--json"}, {"--data"}, 1, 1, "dump", &args)) return kExitFail;
  EntryLister lister;
  if (!lister.Open(args.positional[0], DataOption(args))) return kExitFail;
  return Answer(lister, Selection(), args, "dump", false, false);
}

// count ISI: every entry; count ISI KEY [--prefix]: those of a key or a
// prefix; count ISI FROM TO: those of a range.
int RunCount(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--prefix"}, {}, 1, 3, "count", &args)) return kExitFail;
  size_t n = args.positional.size();
  if (n == 3 && args.flags.count("--prefix") != 0) {
    return Fail("count: --prefix goes with one key, not with a range (kelisi count --help)");
  }
  EntryLister lister;
  if (!lister.Open(args.positional[0], "")) return kExitFail;
  Selection s;
  if (n == 2 && !KeySelection(lister, "count", args, &s)) return kExitFail;
  if (n == 3 && !RangeSelection(lister, "count", args, &s)) return kExitFail;
  return Answer(lister, s, args, "count", true, true);
}

}  // namespace kelisi_cli
