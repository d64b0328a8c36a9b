// Fuzz target: an ISI file of arbitrary bytes read through libkelisi, with
// the same bytes standing in for its data file. It opens the file, walks it
// forward and backward, seeks and finds keys taken from the walk and from
// the input, reads records, lists the deleted records, takes statistics and
// runs the check with and without the records.
//
// Checked: nothing is read outside a buffer (the sanitizers); every call
// ends with a status; a walk ends after a number of entries bounded by the
// file's size; and a file the check finds sound walks to its end in both
// directions, one the reverse of the other, with the statistics' count,
// and one whose walk a cursor refuses as damaged has problems.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "kelisi.h"
#include "kelisi/kelisi_internal.h"

namespace {

struct Seen {
  std::string key;
  uint64_t offset;
  bool operator==(const Seen& o) const { return key == o.key && offset == o.offset; }
};

std::vector<Seen> Walk(kelisi_cursor* c, bool forward, uint64_t bound, int* st) {
  std::vector<Seen> out;
  kelisi_entry e;
  *st = forward ? kelisi_first(c, &e) : kelisi_last(c, &e);
  for (; *st == KELISI_OK; *st = forward ? kelisi_next(c, &e) : kelisi_prev(c, &e)) {
    FZ_CHECK(out.size() < bound);
    out.push_back(
        {std::string(reinterpret_cast<const char*>(e.key), e.key_length), e.record_offset});
  }
  FZ_CHECK(*st == KELISI_NOTFOUND || *st < 0);
  return out;
}

void Search(kelisi* ix, kelisi_cursor* c, const std::string& key, uint64_t bound) {
  kelisi_entry e;
  unsigned char rec[256], k[150];
  size_t len;
  for (size_t n = 1; n <= key.size(); n += 1 + n / 2) {
    FZ_CHECK(kelisi_seek(c, key.data(), n, &e) <= KELISI_NOTFOUND);
    int st = kelisi_find(c, key.data(), n, &e);
    for (uint64_t i = 0; st == KELISI_OK; st = kelisi_next_dup(c, &e)) {
      FZ_CHECK(++i < bound && memcmp(e.key, key.data(), n) == 0);
      if (kelisi_read_record(ix, &e, rec, sizeof rec, &len) == KELISI_OK) {
        kelisi_record_key(ix, rec, len, k);
      }
    }
    FZ_CHECK(st <= KELISI_NOTFOUND);
  }
}

int Check(kelisi* ix, unsigned flags) {
  auto fn = [](void*, const kelisi_problem* p) {
    FZ_CHECK(p->message != nullptr &&
             ((p->kind >= KELISI_P_HEADER && p->kind <= KELISI_P_DATA_FORM) ||
              (p->kind >= KELISI_N_LEVEL_GAP && p->kind <= KELISI_N_UNDERFULL)));
    return 0;
  };
  return kelisi_check(ix, flags, fn, nullptr);
}

void Exercise(kelisi* ix, const uint8_t* data, size_t size) {
  kelisi_header h;
  FZ_CHECK(kelisi_get_header(ix, &h) == KELISI_OK);
  // Each sector a scan loads yields at most 31 entries and one climb.
  uint64_t bound = (size / 512 + 50) * 32;
  kelisi_cursor* c = nullptr;
  FZ_CHECK(kelisi_cursor_open(ix, &c) == KELISI_OK);
  int fwd, back;
  std::vector<Seen> ahead = Walk(c, true, bound, &fwd);
  std::vector<Seen> behind = Walk(c, false, bound, &back);
  for (size_t i = 0; i < ahead.size() && i < 4; ++i)
    Search(ix, c, ahead[i * ahead.size() / 4].key, bound);
  if (size > 2048 + h.key_length)
    Search(ix, c, std::string(reinterpret_cast<const char*>(data) + 2048, h.key_length), bound);
  size_t n = 0;
  std::vector<uint64_t> del(64);
  FZ_CHECK(kelisi_deleted(ix, del.data(), del.size(), &n) <= KELISI_OK);
  kelisi_stats s;
  int stats = kelisi_get_stats(ix, &s);
  FZ_CHECK(stats == KELISI_OK || stats < 0);
  int problems = Check(ix, 0);
  Check(ix, KELISI_CHECK_RECORDS | KELISI_CHECK_ALLOW_FREE);
  if (fwd == KELISI_E_CORRUPT || back == KELISI_E_CORRUPT) FZ_CHECK(problems > 0);
  if (problems == 0) {
    FZ_CHECK(fwd == KELISI_NOTFOUND && back == KELISI_NOTFOUND && stats == KELISI_OK);
    FZ_CHECK(ahead.size() == s.entries);
    for (size_t i = 0; i < ahead.size(); ++i) FZ_CHECK(ahead[i] == behind[ahead.size() - 1 - i]);
  }
  FZ_CHECK(kelisi_close(ix) == KELISI_E_ARG);  // a cursor is still open
  kelisi_cursor_close(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::LeakGuard guard;
  std::string path = fz::PathIn("k.isi");
  fz::WriteFile(path, data, size);
  kelisi* ix = nullptr;
  int st = kelisi_open(path.c_str(), path.c_str(), 0, &ix);
  if (st == KELISI_OK) {
    // Odd sizes read through a cache smaller than the file, as large files do.
    if (size % 2 == 1) FZ_CHECK(kelisi_set_cache_size(ix, 4 * 512) == KELISI_OK);
    Exercise(ix, data, size);
    FZ_CHECK(kelisi_close(ix) == KELISI_OK);
  } else {
    FZ_CHECK(st < 0 && ix == nullptr);
  }
  unlink(path.c_str());
  return 0;
}
