// Shared set-up of the sort tests: a run context with the fixed buffers, a
// sort memory, two work files, a data file and an output routine that
// captures every delivered item.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "sort/scanner.h"
#include "sort/sort_item.h"
#include "support/test_util.h"

namespace st {

// One key column: 0-based record column, key position, flags, match char.
struct Col {
  uint16_t column;
  uint16_t keyPos;
  uint16_t flags;
  uint8_t matchChar = 0;
};

// The position, length and key of an item.
struct Item {
  uint64_t pos;
  uint16_t len;
  std::string key;
  bool operator==(const Item&) const = default;
};

inline Item ItemAt(const uint8_t* item) {
  return Item{ItemPosition(item), ItemLength(item),
              std::string(reinterpret_cast<const char*>(item) + kItemKeyOfs, pCmdData->keyLen)};
}

inline std::ostream& operator<<(std::ostream& os, const Item& it) {
  return os << "{" << it.pos << "," << it.len << ",\"" << it.key << "\"}";
}

// Items delivered by the merge's final pass, in delivery order.
inline std::vector<Item>& Delivered() {
  static std::vector<Item> items;
  return items;
}

class SortFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetRunContext();
    cd = pCmdData;
    recBuf.assign(kRecBufSize, 0xEE);
    outBuf.assign(kOutBufSize, 0);
    cd->recBuf = recBuf.data();
    cd->swapItem = cd->recBuf + kRecBufSwapOfs;
    cd->outBuf = cd->outBufPtr = outBuf.data();
    cd->outBufFree = kOutBufSize;
    cd->writeAtEnd = 1;  // no deleted-record sectors unless a test asks for them
    msg.Attach();
    Delivered().clear();
    cd->outRecFn = [](uint8_t* item) -> int32_t {
      Delivered().push_back(ItemAt(item));
      return 0;
    };
  }
  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    for (int fd : {cd->inFd, cd->tmpFd1, cd->tmpFd2, cd->outFd}) {
      if (fd >= 0) close(fd);
    }
    free(cd->tmpName1);
    free(cd->tmpName2);
    cd->tmpName1 = cd->tmpName2 = nullptr;
  }
  // Starts over with a fresh run context within one test.
  void Restart() {
    TearDown();
    SetUp();
  }
  std::string Messages() { return msg.text(); }

  // Writes `bytes` as the data file and opens it read-only as inFd.
  void OpenData(const std::string& bytes) {
    dir.write("data.txt", bytes);
    snprintf(cd->inName, kNameSize, "%s", dir.file("data.txt").c_str());
    cd->inFd = open(cd->inName, O_RDONLY);
    ASSERT_GE(cd->inFd, 0);
  }
  // Runs CreateSubList until the data is exhausted or a failure, collecting
  // the items of every sub-list (and each result). Returns the last status.
  Status ScanAll(std::vector<Item>* items, std::vector<Status>* results = nullptr) {
    for (;;) {
      Status r = CreateSubList();
      if (results != nullptr) results->push_back(r);
      if (r != kOk && r != kSubListLast) return r;
      for (const uint8_t* it = cd->sortMem; !IsEndOfRun(it); it += cd->itemLen) {
        items->push_back(ItemAt(it));
      }
      if (r == kSubListLast) return r;
    }
  }
  // Installs the column table (entries in column order) and the key length.
  void SetColumns(const std::vector<Col>& cols) {
    uint32_t keyLen = 0;
    size_t i = 0;
    for (const Col& c : cols) {
      cd->colTable[i++] = ColumnEntry{c.column, c.keyPos, c.flags, c.matchChar};
      if (c.flags & kColKey) ++keyLen;
    }
    cd->colTable[i] = ColumnEntry{0, kColEnd, 0, 0};
    cd->colCount = static_cast<int32_t>(cols.size());
    cd->keyLen = cd->keySpecLen = keyLen;
    cd->itemLen = keyLen + kItemKeyOfs;
  }
  // A key of the record columns first..first+len-1, in order.
  void SetKeyRange(uint16_t first, uint16_t len, uint16_t extraFlags = 0) {
    std::vector<Col> cols;
    for (uint16_t i = 0; i < len; ++i) {
      cols.push_back(
          {static_cast<uint16_t>(first + i), i, static_cast<uint16_t>(kColKey | extraFlags)});
    }
    SetColumns(cols);
  }
  // Lays out the sort memory as the driver does for `bytes` of memory.
  void SetSortMemory(uint64_t bytes) {
    sortMem.assign(bytes / 8 + 1, 0);
    cd->sortMem = reinterpret_cast<uint8_t*>(sortMem.data());
    cd->sortMemSize = bytes;
    cd->itemsInMem = static_cast<uint32_t>(bytes / (cd->itemLen + 8)) - 1;
    cd->itemPtrArea =
        reinterpret_cast<uint8_t**>(cd->sortMem + ((cd->itemsInMem * cd->itemLen + 7) & ~7u));
  }
  // The sort-train table and the two work files, as the parser leaves them.
  void MakeWorkFiles(uint32_t maxTrains = 20000) {
    cd->maxTrains = maxTrains;
    trainTable.assign(maxTrains, 0);
    cd->trainTable = cd->trainNext = cd->trainBase = trainTable.data();
    cd->tmpName1 = static_cast<char*>(calloc(kTmpNameSize, 1));
    cd->tmpName2 = static_cast<char*>(calloc(kTmpNameSize, 1));
    snprintf(cd->tmpName1, kTmpNameSize, "%s", dir.file("dsort1").c_str());
    snprintf(cd->tmpName2, kTmpNameSize, "%s", dir.file("dsort2").c_str());
    cd->tmpFd1 = open(cd->tmpName1, O_RDWR | O_CREAT | O_TRUNC, 0666);
    cd->tmpFd2 = open(cd->tmpName2, O_RDWR | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(cd->tmpFd1, 0);
    ASSERT_GE(cd->tmpFd2, 0);
    cd->failFd = cd->tmpFd1;
    cd->mergeInFd = cd->tmpFd2;
  }
  // The deleted-record sector buffer, for tests that look at deletions.
  void UseDdrSector(bool recNumMode) {
    cd->writeAtEnd = 0;
    cd->recNumMode = recNumMode;
    ddr.assign(kSectorSize, 0);
    cd->ddrSector = ddr.data();
    cd->ddrTrailer = ddr.data() + 504;
    cd->ddrTrailerOfs = 504;
    cd->ddrChainPos = 0xFFFFFFFF;
  }
  std::vector<uint32_t> DdrEntries() const {
    uint16_t count;
    memcpy(&count, ddr.data() + 508, 2);
    std::vector<uint32_t> v(count);
    if (count > 0) memcpy(v.data(), ddr.data(), 4u * count);
    return v;
  }

  CmdData* cd = nullptr;
  kt::TempDir dir;
  kt::MsgCapture msg;
  std::vector<uint8_t> recBuf, outBuf, ddr;
  std::vector<uint64_t> sortMem, trainTable;
};

}  // namespace st
