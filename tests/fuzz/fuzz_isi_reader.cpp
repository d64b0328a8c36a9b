// Fuzz target: an ISI file of arbitrary bytes, as the readers of an
// existing index meet it: the front check, the three translators, the
// sequential walk, the DDR chain, the index information (-i), and
// compaction into a new file and in place, run as kelindex runs them. The
// header's data file name is replaced by a file of the target's own, since
// compaction opens and locks the data file the header names.
//
// Checked: nothing is read outside a buffer (the sanitizers); translating
// twice gives the bytes back; the walk ends, with the end or a refusal,
// after a number of steps bounded by the file's size, and a refusal stays
// refused; -i ends with 0 or a code and its message; a compaction either
// fails and leaves the old file as it was and no new file, or succeeds with
// a sound index of the same keys as the old tree's walk; and no run leaves
// a descriptor, a backup or a work file behind.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/isi_format.h"
#include "core/isi_xlat.h"
#include "core/sector_check.h"
#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "driver/sys_io.h"
#include "fuzz_util.h"
#include "isi/sector_io.h"
#include "options/stored_cmd_line.h"

namespace {

// The keys the old tree's walk delivered, sorted; empty when the walk was
// refused (compaction must then fail).
std::vector<std::string> gOldKeys;
bool gWalkEnded = false;

void CheckTranslatorsRoundTrip(FhStRec* st) {
  uint8_t copy[kIsiFrontSize];
  memcpy(copy, st->header, sizeof copy);
  IsiXlatHeader(st->header);
  IsiXlatHeader(st->header);
  FZ_CHECK(memcmp(copy, st->header, kIsiHeaderSize) == 0);
  IsiXlatKeySector(st->root, st->entrySize);
  IsiXlatKeySector(st->root, st->entrySize);
  FZ_CHECK(memcmp(copy + kIsiRootPos, st->root, kIsiSector) == 0);
  uint32_t count = IsiDdrCount(st->ddr);
  if (count >= 1 && count <= kIsiDdrPerSector) {
    FhStTranslateDdr(st, st->ddr);
    FhStTranslateDdr(st, st->ddr);
    FZ_CHECK(memcmp(copy + kIsiDdrHeadPos, st->ddr, kIsiSector) == 0);
  }
}

// The walk from the first key to its end or its refusal.
void Walk(FhStRec* st, uint64_t fileSize) {
  uint64_t sectors = fileSize / kIsiSector;
  // Each sector loaded yields at most its entries; a sound walk loads each
  // sector once. Far more steps than that means the walk runs away.
  uint64_t limit = (2 * sectors + 3) * (kIsiKeyTrailerOfs / 16 + 1);
  std::vector<uint64_t> seen(sectors / 64 + 1);  // the walk's marks, as compaction gives them
  st->walkSeen = seen.data();
  st->flags |= kStWalkFromFirst;
  uint64_t steps = 0;
  int r;
  while ((r = FhStNextEntry(st, fileSize)) == kIsiCursorOk) {
    FZ_CHECK(++steps <= limit);
    gOldKeys.emplace_back(reinterpret_cast<const char*>(IsiCurrent(&st->walk) + kIsiEntryKeyOfs),
                          st->keyLength);
  }
  FZ_CHECK(r == kIsiCursorEnd || r < 0);
  FZ_CHECK(FhStNextEntry(st, fileSize) == r);  // a walk that stopped stays stopped
  gWalkEnded = r == kIsiCursorEnd;
  st->walkSeen = nullptr;
  std::sort(gOldKeys.begin(), gOldKeys.end());
}

// The DDR chain newest first, as compaction follows it; a cycle is cut off
// by the number of sectors the file has.
void FollowDdrChain(FhStRec* st, uint64_t fileSize) {
  uint32_t pos = LoadU32(st->header + kHdrDdrHeadOfs);
  for (uint64_t n = 0; pos != kIsiNoSector && n <= fileSize / kIsiSector; ++n) {
    if (FhStReadDdrSector(st, pos) != 0) break;
    pos = IsiDdrLink(st->ddr);
  }
}

void ReadAsIndex(const uint8_t* data, size_t size) {
  auto st = std::make_unique<FhStRec>();
  memset(st.get(), 0, sizeof *st);
  FhStInitRec(st.get());
  memcpy(st->front, data, size < kIsiFrontSize ? size : kIsiFrontSize);
  IsiHeaderFault fault;
  if (FhStPrepareFront(st.get(), &fault) != kOk) return;
  CheckTranslatorsRoundTrip(st.get());
  st->fd = SysOpen(fz::PathIn("f.isi").c_str(), O_RDONLY);
  FZ_CHECK(st->fd >= 0);
  Walk(st.get(), size);
  FollowDdrChain(st.get(), size);
  SysClose(st->fd);
}

void ShowIndexInformation() {
  fz::StartRun();
  CmdData* cd = pCmdData;
  snprintf(cd->inName, sizeof cd->inName, "f.isi");
  cd->showIndexInfo = 1;
  Status st = WriteCmdLine();
  FZ_CHECK(st <= 0);
  FZ_CHECK(memchr(cd->msgBuf, '\0', sizeof cd->msgBuf) != nullptr);
  FZ_CHECK(memchr(cd->inName, '\0', sizeof cd->inName) != nullptr);
  fz::EndRun();
}

// One kelindex run: the smallest sort memory, so that an index of a few
// sectors makes several sort trains.
Status RunKelindex(const char* files, const char* option) {
  std::vector<std::string> args = {"kelindex", "-m524288", "-m262144", "-m131072", "-m65536",
                                   "-m32768",  "-m16384",  "-m8192",   files,      option};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pCmdData = &gCmdData;
  return FhSortIndex(static_cast<int>(args.size()), argv.data(), fz::Quiet());
}

// A compacted index: sound to the reader library, and the old walk's keys.
// A walk the compaction accepted must have been accepted here too. What
// the old file said of itself comes over as it was: equal keys at the same
// duplicate sequence, or in an index whose header says it has none, and
// the header's record count.
void CheckCompacted(const std::string& path) {
  FZ_CHECK(gWalkEnded);
  std::vector<std::string> keys =
      fz::IndexKeys(path, {"equal key out of sequence",
                           "duplicate key in an index without duplicates", "the header counts"});
  std::sort(keys.begin(), keys.end());
  FZ_CHECK(keys == gOldKeys);
}

void Compact(const std::string& bytes) {
  std::string isi = fz::PathIn("f.isi"), fresh = fz::PathIn("n.isi");
  if (RunKelindex("f.isi,n.isi", "-c") == kOk) {
    CheckCompacted(fresh);
  } else {
    FZ_CHECK(access(fresh.c_str(), F_OK) != 0);
  }
  FZ_CHECK(unlink(fresh.c_str()) == 0 || errno == ENOENT);
  FZ_CHECK(fz::ReadFile(isi) == bytes);
  if (RunKelindex("f.isi", "-c") == kOk) {
    CheckCompacted(isi);
  } else {
    FZ_CHECK(fz::ReadFile(isi) == bytes);  // restored, or never touched
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::UseOwnTmpDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.size() >= kHdrDataNameOfs + kHdrDataNameSize) {
    bytes.replace(kHdrDataNameOfs, kHdrDataNameSize, std::string(kHdrDataNameSize, '\0'));
    bytes.replace(kHdrDataNameOfs, 5, "d.txt");
  }
  gOldKeys.clear();
  gWalkEnded = false;
  {
    fz::LeakGuard guard;
    fz::LeakGuard workFiles(fz::PathIn("w"));
    fz::WriteFile(fz::PathIn("f.isi"), reinterpret_cast<const uint8_t*>(bytes.data()), size);
    fz::WriteFile(fz::PathIn("d.txt"), data, 0);
    fz::StartRun();  // messages of the walk go to the run's buffer
    ReadAsIndex(reinterpret_cast<const uint8_t*>(bytes.data()), size);
    fz::EndRun();
    ShowIndexInformation();
    Compact(bytes);
    unlink(fz::PathIn("f.isi").c_str());
    unlink(fz::PathIn("d.txt").c_str());
  }
  return 0;
}
