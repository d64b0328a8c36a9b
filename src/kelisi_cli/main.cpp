// kelisi: reads, searches, checks and updates ISI index files from the
// command line.
// One command per run; kelisi -h lists them.
#include <cstring>
#include <string>

#include "kelisi_cli/cli.h"

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
  if (command == "info") return RunInfo(argc, argv);
  if (command == "find") return RunFind(argc, argv);
  if (command == "range") return RunRange(argc, argv);
  if (command == "dump") return RunDump(argc, argv);
  if (command == "count") return RunCount(argc, argv);
  if (command == "check") return RunCheck(argc, argv);
  if (command == "insert") return RunInsert(argc, argv);
  if (command == "delete") return RunDelete(argc, argv);
  return Fail("unknown command '" + command + "' (kelisi -h shows the usage)");
}
