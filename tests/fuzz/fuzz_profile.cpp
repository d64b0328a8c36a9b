// Fuzz target: the INI profile reader. The input's first byte chooses a
// buffer size, the second a section and key to look up; the rest is the
// profile's bytes. Every lookup is held against a plain model of the
// profile format: lines end with LF (a CR before it dropped), a line longer
// than 900 bytes is read as pieces of 900, a line is text up to its first
// NUL, "[name]" opens a section (blanks around the name dropped, case
// ignored), "key=value" lines within it give values (the key's trailing
// blanks and the value's blanks on both sides dropped), the first match
// wins and a line starting with '[' ends the section.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/cmd_data.h"
#include "driver/profile.h"
#include "fuzz_util.h"

namespace {

constexpr size_t kPiece = 900;

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string Trim(const std::string& s, bool front, bool back) {
  size_t b = 0, e = s.size();
  while (front && b < e && Blank(s[b])) ++b;
  while (back && e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t lf = bytes.find('\n', at);
    bool ended = lf != std::string::npos;
    std::string line = bytes.substr(at, (ended ? lf : bytes.size()) - at);
    at = ended ? lf + 1 : bytes.size();
    while (line.size() >= kPiece) {  // a full window without a line end
      lines.push_back(line.substr(0, kPiece));
      line.erase(0, kPiece);
      if (line.empty() && !ended) break;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  for (std::string& l : lines) l = l.substr(0, strnlen(l.c_str(), l.size()));
  return lines;
}

// The value of `key` in `section`, or false when either is missing.
bool ModelLookup(const std::string& bytes, const std::string& section, const std::string& key,
                 std::string* value) {
  bool inSection = false;
  for (const std::string& line : Lines(bytes)) {
    if (!inSection) {
      size_t close = line.find(']');
      inSection = !line.empty() && line[0] == '[' && close != std::string::npos &&
                  Upper(Trim(line.substr(1, close - 1), true, true)) == Upper(section);
      continue;
    }
    if (!line.empty() && line[0] == '[') return false;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (Upper(Trim(line.substr(0, eq), false, true)) != Upper(key)) continue;
    *value = Trim(line.substr(eq + 1), true, true);
    return true;
  }
  return false;
}

const char* const kSections[] = {"environment", "Env", "", " x "};
const char* const kKeys[] = {"TMPDIR", "dbpath", "", "  K", "a=b"};
const uint32_t kSizes[] = {1, 2, 3, 8, 64, 901, 4097};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t bufSize = kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])];
  const char* section = kSections[data[1] % 4];
  const char* key = kKeys[(data[1] / 4) % 5];
  std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::string path = fz::PathIn("p.ini");
  fz::LeakGuard guard;
  fz::WriteFile(path, data + 2, size - 2);
  fz::StartRun();
  std::vector<char> buffer(bufSize + 1, '\x7f');
  uint32_t n = GetQrxProfileStringUtil(section, key, "dflt", buffer.data(), bufSize, path.c_str());
  FZ_CHECK(buffer[bufSize] == '\x7f');  // nothing written beyond the size given
  FZ_CHECK(n < bufSize && strlen(buffer.data()) == n);
  std::string expected;
  if (!ModelLookup(bytes, section, key, &expected)) expected = "dflt";
  expected = expected.substr(0, bufSize - 1);
  FZ_CHECK(std::string(buffer.data(), n) == expected);

  // The named-setting lookup over the same profile: the profile's non-empty
  // value, else the environment's.
  snprintf(pCmdData->iniName, sizeof pCmdData->iniName, "%s", path.c_str());
  const char* env = CmdGetEnv(key);
  std::string model;
  if (ModelLookup(bytes, "environment", key, &model) && !model.empty()) {
    FZ_CHECK(env != nullptr && model.substr(0, 4096) == env);
  } else {
    const char* real = getenv(key);
    FZ_CHECK((env == nullptr) == (real == nullptr));
  }
  fz::EndRun();
  unlink(path.c_str());
  return 0;
}
