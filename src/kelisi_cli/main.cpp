// kelisi: reads, searches and checks ISI index files from the command line.
// One subcommand per run; see ShowUsage.
#include <cstring>
#include <string>

#include "kelisi_cli/cli.h"

namespace kelisi_cli {

void ShowUsage(FILE* to) {
  fputs(
      "usage: kelisi info ISI [--json]\n"
      "       kelisi find ISI KEY [--data DATA] [--prefix]\n"
      "       kelisi range ISI FROM TO [--data DATA]\n"
      "       kelisi dump ISI [--data DATA]\n"
      "       kelisi check ISI [DATA] [--records] [--allow-free] [--json]\n"
      "\n"
      "Reads, searches and checks ISI index files built by kelindex.\n"
      "  info   the header, the tree's depth, sectors and fill, the deleted-record list\n"
      "  find   the entries whose key is KEY, blank-padded to the key length\n"
      "         (--prefix: whose key begins with KEY)\n"
      "  range  the entries whose key lies from FROM to TO, each compared over its own length\n"
      "  dump   every entry, in key order\n"
      "  check  the structure; with DATA also that the entries are exactly the records the\n"
      "         options stored in the index select (--records: also read each entry's record)\n"
      "\n"
      "An entry line holds, separated by tabs: the key, the record's byte offset, its size,\n"
      "the duplicate sequence, and with --data the record without its end-of-record bytes.\n"
      "Keys and records show a backslash as \\\\, a tab as \\t and other bytes outside\n"
      "printable ASCII as \\xNN; KEY, FROM and TO may be written the same way.\n"
      "\n"
      "Exit status: 0 on success; 1 when a find or range finds nothing, when check finds\n"
      "a problem, or on a failure, which prints one line on standard error.\n",
      to);
}

}  // namespace kelisi_cli

int main(int argc, char** argv) {
  using namespace kelisi_cli;
  if (argc < 2) {
    ShowUsage(stderr);
    return kExitFail;
  }
  std::string command = argv[1];
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) break;
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      ShowUsage(stdout);
      return Flush(kExitOk);
    }
  }
  if (command == "info") return RunInfo(argc, argv);
  if (command == "find") return RunFind(argc, argv);
  if (command == "range") return RunRange(argc, argv);
  if (command == "dump") return RunDump(argc, argv);
  if (command == "check") return RunCheck(argc, argv);
  return Fail("unknown command '" + command + "' (kelisi -h shows the usage)");
}
