// How kelisi writes bytes that may be binary: keys and records on entry
// lines, texts inside JSON, and the escaped key a user types back.
#pragma once

#include <cstddef>
#include <string>

namespace kelisi_cli {

// Appends `bytes` with backslash as `\\`, tab as `\t` and every other byte
// outside the printable ASCII range as `\xNN` (two lower-case hex digits),
// so that an entry line stays one line of tab-separated fields.
void AppendEscaped(std::string* out, const unsigned char* bytes, size_t len);

// Reads a key typed on the command line: `\xNN` gives the byte NN, `\\` a
// backslash and `\t` a tab; every other byte stands for itself. False (with
// *error set) for a backslash followed by anything else.
bool Unescape(const std::string& text, std::string* bytes, std::string* error);

// Appends `text` as a JSON string, quotes included. Bytes of 0x80 and above
// are taken one by one as Latin-1 characters, so that any bytes give valid
// JSON; control characters are escaped.
void AppendJsonString(std::string* out, const char* text, size_t len);
inline void AppendJsonString(std::string* out, const std::string& text) {
  AppendJsonString(out, text.data(), text.size());
}

}  // namespace kelisi_cli
