// kelisi check: the problems CheckIndex finds, one line each (or one JSON
// object each), the first 100 of them unless --all, its notes on shapes
// every reader handles, the usual cure, and a summary; status 0 only for a
// consistent index (--strict: without notes either).
#include <vector>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/index_check.h"
#include "kelisi_cli/stored_scan.h"
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
    case kProblemNoEntry:
      return "no_entry";
    case kProblemDataForm:
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

std::string JsonProblem(const CheckProblem& p) {
  std::string s = "{\"kind\": \"";
  s += KindName(p.kind);
  s += "\", \"sector\": " + (p.sector != kNoSector ? std::to_string(p.sector) : "null");
  s += ", \"entry\": " + (p.entry != 0 ? std::to_string(p.entry) : "null");
  s += ", \"offset\": " + (p.offset != kNoOffset ? std::to_string(p.offset) : "null");
  s += ", \"message\": ";
  AppendJsonString(&s, p.message);
  return s + "}";
}

// Problems shown before the rest are only counted: a badly damaged index has
// one for nearly every sector, and the first ones tell what happened.
constexpr uint64_t kProblemsShown = 100;

bool FoundInData(int kind) {
  return kind == KELISI_P_RECORD || kind == KELISI_P_DELETED || kind == kProblemNoEntry ||
         kind == kProblemDataForm;
}
bool TreeDamage(int kind) {
  return kind == KELISI_P_SECTOR || kind == KELISI_P_LEVEL || kind == KELISI_P_COUNT ||
         kind == KELISI_P_ORDER || kind == KELISI_P_TRUNCATED;
}

// Whether kelindex -r can rebuild the index: its header keeps a command
// line that kelindex takes.
bool Rebuildable(const std::string& isi) {
  kelisi* ix = nullptr;
  if (kelisi_open(isi.c_str(), nullptr, 0, &ix) != KELISI_OK) return false;
  kelisi_header h;
  bool stored = kelisi_get_header(ix, &h) == KELISI_OK && h.command_line[0] != '\0';
  kelisi_close(ix);
  std::string why;
  return stored && StoredScan().Parse(h.command_line, &why);
}

// What usually mends the problems found: a rebuild from the data with the
// stored command line, which needs that line; a compaction, which rebuilds
// from the index's own entries, only where the entries themselves are right
// (wrong counts, sectors left over) and the tree can be walked. A rebuild
// that fails deletes the index, as one over data of another form than the
// index was built over does: the cure says so, and to keep a copy.
std::string Cure(const std::string& isi, const CheckResult& r, bool dataProblems, bool treeDamage,
                 bool dataForm) {
  if (r.problems == 0) return "";
  std::string copy = "copy " + isi + " first (cp " + isi + " " + isi + ".copy)";
  std::string rebuild = "kelindex " + isi +
                        " -r rebuilds it from its data with its stored command line, into the "
                        "file names stored there; a rebuild that fails deletes the index: " +
                        copy;
  std::string compact = "kelindex " + isi +
                        " -c compacts it from its own entries when only counts or left-over "
                        "sectors are wrong (a backup guards the rewrite)";
  bool rebuildable = Rebuildable(isi);
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

std::string Summary(const std::string& isi, const std::string& data, const CheckResult& r) {
  std::string s = isi + ": ";
  s += r.problems == 0 ? "consistent" : Plural(r.problems, "problem", "problems");
  if (r.notes != 0) s += " (" + Plural(r.notes, "note", "notes") + ")";
  if (!r.dataCompared) return s;
  s += r.problems == 0 ? " with " : " against ";
  s += data + " (" + Plural(r.entries, "entry", "entries") + "; " +
       Plural(r.recordsIndexed, "record", "records") + " to index of " +
       std::to_string(r.recordsScanned) + ", " + std::to_string(r.deletedRecords) + " deleted)";
  return s;
}

}  // namespace

int RunCheck(int argc, char** argv) {
  Args args;
  if (!ReadArgs(argc, argv, 2, {"--json", "--records", "--allow-free", "--all", "--strict"}, {}, 1,
                2, "check", &args)) {
    return kExitFail;
  }
  bool json = args.flags.count("--json") != 0;
  bool strict = args.flags.count("--strict") != 0;
  const std::string& isi = args.positional[0];
  std::string data = args.positional.size() > 1 ? args.positional[1] : "";
  CheckOptions opt;
  opt.dataPath = data.empty() ? nullptr : data.c_str();
  opt.records = args.flags.count("--records") != 0;
  opt.allowFree = args.flags.count("--allow-free") != 0;

  bool all = args.flags.count("--all") != 0;
  std::vector<std::string> jsonProblems, jsonNotes;
  uint64_t reported = 0;
  bool dataProblems = false, treeDamage = false, dataForm = false;
  CheckResult r = CheckIndex(isi.c_str(), opt, [&](const CheckProblem& p) {
    bool note = KELISI_IS_NOTE(p.kind);
    dataProblems = dataProblems || FoundInData(p.kind);
    treeDamage = treeDamage || TreeDamage(p.kind);
    dataForm = dataForm || p.kind == kProblemDataForm;
    if (!note && ++reported > kProblemsShown && !all) return;
    if (json) {
      (note && !strict ? jsonNotes : jsonProblems).push_back(JsonProblem(p));
    } else {
      Out(p.message + "\n");
    }
  });
  if (r.status != 0) {
    std::string text = StatusText(r.status, isi, data);
    if (r.status == KELISI_E_DATA_OPEN || r.status == KELISI_E_DATA_READ) text = r.error;
    Flush(kExitOk);
    return Fail("check: " + text);
  }
  // Under --strict the notes count; a compaction gives the tree the shape
  // the build gives it.
  bool onlyNotes = strict && r.problems == 0 && r.notes != 0;
  if (strict) {
    r.problems += r.notes;
    r.notes = 0;
  }
  if (r.incomplete) {
    r.note += std::string(r.note.empty() ? "" : "; ") +
              "there are more differences than are listed (those of too many records at once)";
  }
  uint64_t notShown = all || r.problems <= kProblemsShown ? 0 : r.problems - kProblemsShown;
  std::string cure = onlyNotes
                         ? "kelindex " + isi + " -c compacts it into the shape kelindex builds"
                         : Cure(isi, r, dataProblems, treeDamage, dataForm);
  if (json) {
    std::string s = "{\n  \"index\": ";
    AppendJsonString(&s, isi);
    s += ",\n  \"data\": " + StringOrNull(data);
    s += ",\n  \"consistent\": " + std::string(r.problems == 0 ? "true" : "false");
    s += ",\n  \"problem_count\": " + std::to_string(r.problems);
    s += ",\n  \"problems_not_shown\": " + std::to_string(notShown);
    s += ",\n  \"data_compared\": " + std::string(r.dataCompared ? "true" : "false");
    if (r.dataCompared) {
      s += ",\n  \"entries\": " + std::to_string(r.entries);
      s += ",\n  \"records_scanned\": " + std::to_string(r.recordsScanned);
      s += ",\n  \"records_indexed\": " + std::to_string(r.recordsIndexed);
      s += ",\n  \"deleted_records\": " + std::to_string(r.deletedRecords);
    }
    s += ",\n  \"note\": " + StringOrNull(r.note);
    s += ",\n  \"cure\": " + StringOrNull(cure);
    s += ",\n  \"notes\": " + JsonList(jsonNotes);
    s += ",\n  \"problems\": " + JsonList(jsonProblems) + "\n}\n";
    Out(s);
  } else {
    if (notShown > 0) {
      Out("... " + Plural(notShown, "more problem", "more problems") +
          " not listed (--all lists every one)\n");
    }
    if (!r.note.empty()) Out("note: " + r.note + "\n");
    if (!cure.empty()) Out("cure: " + cure + "\n");
    Out(Summary(isi, data, r) + "\n");
  }
  return Flush(r.problems == 0 ? kExitOk : kExitFail);
}

}  // namespace kelisi_cli
