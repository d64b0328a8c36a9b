// kelisi find, range and dump: entries in key order, one line each, with
// their records when the data file is given.
//
// find and range end with status 1 when they find nothing, as grep does, so
// that a script can test for a key; a failure then differs by its line on
// standard error.
#include <cstring>
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

// An open index and a cursor on it, with the line each entry gets.
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
  kelisi_cursor* cursor() const { return cursor_.get(); }
  const kelisi_header& header() const { return h_; }

  // Reads a key argument: escapes resolved, folded to upper case when the
  // index's keys were, no longer than the keys. Prints the failure.
  bool KeyArgument(const char* command, const std::string& text, std::string* key) const {
    std::string error;
    if (!Unescape(text, key, &error)) {
      Fail(std::string(command) + ": " + error + ": " + text);
      return false;
    }
    if (key->size() > h_.key_length) {
      Fail(std::string(command) + ": the key " + text + " is longer than the keys of " + isiPath_ +
           " (" + std::to_string(h_.key_length) + " bytes)");
      return false;
    }
    if (h_.upper_case) {
      for (char& c : *key) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      }
    }
    return true;
  }

  // Prints one entry line; false (after the message) when its record
  // cannot be read.
  bool Show(const kelisi_entry& e) {
    line_.clear();
    AppendEscaped(&line_, e.key, e.key_length);
    line_ += '\t' + std::to_string(e.record_offset) + '\t' + std::to_string(e.record_size) + '\t' +
             std::to_string(e.dup_seq);
    if (!dataPath_.empty()) {
      record_.resize(e.record_size > 0 ? e.record_size : 1);
      size_t len = 0;
      int st = kelisi_read_record(ix_.get(), &e, record_.data(), record_.size(), &len);
      if (st != KELISI_OK) {
        Fail(StatusText(st, isiPath_, dataPath_) + " (entry at byte offset " +
             std::to_string(e.record_offset) + ")");
        return false;
      }
      line_ += '\t';
      AppendEscaped(&line_, record_.data(), WithoutMark(len));
    }
    line_ += '\n';
    Out(line_);
    ++shown_;
    return true;
  }
  uint64_t shown() const { return shown_; }

  // The end of a walk: KELISI_NOTFOUND is its normal end.
  int End(int st) {
    if (st != KELISI_NOTFOUND && st != KELISI_OK) {
      Flush(kExitOk);
      return Fail(StatusText(st, isiPath_, dataPath_));
    }
    return st;
  }

 private:
  // The record's length without its end-of-record bytes.
  size_t WithoutMark(size_t len) const {
    size_t m = h_.eor_length;
    if (m == 0 || len < m) return len;
    if (memcmp(record_.data() + len - m, h_.eor, m) != 0) return len;
    return len - m;
  }

  std::string isiPath_, dataPath_;
  std::unique_ptr<kelisi, IndexCloser> ix_;
  std::unique_ptr<kelisi_cursor, CursorCloser> cursor_;
  kelisi_header h_{};
  std::string line_;
  std::vector<unsigned char> record_;
  uint64_t shown_ = 0;
};

std::string DataOption(const Args& args) {
  auto it = args.values.find("--data");
  return it == args.values.end() ? "" : it->second;
}

// Walks from `st` on with `step` while `more` accepts the entry.
template <typename Step, typename More>
int Walk(EntryLister& lister, int st, kelisi_entry& e, Step step, More more) {
  for (; st == KELISI_OK && more(e); st = step(lister.cursor(), &e)) {
    if (!lister.Show(e)) return -1;
  }
  return lister.End(st) < 0 ? -1 : 0;
}

}  // namespace

int RunFind(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--prefix"}, {"--data"}, 2, 2, "find", &args)) return kExitFail;
  EntryLister lister;
  if (!lister.Open(args.positional[0], DataOption(args))) return kExitFail;
  std::string key;
  if (!lister.KeyArgument("find", args.positional[1], &key)) return kExitFail;
  bool prefix = args.flags.count("--prefix") != 0;
  if (!prefix) key.resize(lister.header().key_length, ' ');
  kelisi_entry e;
  auto any = [](const kelisi_entry&) { return true; };
  int r;
  if (key.empty()) {  // every key begins with the empty prefix
    r = Walk(lister, kelisi_first(lister.cursor(), &e), e, kelisi_next, any);
  } else {
    r = Walk(lister, kelisi_find(lister.cursor(), key.data(), key.size(), &e), e, kelisi_next_dup,
             any);
  }
  if (r < 0) return kExitFail;
  return Flush(lister.shown() > 0 ? kExitOk : kExitFail);
}

int RunRange(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {}, {"--data"}, 3, 3, "range", &args)) return kExitFail;
  EntryLister lister;
  if (!lister.Open(args.positional[0], DataOption(args))) return kExitFail;
  std::string from, to;
  if (!lister.KeyArgument("range", args.positional[1], &from) ||
      !lister.KeyArgument("range", args.positional[2], &to)) {
    return kExitFail;
  }
  kelisi_entry e;
  int st = from.empty() ? kelisi_first(lister.cursor(), &e)
                        : kelisi_seek(lister.cursor(), from.data(), from.size(), &e);
  auto upTo = [&to](const kelisi_entry& x) {
    return to.empty() || memcmp(x.key, to.data(), to.size()) <= 0;
  };
  if (Walk(lister, st, e, kelisi_next, upTo) < 0) return kExitFail;
  return Flush(lister.shown() > 0 ? kExitOk : kExitFail);
}

int RunDump(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {}, {"--data"}, 1, 1, "dump", &args)) return kExitFail;
  EntryLister lister;
  if (!lister.Open(args.positional[0], DataOption(args))) return kExitFail;
  kelisi_entry e;
  auto any = [](const kelisi_entry&) { return true; };
  if (Walk(lister, kelisi_first(lister.cursor(), &e), e, kelisi_next, any) < 0) return kExitFail;
  return Flush(kExitOk);
}

}  // namespace kelisi_cli
