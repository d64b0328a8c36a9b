// Throughput of the two halves of the external sort: the record scan
// (CreateSubList over a data file the page cache holds) and the merge of
// sort trains (DoFancyMerge into an output routine that does nothing).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/data_scan.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "sort/build_scan.h"
#include "sort/item_sort.h"
#include "sort/merge.h"
#include "sort/out_buffer.h"

namespace {

constexpr uint32_t kRecords = 200000;
constexpr uint32_t kRecLen = 32;  // 31 bytes and a LF
constexpr uint32_t kKeyLen = 10;
constexpr uint64_t kSortMem = 1 << 20;

struct Bench {
  std::string dir, dataName, tmp1, tmp2;
  std::vector<uint8_t> recBuf, outBuf;
  std::vector<uint64_t> sortMem, trainTable;
  std::vector<uint8_t> trainImage;  // the work file the scan wrote
  std::vector<uint64_t> trainStarts;
  uint32_t trains = 0;
  ~Bench() {
    if (dir.empty()) return;
    unlink(dataName.c_str());
    rmdir(dir.c_str());
  }
};

Bench& B() {
  static Bench b;
  return b;
}

int32_t Discard(uint8_t*) {
  return 0;
}

void ResetContext() {
  Bench& b = B();
  memset(static_cast<void*>(&gCmdData), 0, sizeof gCmdData);
  pCmdData = &gCmdData;
  CmdSetDefaults();
  CmdData* cd = pCmdData;
  cd->recBuf = b.recBuf.data();
  cd->outBuf = cd->outBufPtr = b.outBuf.data();
  cd->writeAtEnd = 1;
  cd->recLenFound = kRecLen;
  for (uint16_t i = 0; i < kKeyLen; ++i) cd->colTable[i] = ColumnEntry{i, i, kColKey, 0};
  cd->colTable[kKeyLen] = ColumnEntry{0, kColEnd, 0, 0};
  cd->keyLen = kKeyLen;
  cd->itemLen = kKeyLen + 10;
  cd->sortMem = reinterpret_cast<uint8_t*>(b.sortMem.data());
  cd->sortMemSize = kSortMem;
  cd->itemsInMem = static_cast<uint32_t>(kSortMem / (cd->itemLen + 8)) - 1;
  cd->itemPtrArea =
      reinterpret_cast<uint8_t**>(cd->sortMem + ((cd->itemsInMem * cd->itemLen + 7) & ~7u));
  cd->trainTable = cd->trainNext = cd->trainBase = b.trainTable.data();
  cd->tmpName1 = b.tmp1.data();
  cd->tmpName2 = b.tmp2.data();
  cd->outRecFn = Discard;
  cd->inFd = open(b.dataName.c_str(), O_RDONLY);
}

void OpenWorkFiles() {
  CmdData* cd = pCmdData;
  cd->tmpFd1 = open(B().tmp1.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  cd->tmpFd2 = open(B().tmp2.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  cd->failFd = cd->tmpFd1;
  cd->mergeInFd = cd->tmpFd2;
}

void CloseFiles() {
  CmdData* cd = pCmdData;
  for (int fd : {cd->inFd, cd->tmpFd1, cd->tmpFd2}) {
    if (fd >= 0) close(fd);
  }
  unlink(B().tmp1.c_str());
  unlink(B().tmp2.c_str());
}

// Data of random keys, and the sort trains its scan makes.
void Prepare() {
  Bench& b = B();
  if (!b.dir.empty()) return;
  char tmpl[] = "/tmp/bm_scan_merge_XXXXXX";
  b.dir = mkdtemp(tmpl);
  b.dataName = b.dir + "/data.txt";
  b.tmp1 = b.dir + "/dsort1";
  b.tmp2 = b.dir + "/dsort2";
  b.recBuf.assign(kRecBufSize, 0);
  b.outBuf.assign(kOutBufSize, 0);
  b.sortMem.assign(kSortMem / 8 + 1, 0);
  b.trainTable.assign(20000, 0);
  std::string data;
  data.reserve(static_cast<size_t>(kRecords) * kRecLen);
  uint32_t x = 12345;
  for (uint32_t i = 0; i < kRecords; ++i) {
    x = x * 1103515245u + 12345u;
    char rec[kRecLen + 1];
    snprintf(rec, sizeof rec, "%010u%021u", x, i);
    rec[kRecLen - 1] = '\n';
    data.append(rec, kRecLen);
  }
  FILE* f = fopen(b.dataName.c_str(), "wb");
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);

  ResetContext();
  OpenWorkFiles();
  CmdData* cd = pCmdData;
  Status r;
  do {
    r = CreateSubList();
    SortSubList();
    SaveSortedSub();
    ++cd->trainCount;
  } while (r == kOk);
  uint8_t eor[kMaxItemLen];
  memset(eor, 0xFF, sizeof eor);
  OutWrite(cd->failFd, eor, cd->itemLen);
  OutFlush(cd->failFd);
  off_t size = lseek(cd->failFd, 0, SEEK_END);
  b.trainImage.resize(static_cast<size_t>(size));
  pread(cd->failFd, b.trainImage.data(), b.trainImage.size(), 0);
  b.trains = cd->trainCount;
  b.trainStarts.assign(cd->trainTable, cd->trainNext);
  CloseFiles();
}

void BM_Scan(benchmark::State& state) {
  Prepare();
  for (auto _ : state) {
    state.PauseTiming();
    ResetContext();
    state.ResumeTiming();
    while (CreateSubList() == kOk) {
    }
    state.PauseTiming();
    CloseFiles();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kRecords) * kRecLen);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kRecords));
}
BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond);

void BM_Merge(benchmark::State& state) {
  Prepare();
  Bench& b = B();
  for (auto _ : state) {
    state.PauseTiming();
    ResetContext();
    OpenWorkFiles();
    CmdData* cd = pCmdData;
    pwrite(cd->failFd, b.trainImage.data(), b.trainImage.size(), 0);
    memcpy(cd->trainTable, b.trainStarts.data(), b.trainStarts.size() * sizeof(uint64_t));
    cd->trainCount = b.trains;
    state.ResumeTiming();
    benchmark::DoNotOptimize(DoFancyMerge());
    state.PauseTiming();
    CloseFiles();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kRecords));
  state.counters["trains"] = b.trains;
}
BENCHMARK(BM_Merge)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
