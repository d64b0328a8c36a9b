// Status codes. Every routine of kelindex returns a signed 32-bit status:
// 0 for success and a negative code for failure. The driver alone turns a
// code into a message (driver/messages.cpp) and the exit status.
//
// The names below are for readability only; the values are fixed, because
// the message tables, the job groups and the tests key on them.
#pragma once

#include <cstdint>

using Status = int32_t;

enum : Status {
  kOk = 0,

  // Driver.
  kErrMemory = -9,       // an allocation of the run failed
  kErrDataFormat = -10,  // data file not in the expected format
  kErrIniParam = -11,    // leading option -i without a name
  kUsageShown = -12,     // the usage text was shown
  kErrTreeLevels = -13,  // a 17th tree level would be needed
  kJobDone = -20,        // the parser finished the job (index information)
  kErrCanceled = -21,    // the user cancelled at a progress line

  // Job groups (index build and compaction share the low codes).
  kErrTempRead = -3,    // a work file could not be read
  kErrInputRead = -4,   // the data file (or input ISI) could not be read
  kErrBinaryEor = -5,   // a binary record without its end mark
  kErrRecSize = -6,     // record size invalid for the given length
  kErrRecSizeMax = -7,  // record size above the maximum (or allocation in compaction)
  kErrDdrWrite = -8,    // a full DDR sector could not be written

  // Parser and file opening (fixed texts or msgBuf).
  kErrResolveOutput = -100,
  kErrOpenIsi = -101,
  kErrNotIsi = -102,
  kErrNoKeyInfo = -103,
  kErrIncomplete = -104,
  kErrReadInput = -105,
  kErrCreateOutput = -106,
  kErrNameTooLong = -107,
  kErrRecLenSpec = -108,
  kErrTempFiles = -110,
  kErrKeyTooLarge = -111,
  kErrKeySyntax = -112,
  kErrKeyOverlap = -113,
  kErrTooManyKeyBytes = -114,
  kErrTooManyKeySpecs = -115,
  kErrResolveSource = -116,
  kErrPrimaryKey = -118,
  kErrOpenSource = -120,
  kErrFileSize = -121,
  kErrNameLimitZ = -122,
  kErrNameLimit = -123,
  kErrConflictFsv = -124,
  kErrSameName = -126,
  kErrRecSizeFileLen = -127,
  kErrConflictKeyOpts = -128,
  kErrFillPct = -129,
  kErrNeedRecLen = -133,
  kErrTooManyP = -135,
  kErrUpperCaseOrder = -136,
  kErrRecLenConflict = -137,
  kErrFileTooLarge = -138,
  kErrNullFile = -151,
  kErrTooMany = -156,    // too many records or sort trains
  kErrIsiWrite = -157,   // an ISI write failed
  kErrTempWrite = -158,  // a work file could not be written
  kErrOsType = -159,
  kErrNoRecLen = -160,
  kErrLongRecord = -161,
  kErrIsiVersion = -162,
  kErrDdrCount = -163,
  kErrStoredLine = -164,
  kErrOwnLine = -165,
  kErrNewLineTooLong = -166,
  kErrInPlace = -167,
  kErrRestore = -168,
  kErrLockShared = -169,
  kErrLockExclusive = -170,
  kErrCompactOpt = -171,

  // Refusals of this program's own (the text is left in msgBuf).
  kErrCmdTooLong = -172,     // the joined command text or stored line does not fit
  kErrTmpDirTooLong = -173,  // work-file directory too long for its template
  kErrLeadingOption = -174,  // a leading option value that cannot be used
  kErrCorruptIsi = -175,     // an ISI whose tree or chain is damaged
  kErrLockWait = -176,       // the wait for the ISI lock gave up
};

// The fixed text of a code of the parser and of the opening of the data
// (the driver prints it), or nullptr for a code whose text is made at the
// failure (msgBuf).
const char* ParseErrorText(Status code);
