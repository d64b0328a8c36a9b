// The command line stored in an ISI header: shown for option i, and parsed
// again for option r (r0: without the directories of the stored names) so
// that the index is rebuilt with the settings that built it.
#include <fcntl.h>

#include <cstring>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/text_util.h"
#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "driver/recover_change.h"
#include "driver/sys_io.h"
#include "options/file_names.h"
#include "options/parse_steps.h"
#include "options/parser.h"
#include "options/stored_cmd_line.h"

namespace {

// Set while a stored line is parsed for a rebuild. A stored line that asks
// for a rebuild again would otherwise rebuild without end.
bool gRebuilding = false;

// Every failure leaves outName empty, so that the clean-up deletes nothing.
Status Refuse(Status code, const char* text) {
  CmdData* cd = pCmdData;
  if (text != nullptr) CmdSetMsg("%s%s", text, cd->outName);
  cd->outName[0] = '\0';
  return code;
}

// The ISI name: inName resolved, with the default ISI extension, looked for
// along the data path when it names no directory.
Status ResolveIsiName() {
  CmdData* cd = pCmdData;
  memcpy(cd->outName, cd->inName, kNameSize);
  if (Dpt2KelFormatUtil(cd->outName, 256, cd->nameFmtChar, 0) == 0) {
    return Refuse(kErrResolveOutput, "Unable to resolve name for output file ");
  }
  if (!_splitpath(cd->outName, cd->outDrive, cd->outDir, cd->outBase, cd->outExt)) {
    return Refuse(kErrNameTooLong, nullptr);
  }
  if (cd->outExt[0] == '\0') memcpy(cd->outExt, cd->defIsiExt, kExtSize);
  if (cd->dbPath != nullptr && cd->outDir[0] == '\0') {
    if (!_makepath(cd->outName, cd->outDrive, cd->outDir, cd->outBase, cd->outExt)) {
      return Refuse(kErrNameTooLong, nullptr);
    }
    FindFile(cd->outName, cd->outDir, cd->dbPath);
  }
  if (!_makepath(cd->outName, cd->outDrive, cd->outDir, cd->outBase, cd->outExt)) {
    return Refuse(kErrNameTooLong, nullptr);
  }
  return kOk;
}

// The key length of a current-layout header (in the file's byte order) is
// 1 to 150, as compaction requires of the same header: a header that says
// otherwise is damaged, and its stored line is not to be trusted either.
bool KeyLengthValid(const uint8_t* header, uint16_t version) {
  uint16_t keyLength = LoadU16(header + offsetof(IsiHeader, keyLength));
  if (version == kIsiVersionSwapped)
    keyLength = static_cast<uint16_t>(keyLength >> 8 | keyLength << 8);
  return IsiKeyLengthValid(keyLength);
}

// Reads the header and takes the stored line (`line`, kStoredLineSize bytes)
// and the data file name from it. Both header layouts are read; `damaged`
// tells whether a current-layout header has a key length the format cannot
// have.
Status ReadStoredLine(char* line, bool* damaged) {
  CmdData* cd = pCmdData;
  if (Status r = RecoverInterruptedChange(cd->outName, kErrOpenIsi); r != kOk) {
    cd->outName[0] = '\0';
    return r;
  }
  memcpy(cd->scratchName, cd->outName, kNameSize);
  int fd = SysOpen(cd->scratchName, O_RDONLY);
  if (fd < 0) return Refuse(kErrOpenIsi, "Can't open .isi file ");
  uint8_t header[kIsiHeaderSize];
  ssize_t got = SysRead(fd, header, sizeof header);
  SysClose(fd);
  if (got < 0) return Refuse(kErrOpenIsi, "Can't open .isi file ");
  if (got < static_cast<ssize_t>(sizeof header))
    return Refuse(kErrNotIsi, "Not a valid .isi file ");
  uint16_t version = LoadU16(header + offsetof(IsiHeader, version));
  *damaged = false;
  if (IsiVersionValid(version)) {
    *damaged = !KeyLengthValid(header, version);
    memcpy(line, header + offsetof(IsiHeader, cmdLine), kStoredLineSize - 1);
    line[kStoredLineSize - 1] = '\0';
  } else if (IsiVersionValid(LoadU16(header + kIsiOldVersionOfs))) {
    CmdOutInfoString("\nConverting from 8.x to 9.x format\n");
    memcpy(line, header + kIsiOldCmdLineOfs, kIsiOldCmdLineSize);
    line[kIsiOldCmdLineSize] = '\0';
  } else {
    return Refuse(kErrNotIsi, "Not a valid .isi file ");
  }
  memcpy(cd->inName, header + offsetof(IsiHeader, dataName), sizeof IsiHeader::dataName);
  cd->inName[sizeof IsiHeader::dataName] = '\0';
  return kOk;
}

void CloseWorkFile(int32_t* fd, char** name) {
  if (*fd != -1) {
    SysClose(*fd);
    SysUnlink(*name);
    *fd = -1;
  }
  CmdFree(*name);
  *name = nullptr;
}

// The rebuild parses the stored line from scratch; the work files of the
// first text make way for the ones it creates.
Status Rebuild(const char* line) {
  CmdData* cd = pCmdData;
  if (gRebuilding) {
    CmdSetMsg("Invalid input ISI command line format found in file named: %s.", cd->outName);
    cd->outName[0] = '\0';
    return kErrStoredLine;
  }
  CloseWorkFile(&cd->tmpFd1, &cd->tmpName1);
  CloseWorkFile(&cd->tmpFd2, &cd->tmpName2);
  cd->failFd = 0;
  cd->mergeInFd = 0;
  cd->reindex = 0;
  memcpy(cd->reindexLine, line, kStoredLineSize);
  gRebuilding = true;
  Status st = parseMain(cd->reindexLine);
  gRebuilding = false;
  return st;
}

}  // namespace

Status WriteCmdLine() {
  CmdData* cd = pCmdData;
  Status st = ResolveIsiName();
  if (st != kOk) return st;
  char line[kStoredLineSize];
  bool damaged = false;
  st = ReadStoredLine(line, &damaged);
  if (st != kOk) return st;
  if (line[0] == '\0') return Refuse(kErrNoKeyInfo, "No key information available for ");
  if (damaged) {
    CmdSetMsg("%s %s.", kDamagedIsiText, cd->outName);
    return Refuse(kErrCorruptIsi, nullptr);
  }
  // Written in pieces: a stored line may be longer than the message buffer.
  CmdOutInfoString("\nkelindex ");
  CmdOutInfoString(line);
  CmdOutInfoString("\n");
  if (cd->reindex) return Rebuild(line);
  return kOk;
}
