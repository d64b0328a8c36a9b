// A run context set up for building an ISI in a temporary directory from
// items made by hand: the output buffer, the ISI open as outFd, messages
// captured, and helpers that feed items through the index output routine
// and open the result for the sequential walk.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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

class IsiFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetRunContext();
    outBuf_.assign(kOutBufSize, 0);
    cd()->outBuf = cd()->outBufPtr = outBuf_.data();
    cd()->outBufFree = kOutBufSize;
    msg_.Attach();
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
    for (int fd : walkFds_) close(fd);
    walkFds_.clear();
    pCmdData = nullptr;
  }
  // Starts over with a fresh run context and an empty T.ISI within one test.
  void Restart() {
    TearDown();
    SetUp();
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
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(Add(NumKey(i, keyLen_), uint64_t(i) * recSize, recSize), 0);
    }
  }
  // Begins a build of `keyLen`-byte keys, adds NumKey(0..n-1) and finishes.
  void BuildNumbered(int keyLen, int n) {
    Begin(keyLen);
    AddNumbered(n);
    ASSERT_EQ(IsiBuildFinish(), kOk);
  }

  std::string Messages() { return msg_.text(); }
  void OpenErrorFile() {
    cd()->errFileOn = 1;
    cd()->errFd = SysOpen(dir_.file("T.ERR").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(cd()->errFd, 0);
  }
  std::string ErrorFile() const { return dir_.read("T.ERR"); }
  std::string IsiBytes() const { return dir_.read("T.ISI"); }
  // The built ISI, loaded and (unless told otherwise) found sound.
  isir::IsiReader ReadIsi(bool validate = true) {
    isir::IsiReader reader;
    std::string err;
    EXPECT_TRUE(reader.LoadFile(isiPath_, &err)) << err;
    if (validate) {
      EXPECT_TRUE(reader.Validate(&err)) << err;
    }
    return reader;
  }

  // Opens an ISI for the sequential walk as compaction does.
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
  // Writes `bytes` as another file and returns its path.
  std::string Variant(const std::string& bytes) {
    std::string path = dir_.file("V" + std::to_string(variants_++) + ".ISI");
    kt::WriteFileBytes(path, bytes);
    return path;
  }

  kt::TempDir dir_;
  std::string isiPath_;
  int keyLen_ = 10;

 private:
  std::vector<uint8_t> outBuf_;
  kt::MsgCapture msg_;
  std::vector<int> walkFds_;
  int variants_ = 0;
};

}  // namespace isitest
