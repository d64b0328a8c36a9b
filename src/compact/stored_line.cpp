// Rewriting the stored command line for compaction into a new file.
#include "compact/stored_line.h"

#include <cstring>

#include "driver/cmd_data.h"

namespace {

// Position of the second comma of the first `len` bytes of `text`, or -1.
long SecondComma(const char* text, size_t len) {
  const char* first = static_cast<const char*>(memchr(text, ',', len));
  if (first == nullptr) return -1;
  size_t rest = len - static_cast<size_t>(first + 1 - text);
  const char* second = static_cast<const char*>(memchr(first + 1, ',', rest));
  return second == nullptr ? -1 : second - text;
}

}  // namespace

Status CompactRewriteStoredLine(char* headerLine, size_t fieldSize, const char* ownLine) {
  size_t ownLen = strnlen(ownLine, kStoredLineSize);
  long ownSecond = SecondComma(ownLine, ownLen);
  if (ownSecond < 0) return kErrOwnLine;
  const char* name = static_cast<const char*>(memchr(ownLine, ',', ownLen)) + 1;
  size_t nameLen = static_cast<size_t>(ownLine + ownSecond - name);

  size_t lineLen = strnlen(headerLine, fieldSize);
  if (lineLen == fieldSize) return kErrStoredLine;  // a line without its end
  long second = SecondComma(headerLine, lineLen);
  if (second < 0) return kErrStoredLine;
  size_t headLen =
      static_cast<size_t>(static_cast<const char*>(memchr(headerLine, ',', lineLen)) - headerLine) +
      1;
  size_t tailLen = lineLen - static_cast<size_t>(second);
  char tail[kStoredLineSize];
  if (headLen + nameLen + tailLen > fieldSize - 1 || tailLen > sizeof tail) {
    return kErrNewLineTooLong;
  }
  memcpy(tail, headerLine + second, tailLen);
  memcpy(headerLine + headLen, name, nameLen);
  memcpy(headerLine + headLen + nameLen, tail, tailLen);
  headerLine[headLen + nameLen + tailLen] = '\0';
  return kOk;
}
