// Reading a journal back (journal_rollback.h): the last sync mark whose
// checksum holds, every region saved before it put back, both files cut to
// their original lengths; and the openers' recovery (journal.h) built on it.
#include "core/journal_rollback.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/journal_format.h"

namespace journal_file {

int Errno() {
  return errno != 0 ? -errno : -EIO;
}

char* CopyText(const kel::Env* env, const char* text, size_t len) {
  char* p = static_cast<char*>(env->allocate(env, len + 1));
  if (p != nullptr) {
    memcpy(p, text, len);
    p[len] = '\0';
  }
  return p;
}

// The directory part of `path` ("." for a bare name).
char* DirectoryOf(const kel::Env* env, const char* path) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return CopyText(env, ".", 1);
  return CopyText(env, path, slash == path ? 1 : static_cast<size_t>(slash - path));
}

int WriteAll(const kel::Env* env, int fd, const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    errno = 0;
    ssize_t n = env->write(env, fd, p, len);
    if (n <= 0) return n < 0 ? Errno() : -ENOSPC;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int WriteAt(const kel::Env* env, int fd, uint64_t offset, const void* data, size_t len) {
  if (env->seek(env, fd, static_cast<off_t>(offset), SEEK_SET) < 0) return Errno();
  return WriteAll(env, fd, data, len);
}

int RemoveJournal(const kel::Env* env, const char* path, const char* dir) {
  if (env->unlink(env, path) != 0 && errno != ENOENT) return Errno();
  if (env->syncDirectory(env, dir) != 0) return Errno();
  return 0;
}

int CutAndSync(const kel::Env* env, const int* files, const uint64_t* lengths, uint32_t n) {
  for (uint32_t k = 0; k < n; ++k) {
    if (files[k] < 0 || lengths[k] == kNoLength) continue;
    if (env->truncate(env, files[k], static_cast<off_t>(lengths[k])) != 0) return Errno();
    if (env->sync(env, files[k]) != 0) return Errno();
  }
  return 0;
}

namespace {

struct Reader {
  const kel::Env* env;
  int fd;
  uint64_t pos;  // file position of buf[0]
  uint8_t* buf;
  size_t have;  // bytes in buf
  size_t at;    // next byte
  bool swapped;
};

// Makes `len` (at most kBufferSize) bytes available at r->buf + r->at;
// false at the end of the file or on a read failure (*err).
bool Want(Reader* r, size_t len, int* err) {
  if (r->have - r->at >= len) return true;
  memmove(r->buf, r->buf + r->at, r->have - r->at);
  r->pos += r->at;
  r->have -= r->at;
  r->at = 0;
  while (r->have < len) {
    errno = 0;
    ssize_t n =
        r->env->pread(r->env, r->fd, r->buf + r->have, kBufferSize - r->have, r->pos + r->have);
    if (n < 0) {
      *err = Errno();
      return false;
    }
    if (n == 0) return false;
    r->have += static_cast<size_t>(n);
  }
  return true;
}

uint16_t Fix16(const Reader* r, uint16_t v) {
  return r->swapped ? __builtin_bswap16(v) : v;
}
uint32_t Fix32(const Reader* r, uint32_t v) {
  return r->swapped ? __builtin_bswap32(v) : v;
}
uint64_t Fix64(const Reader* r, uint64_t v) {
  return r->swapped ? __builtin_bswap64(v) : v;
}

struct Found {
  uint32_t version;
  uint32_t nfiles;  // 2 for a journal of one index
  uint64_t lengths[kJournalMostFiles];
  // Version 2: each file's path, at paths + k * (kMaxDataPath + 1).
  char paths[kJournalMostFiles][kMaxDataPath + 1];
  uint64_t indexLength, dataLength;
  char dataPath[kMaxDataPath + 1];
  char copyPath[kMaxDataPath + 1];  // of the last copy record; empty: none
  uint64_t recordsStart;            // file position of the first record
  uint64_t validEnd;                // file position of the last valid sync mark; 0: none
};

// Version 2: the file table of `len` bytes at `p` into f; false when it
// is not one (the checksum held: a journal of another kind).
bool ReadTable(const Reader* r, const uint8_t* p, size_t len, Found* f) {
  if (len < 8) return false;
  uint32_t count;
  memcpy(&count, p, sizeof count);
  count = Fix32(r, count);
  if (count < 2 || count > kJournalMostFiles) return false;
  size_t at = 8;
  for (uint32_t k = 0; k < count; ++k) {
    JournalFileEntry e;
    if (len - at < sizeof e) return false;
    memcpy(&e, p + at, sizeof e);
    at += sizeof e;
    uint32_t n = Fix32(r, e.pathLength);
    if (n == 0 || n > kMaxDataPath || len - at < Pad8(n)) return false;
    memcpy(f->paths[k], p + at, n);
    f->paths[k][n] = '\0';
    f->lengths[k] = Fix64(r, e.length);
    at += Pad8(n);
  }
  f->nfiles = count;
  memcpy(f->dataPath, f->paths[kJournalData], sizeof f->dataPath);
  f->dataLength = f->lengths[kJournalData];
  return true;
}

// Reads the header and finds the last valid sync mark. 0 (f->validEnd 0
// when the journal is incomplete) or a negative errno.
int Scan(Reader* r, Found* f) {
  int err = 0;
  f->validEnd = 0;
  if (!Want(r, sizeof(JournalHeader), &err)) return err;
  JournalHeader h;
  memcpy(&h, r->buf, sizeof h);
  if (memcmp(h.magic, kJournalMagic, sizeof h.magic) != 0) return 0;
  if (h.byteOrder != kByteOrderMark && h.byteOrder != kByteOrderSwapped) return 0;
  r->swapped = h.byteOrder == kByteOrderSwapped;
  uint32_t pathLength = Fix32(r, h.dataPathLength);
  f->version = Fix32(r, h.version);
  if (f->version == kJournalSetVersion) {
    if (pathLength % 8 != 0 || pathLength > kBufferSize / 2) return 0;
  } else if (f->version != kJournalVersion || pathLength > kMaxDataPath) {
    return 0;
  }
  size_t headerBytes = sizeof h + Pad8(pathLength);
  if (!Want(r, headerBytes, &err)) return err;
  uint64_t stored = Fix64(r, h.checksum);
  JournalHeader zeroed = h;
  zeroed.checksum = 0;
  uint64_t hash = HashBytes(kHashSeed, reinterpret_cast<const uint8_t*>(&zeroed), sizeof zeroed);
  hash = HashBytes(hash, r->buf + sizeof h, Pad8(pathLength));
  if (hash != stored) return 0;
  f->indexLength = Fix64(r, h.indexLength);
  f->dataLength = Fix64(r, h.dataLength);
  if (f->version == kJournalVersion) {
    memcpy(f->dataPath, r->buf + sizeof h, pathLength);
    f->dataPath[pathLength] = '\0';
    f->nfiles = 2;
    f->lengths[0] = f->indexLength;
    f->lengths[1] = f->dataLength;
  } else if (!ReadTable(r, r->buf + sizeof h, pathLength, f)) {
    return 0;
  }
  f->copyPath[0] = '\0';
  // The running checksum covers the header as written, checksum included.
  hash = HashBytes(kHashSeed, r->buf, headerBytes);
  r->at = headerBytes;
  f->recordsStart = headerBytes;
  uint32_t regions = 0;
  for (;;) {
    if (!Want(r, sizeof(JournalRecord), &err)) return err;
    JournalRecord rec;
    memcpy(&rec, r->buf + r->at, sizeof rec);
    uint32_t length = Fix32(r, rec.length);
    if (rec.kind == kMarkSync) {
      if (Fix64(r, rec.offset) != hash || length != regions) return 0;
      f->validEnd = r->pos + r->at;
      hash = HashBytes(hash, r->buf + r->at, sizeof rec);
      r->at += sizeof rec;
      continue;
    }
    bool region =
        f->version == kJournalVersion
            ? rec.kind == kRecordIndex || rec.kind == kRecordData || rec.kind == kRecordCopy
            : rec.kind == kRecordRegion && Fix16(r, rec.file) < f->nfiles;
    if (!region) return 0;
    if (length > (rec.kind == kRecordCopy ? kMaxDataPath : kMaxRegion)) return 0;
    hash = HashBytes(hash, r->buf + r->at, sizeof rec);
    r->at += sizeof rec;
    if (!Want(r, Pad8(length), &err)) return err;
    if (rec.kind == kRecordCopy) {
      memcpy(f->copyPath, r->buf + r->at, length);
      f->copyPath[length] = '\0';
    }
    hash = HashBytes(hash, r->buf + r->at, Pad8(length));
    r->at += Pad8(length);
    ++regions;
  }
}

// Copies the first `length` bytes of the file at `path` to the start of
// the index.
int CopyBack(const kel::Env* env, const char* path, uint64_t length, int isiFd) {
  int fd = env->openFile(env, path, O_RDONLY, 0);
  if (fd < 0) return Errno();
  uint8_t* buf = static_cast<uint8_t*>(env->allocate(env, kMaxRegion));
  int r = buf == nullptr ? -ENOMEM : 0;
  for (uint64_t at = 0; r == 0 && at < length;) {
    size_t want = length - at < kMaxRegion ? static_cast<size_t>(length - at) : kMaxRegion;
    errno = 0;
    ssize_t n = env->pread(env, fd, buf, want, at);
    if (n <= 0) {
      r = n < 0 ? Errno() : -ENODATA;  // a copy shorter than it was recorded
    } else {
      r = WriteAt(env, isiFd, at, buf, static_cast<size_t>(n));
      at += static_cast<uint64_t>(n);
    }
  }
  env->release(env, buf);
  env->close(env, fd);
  return r;
}

// Puts back every region recorded before f->validEnd, into the file it
// names.
int Restore(Reader* r, const Found* f, const int* files) {
  int err = 0;
  r->pos = f->recordsStart;
  r->have = r->at = 0;
  while (r->pos + r->at < f->validEnd) {
    if (!Want(r, sizeof(JournalRecord), &err)) return err != 0 ? err : -ENODATA;
    JournalRecord rec;
    memcpy(&rec, r->buf + r->at, sizeof rec);
    r->at += sizeof rec;
    if (rec.kind == kMarkSync) continue;
    uint32_t length = Fix32(r, rec.length);
    if (!Want(r, Pad8(length), &err)) return err != 0 ? err : -ENODATA;
    int w;
    if (rec.kind == kRecordCopy) {
      char path[kMaxDataPath + 1];
      memcpy(path, r->buf + r->at, length);
      path[length] = '\0';
      w = CopyBack(r->env, path, Fix64(r, rec.offset), files[kRecordIndex]);
    } else {
      uint32_t file = rec.kind == kRecordRegion ? Fix16(r, rec.file) : rec.kind;
      w = files[file] < 0
              ? -EBADF
              : WriteAt(r->env, files[file], Fix64(r, rec.offset), r->buf + r->at, length);
    }
    if (w < 0) return w;
    r->at += Pad8(length);
  }
  return 0;
}

}  // namespace

int HoldsChange(const kel::Env* env, int fd) {
  Reader r = {};
  r.env = env;
  r.fd = fd;
  r.buf = static_cast<uint8_t*>(env->allocate(env, kBufferSize));
  Found* f = static_cast<Found*>(env->allocate(env, sizeof(Found)));
  int result = r.buf == nullptr || f == nullptr ? -ENOMEM : Scan(&r, f);
  if (result == 0 && f->validEnd != 0) result = 1;
  env->release(env, f);
  env->release(env, r.buf);
  return result;
}

namespace {

// One of the caller's descriptors open on the file at `path`, or -1.
int GivenFor(const kel::Env* env, const char* path, const int* given, size_t n) {
  struct stat at;
  if (n == 0 || env->statPath(env, path, &at) != 0) return -1;
  for (size_t k = 0; k < n; ++k) {
    struct stat st;
    if (given[k] >= 0 && env->statFile(env, given[k], &st) == 0 && st.st_dev == at.st_dev &&
        st.st_ino == at.st_ino) {
      return given[k];
    }
  }
  return -1;
}

}  // namespace

int RollBackFrom(const kel::Env* env, int fd, const char* isiPath, int* files, char* copyPath,
                 const int* given, size_t ngiven) {
  Reader r = {};
  r.env = env;
  r.fd = fd;
  r.buf = static_cast<uint8_t*>(env->allocate(env, kBufferSize));
  Found* f = static_cast<Found*>(env->allocate(env, sizeof(Found)));
  int opened[kJournalMostFiles];
  for (int& o : opened) o = -1;
  int result = r.buf == nullptr || f == nullptr ? -ENOMEM : Scan(&r, f);
  if (result == 0 && f->validEnd != 0) {
    for (uint32_t k = 0; k < f->nfiles && result == 0; ++k) {
      const char* path =
          f->version == kJournalVersion ? (k == 0 ? isiPath : f->dataPath) : f->paths[k];
      if (files[k] >= 0 || path[0] == '\0' || f->lengths[k] == kNoLength) continue;
      files[k] = GivenFor(env, path, given, ngiven);
      if (files[k] >= 0) continue;
      opened[k] = files[k] = env->openFile(env, path, O_RDWR, 0);
      if (opened[k] < 0) result = Errno();
    }
    if (result == 0) result = Restore(&r, f, files);
    if (result == 0) result = CutAndSync(env, files, f->lengths, f->nfiles);
    if (result == 0) result = 1;
    if (result == 1 && copyPath != nullptr) memcpy(copyPath, f->copyPath, sizeof f->copyPath);
  }
  for (int o : opened) {
    if (o >= 0) env->close(env, o);
  }
  env->release(env, f);
  env->release(env, r.buf);
  return result;
}

}  // namespace journal_file

using namespace journal_file;

namespace {

// Reads the journal at `path` (f, r's buffer) and calls `use` with it when
// it holds a change: its result, 0 when there is no journal or it holds no
// change, a negative errno when it cannot be read.
template <class Use>
int WithHotJournal(const kel::Env* env, const char* path, Use use) {
  Reader r = {};
  r.env = env;
  r.buf = static_cast<uint8_t*>(env->allocate(env, kBufferSize));
  Found* f = static_cast<Found*>(env->allocate(env, sizeof(Found)));
  int result = r.buf == nullptr || f == nullptr ? -ENOMEM : 0;
  r.fd = -1;
  if (result == 0) {
    r.fd = env->openFile(env, path, O_RDONLY, 0);
    if (r.fd < 0) result = errno == ENOENT || errno == ENOTDIR ? 0 : Errno();
  }
  if (r.fd >= 0) {
    result = Scan(&r, f);
    if (result == 0 && f->validEnd != 0) result = use(*f);
    env->close(env, r.fd);
  }
  env->release(env, f);
  env->release(env, r.buf);
  return result;
}

// The index a journal of one index lies beside: its path without the
// "-journal" ending, as CopyText makes it; nullptr when short of memory.
char* IndexOfJournal(const kel::Env* env, const char* journalPath) {
  size_t n = strlen(journalPath);
  size_t suffix = sizeof "-journal" - 1;
  return CopyText(env, journalPath, n >= suffix ? n - suffix : n);
}

}  // namespace

int JournalLockPath(const kel::Env* env, const char* journalPath, char* out, size_t cap) {
  return WithHotJournal(env, journalPath, [&](const Found& f) {
    size_t len = strlen(f.dataPath);
    if (len >= cap) return -ENAMETOOLONG;
    memcpy(out, f.dataPath, len + 1);
    return 1;
  });
}

int JournalDataPath(const kel::Env* env, const char* isiPath, char* out, size_t cap) {
  size_t n = strlen(isiPath);
  char* path = static_cast<char*>(env->allocate(env, n + 16));
  if (path == nullptr) return -ENOMEM;
  JournalPathFor(isiPath, path, n + 16);
  int result = JournalLockPath(env, path, out, cap);
  env->release(env, path);
  return result;
}

int JournalFilesWritable(const kel::Env* env, const char* journalPath) {
  char* isiPath = IndexOfJournal(env, journalPath);
  if (isiPath == nullptr) return -ENOMEM;
  int result = WithHotJournal(env, journalPath, [&](const Found& f) {
    for (uint32_t k = 0; k < f.nfiles; ++k) {
      const char* path =
          f.version == kJournalVersion ? (k == 0 ? isiPath : f.dataPath) : f.paths[k];
      if (path[0] == '\0' || f.lengths[k] == kNoLength) continue;
      int fd = env->openFile(env, path, O_RDWR, 0);
      if (fd < 0) return 0;
      env->close(env, fd);
    }
    return 1;
  });
  env->release(env, isiPath);
  // No journal that holds a change: nothing to write.
  return result == 0 ? 1 : result;
}

namespace {

// The recovery of the journal at `path` (journal.h), into files[] as
// RollBackFrom takes them.
int RecoverFrom(const kel::Env* env, const char* path, int* files, const int* given, size_t n) {
  char* dir = DirectoryOf(env, path);
  char* isiPath = IndexOfJournal(env, path);
  int result = dir == nullptr || isiPath == nullptr ? -ENOMEM : 0;
  int fd = -1;
  if (result == 0) {
    fd = env->openFile(env, path, O_RDONLY, 0);
    if (fd < 0) result = errno == ENOENT || errno == ENOTDIR ? 0 : Errno();
  }
  char magic[sizeof kJournalMagic] = {};
  if (fd >= 0 && env->pread(env, fd, magic, sizeof magic, 0) >= 0 &&
      memcmp(magic, kJournalMagic, sizeof magic) != 0) {
    env->close(env, fd);  // invalidated or empty: read no further
    fd = -1;
  }
  if (fd >= 0) {
    char copyPath[kMaxDataPath + 1] = "";
    result = RollBackFrom(env, fd, isiPath, files, copyPath, given, n);
    env->close(env, fd);
    // Rolled back: the journal has done its work, and so has the copy it
    // restored from. One invalidated, empty or cut short before its first
    // sync held no change, and may be a write handle's, kept between its
    // changes: it stays.
    if (result > 0) {
      int removed = RemoveJournal(env, path, dir);
      result = removed < 0 ? removed : 1;
      if (removed == 0 && copyPath[0] != '\0') env->unlink(env, copyPath);
    }
  }
  env->release(env, isiPath);
  env->release(env, dir);
  return result;
}

}  // namespace

int JournalRecover(const kel::Env* env, const char* isiPath, int isiFd, int dataFd) {
  size_t n = strlen(isiPath);
  char* path = static_cast<char*>(env->allocate(env, n + 16));
  if (path == nullptr) return -ENOMEM;
  JournalPathFor(isiPath, path, n + 16);
  int files[kJournalMostFiles];
  for (int& f : files) f = -1;
  files[0] = isiFd;
  files[1] = dataFd;
  int result = RecoverFrom(env, path, files, nullptr, 0);
  env->release(env, path);
  return result;
}

int JournalRecoverAt(const kel::Env* env, const char* journalPath, const int* given, size_t n) {
  int files[kJournalMostFiles];
  for (int& f : files) f = -1;
  return RecoverFrom(env, journalPath, files, given, n);
}
