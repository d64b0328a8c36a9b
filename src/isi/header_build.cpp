// The header of a new index: the last thing the build writes, made from the
// run context on a zeroed 1024-byte buffer.
#include <cstring>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "driver/cmd_data.h"
#include "driver/messages.h"
#include "isi/tree_build.h"

namespace {

constexpr uint8_t kFmtSpaceCompAll = kFmtAppend | kFmtSpaceComp | kFmtVarLen;
constexpr uint8_t kFmtVarLenAll = kFmtAppend | kFmtVarLen;

// The record length as the header stores it (end-of-record bytes not
// counted); settles recLenFound on the way. False when none is known.
bool SettleRecordLength(uint32_t* recordLength) {
  CmdData* cd = pCmdData;
  if (cd->recLenFound != 0) {
    if (!cd->binaryWithEor) cd->recLenFound -= cd->eorLen;
  } else if (cd->recLenSpec != 0) {
    cd->recLenFound = cd->recLenSpec - cd->eorLen;
  } else if (cd->recCount == 0) {
    return false;
  }
  *recordLength = cd->recLenFound - (cd->binaryWithEor ? cd->isiEorLen : 0);
  return true;
}

// The data file name as programs that open the index look for it: without
// its directories under option z, else without a drive prefix. At most the
// 256 bytes of the field, without a terminator when it fills the field.
void PutDataName(uint8_t* header) {
  const CmdData* cd = pCmdData;
  const char* name = cd->inName;
  if (cd->discardPath) {
    const char* slash = strrchr(name, '/');
    if (slash != nullptr) name = slash + 1;
  } else if (name[0] != '\0' && name[1] == ':') {
    name += 2;
  }
  memcpy(header + kHdrDataNameOfs, name, strnlen(name, kHdrDataNameSize));
}

uint8_t FormatFlags() {
  const CmdData* cd = pCmdData;
  uint8_t flags = cd->eorIsiFlags & kFmtEorMask;
  if (cd->binaryData && !cd->binaryWithEor) flags |= kFmtBinary;
  if (cd->upperCaseKeys) flags |= kFmtUpper;
  if (cd->noDups) flags |= kFmtNoDups;
  if (cd->allowSpaceComp) {
    flags |= kFmtSpaceCompAll;
  } else if (cd->allowVarLen) {
    flags |= kFmtVarLenAll;
  } else if (cd->writeAtEnd || cd->primarySelCount > 0) {
    flags |= kFmtAppend;
  }
  return flags;
}

uint8_t ModeFlags() {
  const CmdData* cd = pCmdData;
  uint8_t flags = cd->isiOsType & (kModeOsType1 | kModeOsType2);
  if (cd->recNumMode) flags |= kModeRecNum;
  return flags;
}

// The data file's length: bytes, or whole records under record-number
// addressing.
uint32_t DataLength(uint32_t recordLength) {
  const CmdData* cd = pCmdData;
  uint64_t length = cd->readPos;
  if (cd->recNumMode) {
    uint32_t recordSize = recordLength + (cd->binaryWithEor ? cd->isiEorLen : cd->eorLen);
    if (recordSize != 0) length /= recordSize;
  }
  return static_cast<uint32_t>(length);
}

}  // namespace

Status IsiBuildHeader(uint8_t* header) {
  CmdData* cd = pCmdData;
  memset(header, 0, kIsiHeaderSize);
  uint32_t recordLength = 0;
  if (!SettleRecordLength(&recordLength)) {
    CmdShowf("\aNull file must have record length on command line\n");
    cd->failFd = cd->outFd;
    return kErrNullFile;
  }
  PutDataName(header);
  StoreU16(header + kHdrRecordLengthOfs, static_cast<uint16_t>(recordLength));
  StoreU16(header + kHdrKeyLengthOfs, static_cast<uint16_t>(cd->treeKeyLen));
  memcpy(header, kIsiMagic, sizeof kIsiMagic);
  StoreU16(header + kHdrVersionOfs, kIsiVersion);
  header[kHdrFormatOfs] = FormatFlags();
  header[kHdrModeOfs] = ModeFlags();
  StoreU32(header + kHdrDataLengthOfs, DataLength(recordLength));
  StoreU32(header + kHdrRecordCountOfs, static_cast<uint32_t>(cd->recCount));
  StoreU32(header + kHdrDeletedCountOfs, cd->deletedCount);
  StoreU32(header + kHdrDdrHeadOfs, cd->ddrChainPos);
  StoreU32(header + kHdrRootPosOfs, cd->recNumMode ? kIsiRootPos / kIsiSector : kIsiRootPos);
  StoreU32(header + kHdrReserved24Ofs, kIsiNoSector);
  memcpy(header + kHdrCmdLineOfs, cd->storedCmdLine, strnlen(cd->storedCmdLine, kHdrCmdLineMax));
  static_assert(sizeof cd->keySpecTable == sizeof(IsiHeader::keySpecs));
  static_assert(sizeof cd->primarySelTable == sizeof(IsiHeader::primaryTests));
  memcpy(header + kHdrKeySpecOfs, cd->keySpecTable, sizeof cd->keySpecTable);
  memcpy(header + kHdrPrimaryOfs, cd->primarySelTable, sizeof cd->primarySelTable);
  return kOk;
}
