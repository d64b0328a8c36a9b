// The run context: one record that holds every option, file name,
// descriptor, buffer, counter and the message buffer of a run. There is one
// static instance, gCmdData, reached through pCmdData. The driver zero-fills
// it and applies the defaults (CmdSetDefaults) at the start of every run.
//
// The fields are grouped by the subsystem that owns them (writes them
// first); other subsystems may read them. Descriptor fields are -1 when the
// file is closed (0 for dataFd and backupFd), so that the clean-up, which the
// interrupt handler may also run, never closes a descriptor twice.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "options/option_tables.h"
#include "sort/record_key.h"
#include "sort/sort_item.h"

struct FhStRec;
struct FhRec;

// What the sort hands on. The output routine receives every item of the
// merge's final pass (0 = go on, non-zero ends the merge); the deleted-record
// routine receives the position of every deleted record the scan meets
// (0 = go on, non-zero ends the scan). The driver installs the index
// build's routines, so that the sort knows nothing of the index.
using OutRecFn = int32_t (*)(uint8_t* item);
using DeletedRecFn = int32_t (*)(uint64_t position);

// Fixed buffer sizes of the run.
constexpr size_t kNameSize = 512;    // file names
constexpr size_t kMsgBufSize = 300;  // msgBuf
constexpr size_t kIniNameSize = 256;
constexpr size_t kStoredLineSize = 528;  // stored command line (527 characters + NUL)
constexpr size_t kParseLineSize = 577;   // joined command text (576 characters + NUL)
constexpr size_t kTmpDirSize = 260;
constexpr size_t kTmpNameSize = 270;
constexpr size_t kDriveSize = 3, kDirSize = 250, kBaseSize = 60, kExtSize = 6;
constexpr uint32_t kOutBufSize = 262144;  // shared output buffer
constexpr uint32_t kRecBufData = 65536;   // input buffer data area
constexpr uint32_t kRecBufSize = 65697;   // data area + look-ahead + spare room
constexpr int kMaxTreeLevels = 16;

struct CmdData {
  // ---- Driver: run, messages, leading options (driver/) -------------------
  const char* cmdName;          // "INDEX"
  FILE* msgOut;                 // where every message goes; nullptr = nowhere
  uint8_t logOwned;             // msgOut is a log file this run opened
  uint8_t progressOn;           // progress lines are shown (msgOut is a terminal)
  uint8_t diagMode;             // leading option -d
  uint32_t sortMethod;          // 0 Shell sort (-0), 1 quicksort (-1)
  char iniName[kIniNameSize];   // INI profile named by -i; empty = none
  uint64_t maxMemory;           // sort memory to request (-m)
  uint32_t maxTrains;           // entries of the sort-train table (-t)
  char msgBuf[kMsgBufSize];     // message buffer of a failing routine
  char scratchName[kNameSize];  // the name being opened or deleted
  time_t startTime;             // wall-clock start of the run
  char* parseLine;              // joined command text (kParseLineSize)
  uint8_t* outBuf;              // shared output buffer (kOutBufSize)
  uint8_t* outBufPtr;           // next free byte in outBuf
  uint32_t outBufFree;          // bytes still free in outBuf
  uint8_t* recBuf;              // input buffer (kRecBufSize)
  uint8_t* sortMem;             // the sort memory block
  uint64_t sortMemSize;         // its size in bytes
  uint64_t* trainTable;         // maxTrains train start offsets
  OutRecFn outRecFn;            // output routine of the merge's final pass
  DeletedRecFn deletedRecFn;    // where the scan puts each deleted record

  // ---- Profile lookup (driver/profile) ------------------------------------
  char envValue[4097];  // value found in the profile
  uint8_t iniGuard;     // the byte just before iniBuf
  char iniBuf[901];     // read window of 900 bytes + terminator
  char* iniNext;        // first unconsumed byte in iniBuf
  char* iniLine;        // the current line
  uint32_t iniLeft;     // bytes from iniNext not yet consumed

  // ---- Options, key specifications, file names (options/) -----------------
  char* dbPath;               // data path list (heap), nullptr = none
  uint8_t lowerCaseNames;     // composed file names are folded to lower case
  char nameFmtChar;           // '.' unless the terminal definition says otherwise
  uint8_t defExtLen;          // extension length from the terminal definition
  char defDataExt[kExtSize];  // default data extension, ".TXT"
  char defIsiExt[kExtSize];   // default ISI extension, ".ISI"
  char inName[kNameSize];     // data file (or ISI to compact)
  char outName[kNameSize];    // output ISI
  char errName[kNameSize];    // duplicate-key error file
  char inDrive[kDriveSize], inDir[kDirSize], inBase[kBaseSize], inExt[kExtSize];
  char outDrive[kDriveSize], outDir[kDirSize], outBase[kBaseSize], outExt[kExtSize];
  uint16_t inFoundDirLen;    // directory length found by the data-path search
  uint32_t recLenSpec;       // record length given (Lnnn, f=, g=), 0 = none
  char tmpDir[kTmpDirSize];  // work-file directory and mkstemp template
  char* tmpName1;            // work file names (heap, kTmpNameSize)
  char* tmpName2;
  int32_t tmpFd1, tmpFd2;  // work file descriptors
  int32_t failFd;          // the file being written (named by write-failure messages)
  int32_t mergeInFd;       // the work file the merge reads
  uint32_t compactFlags;   // 1 compact, 2 keep stored line (c=0), 4 backup made
  uint8_t compactShared;   // 1 shared mode (c, c=0), 0 exclusive (c=1)
  uint8_t showIndexInfo, reindex, reindexNoPath;
  uint8_t discardPath;      // option z / QRX_NOPATH=ON
  uint8_t noDriveInHeader;  // option y
  uint8_t spaceCompIsComp;  // default 1; option b clears
  uint8_t noDups, errFileOn, dupIgnore, dupQuiet;
  uint32_t maxFillPct;   // option m, default 100
  uint8_t isiOsType;     // 0, 8 (o=1) or 16 (o, o=2)
  uint8_t quitIfNoData;  // option q
  uint8_t allowVarLen, allowSpaceComp, writeAtEnd;
  uint8_t recNumMode;  // default 1; v and s clear it
  uint8_t binaryData, binaryWithEor;
  uint8_t upperCaseKeys;    // option u
  uint8_t showRecCount;     // default 1; option x clears
  uint8_t primarySelForm;   // 0, 'p' simple tests, 'P' extended expression
  uint8_t pOptionCount;     // p options accepted
  int32_t primarySelCount;  // entries in primarySelTable
  PrimarySelEntry primarySelTable[kMaxPrimaryTests];
  KeySpecEntry keySpecTable[kMaxKeySpecs];
  uint32_t keySpecLen;  // key bytes
  ColumnEntry colTable[kMaxColumns + 1];
  int32_t colCount;
  SelTerm selTerms[kMaxSelTerms + 1];
  char storedCmdLine[kStoredLineSize];
  char reindexLine[kStoredLineSize];
  uint8_t dataCreated;  // the data file was created empty by this run
  uint8_t outIsInput;   // compaction writes back into its input

  // ---- Data input and external sort (sort/) -------------------------------
  int32_t inFd, outFd, errFd;
  uint8_t eorLen;              // end-of-record bytes per record (0, 1, 2)
  uint8_t eorChar1, eorChar2;  // the mark; eorChar2 = 0 for one byte
  uint8_t eorIsiFlags;         // the mark's code in the ISI header
  uint8_t isiEorLen;           // mark length kept for option g
  uint32_t recLenFound;        // record length in effect, mark included
  uint64_t readPos;            // file offset after the buffer's contents
  uint8_t* recBufPtr;          // current byte in recBuf
  int32_t recBufCount;         // bytes not yet consumed, the current one included
  uint32_t lastFillCount;      // count of the last fill
  uint64_t recStartPos;        // position of the byte or record being scanned
  uint64_t recCount;           // records scanned, then delivered
  uint32_t deletedCount;       // deleted records met
  uint8_t selPassCount;        // primary-record tests passed by this record
  uint8_t spaceCompFound, varLenFound, posInvalidFound, longRecFound, shortRecFound;
  uint32_t subListFree;   // room left in the sub-list
  uint32_t keyLen;        // key bytes compared
  uint32_t itemLen;       // keyLen + 10
  uint32_t itemsInMem;    // items the sort memory holds
  uint8_t** itemPtrArea;  // one pointer per item, behind the items
  uint64_t* trainNext;    // where the next train start is written
  uint64_t* trainBase;    // the merge's read cursor in trainTable
  uint32_t trainCount;
  uint64_t trainFilePos;          // where the next item goes in the file being written
  uint8_t highItem[kMaxItemLen];  // last item of the current train; 0xFF = none
  uint32_t progressCountdown;     // items left until the next count update
  MergeSlot mergeSlots[kMaxFanIn + 1];
  uint8_t* mergeWinner;
  uint8_t* mergeRunnerUp;  // not kept: the selection tree below serves instead
  int32_t mergeWinnerIdx, mergeRunnerUpIdx;
  // MergeSelect's tournament over the group's slots: the losing slot of each
  // match (entries 1 .. mergeTreeSlots - 1), the number of slots it spans.
  int32_t mergeTree[kMaxFanIn];
  uint64_t mergeTreeHead[kMaxFanIn];  // the key head of each match's losing item
  int32_t mergeTreeSlots;
  uint8_t* curItem;     // the item being inserted into the tree
  KeyLayout keyLayout;  // the key bytes of colTable as runs; set by CreateSubList

  // ---- ISI index file and tree build (isi/) -------------------------------
  int32_t treeKeyLen;      // key length
  int32_t entrySize;       // key entry size: key length + 12 rounded up to 4
  uint32_t keysPerNode;    // fill limit of a key sector
  uint64_t lastSectorPos;  // position of the sector written last
  int32_t treeLevel, topLevel;
  uint8_t* isiBlock;  // the 17-sector block of the build
  uint8_t* levelSector[kMaxTreeLevels];
  uint8_t* levelTrailer[kMaxTreeLevels];
  uint8_t* lastEntry;  // -> lastEntryBuf
  uint8_t lastEntryBuf[sizeof(IsiKeyEntry)];
  uint8_t lastEntrySet;  // lastEntryBuf holds a key: the next key has a predecessor
  char* dupMsgEnd;       // where a duplicate-key line ends in msgBuf
  uint8_t isiSwapOut;    // key sectors are written in the other byte order
  uint32_t dupKeptCount, dupIgnoredCount;
  uint8_t* ddrSector;     // the DDR sector buffer (17th sector of isiBlock)
  uint8_t* ddrTrailer;    // the DDR sector's trailer (link, count, markers)
  uint32_t ddrChainPos;   // DDR sector written last, kIsiNoSector = none

  // ---- Compaction (compact/) ----------------------------------------------
  FhStRec* compactIsi;         // state of the ISI being compacted
  FhRec* dataLock;             // file and lock record of its data file
  int32_t dataFd;              // the data file; 0 when not open
  char dataName[kNameSize];    // data file name from the ISI header
  char backupName[kNameSize];  // backup of an in-place compaction
  int32_t backupFd;            // 0 when none
  struct Journal* backupJournal;  // the journal naming the backup, while the ISI is rewritten
  uint8_t* backupBuf;          // 65535-byte copy buffer
  uint64_t compactIsiSize;     // size of the ISI when its front was read: bounds every position
};

extern CmdData gCmdData;
extern CmdData* pCmdData;
