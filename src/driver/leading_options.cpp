// Leading options: the log file (-l, -q) and the options in front of the
// data file name that must take effect before the command text is parsed
// (-0 -1 -? -d -i -m -t). The letter is taken without regard to case; other
// letters are passed over without a message.
//
// Values that cannot be used are refused in an orderly way:
// - -m below half of the current maximum, or below the 8,192 bytes that the
//   sort memory never goes under, is "too small" and the maximum stays;
//   -m of 2,147,483,648 or more (or negative) cannot be asked for as one
//   block and is "too large", the maximum again staying as it was.
// - -t of 16,384 or more is "too large" and the train limit becomes 999, the
//   figure the message names; -t0 (a table without room for the first train)
//   is "too small" and the limit stays.
// - A log name that does not fit in scratchName, or an INI name that with
//   its ".ini" would not fit in iniName, refuses the run: "One of the
//   filenames is too long." and kErrNameTooLong.
#include "driver/leading_options.h"

#include <cctype>
#include <cstdint>
#include <cstring>

#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/messages.h"
#include "driver/run_steps.h"

namespace {

constexpr int64_t kMaxTrainsAccepted = 16383;
constexpr uint32_t kTrainsWhenTooLarge = 999;
constexpr const char* kNameTooLongText = "One of the filenames is too long.\n";

char OptionLetter(const char* arg) {
  return static_cast<char>(tolower(static_cast<unsigned char>(arg[1])));
}

bool IsLogOption(const char* arg) {
  if (arg[0] != '-') return false;
  char letter = OptionLetter(arg);
  return letter == 'l' || letter == 'q';
}

// A decimal number as the options write it: leading blanks, a sign, digits
// up to the first other character; no digits give 0. Saturates far above
// any value an option accepts, so that long digit strings stay "too large".
int64_t ReadOptionNumber(const char* text) {
  while (isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  int64_t value = 0;
  for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
    if (value < (int64_t{1} << 40)) value = value * 10 + (*text - '0');
  }
  return negative ? -value : value;
}

void TakeMaxMemory(const char* text) {
  CmdData* cd = pCmdData;
  int64_t n = ReadOptionNumber(text);
  if (n < 0 || static_cast<uint64_t>(n) >= kSortRequestLimit) {
    CmdShowf("-m option value too large.  Default assumed.\n");
  } else if (static_cast<uint64_t>(n) < cd->maxMemory / 2 ||
             static_cast<uint64_t>(n) < kMinSortMemory) {
    CmdShowf("-m option value too small.  Default assumed.\n");
  } else {
    cd->maxMemory = static_cast<uint64_t>(n);
    CmdShowf("Max memory set to %ld.\n", static_cast<long>(n));
  }
}

void TakeMaxTrains(const char* text) {
  CmdData* cd = pCmdData;
  int64_t n = ReadOptionNumber(text);
  if (n < 0 || n > kMaxTrainsAccepted) {
    cd->maxTrains = kTrainsWhenTooLarge;
    CmdShowf("-t option value too large.  Default of 999 assumed.\n");
  } else if (n == 0) {
    CmdShowf("-t option value too small.  Default assumed.\n");
  } else {
    cd->maxTrains = static_cast<uint32_t>(n);
    CmdShowf("Max sort trains set to %ld.\n", static_cast<long>(n));
  }
}

// -i{file} or -i {file}: names the INI profile; ".ini" is added when the
// last path component has no extension. *i is left on the last argument used.
Status TakeIniName(int argc, char** argv, int* i) {
  CmdData* cd = pCmdData;
  const char* name = argv[*i] + 2;
  if (*name == '\0') {
    if (*i + 1 >= argc || argv[*i + 1][0] == '-') {
      CmdOutInfoString("Invalid parameter for -i option!\n");
      return kErrIniParam;
    }
    name = argv[++*i];
  }
  while (*name != '\0' && static_cast<unsigned char>(*name) < 33) ++name;
  const char* slash = strrchr(name, '/');
  const char* lastPart = slash != nullptr ? slash + 1 : name;
  const char* ext = strchr(lastPart, '.') == nullptr ? ".ini" : "";
  size_t len = strlen(name);
  if (len + strlen(ext) >= kIniNameSize) {
    CmdOutInfoString(kNameTooLongText);
    return kErrNameTooLong;
  }
  memcpy(cd->iniName, name, len);
  memcpy(cd->iniName + len, ext, strlen(ext) + 1);
  return kOk;
}

}  // namespace

int TakeLogOption(int argc, char** argv) {
  CmdData* cd = pCmdData;
  if (argc <= 2 || !IsLogOption(argv[1])) return 1;
  bool append = OptionLetter(argv[1]) == 'q';
  int next = 2;
  const char* name = argv[1] + 2;
  if (*name == '\0') name = argv[next++];
  // "-l -x": the argument is spent as the log name, but names no log.
  if (name[0] == '-') return next;
  size_t len = strlen(name);
  if (len >= kNameSize) return kErrNameTooLong;
  memcpy(cd->scratchName, name, len + 1);
  FILE* log = fopen(cd->scratchName, append ? "ac" : "wc");
  // A log that cannot be opened is not reported: messages stay where they were.
  if (log != nullptr) {
    cd->msgOut = log;
    cd->logOwned = 1;
  }
  return next;
}

Status TakeLeadingOptions(int argc, char** argv, int* index) {
  CmdData* cd = pCmdData;
  int i = *index;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const char* arg = argv[i];
    switch (OptionLetter(arg)) {
      case '0':
        cd->sortMethod = 0;
        break;
      case '1':
        cd->sortMethod = 1;
        break;
      case '?':
        CmdHelp();
        *index = i + 1;
        return kUsageShown;
      case 'd':
        cd->diagMode = 1;
        break;
      case 'i': {
        Status status = TakeIniName(argc, argv, &i);
        if (status != kOk) {
          *index = i;
          return status;
        }
        break;
      }
      case 'm':
        TakeMaxMemory(arg + 2);
        break;
      case 't':
        TakeMaxTrains(arg + 2);
        break;
      default:
        break;
    }
  }
  *index = i;
  return kOk;
}
