// The run context: one record that holds every option, file name,
// descriptor, buffer, counter and the message buffer of a run. There is one
// static instance, gCmdData, reached through pCmdData. The driver zero-fills
// it and applies the defaults (CmdSetDefaults) at the start of every run.
//
// It is made of the definition the command text gives and the state of the
// data scan (core/data_scan.h: a DataScan, itself an IndexDefinition), which
// the reader library keeps as well, and of the program's own fields below.
// These are grouped by the subsystem that owns them (writes them first);
// other subsystems may read them. Descriptor fields are -1 when the file is
// closed (0 for dataFd and backupFd), so that the clean-up, which the
// interrupt handler may also run, never closes a descriptor twice.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "core/data_scan.h"
#include "core/definition.h"
#include "core/record_key.h"
#include "core/sort_item.h"
#include "sort/merge.h"

struct FhStRec;
struct FhRec;

// What the sort hands on: the output routine receives every item of the
// merge's final pass (0 = go on, non-zero ends the merge). The driver
// installs the index build's routines (this one, and the scan's
// deleted-record routine), so that the sort knows nothing of the index.
using OutRecFn = int32_t (*)(uint8_t* item);
using DeletedRecFn = int32_t (*)(uint64_t position);

// Fixed buffer sizes of the run (besides the definition's kNameSize,
// kStoredLineSize and kTmpDirSize, and the scan's kRecBufSize).
constexpr size_t kMsgBufSize = 300;  // msgBuf
constexpr size_t kIniNameSize = 256;
constexpr size_t kParseLineSize = 577;  // joined command text (576 characters + NUL)
constexpr size_t kTmpNameSize = 270;
constexpr size_t kDriveSize = 3, kDirSize = 250, kBaseSize = 60, kExtSize = 6;
constexpr uint32_t kOutBufSize = 262144;  // shared output buffer
constexpr int kMaxTreeLevels = 16;

struct CmdData : DataScan {
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
  uint64_t sortMemSize;         // the size of the sort memory (sortMem) in bytes
  uint64_t* trainTable;         // maxTrains train start offsets
  OutRecFn outRecFn;            // output routine of the merge's final pass

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
  char errName[kNameSize];    // duplicate-key error file
  char inDrive[kDriveSize], inDir[kDirSize], inBase[kBaseSize], inExt[kExtSize];
  char outDrive[kDriveSize], outDir[kDirSize], outBase[kBaseSize], outExt[kExtSize];
  uint16_t inFoundDirLen;  // directory length found by the data-path search
  char* tmpName1;          // work file names (heap, kTmpNameSize)
  char* tmpName2;
  int32_t tmpFd1, tmpFd2;  // work file descriptors
  int32_t failFd;          // the file being written (named by write-failure messages)
  int32_t mergeInFd;       // the work file the merge reads
  char reindexLine[kStoredLineSize];
  uint8_t dataCreated;  // the data file was created empty by this run
  uint8_t outIsInput;   // compaction writes back into its input

  // ---- Data input and external sort (sort/) -------------------------------
  int32_t inFd, outFd, errFd;
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
  uint8_t* curItem;  // the item being inserted into the tree

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
  uint8_t* ddrSector;    // the DDR sector buffer (17th sector of isiBlock)
  uint8_t* ddrTrailer;   // the DDR sector's trailer (link, count, markers)
  uint32_t ddrChainPos;  // DDR sector written last, kIsiNoSector = none

  // ---- Compaction (compact/) ----------------------------------------------
  FhStRec* compactIsi;            // state of the ISI being compacted
  FhRec* dataLock;                // file and lock record of its data file
  int32_t dataFd;                 // the data file; 0 when not open
  char dataName[kNameSize];       // data file name from the ISI header
  char backupName[kNameSize];     // backup of an in-place compaction
  int32_t backupFd;               // 0 when none
  struct Journal* backupJournal;  // the journal naming the backup, while the ISI is rewritten
  uint8_t* backupBuf;             // 65535-byte copy buffer
  uint64_t compactIsiSize;        // size of the ISI when its front was read: bounds every position
};

extern CmdData gCmdData;
extern CmdData* pCmdData;
