// kelisi: reads, searches, checks and updates ISI index files from the
// command line.
// One command per run; kelisi -h lists them.
#include <cstring>
#include <string>

#include "kelisi_cli/cli.h"
#include "kelisi_cli/data_indexes.h"

int main(int argc, char** argv) {
  using namespace kelisi_cli;
  if (argc < 2) {
    ShowUsage(stderr);
    return kExitFail;
  }
  std::string command = argv[1];
  if (command == "--version") {
    ShowVersion();
    return Flush(kExitOk);
  }
  // -h or --help anywhere before "--": the help of the command given, or
  // the usage of them all.
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) break;
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      if (!ShowCommandHelp(command)) ShowUsage(stdout);
      return Flush(kExitOk);
    }
  }
  static const struct {
    const char* name;
    int (*run)(int, char**);
  } kRuns[] = {{"info", RunInfo},     {"find", RunFind},     {"range", RunRange},
               {"dump", RunDump},     {"count", RunCount},   {"check", RunCheck},
               {"insert", RunInsert}, {"delete", RunDelete}, {"indexes", RunIndexes}};
  for (const auto& r : kRuns) {
    if (command != r.name) continue;
    // The index is the first argument of every command but indexes (whose
    // indexes are recovered as they are opened); insert and delete may
    // name several.
    if (argc > 2 && argv[2][0] != '-' && command != "indexes") {
      for (const std::string& isi : IndexList(argv[2])) RecoverAndSay(isi);
    }
    return r.run(argc, argv);
  }
  return Fail("unknown command '" + command + "' (kelisi -h shows the usage)");
}
