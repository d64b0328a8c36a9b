// kelisi check: the problems the library's check finds (kelisi_check, with
// the data file the proof of the entries against it), one line each (or
// one JSON object each), the first 100 of them unless --all, its notes on
// shapes every reader handles, the usual cure, and a summary; status 0
// only for a consistent index (--strict: without notes either).
#include <vector>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {

const char* KindName(int kind) {
  switch (kind) {
    case KELISI_P_HEADER:
      return "header";
    case KELISI_P_SECTOR:
      return "sector";
    case KELISI_P_LEVEL:
      return "level";
    case KELISI_P_COUNT:
      return "count";
    case KELISI_P_ORDER:
      return "order";
    case KELISI_P_DDR:
      return "ddr";
    case KELISI_P_RECORD:
      return "record";
    case KELISI_P_DELETED:
      return "deleted";
    case KELISI_P_NO_ENTRY:
      return "no_entry";
    case KELISI_P_DATA_FORM:
      return "data_form";
    case KELISI_P_TRUNCATED:
      return "truncated";
    case KELISI_P_FREE:
      return "free";
    case KELISI_N_LEVEL_GAP:
      return "level_gap";
    case KELISI_N_NO_CHILD:
      return "no_child";
    case KELISI_N_EMPTY:
      return "empty";
    case KELISI_N_UNDERFULL:
      return "underfull";
    default:
      return "other";
  }
}

std::string JsonProblem(const kelisi_problem& p) {
  std::string s = "{\"kind\": \"";
  s += KindName(p.kind);
  s += "\", \"sector\": " + (p.sector != KELISI_NO_SECTOR ? std::to_string(p.sector) : "null");
  s += ", \"entry\": " + (p.index != 0 ? std::to_string(p.index) : "null");
  s += ", \"offset\": " + (p.offset != UINT64_MAX ? std::to_string(p.offset) : "null");
  s += ", \"message\": ";
  AppendJsonString(&s, p.message);
  return s + "}";
}

// Problems shown before the rest are only counted: a badly damaged index has
// one for nearly every sector, and the first ones tell what happened.
constexpr uint64_t kProblemsShown = 100;

bool FoundInData(int kind) {
  return kind == KELISI_P_RECORD || kind == KELISI_P_DELETED || kind == KELISI_P_NO_ENTRY ||
         kind == KELISI_P_DATA_FORM;
}
bool TreeDamage(int kind) {
  return kind == KELISI_P_SECTOR || kind == KELISI_P_LEVEL || kind == KELISI_P_COUNT ||
         kind == KELISI_P_ORDER || kind == KELISI_P_TRUNCATED;
}

// What usually mends the problems found: a rebuild from the data with the
// stored command line, which needs that line; a compaction, which rebuilds
// from the index's own entries, only where the entries themselves are right
// (wrong counts, sectors left over) and the tree can be walked. A rebuild
// that fails deletes the index, as one over data of another form than the
// index was built over does: the cure says so, and to keep a copy.
std::string Cure(const std::string& isi, const kelisi_check_counts& r, bool dataProblems,
                 bool treeDamage, bool dataForm) {
  if (r.problems == 0) return "";
  std::string copy = "copy " + isi + " first (cp " + isi + " " + isi + ".copy)";
  std::string rebuild = "kelindex " + isi +
                        " -r rebuilds it from its data with its stored command line, into the "
                        "file names stored there; a rebuild that fails deletes the index: " +
                        copy;
  std::string compact = "kelindex " + isi +
                        " -c compacts it from its own entries when only counts or left-over "
                        "sectors are wrong (a backup guards the rewrite)";
  bool rebuildable = r.rebuildable != 0;
  if (dataForm) {
    return "mend the data file before a rebuild: kelindex " + isi +
           " -r refuses data of another form than the index was built over, and then deletes "
           "the index; " +
           copy;
  }
  if (dataProblems || treeDamage) return rebuildable ? rebuild : "";
  return rebuildable ? compact + "; else " + rebuild : compact;
}

// A JSON string, or null for an empty text.
std::string StringOrNull(const std::string& text) {
  if (text.empty()) return "null";
  std::string s;
  AppendJsonString(&s, text);
  return s;
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string s = "[";
  for (size_t i = 0; i < items.size(); ++i) s += (i ? ",\n    " : "\n    ") + items[i];
  return s + (items.empty() ? "]" : "\n  ]");
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Summary(const std::string& isi, const std::string& data, const kelisi_check_counts& r) {
  std::string s = isi + ": ";
  s += r.problems == 0 ? "consistent" : Plural(r.problems, "problem", "problems");
  if (r.notes != 0) s += " (" + Plural(r.notes, "note", "notes") + ")";
  if (!r.data_compared) return s;
  s += r.problems == 0 ? " with " : " against ";
  s += data + " (" + Plural(r.entries, "entry", "entries") + "; " +
       Plural(r.records_indexed, "record", "records") + " to index of " +
       std::to_string(r.records_scanned) + ", " + std::to_string(r.deleted_records) + " deleted)";
  return s;
}

// The walks read the index front to back, twice at most: read-ahead
// blocks serve them, and a cache the size of the index would only hold
// memory the check does not need.
constexpr size_t kWalkCache = size_t{4} << 20;

struct Listing {
  bool json, strict, all;
  uint64_t reported = 0;
  bool dataProblems = false, treeDamage = false, dataForm = false;
  std::vector<std::string> problems, notes;
};

int ListProblem(void* ctx, const kelisi_problem* p) {
  Listing& l = *static_cast<Listing*>(ctx);
  bool note = KELISI_IS_NOTE(p->kind);
  l.dataProblems = l.dataProblems || FoundInData(p->kind);
  l.treeDamage = l.treeDamage || TreeDamage(p->kind);
  l.dataForm = l.dataForm || p->kind == KELISI_P_DATA_FORM;
  if (!note && ++l.reported > kProblemsShown && !l.all) return 0;
  if (l.json) {
    (note && !l.strict ? l.notes : l.problems).push_back(JsonProblem(*p));
  } else {
    Out(std::string(p->message) + "\n");
  }
  return 0;
}

}  // namespace

int RunCheck(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--json", "--records", "--allow-free", "--all", "--strict"}, {}, 1,
                2, "check", &args)) {
    return kExitFail;
  }
  Listing l;
  l.json = args.flags.count("--json") != 0;
  l.strict = args.flags.count("--strict") != 0;
  l.all = args.flags.count("--all") != 0;
  const std::string& isi = args.positional[0];
  std::string data = args.positional.size() > 1 ? args.positional[1] : "";
  unsigned flags = 0;
  if (!data.empty()) flags |= KELISI_CHECK_RECORDS;
  if (args.flags.count("--records") != 0) flags |= KELISI_CHECK_EACH_RECORD;
  if (args.flags.count("--allow-free") != 0) flags |= KELISI_CHECK_ALLOW_FREE;

  kelisi* ix = nullptr;
  int st = kelisi_open(isi.c_str(), data.empty() ? nullptr : data.c_str(), 0, &ix);
  if (st == KELISI_OK) st = kelisi_set_cache_size(ix, kWalkCache);
  kelisi_check_counts r;
  if (st == KELISI_OK) st = kelisi_check_with_counts(ix, flags, ListProblem, &l, &r);
  kelisi_close(ix);
  if (st < 0) {
    std::string text = StatusText(st, isi, data);
    if (st == KELISI_E_DATA_READ) text = "cannot read the data file " + data;
    Flush(kExitOk);
    return Fail("check: " + text);
  }
  // Under --strict the notes count; a compaction gives the tree the shape
  // the build gives it.
  bool onlyNotes = l.strict && r.problems == 0 && r.notes != 0;
  if (l.strict) {
    r.problems += r.notes;
    r.notes = 0;
  }
  uint64_t notShown = l.all || r.problems <= kProblemsShown ? 0 : r.problems - kProblemsShown;
  std::string cure = onlyNotes
                         ? "kelindex " + isi + " -c compacts it into the shape kelindex builds"
                         : Cure(isi, r, l.dataProblems, l.treeDamage, l.dataForm);
  std::string note = r.note;
  if (l.json) {
    std::string s = "{\n  \"index\": ";
    AppendJsonString(&s, isi);
    s += ",\n  \"data\": " + StringOrNull(data);
    s += ",\n  \"consistent\": " + std::string(r.problems == 0 ? "true" : "false");
    s += ",\n  \"problem_count\": " + std::to_string(r.problems);
    s += ",\n  \"problems_not_shown\": " + std::to_string(notShown);
    s += ",\n  \"data_compared\": " + std::string(r.data_compared ? "true" : "false");
    if (r.data_compared) {
      s += ",\n  \"entries\": " + std::to_string(r.entries);
      s += ",\n  \"records_scanned\": " + std::to_string(r.records_scanned);
      s += ",\n  \"records_indexed\": " + std::to_string(r.records_indexed);
      s += ",\n  \"deleted_records\": " + std::to_string(r.deleted_records);
    }
    s += ",\n  \"note\": " + StringOrNull(note);
    s += ",\n  \"cure\": " + StringOrNull(cure);
    s += ",\n  \"notes\": " + JsonList(l.notes);
    s += ",\n  \"problems\": " + JsonList(l.problems) + "\n}\n";
    Out(s);
  } else {
    if (notShown > 0) {
      Out("... " + Plural(notShown, "more problem", "more problems") +
          " not listed (--all lists every one)\n");
    }
    if (!note.empty()) Out("note: " + note + "\n");
    if (!cure.empty()) Out("cure: " + cure + "\n");
    Out(Summary(isi, data, r) + "\n");
  }
  return Flush(r.problems == 0 ? kExitOk : kExitFail);
}

}  // namespace kelisi_cli
