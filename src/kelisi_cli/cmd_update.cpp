// kelisi insert and kelisi delete: one change of a data file and its
// indexes each, through the library's changes (kelisi_txn_begin_set). The
// first argument names one index, or several of the same data file
// (ISI,ISI,...), all kept current by the one change: a record goes to the
// data file once, with an entry in every index that selects it. Keys to
// delete are keys of the first index. A command that fails abandons its
// change, so that a refusal leaves every file as it was. The data file may
// be left out: the first index's header names it, and the library takes no
// other file than the one the indexes describe unless --data-anyway says
// so. After a change, the other indexes found beside the data file, which
// did not get it, are named on standard error.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/data_indexes.h"
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {

// The change of one command: the first index's handle, header and name
// (keys, messages), and every index of the set.
struct Update {
  kelisi* ix = nullptr;
  kelisi_txn* txn = nullptr;
  kelisi_header h{};
  std::string isi, data;  // data: as given, or the name the header keeps
  std::vector<std::string> isis;
  std::vector<kelisi*> all;
  ~Update() {
    kelisi_txn_abort(txn);
    for (kelisi* x : all) kelisi_close(x);
  }
};

// How long a command waits for another program's change or compaction.
constexpr int kDefaultWaitSeconds = 30;

// The data file given is refused: what the index's header says of its
// data file, and what the file given holds.
std::string OtherDataText(const std::string& isi, std::string data) {
  kelisi* ix = nullptr;
  kelisi_header h{};
  bool read = kelisi_open(isi.c_str(), nullptr, 0, &ix) == KELISI_OK &&
              kelisi_get_header(ix, &h) == KELISI_OK;
  kelisi_close(ix);
  if (data.empty()) data = read && h.data_name[0] ? h.data_name : "the data file";
  std::string text = data + " is not the data file of " + isi;
  if (read) {
    text += std::string(" (its header names ") + (h.data_name[0] ? h.data_name : "none") +
            ", data length " + std::to_string(h.data_length) +
            (h.record_numbers ? " records" : " bytes");
    struct stat st;
    if (!data.empty() && stat(data.c_str(), &st) == 0) {
      text += "; " + data + " holds " + std::to_string(st.st_size) + " bytes";
    }
    text += ")";
  }
  return text + "; --data-anyway changes it all the same";
}

// The text of a library status for the command's files. A change over
// several indexes keeps its journal beside the data file, where an opener
// of any of them finds it: that is the directory a failed journal names.
std::string UpdateText(int st, const Update& u) {
  if (st != KELISI_E_JOURNAL_WRITE || u.all.size() < 2) return StatusText(st, u.isi, u.data, true);
  size_t slash = u.data.rfind('/');
  std::string dir = slash == std::string::npos ? "." : u.data.substr(0, slash == 0 ? 1 : slash);
  std::string text =
      "cannot create or write the journal " + u.data + "-journal in the directory " + dir;
  if (access(dir.c_str(), W_OK | X_OK) != 0) text += ": " + std::string(strerror(errno));
  return text;
}

// Opens the indexes for update and begins their change; false after the
// message.
bool Begin(const char* command, const Args& args, Update* u) {
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
  for (size_t i = 0; i < u->isis.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      struct stat a, b;
      if (u->isis[i] == u->isis[j] ||
          (stat(u->isis[i].c_str(), &a) == 0 && stat(u->isis[j].c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino)) {
        Fail(std::string(command) + ": " + u->isis[i] + " is named twice");
        return false;
      }
    }
  }
  unsigned flags = KELISI_WRITE | (args.flags.count("--data-anyway") ? KELISI_DATA_ANYWAY : 0);
  for (size_t i = 0; i < u->isis.size(); ++i) {
    const std::string& isi = u->isis[i];
    // The other indexes go with the data file the first one leads to.
    std::string data = u->data;
    kelisi* x = nullptr;
    int st = kelisi_open(isi.c_str(), data.empty() ? nullptr : data.c_str(), flags, &x);
    if (st == KELISI_E_DATA_OTHER) {
      Fail(OtherDataText(isi, data));
      return false;
    }
    if (st == KELISI_OK) u->all.push_back(x);
    if (st == KELISI_OK && i == 0) {
      u->ix = x;
      st = kelisi_get_header(x, &u->h);
      if (st == KELISI_OK && u->data.empty()) {
        u->data = u->isis.size() > 1 ? HeaderDataFile(isi, u->h.data_name) : u->h.data_name;
      }
    }
    if (st == KELISI_OK) st = kelisi_set_lock_wait(x, wait * 1000);
    if (st != KELISI_OK) {
      Fail(StatusText(st, isi, u->data, true));
      return false;
    }
  }
  int st = kelisi_txn_begin_set(u->all.data(), u->all.size(), &u->txn);
  if (st == KELISI_E_LOCK) {
    Fail("another program has held the lock of " + u->isi + " for more than " +
         std::to_string(wait) + " seconds (--wait sets the limit)");
    return false;
  }
  if (st == KELISI_E_DATA_OTHER) {
    std::string text = std::string(command) + ": " + NameList(u->isis) +
                       " are not indexes of one data file";
    if (args.flags.count("--data-anyway")) {
      text += " (a change over several indexes goes through the data file their headers name, "
              "not another: --data-anyway takes one index alone)";
    }
    Fail(text);
    return false;
  }
  if (st != KELISI_OK) {
    Fail(UpdateText(st, *u));
    return false;
  }
  return true;
}

// After a change: the indexes beside the data file that it did not reach,
// and the command that keeps them all current.
void NameStale(const char* command, const Update& u) {
  std::string data = u.isis.size() > 1 ? u.data : HeaderDataFile(u.isi, u.data);
  std::vector<std::string> others = IndexesBeside(data, u.isis);
  if (others.empty()) return;
  std::string list;
  for (const std::string& i : u.isis) list += (list.empty() ? "" : ",") + i;
  for (const std::string& i : others) list += "," + i;
  std::string text = std::string(command) + ": " + NameList(others) +
                     (others.size() == 1 ? ", another index of " : ", other indexes of ") + data +
                     ", did not get this change (kelisi indexes " + data + " tells which are " +
                     "current; kelisi " + command + " " + list + " ... changes them all)";
  fprintf(stderr, "kelisi: %s\n", text.c_str());
}

bool Commit(Update* u) {
  int st = kelisi_txn_commit(u->txn);
  u->txn = nullptr;
  if (st != KELISI_OK) {
    Fail(UpdateText(st, *u));
    return false;
  }
  return true;
}

// The text of a file of lines, or of standard input for "-" or "".
bool ReadLines(const char* command, const std::string& path, std::string* text) {
  FILE* f = stdin;
  std::string name = "standard input";
  if (!path.empty() && path != "-") {
    name = path;
    f = fopen(name.c_str(), "rb");
    if (f == nullptr) {
      Fail(std::string(command) + ": cannot open " + name + ": " + strerror(errno));
      return false;
    }
  }
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
  bool failed = ferror(f) != 0;
  if (f != stdin) fclose(f);
  if (failed) Fail(std::string(command) + ": cannot read " + name);
  return !failed;
}

// Hands each line of `text` (without its LF; the last may lack one) to
// `each` with its number, until `each` returns false.
template <class Each>
bool ForEachLine(const std::string& text, Each each) {
  size_t line = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (!each(++line, text.substr(at, end - at))) return false;
    at = end + 1;
  }
  return true;
}

std::string InsertRefusal(int st, size_t line, const Update& u) {
  std::string at = "insert: line " + std::to_string(line) + ": ";
  switch (st) {
    case KELISI_E_TOO_LONG:
      return at + "the record is longer than the records of " + u.isi + " (" +
             std::to_string(u.h.record_length) + " bytes)";
    case KELISI_E_DUPLICATE: {
      // Any index of the change that allows no duplicates may refuse it.
      std::vector<std::string> unique;
      for (size_t i = 0; i < u.all.size(); ++i) {
        kelisi_header h{};
        if (kelisi_get_header(u.all[i], &h) == KELISI_OK && h.no_duplicates) {
          unique.push_back(u.isis[i]);
        }
      }
      if (unique.size() < 2) {
        return at + "its key is in " + (unique.empty() ? u.isi : unique[0]) +
               " already, which allows no duplicate keys";
      }
      return at + "its key is in one of " + NameList(unique) +
             " already, which allow no duplicate keys";
    }
    case KELISI_E_RECORD:
      return at + kelisi_strerror(st);
    default:
      return UpdateText(st, u);
  }
}

}  // namespace

// insert ISI [DATA] [FILE]: the records of FILE, or of standard input.
int RunInsert(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--data-anyway"}, {"--wait"}, 1, 3, "insert", &args)) {
    return kExitFail;
  }
  Update u;
  u.isis = IndexList(args.positional[0]);
  if (u.isis.empty()) return Fail("insert: no index named (kelisi -h shows the usage)");
  u.isi = u.isis[0];
  u.data = args.positional.size() > 1 ? args.positional[1] : "";
  std::string input;
  if (!ReadLines("insert", args.positional.size() > 2 ? args.positional[2] : "", &input) ||
      !Begin("insert", args, &u)) {
    return kExitFail;
  }
  uint64_t inserted = 0;
  bool ok = ForEachLine(input, [&](size_t line, const std::string& text) {
    std::string bytes, error;
    if (!Unescape(text, &bytes, &error)) {
      Fail("insert: line " + std::to_string(line) + ": " + error);
      return false;
    }
    int st = kelisi_txn_insert(u.txn, bytes.data(), bytes.size(), nullptr);
    if (st < 0) {
      Fail(InsertRefusal(st, line, u));
      return false;
    }
    ++inserted;
    return true;
  });
  if (!ok || !Commit(&u)) return kExitFail;
  Out(std::to_string(inserted) + " inserted\n");
  int status = Flush(kExitOk);
  if (inserted > 0) NameStale("insert", u);
  return status;
}

namespace {

// delete --at OFFSET: the record there, when its entry has the key.
int DeleteAt(Update& u, const std::string& typed, const std::string& key, uint64_t offset,
             uint64_t* deleted) {
  std::vector<kelisi_entry> found;
  kelisi_cursor* c = nullptr;
  int st = kelisi_cursor_open(u.ix, &c);
  kelisi_entry e;
  for (st = st == KELISI_OK ? kelisi_find(c, key.data(), key.size(), &e) : st; st == KELISI_OK;
       st = kelisi_next_dup(c, &e)) {
    if (e.record_offset == offset) found.push_back(e);
  }
  kelisi_cursor_close(c);
  if (st < 0) return Fail(UpdateText(st, u));
  for (kelisi_entry& f : found) {
    f.key = reinterpret_cast<const unsigned char*>(key.data());
    st = kelisi_txn_delete(u.txn, &f);
    if (st < 0) return Fail(UpdateText(st, u));
    if (st == KELISI_OK) ++*deleted;
  }
  if (*deleted == 0) {
    return Fail("delete: no record at " + std::to_string(offset) + " has the key " + typed +
                " in " + u.isi);
  }
  return kExitOk;
}

}  // namespace

// delete ISI [DATA] KEY, or delete ISI [DATA] --keys FILE: the records of
// each key (with --prefix, of each key that begins with it), as one change.
int RunDelete(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--prefix", "--data-anyway"}, {"--at", "--wait", "--keys"}, 1, 3,
                "delete", &args)) {
    return kExitFail;
  }
  bool list = args.values.count("--keys") != 0, at = args.values.count("--at") != 0;
  bool prefix = args.flags.count("--prefix") != 0;
  size_t n = args.positional.size();
  if (list ? n > 2 : n < 2) {
    return Fail(std::string("delete: ") + (list ? "too many arguments" : "missing arguments") +
                " (kelisi -h shows the usage)");
  }
  if (at && (list || prefix)) {
    return Fail("delete: --at goes with one whole key, not with --keys or --prefix");
  }
  Update u;
  u.isis = IndexList(args.positional[0]);
  if (u.isis.empty()) return Fail("delete: no index named (kelisi -h shows the usage)");
  u.isi = u.isis[0];
  u.data = n == (list ? 2u : 3u) ? args.positional[1] : "";
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
  std::string keys;
  if (list && !ReadLines("delete", args.values["--keys"], &keys)) return kExitFail;
  if (!Begin("delete", args, &u)) return kExitFail;
  uint64_t deleted = 0, unmatched = 0, lines = 0;
  std::string firstUnmatched;
  auto deleteKey = [&](size_t line, const std::string& typed) {
    ++lines;
    std::string where = list ? "delete: line " + std::to_string(line) : std::string("delete");
    std::string key;
    // An empty key with --prefix would be every key.
    if (typed.empty()) {
      Fail(where + ": an empty key");
      return false;
    }
    if (!KeyArgument(where.c_str(), typed, u.ix, u.h, u.isi, !prefix, &key)) return false;
    if (at) return DeleteAt(u, typed, key, offset, &deleted) == kExitOk;
    uint64_t gone = 0;
    int st =
        kelisi_txn_delete_key(u.txn, key.data(), key.size(), prefix ? KELISI_PREFIX : 0, &gone);
    if (st < 0) {
      Fail(UpdateText(st, u));
      return false;
    }
    deleted += gone;
    if (gone == 0 && unmatched++ == 0) {
      firstUnmatched = (list ? "line " + std::to_string(line) + ", " : "") + typed;
    }
    return true;
  };
  if (!(list ? ForEachLine(keys, deleteKey) : deleteKey(0, args.positional[n - 1]))) {
    return kExitFail;
  }
  if (list && lines == 0) return Fail("delete: no key in " + args.values["--keys"]);
  if (deleted == 0) {
    return Fail("delete: no record has " +
                (list ? std::string("any of the keys")
                      : (prefix ? "a key that begins with " : "the key ") + firstUnmatched) +
                " in " + u.isi);
  }
  if (!Commit(&u)) return kExitFail;
  Out(std::to_string(deleted) + " deleted\n");
  int status = Flush(kExitOk);
  NameStale("delete", u);
  if (list && unmatched > 0) {
    fprintf(stderr, "kelisi: delete: %llu of the %llu keys matched no record (the first: %s)\n",
            static_cast<unsigned long long>(unmatched), static_cast<unsigned long long>(lines),
            firstUnmatched.c_str());
  }
  return status;
}

}  // namespace kelisi_cli
