// The rollback journal (journal.h): a change's journal written front to
// back, synced, invalidated in place or removed; the rollback of a journal
// in hand goes through journal_rollback. The file format is
// journal_format.h's.
//
// Large sequential writes: records gather in a buffer of kBufferSize bytes
// that goes out in one write when full and at every sync.
#include "core/journal.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/journal_format.h"
#include "core/journal_rollback.h"

using namespace journal_file;

namespace {

// The regions of one file already saved, as sorted, disjoint, non-adjacent
// half-open ranges.
struct RangeSet {
  uint64_t (*r)[2];
  uint32_t count;
  uint32_t cap;
};

}  // namespace

struct Journal {
  const kel::Env* env;
  int fd;  // the journal
  uint32_t version;
  uint32_t nfiles;                     // 2 (version 1) or the files of a set
  int files[kJournalMostFiles];        // index and data file descriptors (the caller's)
  uint64_t length[kJournalMostFiles];  // their original lengths
  char* paths[kJournalMostFiles];      // version 2: their absolute paths
  char* path;                          // the journal's path
  char* dir;                           // its directory
  uint8_t* buf;                        // records not yet written
  size_t used;
  uint64_t hash;        // of every byte appended so far
  uint32_t regions;     // region records appended
  bool synced;          // a sync mark is durable: the journal is hot
  bool failed;          // a write failed: only a rollback or discard is left
  bool created;         // the file was made by this Journal: its name is not yet durable
  uint32_t generation;  // of the change being written
  uint64_t written;     // bytes written from the front by this change
  uint64_t size;        // the file's length
  uint64_t syncedSize;  // its length as of the last sync
  int dataPathLength;
  char dataPath[kMaxDataPath + 1];  // absolute
  RangeSet saved[kJournalMostFiles];
};

namespace {

// `path` made absolute (joined to the working directory) into out, which
// holds kMaxDataPath + 1 bytes: its length, or a negative errno. The file is
// found again by an opener that may run elsewhere; getcwd asks the process,
// not the file system.
int MakeAbsolute(const char* path, char* out) {
  size_t at = 0;
  if (path[0] != '/') {
    if (getcwd(out, kMaxDataPath) == nullptr) return Errno();
    at = strlen(out);
    if (at > 1) out[at++] = '/';
  }
  size_t n = strlen(path);
  if (at + n > kMaxDataPath) return -ENAMETOOLONG;
  memcpy(out + at, path, n + 1);
  return static_cast<int>(at + n);
}

int Flush(Journal* j) {
  int r = WriteAll(j->env, j->fd, j->buf, j->used);
  j->written += j->used;
  if (j->written > j->size) j->size = j->written;
  j->used = 0;
  if (r < 0) j->failed = true;
  return r;
}

// Appends bytes to the journal (through the buffer) and to its checksum;
// `len` is a multiple of 8.
int Append(Journal* j, const void* data, size_t len) {
  j->hash = HashBytes(j->hash, static_cast<const uint8_t*>(data), len);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    if (j->used == kBufferSize) {
      if (int r = Flush(j); r < 0) return r;
    }
    size_t n = kBufferSize - j->used < len ? kBufferSize - j->used : len;
    memcpy(j->buf + j->used, p, n);
    j->used += n;
    p += n;
    len -= n;
  }
  return 0;
}

int AppendRegion(Journal* j, unsigned file, uint64_t offset, const uint8_t* bytes, uint32_t len) {
  JournalRecord rec = {};
  if (j->version == kJournalVersion) {
    rec.kind = static_cast<uint8_t>(file);
  } else {
    rec.kind = kRecordRegion;
    rec.file = static_cast<uint16_t>(file);
  }
  rec.length = len;
  rec.offset = offset;
  int r = Append(j, &rec, sizeof rec);
  uint32_t whole = len & ~7u;
  if (r == 0) r = Append(j, bytes, whole);
  if (r == 0 && whole < len) {
    uint8_t tail[8] = {};
    memcpy(tail, bytes + whole, len - whole);
    r = Append(j, tail, 8);
  }
  if (r == 0) ++j->regions;
  return r;
}

// Adds [a, b) to the set, merging with what it touches.
bool RangeAdd(const kel::Env* env, RangeSet* s, uint64_t a, uint64_t b) {
  uint32_t lo = 0, hi = s->count;  // first range whose end >= a
  while (lo < hi) {
    uint32_t mid = (lo + hi) / 2;
    if (s->r[mid][1] < a)
      lo = mid + 1;
    else
      hi = mid;
  }
  uint32_t end = lo;  // ranges [lo, end) touch [a, b)
  while (end < s->count && s->r[end][0] <= b) ++end;
  if (end > lo) {
    if (s->r[lo][0] < a) a = s->r[lo][0];
    if (s->r[end - 1][1] > b) b = s->r[end - 1][1];
    s->r[lo][0] = a;
    s->r[lo][1] = b;
    memmove(s->r + lo + 1, s->r + end, (s->count - end) * sizeof s->r[0]);
    s->count -= end - lo - 1;
    return true;
  }
  if (s->count == s->cap) {
    uint32_t cap = s->cap == 0 ? 64 : s->cap * 2;
    auto* grown = static_cast<uint64_t(*)[2]>(env->allocate(env, cap * sizeof s->r[0]));
    if (grown == nullptr) return false;
    if (s->count > 0) memcpy(grown, s->r, s->count * sizeof s->r[0]);
    env->release(env, s->r);
    s->r = grown;
    s->cap = cap;
  }
  memmove(s->r + lo + 1, s->r + lo, (s->count - lo) * sizeof s->r[0]);
  s->r[lo][0] = a;
  s->r[lo][1] = b;
  ++s->count;
  return true;
}

void FreeJournal(Journal* j) {
  const kel::Env* env = j->env;
  if (j->fd >= 0) env->close(env, j->fd);
  for (uint32_t k = 0; k < kJournalMostFiles; ++k) {
    env->release(env, j->saved[k].r);
    env->release(env, j->paths[k]);
  }
  env->release(env, j->buf);
  env->release(env, j->path);
  env->release(env, j->dir);
  env->release(env, j);
}

}  // namespace

bool JournalPathFor(const char* isiPath, char* out, size_t cap) {
  static const char kSuffix[] = "-journal";
  size_t n = strlen(isiPath);
  if (n + sizeof kSuffix > cap) return false;
  memcpy(out, isiPath, n);
  memcpy(out + n, kSuffix, sizeof kSuffix);
  return true;
}

namespace {

// The files' current lengths, the lengths the rollback cuts them back to.
int MeasureFiles(Journal* j) {
  struct stat st;
  for (uint32_t k = 0; k < j->nfiles; ++k) {
    j->length[k] = kNoLength;
    if (j->files[k] < 0) continue;
    if (j->env->statFile(j->env, j->files[k], &st) != 0) return Errno();
    j->length[k] = static_cast<uint64_t>(st.st_size);
  }
  return 0;
}

// Version 2: the bytes of the file table, written into `out` when not null.
size_t FileTable(const Journal* j, uint8_t* out) {
  size_t at = 8;
  if (out != nullptr) {
    uint32_t count[2] = {j->nfiles, 0};
    memcpy(out, count, sizeof count);
  }
  for (uint32_t k = 0; k < j->nfiles; ++k) {
    JournalFileEntry e = {};
    e.length = j->length[k];
    e.pathLength = static_cast<uint32_t>(strlen(j->paths[k]));
    if (out != nullptr) {
      memcpy(out + at, &e, sizeof e);
      memset(out + at + sizeof e, 0, Pad8(e.pathLength));
      memcpy(out + at + sizeof e, j->paths[k], e.pathLength);
    }
    at += sizeof e + Pad8(e.pathLength);
  }
  return at;
}

// Starts the records of a change: its header and the data file's path go
// into the buffer, to be written from the front of the file.
void StartChange(Journal* j) {
  j->used = 0;
  j->written = 0;
  j->regions = 0;
  j->synced = false;
  j->failed = false;
  for (uint32_t k = 0; k < kJournalMostFiles; ++k) j->saved[k].count = 0;
  JournalHeader h = {};
  memcpy(h.magic, kJournalMagic, sizeof h.magic);
  h.byteOrder = kByteOrderMark;
  h.version = j->version;
  h.generation = j->generation;
  uint8_t* front = j->buf;
  size_t headerBytes;
  if (j->version == kJournalVersion) {
    h.indexLength = j->length[0];
    h.dataLength = j->length[1];
    h.dataPathLength = static_cast<uint32_t>(j->dataPathLength);
    size_t pathLength = static_cast<size_t>(j->dataPathLength);
    headerBytes = sizeof h + Pad8(pathLength);
    memcpy(front + sizeof h, j->dataPath, pathLength);
    memset(front + sizeof h + pathLength, 0, headerBytes - sizeof h - pathLength);
  } else {
    size_t table = FileTable(j, front + sizeof h);
    h.dataPathLength = static_cast<uint32_t>(table);
    headerBytes = sizeof h + table;
  }
  memcpy(front, &h, sizeof h);
  h.checksum = HashBytes(kHashSeed, front, headerBytes);
  memcpy(front, &h, sizeof h);
  j->hash = HashBytes(kHashSeed, front, headerBytes);
  j->used = headerBytes;
}

// Takes over the journal file a handle or a crash left: one invalidated
// goes on with the next generation; one cut short before its first sync,
// or unreadable as a journal, is emptied (durably) so that nothing of it
// lies behind the next change. One that holds a change is never written
// over: -EEXIST.
int TakeOver(Journal* j) {
  const kel::Env* env = j->env;
  struct stat st;
  if (env->statFile(env, j->fd, &st) != 0) return Errno();
  j->size = j->syncedSize = static_cast<uint64_t>(st.st_size);
  j->generation = 0;
  if (j->size == 0) return 0;
  JournalHeader h = {};
  errno = 0;
  ssize_t n = env->pread(env, j->fd, &h, sizeof h, 0);
  if (n < 0) return Errno();
  static const char kNoMagic[sizeof h.magic] = {};
  if (static_cast<size_t>(n) == sizeof h && memcmp(h.magic, kNoMagic, sizeof h.magic) == 0 &&
      (h.byteOrder == kByteOrderMark || h.byteOrder == kByteOrderSwapped)) {
    uint32_t g = h.byteOrder == kByteOrderMark ? h.generation : __builtin_bswap32(h.generation);
    j->generation = g + 1;
    return 0;
  }
  int hot = HoldsChange(env, j->fd);
  if (hot != 0) return hot < 0 ? hot : -EEXIST;
  if (env->truncate(env, j->fd, 0) != 0 || env->sync(env, j->fd) != 0) return Errno();
  j->size = j->syncedSize = 0;
  return 0;
}

// Opens the journal file: made anew with the index's permission bits and
// owner, or taken over when one is there.
int OpenJournalFile(Journal* j, const struct stat& isiStat) {
  const kel::Env* env = j->env;
  // Index bytes go into it: no one may read it who may not read the index.
  j->fd = env->openFile(env, j->path, O_RDWR | O_CREAT | O_EXCL, isiStat.st_mode & 0666);
  if (j->fd < 0 && errno == EEXIST) {
    j->fd = env->openFile(env, j->path, O_RDWR, 0);
    if (j->fd < 0) return Errno();
    j->created = false;
    // One left from before the index's permission bits were narrowed is
    // narrowed too.
    struct stat st;
    if (env->statFile(env, j->fd, &st) != 0) return Errno();
    mode_t wider = st.st_mode & 0777 & ~(isiStat.st_mode & 0666);
    if (wider != 0 && env->chmod(env, j->path, st.st_mode & 0777 & ~wider) != 0) return Errno();
    return TakeOver(j);
  }
  if (j->fd < 0) return Errno();
  j->created = true;
  j->size = j->syncedSize = 0;
  j->generation = 0;
  // The index's owner and group too (a program run by root changes another
  // user's index); where they cannot be given, the group's bits go, which
  // would open the journal to the group of whoever made the change.
  struct stat made;
  if (env->statFile(env, j->fd, &made) == 0 &&
      (made.st_uid != isiStat.st_uid || made.st_gid != isiStat.st_gid) &&
      env->changeOwner(env, j->fd, isiStat.st_uid, isiStat.st_gid) != 0 &&
      env->changeOwner(env, j->fd, static_cast<uid_t>(-1), isiStat.st_gid) != 0) {
    env->chmod(env, j->path, isiStat.st_mode & 0606);
  }
  return 0;
}

// The permission bits and owner the journal is made with: the index's;
// for a set, the bits every file has and the data file's owner.
int ModeOfFiles(const Journal* j, struct stat* out) {
  const kel::Env* env = j->env;
  if (env->statFile(env, j->files[j->version == kJournalVersion ? 0 : kJournalData], out) != 0) {
    return Errno();
  }
  if (j->version == kJournalVersion) return 0;
  for (uint32_t k = 0; k < j->nfiles; ++k) {
    struct stat st;
    if (env->statFile(env, j->files[k], &st) != 0) return Errno();
    out->st_mode &= st.st_mode | ~static_cast<mode_t>(0777);
  }
  return 0;
}

// Syncs the journal: its contents alone while its length is what the last
// sync left, its length too when it grew.
int SyncFile(Journal* j) {
  const kel::Env* env = j->env;
  int r = j->size == j->syncedSize ? env->syncData(env, j->fd) : env->sync(env, j->fd);
  if (r != 0) return Errno();
  j->syncedSize = j->size;
  return 0;
}

}  // namespace

int JournalBegin(const kel::Env* env, const char* isiPath, int isiFd, const char* dataPath,
                 int dataFd, Journal** out) {
  *out = nullptr;
  struct stat isiStat;
  if (env->statFile(env, isiFd, &isiStat) != 0) return Errno();
  Journal* j = static_cast<Journal*>(env->allocate(env, sizeof(Journal)));
  if (j == nullptr) return -ENOMEM;
  memset(j, 0, sizeof *j);
  j->env = env;
  j->fd = -1;
  j->version = kJournalVersion;
  j->nfiles = 2;
  j->files[0] = isiFd;
  j->files[1] = dataFd;
  if (dataPath != nullptr) {
    j->dataPathLength = MakeAbsolute(dataPath, j->dataPath);
    if (j->dataPathLength < 0) {
      int err = j->dataPathLength;
      env->release(env, j);
      return err;
    }
  }
  size_t isiLength = strlen(isiPath);
  j->path = static_cast<char*>(env->allocate(env, isiLength + 16));
  j->dir = DirectoryOf(env, isiPath);
  j->buf = static_cast<uint8_t*>(env->allocate(env, kBufferSize));
  if (j->path == nullptr || j->dir == nullptr || j->buf == nullptr) {
    FreeJournal(j);
    return -ENOMEM;
  }
  JournalPathFor(isiPath, j->path, isiLength + 16);
  int r = MeasureFiles(j);
  if (r == 0) r = OpenJournalFile(j, isiStat);
  if (r < 0) {
    FreeJournal(j);
    return r;
  }
  StartChange(j);
  *out = j;
  return 0;
}

int JournalBeginSet(const kel::Env* env, const char* journalPath, const JournalFileSpec* files,
                    uint32_t n, Journal** out) {
  *out = nullptr;
  if (n < 2 || n > kJournalMostFiles) return -EINVAL;
  Journal* j = static_cast<Journal*>(env->allocate(env, sizeof(Journal)));
  if (j == nullptr) return -ENOMEM;
  memset(j, 0, sizeof *j);
  j->env = env;
  j->fd = -1;
  j->version = kJournalSetVersion;
  j->nfiles = n;
  int r = 0;
  for (uint32_t k = 0; k < n && r == 0; ++k) {
    j->files[k] = files[k].fd;
    char absolute[kMaxDataPath + 1];
    int len = MakeAbsolute(files[k].path, absolute);
    if (len < 0) {
      r = len;
    } else {
      j->paths[k] = CopyText(env, absolute, static_cast<size_t>(len));
      if (j->paths[k] == nullptr) r = -ENOMEM;
    }
  }
  j->path = CopyText(env, journalPath, strlen(journalPath));
  j->dir = DirectoryOf(env, journalPath);
  j->buf = static_cast<uint8_t*>(env->allocate(env, kBufferSize));
  if (r == 0 && (j->path == nullptr || j->dir == nullptr || j->buf == nullptr)) r = -ENOMEM;
  if (r == 0) r = MeasureFiles(j);
  if (r == 0 && sizeof(JournalHeader) + FileTable(j, nullptr) > kBufferSize / 2) r = -ENAMETOOLONG;
  struct stat mode;
  if (r == 0) r = ModeOfFiles(j, &mode);
  if (r == 0) r = OpenJournalFile(j, mode);
  if (r < 0) {
    FreeJournal(j);
    return r;
  }
  StartChange(j);
  *out = j;
  return 0;
}

int JournalRestart(Journal* j) {
  const kel::Env* env = j->env;
  struct stat st;
  if (env->statFile(env, j->fd, &st) != 0) return Errno();
  if (st.st_nlink == 0) {
    // Removed since (by a recovery, or by another handle's close): a new
    // file, whose name the first sync makes durable.
    struct stat isiStat;
    if (int r = ModeOfFiles(j, &isiStat); r < 0) return r;
    env->close(env, j->fd);
    j->fd = -1;
    if (int r = OpenJournalFile(j, isiStat); r < 0) return r;
  } else if (j->failed) {
    return -EIO;
  } else {
    ++j->generation;
  }
  if (env->seek(env, j->fd, 0, SEEK_SET) < 0) return Errno();
  if (int r = MeasureFiles(j); r < 0) return r;
  StartChange(j);
  return 0;
}

int JournalSave(Journal* j, unsigned file, uint64_t offset, const void* original, uint32_t len) {
  if (j->failed) return -EIO;
  if (file >= j->nfiles) return -EINVAL;
  uint64_t end = offset + len;
  if (end > j->length[file]) end = j->length[file];
  const uint8_t* bytes = static_cast<const uint8_t*>(original);
  RangeSet* s = &j->saved[file];
  uint64_t at = offset;
  while (at < end) {
    // The part of [at, end) before the next saved range is new.
    uint64_t gapEnd = end;
    uint64_t skipTo = end;
    uint32_t lo = 0, hi = s->count;  // the first saved range that ends after `at`
    while (lo < hi) {
      uint32_t mid = (lo + hi) / 2;
      if (s->r[mid][1] <= at)
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo < s->count && s->r[lo][0] < end) {
      gapEnd = s->r[lo][0] > at ? s->r[lo][0] : at;
      skipTo = s->r[lo][1] < end ? s->r[lo][1] : end;
    }
    for (uint64_t p = at; p < gapEnd;) {
      uint32_t n = gapEnd - p < kMaxRegion ? static_cast<uint32_t>(gapEnd - p) : kMaxRegion;
      if (int r = AppendRegion(j, file, p, bytes + (p - offset), n); r < 0) return r;
      p += n;
    }
    if (gapEnd > at && !RangeAdd(j->env, s, at, gapEnd)) return -ENOMEM;
    at = gapEnd > at ? gapEnd : skipTo;
  }
  return 0;
}

int JournalSaveCopy(Journal* j, const char* copyPath, uint64_t length) {
  if (j->failed) return -EIO;
  char absolute[kMaxDataPath + 1];
  int n = MakeAbsolute(copyPath, absolute);
  if (n < 0) return n;
  JournalRecord rec = {};
  rec.kind = kRecordCopy;
  rec.length = static_cast<uint32_t>(n);
  rec.offset = length;
  uint8_t padded[kMaxDataPath + 8] = {};
  memcpy(padded, absolute, static_cast<size_t>(n));
  int r = Append(j, &rec, sizeof rec);
  if (r == 0) r = Append(j, padded, Pad8(static_cast<uint64_t>(n)));
  if (r == 0) ++j->regions;
  return r;
}

int JournalSync(Journal* j) {
  if (j->failed) return -EIO;
  JournalRecord mark = {};
  mark.kind = kMarkSync;
  mark.length = j->regions;
  mark.offset = j->hash;
  int r = Append(j, &mark, sizeof mark);
  if (r == 0) r = Flush(j);
  if (r == 0) r = SyncFile(j);
  // A file made for this change is found again only once its name is durable.
  if (r == 0 && j->created && j->env->syncDirectory(j->env, j->dir) != 0) r = Errno();
  if (r < 0) {
    j->failed = true;
    return r;
  }
  j->created = false;
  j->synced = true;
  return 0;
}

int JournalInvalidate(Journal* j) {
  // The magic zeroed: no opener takes it for a change; the generation
  // stays, for the change that writes over it next.
  JournalHeader h = {};
  h.byteOrder = kByteOrderMark;
  h.version = kJournalVersion;
  h.generation = j->generation;
  int r = 0;
  errno = 0;
  if (j->env->seek(j->env, j->fd, 0, SEEK_SET) < 0) r = Errno();
  if (r == 0) r = WriteAll(j->env, j->fd, &h, sizeof h);
  if (r == 0) r = SyncFile(j);
  if (r < 0) {
    FreeJournal(j);
    return r;
  }
  j->synced = false;
  return 0;
}

void JournalClose(Journal* j, bool remove) {
  const kel::Env* env = j->env;
  struct stat st;
  static const char kNoMagic[8] = {};
  char magic[8] = {};
  // Only the file this handle invalidated (or made and left empty), still
  // under its name: one that holds a change now is another program's to
  // roll back.
  if (remove && env->statFile(env, j->fd, &st) == 0 && st.st_nlink > 0) {
    ssize_t n = env->pread(env, j->fd, magic, sizeof magic, 0);
    if (n == 0 ||
        (n == static_cast<ssize_t>(sizeof magic) && memcmp(magic, kNoMagic, sizeof magic) == 0)) {
      env->unlink(env, j->path);
    }
  }
  FreeJournal(j);
}

int JournalCommit(Journal* j) {
  j->env->close(j->env, j->fd);
  j->fd = -1;
  int r = RemoveJournal(j->env, j->path, j->dir);
  FreeJournal(j);
  return r;
}

int JournalRollback(Journal* j) {
  // Every record goes out behind a mark, so that the rollback below reads
  // them all back; records a power loss drops cover regions that were not
  // yet written over, whose rollback was no change.
  int r = 0;
  if (!j->failed) {
    JournalRecord mark = {};
    mark.kind = kMarkSync;
    mark.length = j->regions;
    mark.offset = j->hash;
    r = Append(j, &mark, sizeof mark);
    if (r == 0) r = Flush(j);
  }
  if (r == 0 && !j->failed) {
    r = RollBackFrom(j->env, j->fd, j->path, j->files);
    if (r == 0) r = -EIO;  // what was just written does not read back
  } else if (!j->synced) {
    // Nothing durable to roll back from, and nothing was written in place.
    r = CutAndSync(j->env, j->files, j->length, j->nfiles);
  } else {
    // A failed append left the file with a torn end; the synced part still
    // holds every region written over: recovery's rollback.
    r = RollBackFrom(j->env, j->fd, j->path, j->files);
    if (r == 0) r = -EIO;
  }
  j->env->close(j->env, j->fd);
  j->fd = -1;
  if (r >= 0) r = RemoveJournal(j->env, j->path, j->dir);
  FreeJournal(j);
  return r < 0 ? r : 0;
}

void JournalDiscard(Journal* j) {
  j->env->close(j->env, j->fd);
  j->fd = -1;
  j->env->unlink(j->env, j->path);
  FreeJournal(j);
}

void JournalRelease(Journal* j) {
  FreeJournal(j);
}
