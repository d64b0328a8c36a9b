// Inserting one sorted key into the B-tree that is built bottom-up in one
// pass: the key goes into the pending sector of its level; a full sector is
// written and the key moves up a level with that sector as its child.
// Equal keys are kept with counting duplicate sequences, or dropped under
// n0/n$, and reported line by line in the duplicate-key error file.
#include <cstdio>
#include <cstring>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/small_copy.h"
#include "core/sort_item.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/sys_io.h"
#include "isi/tree_build.h"

namespace {

const char* const kDupTemplate = "Duplicate Key at:%%16%sX Key:%%s ";
const char* const kDupIgnoredTemplate = "Duplicate Key ignored at:%%16%sX Key:%%s ";
const char* const kLevelLimitTemplate =
    "\nError! Tree level limit (%%d) can only support %%%su records for this ISI file! ";

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// Formats into msgBuf with a format built at run time; the formatted length.
template <typename... Args>
uint32_t FormatRunTime(const char* format, Args... args) {
  int n = snprintf(pCmdData->msgBuf, kMsgBufSize, format, args...);
  if (n < 0) return 0;
  return static_cast<uint32_t>(n) < kMsgBufSize ? static_cast<uint32_t>(n) : kMsgBufSize - 1;
}
#pragma GCC diagnostic pop

// One duplicate-key line: "Duplicate Key[ ignored] at:" + the item's position
// in upper-case hex, right-aligned in 16 columns + " Key:" + the key + " ",
// then CR LF, into the error file;
// under option n also shown with a plain LF. The line has a fixed length: a
// key that holds a NUL byte prints short, and spaces make up the rest.
void WriteDuplicateLine(bool ignoredForm, uint64_t position, const uint8_t* key) {
  CmdData* cd = pCmdData;
  uint32_t keyLen = static_cast<uint32_t>(cd->treeKeyLen);
  if (keyLen > kMaxKeyBytes) keyLen = kMaxKeyBytes;  // the line must fit msgBuf
  char keyText[kMaxKeyBytes + 1];
  memcpy(keyText, key, keyLen);
  keyText[keyLen] = '\0';
  CmdBuildFormat(ignoredForm ? kDupIgnoredTemplate : kDupTemplate);
  uint32_t n = FormatRunTime(gFormat, static_cast<unsigned long long>(position), keyText);
  uint32_t lineLen = keyLen + (ignoredForm ? kDupIgnoredLineLen : kDupLineLen);
  if (n < lineLen) memset(cd->msgBuf + n, ' ', lineLen - n);
  char* end = cd->msgBuf + lineLen;
  cd->dupMsgEnd = end;
  end[0] = '\r';
  end[1] = '\n';
  if (cd->errFd >= 0) SysWrite(cd->errFd, cd->msgBuf, lineLen + 2);
  if (cd->noDups) {
    end[0] = '\n';
    end[1] = '\0';
    CmdOutInfoString(cd->msgBuf);
  }
}

// The line that ends a build whose tree would need a 17th level, with the
// most records 16 levels of this fill can hold (64-bit, wrapping).
void WriteLevelLimitLine() {
  CmdData* cd = pCmdData;
  uint64_t capacity = 1;
  for (int i = 0; i < kMaxTreeLevels; ++i) capacity *= cd->keysPerNode + 1ull;
  CmdBuildFormat(kLevelLimitTemplate);
  uint32_t n =
      FormatRunTime(gFormat, kMaxTreeLevels, static_cast<unsigned long long>(capacity - 1));
  if (n + 2 >= kMsgBufSize) n = kMsgBufSize - 3;
  memcpy(cd->msgBuf + n, "\r\n", 3);
  if (cd->errFd >= 0) SysWrite(cd->errFd, cd->msgBuf, n + 2);
}

bool IsDuplicate(const uint8_t* key) {
  CmdData* cd = pCmdData;
  return cd->lastEntrySet &&
         EqualFew(key, cd->lastEntryBuf + kIsiEntryKeyOfs, static_cast<size_t>(cd->treeKeyLen));
}

// True when the level's pending sector takes no further entry.
bool SectorFull(const uint8_t* trailer) {
  CmdData* cd = pCmdData;
  // KeysPerNode never exceeds the entries a sector holds: the fill limit
  // is the one test.
  return trailer[kTrailerCountOfs] >= cd->keysPerNode;
}

// Appends the current item as the next entry of the pending sector and
// remembers it as the predecessor of the next key.
void AppendEntry(uint8_t* sector, uint8_t* trailer, uint32_t child, uint16_t dupSeq) {
  CmdData* cd = pCmdData;
  const uint8_t* item = cd->curItem;
  uint32_t entrySize = static_cast<uint32_t>(cd->entrySize);
  uint8_t* entry = sector + trailer[kTrailerCountOfs] * entrySize;
  ++trailer[kTrailerCountOfs];
  uint64_t position = ItemPosition(item);
  uint16_t recSize = ItemLength(item);
  if (cd->recNumMode && recSize != 0) {
    // A 32-bit division when the position allows: the 64-bit one takes
    // several times as long on some processors.
    position =
        position <= UINT32_MAX ? static_cast<uint32_t>(position) / recSize : position / recSize;
  }
  StoreU32(entry, static_cast<uint32_t>(position));
  StoreU32(entry + kEntryChildOfs, child);
  StoreU16(entry + kEntryDupOfs, dupSeq);
  StoreU16(entry + kEntrySizeOfs, recSize);
  uint32_t keyLen = static_cast<uint32_t>(cd->treeKeyLen);
  CopyFew(entry + kIsiEntryKeyOfs, item + kItemKeyOfs, keyLen);
  static const uint8_t kZeros[sizeof(CmdData::lastEntryBuf)] = {};
  CopyFew(entry + kIsiEntryKeyOfs + keyLen, kZeros, entrySize - kIsiEntryKeyOfs - keyLen);
  // The next key needs its predecessor's key and duplicate sequence only;
  // they are taken from where the entry's were, not read back from the
  // entry, whose bytes the stores above have only just written (a wide
  // load over several narrower stores waits for them all to land).
  CopyFew(cd->lastEntryBuf + kIsiEntryKeyOfs, item + kItemKeyOfs, keyLen);
  StoreU16(cd->lastEntryBuf + kEntryDupOfs, dupSeq);
  cd->lastEntrySet = 1;
}

}  // namespace

int32_t InsertKey(uint32_t child) {
  CmdData* cd = pCmdData;
  int level = cd->treeLevel;
  if (level < 0 || level >= kMaxTreeLevels) return kErrTreeLevels;
  uint8_t* sector = cd->levelSector[level];
  uint8_t* trailer = cd->levelTrailer[level];
  const uint8_t* key = cd->curItem + kItemKeyOfs;
  uint64_t position = ItemPosition(cd->curItem);
  bool dup = IsDuplicate(key);

  if (SectorFull(trailer)) {
    // A duplicate that finds its leaf full is dropped here under n0/n$;
    // otherwise the full sector goes out and the key moves up a level.
    if (cd->dupIgnore && child == 0 && dup) {
      if (cd->errFileOn && !cd->dupQuiet) WriteDuplicateLine(true, position, key);
      ++cd->dupIgnoredCount;
      return 0;
    }
    StoreU32(trailer + kTrailerRightOfs, child);
    int64_t written = WriteLevelSector();
    if (written < 0) return -2;
    cd->treeLevel = ++level;
    if (level >= kMaxTreeLevels) {
      WriteLevelLimitLine();
      return kErrTreeLevels;
    }
    if (level > cd->topLevel) cd->topLevel = level;
    return InsertKey(static_cast<uint32_t>(written));
  }

  if (dup && cd->errFileOn && !cd->dupQuiet) WriteDuplicateLine(cd->dupIgnore, position, key);
  if (dup && cd->dupIgnore) {
    ++cd->dupIgnoredCount;
    return 0;
  }
  uint16_t dupSeq = 0;
  if (dup) {
    dupSeq = static_cast<uint16_t>(LoadU16(cd->lastEntryBuf + kEntryDupOfs) + 1);
    ++cd->dupKeptCount;
  }
  AppendEntry(sector, trailer, child, dupSeq);
  return 0;
}
