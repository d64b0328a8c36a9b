// A run context set up for building an ISI in a temporary directory from
// items made by hand: the output buffer, the ISI open as outFd, messages
// captured, and helpers that feed items through the index output routine
// and open the result for the sequential walk.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/cleanup.h"
#include "driver/cmd_data.h"
#include "driver/sys_io.h"
#include "isi/isi_format.h"
#include "isi/sector_io.h"
#include "isi/seq_walk.h"
#include "isi/tree_build.h"
#include "sort/out_buffer.h"
#include "sort/sort_item.h"
#include "support/isi_reader.h"
#include "support/test_util.h"

namespace isitest {

inline const char kWriteFailure28[] = "\nUnable to write segment of index file. Errno=28\n";

// "K" + the number, zero-padded to `width` characters.
inline std::string NumKey(int n, int width = 9) {
  std::string digits = std::to_string(n);
  return "K" + std::string(static_cast<size_t>(width - 1) - digits.size(), '0') + digits;
}

// The same index as a machine of the other byte order would have written
// it: every key sector of the tree, every DDR sector of the chain and the
// header translated, and the version word turned.
inline std::string ToOtherOrder(const std::string& bytes) {
  isir::IsiReader isi;
  std::vector<isir::KeySector> sectors;
  std::vector<isir::DdrSector> chain;
  EXPECT_TRUE(isi.Load(bytes) && isi.TreeSectors(&sectors) && isi.DdrChain(&chain));
  std::string out = bytes;
  auto* p = reinterpret_cast<uint8_t*>(out.data());
  auto st = std::make_unique<FhStRec>();
  FhStInitRec(st.get());
  memcpy(st->header, bytes.data(), kIsiHeaderSize);  // native: XlatIsiDDR looks at the DDR head
  st->entrySize = static_cast<uint16_t>(isi.header().entrySize());
  for (const isir::KeySector& s : sectors) XlatIsiTree(st.get(), p + isi.ByteOffset(s.pos));
  for (const isir::DdrSector& d : chain) XlatIsiDDR(st.get(), p + isi.ByteOffset(d.pos));
  XlatIsiHeader(st.get(), p);
  std::swap(p[4], p[5]);
  return out;
}

class IsiFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetRunContext();
    outBuf_.assign(kOutBufSize, 0);
    cd()->outBuf = outBuf_.data();
    cd()->outBufPtr = cd()->outBuf;
    cd()->outBufFree = kOutBufSize;
    msgOut_ = open_memstream(&msgData_, &msgSize_);
    cd()->msgOut = msgOut_;
    isiPath_ = dir_.file("T.ISI");
    cd()->outFd = SysOpen(isiPath_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(cd()->outFd, 0);
    cd()->failFd = 99;  // a work file, as during the sort
    cd()->recLenFound = 0;
  }

  void TearDown() override {
    SysSetFaultPlan(FaultPlan{});
    if (cd()->outFd >= 0) close(cd()->outFd);
    if (cd()->errFd >= 0) close(cd()->errFd);
    CmdFree(cd()->isiBlock);
    cd()->msgOut = nullptr;
    fclose(msgOut_);
    free(msgData_);
    pCmdData = nullptr;
  }

  static CmdData* cd() { return pCmdData; }

  void Begin(int keyLen) {
    keyLen_ = keyLen;
    ASSERT_EQ(IsiBuildBegin(keyLen, static_cast<int32_t>(IsiEntrySize(keyLen))), kOk);
  }

  // Feeds one item (key padded with spaces to the key length) through the
  // index output routine, as the merge's final pass does.
  int32_t Add(const std::string& key, uint64_t position, uint16_t recSize = 10) {
    std::vector<uint8_t> item(kItemKeyOfs + keyLen_, ' ');
    SetItemPosition(item.data(), position);
    SetItemLength(item.data(), recSize);
    std::copy(key.begin(), key.end(), item.begin() + kItemKeyOfs);
    ++cd()->recCount;
    return WriteTagRecord(item.data());
  }

  // Adds keys NumKey(0..n-1), record i at i * recSize.
  void AddNumbered(int n, uint16_t recSize = 10) {
    for (int i = 0; i < n; ++i)
      ASSERT_EQ(Add(NumKey(i, keyLen_), uint64_t(i) * recSize, recSize), 0);
  }

  std::string Messages() {
    fflush(msgOut_);
    return std::string(msgData_, msgSize_);
  }

  void OpenErrorFile() {
    cd()->errFileOn = 1;
    cd()->errFd = SysOpen(dir_.file("T.ERR").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(cd()->errFd, 0);
  }
  std::string ErrorFile() const { return dir_.read("T.ERR"); }
  std::string IsiBytes() const { return dir_.read("T.ISI"); }

  isir::IsiReader ReadIsi() {
    isir::IsiReader reader;
    std::string err;
    EXPECT_TRUE(reader.LoadFile(isiPath_, &err)) << err;
    return reader;
  }

  // Opens the built ISI for the sequential walk as compaction does.
  std::unique_ptr<FhStRec> OpenForWalk(const std::string& path) {
    auto st = std::make_unique<FhStRec>();
    FhStInitRec(st.get());
    st->fd = SysOpen(path.c_str(), O_RDONLY);
    EXPECT_GE(st->fd, 0);
    EXPECT_EQ(pread(st->fd, st->header, kIsiFrontSize, 0), static_cast<ssize_t>(kIsiFrontSize));
    EXPECT_EQ(FhStPrepareFront(st.get()), 0);
    st->flags |= kStWalkFromFirst;
    walkFds_.push_back(st->fd);
    return st;
  }
  std::unique_ptr<FhStRec> OpenForWalk() { return OpenForWalk(isiPath_); }

  // Every entry the walk returns until it stops; the final code in *last.
  static std::vector<isir::Entry> WalkAll(FhStRec* st, int32_t* last, size_t limit = 1000000) {
    std::vector<isir::Entry> out;
    int32_t r = 0;
    while (out.size() < limit && (r = FhStIreadSeq(st)) == 0) {
      isir::Entry e;
      e.recPos = st->entry.recPos;
      e.child = st->entry.child;
      e.dupSeq = st->entry.dupSeq;
      e.recSize = st->entry.recSize;
      e.key.assign(reinterpret_cast<const char*>(st->entry.key), st->keyLength);
      out.push_back(e);
    }
    *last = r;
    return out;
  }

  void CloseWalkFiles() {
    for (int fd : walkFds_) close(fd);
    walkFds_.clear();
  }

  kt::TempDir dir_;
  std::string isiPath_;
  int keyLen_ = 10;

 private:
  std::vector<uint8_t> outBuf_;
  FILE* msgOut_ = nullptr;
  char* msgData_ = nullptr;
  size_t msgSize_ = 0;
  std::vector<int> walkFds_;

 public:
  ~IsiFixture() override { CloseWalkFiles(); }
};

}  // namespace isitest
