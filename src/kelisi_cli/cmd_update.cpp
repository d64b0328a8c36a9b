// kelisi insert and kelisi delete: one change of an index and its data file
// each, through the library's changes (kelisi_txn_*). A command that fails
// abandons its change, so that a refusal leaves both files as they were.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {

struct Update {
  kelisi* ix = nullptr;
  kelisi_txn* txn = nullptr;
  kelisi_header h{};
  ~Update() {
    kelisi_txn_abort(txn);
    kelisi_close(ix);
  }
};

// How long a command waits for another program's change or compaction.
constexpr int kDefaultWaitSeconds = 30;

// Opens the index for update and begins its change; false after the message.
bool Begin(const char* command, const Args& args, const std::string& isi, const std::string& data,
           Update* u) {
  int wait = kDefaultWaitSeconds;
  auto w = args.values.find("--wait");
  if (w != args.values.end()) {
    char* end = nullptr;
    long v = strtol(w->second.c_str(), &end, 10);
    if (w->second.empty() || *end != '\0' || v < 0 || v > 86400) {
      Fail(std::string(command) + ": --wait needs a number of seconds, not " + w->second);
      return false;
    }
    wait = static_cast<int>(v);
  }
  int st = kelisi_open(isi.c_str(), data.c_str(), KELISI_WRITE, &u->ix);
  if (st == KELISI_OK) st = kelisi_get_header(u->ix, &u->h);
  if (st == KELISI_OK) st = kelisi_set_lock_wait(u->ix, wait * 1000);
  if (st == KELISI_OK) st = kelisi_txn_begin(u->ix, &u->txn);
  if (st == KELISI_E_LOCK) {
    Fail("another program has held the lock of " + isi + " for more than " + std::to_string(wait) +
         " seconds (--wait sets the limit)");
    return false;
  }
  if (st != KELISI_OK) {
    Fail(StatusText(st, isi, data));
    return false;
  }
  return true;
}

bool Commit(const std::string& isi, const std::string& data, Update* u) {
  int st = kelisi_txn_commit(u->txn);
  u->txn = nullptr;
  if (st != KELISI_OK) {
    Fail(StatusText(st, isi, data));
    return false;
  }
  return true;
}

bool ReadInput(const Args& args, std::string* text) {
  FILE* f = stdin;
  std::string name = "standard input";
  if (args.positional.size() > 2) {
    name = args.positional[2];
    f = fopen(name.c_str(), "rb");
    if (f == nullptr) {
      Fail("insert: cannot open " + name + ": " + strerror(errno));
      return false;
    }
  }
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
  bool failed = ferror(f) != 0;
  if (f != stdin) fclose(f);
  if (failed) Fail("insert: cannot read " + name);
  return !failed;
}

std::string InsertRefusal(int st, size_t line, const Update& u, const std::string& isi,
                          const std::string& data) {
  std::string at = "insert: line " + std::to_string(line) + ": ";
  switch (st) {
    case KELISI_E_TOO_LONG:
      return at + "the record is longer than the records of " + isi + " (" +
             std::to_string(u.h.record_length) + " bytes)";
    case KELISI_E_DUPLICATE:
      return at + "its key is in " + isi + " already, which allows no duplicate keys";
    case KELISI_E_RECORD:
      return at + kelisi_strerror(st);
    default:
      return StatusText(st, isi, data);
  }
}

}  // namespace

int RunInsert(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {}, {"--wait"}, 2, 3, "insert", &args)) return kExitFail;
  const std::string& isi = args.positional[0];
  const std::string& data = args.positional[1];
  std::string input;
  if (!ReadInput(args, &input)) return kExitFail;
  Update u;
  if (!Begin("insert", args, isi, data, &u)) return kExitFail;
  uint64_t inserted = 0;
  size_t line = 0;
  for (size_t at = 0; at < input.size();) {
    size_t end = input.find('\n', at);
    if (end == std::string::npos) end = input.size();
    ++line;
    std::string bytes, error;
    if (!Unescape(input.substr(at, end - at), &bytes, &error)) {
      return Fail("insert: line " + std::to_string(line) + ": " + error);
    }
    int st = kelisi_txn_insert(u.txn, bytes.data(), bytes.size(), nullptr);
    if (st < 0) return Fail(InsertRefusal(st, line, u, isi, data));
    ++inserted;
    at = end + 1;
  }
  if (!Commit(isi, data, &u)) return kExitFail;
  Out(std::to_string(inserted) + " inserted\n");
  return Flush(kExitOk);
}

int RunDelete(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {}, {"--at", "--wait"}, 3, 3, "delete", &args)) return kExitFail;
  const std::string& isi = args.positional[0];
  const std::string& data = args.positional[1];
  const std::string& typed = args.positional[2];
  bool at = args.values.count("--at") != 0;
  uint64_t offset = 0;
  if (at) {
    const std::string& v = args.values["--at"];
    char* end = nullptr;
    errno = 0;
    offset = strtoull(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0 || v[0] == '-') {
      return Fail("delete: --at needs a byte offset, not " + v);
    }
  }
  Update u;
  if (!Begin("delete", args, isi, data, &u)) return kExitFail;
  std::string key, error;
  if (!Unescape(typed, &key, &error)) return Fail("delete: " + error + ": " + typed);
  if (key.size() > u.h.key_length) {
    return Fail("delete: the key " + typed + " is longer than the keys of " + isi + " (" +
                std::to_string(u.h.key_length) + " bytes)");
  }
  kelisi_fold_key(u.ix, key.data(), key.size());
  key.resize(u.h.key_length, ' ');
  // The entries of the key as the index holds them before the change.
  std::vector<kelisi_entry> found;
  kelisi_cursor* c = nullptr;
  int st = kelisi_cursor_open(u.ix, &c);
  kelisi_entry e;
  for (st = st == KELISI_OK ? kelisi_find(c, key.data(), key.size(), &e) : st; st == KELISI_OK;
       st = kelisi_next_dup(c, &e)) {
    if (!at || e.record_offset == offset) found.push_back(e);
  }
  kelisi_cursor_close(c);
  if (st < 0) return Fail(StatusText(st, isi, data));
  uint64_t deleted = 0;
  for (kelisi_entry& f : found) {
    f.key = reinterpret_cast<const unsigned char*>(key.data());
    st = kelisi_txn_delete(u.txn, &f);
    if (st < 0) return Fail(StatusText(st, isi, data));
    if (st == KELISI_OK) ++deleted;
  }
  if (deleted == 0) {
    return Fail("delete: no record " + (at ? "at " + std::to_string(offset) + " " : "") +
                "has the key " + typed + " in " + isi);
  }
  if (!Commit(isi, data, &u)) return kExitFail;
  Out(std::to_string(deleted) + " deleted\n");
  return Flush(kExitOk);
}

}  // namespace kelisi_cli
