// What kelisi says about itself: the usage of every command (kelisi -h),
// the help of one (kelisi COMMAND --help) and its version.
#include <cstring>

#include "kel_version.h"
#include "kelisi_cli/cli.h"

namespace kelisi_cli {

namespace {

struct CommandHelp {
  const char* name;
  const char* synopsis;  // the arguments after "kelisi NAME"
  const char* summary;   // one line for the overview
  const char* details;   // the help of the command alone
};

// What the listing commands share.
#define KELISI_ENTRY_LINES                                                                   \
  "An entry line holds, separated by tabs: the key, the record's byte offset, its size\n"    \
  "(end-of-record bytes included), the duplicate sequence, and with --data the record\n"     \
  "without its end-of-record bytes. Keys and records show a backslash as \\\\, a tab as\n"   \
  "\\t and other bytes outside printable ASCII as \\xNN; KEY, FROM and TO may be written\n"  \
  "the same way. --json writes one object a line instead: {\"key\": ..., \"offset\": ...,\n" \
  "\"size\": ..., \"dup_seq\": ...[, \"record\": ...]}; in its strings every byte is the\n"  \
  "character of the same number (U+0000 to U+00FF), so the bytes come back unchanged.\n"

const CommandHelp kCommands[] = {
    {"info", "ISI [--json]",
     "the header, the tree's depth, sectors and fill, the deleted-record list",
     "Shows what the header of ISI says (record format, key columns, options, the\n"
     "stored command line, counts) and what its tree and deleted-record list hold.\n"
     "--json writes one JSON object instead of the text lines.\n"},
    {"find", "ISI KEY [--prefix] [--data DATA] [--json]",
     "the entries whose key is KEY (--prefix: begins with KEY)",
     "Lists the entries whose key is KEY, padded with blanks to the key length; with\n"
     "--prefix those whose key begins with KEY. On an index built with upper-case\n"
     "keys, KEY is folded to upper case too. Ends with status 1 when there is "
     "none.\n\n" KELISI_ENTRY_LINES},
    {"range", "ISI FROM TO [--data DATA] [--json]", "the entries whose key lies from FROM to TO",
     "Lists the entries whose key lies from FROM to TO, each bound compared over its\n"
     "own length: `range ISI A B` gives every key that begins with A or B. An empty\n"
     "bound leaves that end open. Ends with status 1 when there is none.\n\n" KELISI_ENTRY_LINES},
    {"dump", "ISI [--data DATA] [--json]", "every entry, in key order",
     "Lists every entry of ISI in key order.\n\n" KELISI_ENTRY_LINES},
    {"count", "ISI [KEY [--prefix] | FROM TO]", "the number of entries of a key, prefix or range",
     "Writes the number of entries: of the whole index, of KEY (padded with blanks\n"
     "as find pads it; --prefix: the keys that begin with KEY), or of the range FROM\n"
     "to TO as range takes it. Ends with status 1 when the number is 0, as grep -c.\n"},
    {"check", "ISI [DATA] [--records] [--allow-free] [--all] [--strict] [--json]",
     "the structure; with DATA also the entries against the records",
     "Checks the structure of ISI: every key sector reached once from the root,\n"
     "levels, count bytes, key order and duplicate sequences, the deleted-record\n"
     "chain, the header's counts, no sector left over (--allow-free accepts them).\n"
     "Tree shapes that every reader handles but kelindex never builds are notes, one\n"
     "line each kind (--strict: they count as problems).\n"
     "With DATA it also proves that the entries are exactly the records that the\n"
     "options stored in the index select (--records: also read each entry's record).\n"
     "Each problem is one line; after 100 the rest are counted (--all lists every\n"
     "one). --json writes one object with the problems and the notes as lists. Ends\n"
     "with status 1 when it finds a problem.\n"},
    {"insert", "ISI[,ISI...] [DATA] [FILE] [--data-anyway] [--wait SECONDS]",
     "adds records, one a line, to DATA and their keys to every ISI",
     "Adds the records of FILE (or standard input), one a line, to DATA and enters\n"
     "their keys in ISI, as one change: all of them or, after any refusal, none.\n"
     "ISI,ISI,... names several indexes of DATA, which the one change keeps current\n"
     "together: each record is written once and gets an entry in every index that\n"
     "selects it. Name every index of DATA (kelisi indexes DATA lists them); after\n"
     "the change a line on standard error names the indexes beside DATA left out.\n"
     "With ISI alone the data file is the one its header names and the records\n"
     "come from standard input. DATA must be the data file ISI describes\n"
     "(the file its header names, at least as long as the data it counts);\n"
     "--data-anyway takes another.\n"
     "A line is written as dump --data shows records: \\\\ a backslash, \\t a tab,\n"
     "\\xNN the byte NN. A record takes the place of the newest deleted record where\n"
     "the index keeps a deleted-record list, else it goes to the end of DATA; fixed-\n"
     "length records are padded with blanks. Each index's record tests and duplicate\n"
     "rules apply as in a build: under option n a key already there refuses the\n"
     "whole change. Writes \"N inserted\". While another program changes or compacts\n"
     "the index, waits up to --wait seconds (30), then gives up.\n"},
    {"delete",
     "ISI[,ISI...] [DATA] KEY [--prefix] [--at OFFSET] [--data-anyway] [--wait SECONDS]\n"
     "       kelisi delete ISI[,ISI...] [DATA] --keys FILE [--prefix] [--data-anyway]\n"
     "                     [--wait SECONDS]",
     "removes the records whose key is KEY (--prefix: begins with KEY)",
     "Deletes every record whose key is KEY (padded with blanks as find pads it;\n"
     "--prefix: every record whose key begins with KEY), or with --at only the one\n"
     "at byte OFFSET of DATA, as one change: the record's bytes become zeros, its\n"
     "place joins the deleted-record list where the index keeps one, and its entry\n"
     "leaves ISI. --keys takes the keys from FILE (- for standard input), one a\n"
     "line, written as KEY is; they are all one change. Under n0 and n$ the records\n"
     "that take over the entry of a key go too. Writes \"N deleted\"; ends with\n"
     "status 1 when no record matched (with --keys, a line on standard error counts\n"
     "the keys that matched none). With several indexes (ISI,ISI,...) KEY is a key\n"
     "of the first, and each record leaves every index with its entry. DATA and\n"
     "the indexes are taken as insert takes them. Waits for another program as\n"
     "insert does.\n"},
    {"indexes", "DATA [ISI...]", "the indexes of DATA, and whether each is current",
     "Lists the indexes given, or else the .isi files beside DATA whose headers name\n"
     "it (the same file, not just the name), one line each: \"current\" when its\n"
     "entries are exactly the records a build over DATA would index today (the\n"
     "proof of check with DATA), else the number of problems check finds. Ends\n"
     "with a summary line, and with status 1 when an index is not current or none\n"
     "is found.\n"},
};

#undef KELISI_ENTRY_LINES

}  // namespace

void ShowUsage(FILE* to) {
  std::string s;
  for (const CommandHelp& c : kCommands) {
    s += std::string(s.empty() ? "usage: " : "       ") + "kelisi " + c.name + " " + c.synopsis +
         "\n";
  }
  s += "       kelisi COMMAND --help | --help | --version\n\n";
  s += "Reads, searches, checks and updates ISI index files built by kelindex.\n";
  for (const CommandHelp& c : kCommands) {
    s += "  " + std::string(c.name) + std::string(9 - strlen(c.name), ' ') + c.summary + "\n";
  }
  s += "\n"
       "Exit status: 0 on success; 1 when find, range or count finds nothing, when check\n"
       "finds a problem, when delete matches nothing, when indexes finds one not current\n"
       "or none, or on a failure, which prints one line on standard error and, for\n"
       "insert and delete, changes no file.\n";
  fputs(s.c_str(), to);
}

bool ShowCommandHelp(const std::string& command) {
  for (const CommandHelp& c : kCommands) {
    if (command != c.name) continue;
    Out(std::string("usage: kelisi ") + c.name + " " + c.synopsis + "\n\n" + c.details);
    return true;
  }
  return false;
}

void ShowVersion() {
  Out("kelisi " KEL_VERSION "\n");
}

}  // namespace kelisi_cli
