// The subcommands of kelisi and what they share: the argument reader, the
// one-line failure messages, opening an index, and the output stream.
#pragma once

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kelisi.h"

namespace kelisi_cli {

// Exit statuses: 0 success; 1 a failure (with one line on stderr), an
// inconsistent index, or a search that found nothing.
constexpr int kExitOk = 0;
constexpr int kExitFail = 1;

// The arguments of one subcommand.
struct Args {
  std::vector<std::string> positional;
  std::set<std::string> flags;                // "--json", "--prefix", ...
  std::map<std::string, std::string> values;  // "--data" -> path
};

// Reads argv[first..]: `flags` take no value, `valued` take the next
// argument (or the text after '='); "--" ends the options. Prints the
// failure and returns false for an unknown option, a missing value or a
// count of positional arguments outside [minPositional, maxPositional].
bool ReadArgs(int argc, char** argv, int first, const std::set<std::string>& flags,
              const std::set<std::string>& valued, size_t minPositional, size_t maxPositional,
              const char* command, Args* out);

// Prints "kelisi: <text>" on stderr and returns kExitFail.
int Fail(const std::string& text);

// The text of a library status for the files concerned, as one message
// (`update`: the files were opened for update).
std::string StatusText(int status, const std::string& isiPath, const std::string& dataPath,
                       bool update = false);

// Reads a key typed by the user for the index `ix` (header `h`): escapes
// resolved, folded to upper case when the index's keys were, no longer
// than its keys, and with `pad` padded with blanks to the key length
// (*padded tells whether it was shorter). Prints the failure, naming
// `command`, and returns false.
bool KeyArgument(const char* command, const std::string& text, kelisi* ix, const kelisi_header& h,
                 const std::string& isiPath, bool pad, std::string* key, bool* padded = nullptr);

// Rolls back a change that a journal beside the index holds (a change or a
// compaction cut short), as the first opening of the index does, and says
// so on standard error, as kelindex does. Nothing when there is none.
void RecoverAndSay(const std::string& isiPath);

// Opens an index (and its data file when dataPath is not empty); on
// failure prints the message and returns nullptr.
kelisi* OpenOrFail(const std::string& isiPath, const std::string& dataPath);

// Buffered standard output; Flush reports a failed write (status kExitFail).
void Out(const std::string& text);
int Flush(int status);

int RunInfo(int argc, char** argv);
int RunFind(int argc, char** argv);
int RunRange(int argc, char** argv);
int RunDump(int argc, char** argv);
int RunCount(int argc, char** argv);
int RunCheck(int argc, char** argv);
int RunInsert(int argc, char** argv);
int RunDelete(int argc, char** argv);
int RunIndexes(int argc, char** argv);

// The usage of every command; the help of one (false: no such command);
// the version line. The last two go to the buffered output.
void ShowUsage(FILE* to);
bool ShowCommandHelp(const std::string& command);
void ShowVersion();

}  // namespace kelisi_cli
