// Fuzz target: changes in place. The input's first byte chooses a command
// (record format, selection, duplicate rules) and, now and then, a second
// one for a second index over the same data, changed with the first in one
// change; up to the first 0xFF byte the rest is the data file, after it the
// lines of records to insert, a line starting with 0xFE deleting the record
// at the byte offset its next two bytes give. kelindex builds the indexes
// in this process, the library makes the change and commits it, and
// kelindex rebuilds a copy of each from its stored command line.
//
// Checked: every insert and delete ends with a status the contract allows
// and a refused record leaves the change usable; after the commit an index
// that was built clean still checks clean against its data (the library's
// proof), and holds exactly the (key, offset, size) entries of the
// rebuild; no descriptor, work file or buffer outlives the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "driver/cmd_data.h"
#include "driver/driver.h"
#include "fuzz_util.h"
#include "kelisi.h"

namespace {

const char* const kCommands[] = {
    "-1-6",
    "-N0,1-6",
    "-n$,u,2-4,1",
    "-n0,d,1-6",
    "-p7=A,1-6",
    "-p7=A,p7=A,1-6",
    "-p7#A,p8#B,1-6",
    "-p=\"7='A'|1N>'5'\",1-6",
    "-p#\"2='B'&3<'5'\",p9=C,1-6",
    "-v,1-4",
    "-s,1-4,9-12",
    "-b,s,1-4",
    "-v,p=\"1='A'\",3-1",
    "-g=12,1-6",
    "-w,1-3",
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

// kelindex in this process, its messages to nowhere: 0 when it built.
int Kelindex(std::vector<std::string> args) {
  args.insert(args.begin(), "kelindex");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  pCmdData = &gCmdData;
  return FhSortIndex(static_cast<int>(argv.size()), argv.data(), fz::Quiet());
}

using Entries = std::vector<std::tuple<std::string, uint64_t, uint32_t>>;

// The index's entries as a set, and whether its check is clean.
Entries Read(const std::string& isi, const std::string& data, bool* clean, bool verbose = false) {
  Entries out;
  kelisi* ix = nullptr;
  FZ_CHECK(kelisi_open(isi.c_str(), data.c_str(), 0, &ix) == KELISI_OK);
  kelisi_cursor* c = nullptr;
  FZ_CHECK(kelisi_cursor_open(ix, &c) == KELISI_OK);
  kelisi_entry e;
  int st;
  for (st = kelisi_first(c, &e); st == KELISI_OK; st = kelisi_next(c, &e)) {
    out.emplace_back(std::string(reinterpret_cast<const char*>(e.key), e.key_length),
                     e.record_offset, e.record_size);
  }
  FZ_CHECK(st == KELISI_NOTFOUND);
  kelisi_cursor_close(c);
  auto report = [](void* verbose, const kelisi_problem* p) {
    if (verbose != nullptr && !KELISI_IS_NOTE(p->kind))
      fprintf(stderr, "problem: %s\n", p->message);
    return 0;
  };
  *clean = kelisi_check(ix, KELISI_CHECK_RECORDS | KELISI_CHECK_ALLOW_FREE, report,
                        verbose ? clean : nullptr) == 0;
  kelisi_close(ix);
  std::sort(out.begin(), out.end());
  return out;
}

void Change(const std::vector<std::string>& isis, const std::string& data, const uint8_t* in,
            size_t size) {
  std::vector<kelisi*> ixs;
  for (const std::string& isi : isis) {
    kelisi* ix = nullptr;
    if (kelisi_open(isi.c_str(), data.c_str(), KELISI_WRITE, &ix) == KELISI_OK) ixs.push_back(ix);
  }
  kelisi_txn* t = nullptr;
  if (ixs.size() != isis.size()) {
    for (kelisi* ix : ixs) kelisi_close(ix);
    return;
  }
  FZ_CHECK(kelisi_txn_begin_set(ixs.data(), ixs.size(), &t) == KELISI_OK);
  for (size_t at = 0; at < size;) {
    const uint8_t* end = static_cast<const uint8_t*>(memchr(in + at, '\n', size - at));
    size_t len = end != nullptr ? static_cast<size_t>(end - (in + at)) : size - at;
    int st;
    if (len >= 3 && in[at] == 0xFE) {
      st = kelisi_txn_delete_at(t, static_cast<uint64_t>(in[at + 1]) << 8 | in[at + 2]);
      FZ_CHECK(st == KELISI_OK || st == KELISI_NOTFOUND);
    } else {
      st = kelisi_txn_insert(t, in + at, len, nullptr);
      FZ_CHECK(st == KELISI_OK || st == KELISI_NO_ENTRY || st == KELISI_E_RECORD ||
               st == KELISI_E_TOO_LONG || st == KELISI_E_DUPLICATE || st == KELISI_E_UNSUPPORTED);
      if (st == KELISI_E_DUPLICATE) break;  // the change is spoiled
    }
    at += len + 1;
  }
  kelisi_txn_commit(t);
  for (kelisi* ix : ixs) FZ_CHECK(kelisi_close(ix) == KELISI_OK);
}

// The index `name` after the change: clean against its data, and equal to
// its rebuild from a copy.
void Verify(const std::string& name) {
  const std::string isi = fz::PathIn(name.c_str()), data = fz::PathIn("d.txt");
  const std::string copyIsi = fz::PathIn(("r/" + name).c_str()), copyData = fz::PathIn("r/d.txt");
  std::string bytes = fz::ReadFile(data);
  fz::WriteFile(copyData, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  bytes = fz::ReadFile(isi);
  fz::WriteFile(copyIsi, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  bool clean = false;
  Entries now = Read(isi, data, &clean, true);
  FZ_CHECK(clean);
  // A rebuild wants a record to index; one that fails over data the
  // change made is no record of the change's (the check above is).
  if (chdir(fz::PathIn("r").c_str()) == 0 && Kelindex({name, "-r"}) == 0) {
    bool rebuiltClean = false;
    FZ_CHECK(Read(copyIsi, copyData, &rebuiltClean) == now);
  }
  FZ_CHECK(chdir(fz::WorkDir().c_str()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::UseOwnTmpDir();
  mkdir(fz::PathIn("r").c_str(), 0700);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
  if (size < 1) return 0;
  const char* command = kCommands[in[0] % kCommandCount];
  // One input in three that it does not take for a first command alone
  // also builds a second index, by another command.
  size_t second = in[0] / kCommandCount;
  bool pair = second % 3 == 1 && kCommands[second % kCommandCount] != command;
  const uint8_t* split = static_cast<const uint8_t*>(memchr(in + 1, 0xFF, size - 1));
  size_t dataLen = split != nullptr ? static_cast<size_t>(split - (in + 1)) : size - 1;
  const std::string isi = fz::PathIn("d.isi"), data = fz::PathIn("d.txt");
  {
    fz::LeakGuard guard(fz::PathIn("w"));
    fz::WriteFile(data, in + 1, dataLen);
    // Text data that an end-of-file mark cuts short before its end: a build
    // reads nothing behind the mark, and a change appends behind it all the
    // same (finding the mark would take reading the whole data file).
    bool cut = dataLen > 1 && memchr(in + 1, 0x1A, dataLen - 1) != nullptr;
    std::vector<std::string> names = {"d.isi"};
    if (pair) names.push_back("e.isi");
    // An index the build left other than its data says (data of several
    // record lengths that its tests keep from the build's length check)
    // is no matter of the change's.
    bool ready = !cut;
    for (size_t k = 0; k < names.size() && ready; ++k) {
      const char* cmd = k == 0 ? command : kCommands[second % kCommandCount];
      bool clean = false;
      ready = Kelindex({"d.txt," + names[k], cmd}) == 0;
      if (ready) Read(fz::PathIn(names[k].c_str()), data, &clean);
      ready = ready && clean;
    }
    if (ready) {
      if (split != nullptr) {
        std::vector<std::string> paths;
        for (const std::string& n : names) paths.push_back(fz::PathIn(n.c_str()));
        Change(paths, data, split + 1, size - dataLen - 2);
      }
      for (const std::string& n : names) Verify(n);
    }
  }
  for (const std::string& f :
       {isi, data, fz::PathIn("e.isi"), fz::PathIn("r/d.isi"), fz::PathIn("r/e.isi"),
        fz::PathIn("r/d.txt"), fz::PathIn("d.ERR"), fz::PathIn("e.ERR"), fz::PathIn("r/d.ERR"),
        fz::PathIn("r/e.ERR"), isi + "-journal", fz::PathIn("e.isi-journal"), data + "-journal"}) {
    unlink(f.c_str());
  }
  return 0;
}
