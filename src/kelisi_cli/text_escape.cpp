// Escaping of keys and records for entry lines and JSON, and the reading
// of escaped keys from the command line.
#include "kelisi_cli/text_escape.h"

namespace kelisi_cli {

namespace {

constexpr char kHex[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendHexByte(std::string* out, unsigned char b, const char* prefix) {
  out->append(prefix);
  out->push_back(kHex[b >> 4]);
  out->push_back(kHex[b & 15]);
}

}  // namespace

void AppendEscaped(std::string* out, const unsigned char* bytes, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    unsigned char b = bytes[i];
    if (b == '\\') {
      out->append("\\\\");
    } else if (b == '\t') {
      out->append("\\t");
    } else if (b < 0x20 || b >= 0x7F) {
      AppendHexByte(out, b, "\\x");
    } else {
      out->push_back(static_cast<char>(b));
    }
  }
}

bool Unescape(const std::string& text, std::string* bytes, std::string* error) {
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      bytes->push_back(c);
      continue;
    }
    char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (next == '\\') {
      bytes->push_back('\\');
      ++i;
    } else if (next == 't') {
      bytes->push_back('\t');
      ++i;
    } else if (next == 'x' && i + 3 < text.size() && HexValue(text[i + 2]) >= 0 &&
               HexValue(text[i + 3]) >= 0) {
      bytes->push_back(static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3])));
      i += 3;
    } else {
      *error = "a backslash must be followed by \\, t or xNN";
      return false;
    }
  }
  return true;
}

void AppendJsonString(std::string* out, const char* text, size_t len) {
  out->push_back('"');
  for (size_t i = 0; i < len; ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    switch (b) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (b < 0x20 || b == 0x7F) {
          AppendHexByte(out, b, "\\u00");
        } else if (b >= 0x80) {
          // The byte as the Latin-1 character of the same number, in UTF-8.
          out->push_back(static_cast<char>(0xC0 | (b >> 6)));
          out->push_back(static_cast<char>(0x80 | (b & 0x3F)));
        } else {
          out->push_back(static_cast<char>(b));
        }
    }
  }
  out->push_back('"');
}

}  // namespace kelisi_cli
