// gen_data: writes a seeded benchmark data file of fixed-length text records
// ended by LF, with printable ASCII keys in chosen columns laid out in a
// chosen order (random, sorted, reverse, or few distinct values) and filler
// text everywhere else. The same arguments always give the same bytes.
//
//   gen_data -n COUNT -l LENGTH -k COLUMNS [-d random|sorted|reverse|dups]
//            [-u DISTINCT] [-s SEED] -o FILE|-
//
// The file is written under a temporary name beside FILE and renamed when
// complete, so a failed run never leaves a partial file nor touches an
// existing one.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kAlphabetSize = 94;  // '!' to '~': printable, no blank
constexpr char kAlphabetFirst = '!';
constexpr int kValueDigits = 9;  // 94^9 < 2^63: the ordered part of a key
constexpr uint32_t kMaxRecordLength = 65533;
constexpr size_t kOutBufferSize = 4u << 20;

// The key columns: the "1-10,20,30-40" text that kelindex takes as key
// specifications, turned into the 0-based data columns that make up a key,
// in key order. A range written high to low ("10-1") takes its columns in
// reverse order, as kelindex does.
constexpr int kMaxKeyBytes = 150;
constexpr int kMaxKeyRanges = 32;

struct KeyColumns {
  int rangeCount;
  int length;                     // key bytes
  uint16_t column[kMaxKeyBytes];  // 0-based data column of each key byte
  uint32_t maxColumn;             // highest 0-based column used, + 1
};

// Reads a decimal column number of at most 5 digits at *p; 0 when none.
uint32_t ParseColumnNumber(const char** p) {
  uint32_t value = 0;
  int digits = 0;
  while (**p >= '0' && **p <= '9' && digits < 6) {
    value = value * 10 + static_cast<uint32_t>(**p - '0');
    ++*p;
    ++digits;
  }
  return digits == 0 || digits > 5 ? 0 : value;
}

// Appends the columns of one range; false past 32 ranges or 150 key bytes.
bool AddKeyRange(KeyColumns* keys, uint32_t first, uint32_t last) {
  if (keys->rangeCount++ == kMaxKeyRanges) return false;
  int step = first <= last ? 1 : -1;
  for (int64_t c = first;; c += step) {
    if (keys->length == kMaxKeyBytes) return false;
    keys->column[keys->length++] = static_cast<uint16_t>(c - 1);
    if (static_cast<uint32_t>(c) > keys->maxColumn) keys->maxColumn = static_cast<uint32_t>(c);
    if (c == static_cast<int64_t>(last)) break;
  }
  return true;
}

// Parses "[-]A[-B][,C[-D]...]" (',' or ' ' between ranges, columns 1 to
// 65535). False on any other text; *keys is then unusable.
bool ParseKeyColumns(const char* text, KeyColumns* keys) {
  *keys = KeyColumns{};
  const char* p = text;
  if (*p == '-') ++p;
  while (true) {
    uint32_t first = ParseColumnNumber(&p);
    if (first == 0 || first > 65535) return false;
    uint32_t last = first;
    if (*p == '-') {
      ++p;
      last = ParseColumnNumber(&p);
      if (last == 0 || last > 65535) return false;
    }
    if (!AddKeyRange(keys, first, last)) return false;
    if (*p == '\0') return true;
    if (*p != ',' && *p != ' ') return false;
    ++p;
  }
}

enum class Distribution { kRandom, kSorted, kReverse, kDups };

struct GenParams {
  uint64_t count;
  uint32_t length;  // without the LF
  KeyColumns keys;
  Distribution dist;
  uint64_t distinct;  // distinct keys of kDups
  uint64_t seed;
  const char* outName;
};

// splitmix64: fast, seedable, and good enough for benchmark data.
struct Rng {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

void Usage() {
  fprintf(stderr,
          "usage: gen_data -n COUNT -l LENGTH -k COLUMNS [-d random|sorted|reverse|dups]\n"
          "                [-u DISTINCT] [-s SEED] -o FILE|-\n"
          "  COUNT records of LENGTH bytes plus LF; key in COLUMNS (e.g. 1-10);\n"
          "  dups: DISTINCT different keys (default 1000) in random order.\n");
}

bool ParseU64(const char* text, uint64_t* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

bool ParseDistribution(const char* text, Distribution* dist) {
  struct {
    const char* name;
    Distribution dist;
  } const names[] = {{"random", Distribution::kRandom},
                     {"sorted", Distribution::kSorted},
                     {"reverse", Distribution::kReverse},
                     {"dups", Distribution::kDups}};
  for (const auto& n : names) {
    if (text != nullptr && strcmp(text, n.name) == 0) {
      *dist = n.dist;
      return true;
    }
  }
  return false;
}

// Checks that the key fits the record and uses no column twice.
bool KeyFitsRecord(const KeyColumns& keys, uint32_t length) {
  if (keys.maxColumn > length) {
    fprintf(stderr, "gen_data: key column %u lies beyond the record length %u\n", keys.maxColumn,
            length);
    return false;
  }
  static bool used[kMaxRecordLength];
  memset(used, 0, sizeof used);
  for (int i = 0; i < keys.length; ++i) {
    if (used[keys.column[i]]) {
      fprintf(stderr, "gen_data: key column %u is given twice\n", keys.column[i] + 1u);
      return false;
    }
    used[keys.column[i]] = true;
  }
  return true;
}

// Parses argv into *p; prints the reason and returns false on bad input.
bool ParseArgs(int argc, char** argv, GenParams* p) {
  *p = GenParams{0, 0, {}, Distribution::kRandom, 1000, 1, nullptr};
  bool haveCount = false, haveLength = false, haveKeys = false;
  for (int i = 1; i < argc; i += 2) {  // option, value
    const char* opt = argv[i];
    const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t number = 0;
    bool ok = val != nullptr;
    if (strcmp(opt, "-n") == 0) {
      ok = ok && ParseU64(val, &p->count) && p->count <= 0xFFFFFFFFull;
      haveCount = true;
    } else if (strcmp(opt, "-l") == 0) {
      ok = ok && ParseU64(val, &number) && number >= 1 && number <= kMaxRecordLength;
      p->length = static_cast<uint32_t>(number);
      haveLength = true;
    } else if (strcmp(opt, "-k") == 0) {
      ok = ok && ParseKeyColumns(val, &p->keys);
      haveKeys = true;
    } else if (strcmp(opt, "-d") == 0) {
      ok = ok && ParseDistribution(val, &p->dist);
    } else if (strcmp(opt, "-u") == 0) {
      ok = ok && ParseU64(val, &p->distinct) && p->distinct >= 1;
    } else if (strcmp(opt, "-s") == 0) {
      ok = ok && ParseU64(val, &p->seed);
    } else if (strcmp(opt, "-o") == 0) {
      ok = ok && *val != '\0';
      p->outName = val;
    } else {
      fprintf(stderr, "gen_data: unknown option '%s'\n", opt);
      return false;
    }
    if (!ok) {
      fprintf(stderr, "gen_data: bad or missing value for %s\n", opt);
      return false;
    }
  }
  if (!haveCount || !haveLength || !haveKeys || p->outName == nullptr) {
    fprintf(stderr, "gen_data: -n, -l, -k and -o are required\n");
    return false;
  }
  return KeyFitsRecord(p->keys, p->length);
}

// Filler text: words of lower-case letters and blanks, long enough that every
// record can start at a different offset of it.
char* MakeFiller(size_t size, Rng* rng) {
  static const char* const kWords[] = {"alpha",   "bravo",  "carbon", "delta", "ember",  "fjord",
                                       "gamma",   "harbor", "ivory",  "jade",  "kelp",   "lumen",
                                       "meadow",  "north",  "orbit",  "prism", "quartz", "river",
                                       "saffron", "tundra", "umber",  "vale",  "willow", "zenith"};
  char* filler = static_cast<char*>(malloc(size));
  if (filler == nullptr) return nullptr;
  size_t at = 0;
  while (at < size) {
    const char* w = kWords[rng->Next() % (sizeof kWords / sizeof kWords[0])];
    for (; *w != '\0' && at < size; ++w) filler[at++] = *w;
    if (at < size) filler[at++] = ' ';
  }
  return filler;
}

// The ordered value space of the first kValueDigits key bytes, capped there.
uint64_t ValueSpace(int keyLength) {
  uint64_t space = 1;
  for (int i = 0; i < keyLength && i < kValueDigits; ++i) space *= kAlphabetSize;
  return space;
}

// Writes value as base-94 digits, most significant first, into the first
// key bytes; the key bytes past the value's digits are left as they are.
void EncodeValue(uint64_t value, int keyLength, char* key) {
  int digits = keyLength < kValueDigits ? keyLength : kValueDigits;
  for (int i = digits - 1; i >= 0; --i) {
    key[i] = static_cast<char>(kAlphabetFirst + value % kAlphabetSize);
    value /= kAlphabetSize;
  }
}

void RandomKey(Rng* rng, int keyLength, char* key) {
  int i = 0;
  while (i < keyLength) {
    uint64_t r = rng->Next();
    for (int part = 0; part < 4 && i < keyLength; ++part, r >>= 16) {
      key[i++] = static_cast<char>(kAlphabetFirst + (((r & 0xFFFF) * kAlphabetSize) >> 16));
    }
  }
}

// Key of record i (0-based) of the ordered distributions: value spread
// evenly over the value space so that sorted keys never decrease.
uint64_t OrderedValue(uint64_t i, uint64_t n, uint64_t space) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(i) * space / n);
}

void MakeKey(const GenParams& p, uint64_t i, uint64_t space, Rng* rng, char* key) {
  switch (p.dist) {
    case Distribution::kRandom:
      RandomKey(rng, p.keys.length, key);
      return;
    case Distribution::kSorted:
      EncodeValue(OrderedValue(i, p.count, space), p.keys.length, key);
      return;
    case Distribution::kReverse:
      EncodeValue(OrderedValue(p.count - 1 - i, p.count, space), p.keys.length, key);
      return;
    case Distribution::kDups:
      EncodeValue(OrderedValue(rng->Next() % p.distinct, p.distinct, space), p.keys.length, key);
      return;
  }
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Generates every record into a large buffer and writes it out when full.
bool WriteRecords(const GenParams& p, int fd) {
  Rng rng{p.seed};
  const size_t recSize = p.length + 1u;
  const size_t fillerSize = recSize * 2 + 65536;
  char* filler = MakeFiller(fillerSize, &rng);
  char* buf = static_cast<char*>(malloc(kOutBufferSize > recSize ? kOutBufferSize : recSize));
  if (filler == nullptr || buf == nullptr) {
    fprintf(stderr, "gen_data: out of memory\n");
    free(filler);
    free(buf);
    return false;
  }
  const size_t bufSize = kOutBufferSize > recSize ? kOutBufferSize : recSize;
  const uint64_t space = ValueSpace(p.keys.length);
  // Key bytes past the ordered digits of non-random keys stay this filler.
  char key[kMaxKeyBytes];
  for (int i = 0; i < p.keys.length; ++i) key[i] = static_cast<char>('A' + i % 26);
  size_t used = 0;
  bool ok = true;
  for (uint64_t i = 0; i < p.count && ok; ++i) {
    if (bufSize - used < recSize) {
      ok = WriteAll(fd, buf, used);
      used = 0;
    }
    char* rec = buf + used;
    memcpy(rec, filler + rng.Next() % (fillerSize - recSize), p.length);
    rec[p.length] = '\n';
    MakeKey(p, i, space, &rng, key);
    for (int k = 0; k < p.keys.length; ++k) rec[p.keys.column[k]] = key[k];
    used += recSize;
  }
  ok = ok && WriteAll(fd, buf, used);
  if (!ok) fprintf(stderr, "gen_data: cannot write %s: %s\n", p.outName, strerror(errno));
  free(filler);
  free(buf);
  return ok;
}

// Writes into "FILE.XXXXXX" beside FILE and renames it into place.
int GenerateToFile(const GenParams& p) {
  size_t nameLen = strlen(p.outName);
  char* tmpName = static_cast<char*>(malloc(nameLen + 8));
  if (tmpName == nullptr) return 1;
  memcpy(tmpName, p.outName, nameLen);
  memcpy(tmpName + nameLen, ".XXXXXX", 8);
  int fd = mkstemp(tmpName);
  if (fd < 0) {
    fprintf(stderr, "gen_data: cannot create %s: %s\n", tmpName, strerror(errno));
    free(tmpName);
    return 1;
  }
  mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0 && WriteRecords(p, fd);
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmpName, p.outName) != 0) {
    fprintf(stderr, "gen_data: cannot rename %s to %s: %s\n", tmpName, p.outName, strerror(errno));
    ok = false;
  }
  if (!ok) unlink(tmpName);
  free(tmpName);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit should fail the write (and remove the partial file),
  // not kill the process and leave the temporary file behind.
  signal(SIGXFSZ, SIG_IGN);
  GenParams p;
  if (!ParseArgs(argc, argv, &p)) {
    Usage();
    return 1;
  }
  if (strcmp(p.outName, "-") == 0) return WriteRecords(p, 1) ? 0 : 1;
  return GenerateToFile(p);
}
