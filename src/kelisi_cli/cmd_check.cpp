// kelisi check: the problems CheckIndex finds, one line each (or one JSON
// object each), and a summary; status 0 only for a consistent index.
#include <vector>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/index_check.h"
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

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Summary(const std::string& isi, const std::string& data, const CheckResult& r) {
  std::string s = isi + ": ";
  s += r.problems == 0 ? "consistent" : Plural(r.problems, "problem", "problems");
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
  if (!ReadArgs(argc, argv, 2, {"--json", "--records", "--allow-free"}, {}, 1, 2, "check", &args)) {
    return kExitFail;
  }
  bool json = args.flags.count("--json") != 0;
  const std::string& isi = args.positional[0];
  std::string data = args.positional.size() > 1 ? args.positional[1] : "";
  CheckOptions opt;
  opt.dataPath = data.empty() ? nullptr : data.c_str();
  opt.records = args.flags.count("--records") != 0;
  opt.allowFree = args.flags.count("--allow-free") != 0;

  std::vector<std::string> jsonProblems;
  CheckResult r = CheckIndex(isi.c_str(), opt, [&](const CheckProblem& p) {
    if (json) {
      jsonProblems.push_back(JsonProblem(p));
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
  if (r.incomplete) {
    r.note += std::string(r.note.empty() ? "" : "; ") +
              "there are more differences than are listed (those of too many records at once)";
  }
  if (json) {
    std::string s = "{\n  \"index\": ";
    AppendJsonString(&s, isi);
    s += ",\n  \"data\": ";
    if (data.empty()) {
      s += "null";
    } else {
      AppendJsonString(&s, data);
    }
    s += ",\n  \"consistent\": " + std::string(r.problems == 0 ? "true" : "false");
    s += ",\n  \"problem_count\": " + std::to_string(r.problems);
    s += ",\n  \"data_compared\": " + std::string(r.dataCompared ? "true" : "false");
    if (r.dataCompared) {
      s += ",\n  \"entries\": " + std::to_string(r.entries);
      s += ",\n  \"records_scanned\": " + std::to_string(r.recordsScanned);
      s += ",\n  \"records_indexed\": " + std::to_string(r.recordsIndexed);
      s += ",\n  \"deleted_records\": " + std::to_string(r.deletedRecords);
    }
    s += ",\n  \"note\": ";
    if (r.note.empty()) {
      s += "null";
    } else {
      AppendJsonString(&s, r.note);
    }
    s += ",\n  \"problems\": [";
    for (size_t i = 0; i < jsonProblems.size(); ++i) {
      s += (i ? ",\n    " : "\n    ") + jsonProblems[i];
    }
    s += jsonProblems.empty() ? "]\n}\n" : "\n  ]\n}\n";
    Out(s);
  } else {
    if (!r.note.empty()) Out("note: " + r.note + "\n");
    Out(Summary(isi, data, r) + "\n");
  }
  return Flush(r.problems == 0 ? kExitOk : kExitFail);
}

}  // namespace kelisi_cli
