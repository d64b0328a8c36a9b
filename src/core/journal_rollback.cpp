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

int CutAndSync(const kel::Env* env, const int files[2], const uint64_t lengths[2]) {
  for (int k = 0; k < 2; ++k) {
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

uint32_t Fix32(const Reader* r, uint32_t v) {
  return r->swapped ? __builtin_bswap32(v) : v;
}
uint64_t Fix64(const Reader* r, uint64_t v) {
  return r->swapped ? __builtin_bswap64(v) : v;
}

struct Found {
  uint64_t indexLength, dataLength;
  char dataPath[kMaxDataPath + 1];
  char copyPath[kMaxDataPath + 1];  // of the last copy record; empty: none
  uint64_t recordsStart;            // file position of the first record
  uint64_t validEnd;                // file position of the last valid sync mark; 0: none
};

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
  if (Fix32(r, h.version) != kJournalVersion || pathLength > kMaxDataPath) return 0;
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
  memcpy(f->dataPath, r->buf + sizeof h, pathLength);
  f->dataPath[pathLength] = '\0';
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
    if (rec.kind != kRecordIndex && rec.kind != kRecordData && rec.kind != kRecordCopy) return 0;
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

// Puts back every region recorded before f->validEnd, into files[kind].
int Restore(Reader* r, const Found* f, const int files[2]) {
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
    } else if (files[rec.kind] < 0) {
      w = -EBADF;
    } else {
      w = WriteAt(r->env, files[rec.kind], Fix64(r, rec.offset), r->buf + r->at, length);
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

int RollBackFrom(const kel::Env* env, int fd, const char* isiPath, int files[2], char* copyPath) {
  Reader r = {};
  r.env = env;
  r.fd = fd;
  r.buf = static_cast<uint8_t*>(env->allocate(env, kBufferSize));
  Found* f = static_cast<Found*>(env->allocate(env, sizeof(Found)));
  int opened[2] = {-1, -1};
  int result = r.buf == nullptr || f == nullptr ? -ENOMEM : Scan(&r, f);
  if (result == 0 && f->validEnd != 0) {
    const char* paths[2] = {isiPath, f->dataPath};
    for (int k = 0; k < 2 && result == 0; ++k) {
      if (files[k] >= 0 || paths[k][0] == '\0' || (k == 1 && f->dataLength == kNoLength)) continue;
      opened[k] = files[k] = env->openFile(env, paths[k], O_RDWR, 0);
      if (opened[k] < 0) result = Errno();
    }
    if (result == 0) result = Restore(&r, f, files);
    uint64_t lengths[2] = {f->indexLength, f->dataLength};
    if (result == 0) result = CutAndSync(env, files, lengths);
    if (result == 0) result = 1;
    if (result == 1 && copyPath != nullptr) memcpy(copyPath, f->copyPath, sizeof f->copyPath);
  }
  for (int k = 0; k < 2; ++k) {
    if (opened[k] >= 0) env->close(env, opened[k]);
  }
  env->release(env, f);
  env->release(env, r.buf);
  return result;
}

}  // namespace journal_file

using namespace journal_file;

int JournalDataPath(const kel::Env* env, const char* isiPath, char* out, size_t cap) {
  size_t n = strlen(isiPath);
  char* path = static_cast<char*>(env->allocate(env, n + 16));
  Reader r = {};
  r.env = env;
  r.buf = static_cast<uint8_t*>(env->allocate(env, kBufferSize));
  Found* f = static_cast<Found*>(env->allocate(env, sizeof(Found)));
  int result = path == nullptr || r.buf == nullptr || f == nullptr ? -ENOMEM : 0;
  r.fd = -1;
  if (result == 0) {
    JournalPathFor(isiPath, path, n + 16);
    r.fd = env->openFile(env, path, O_RDONLY, 0);
    if (r.fd < 0) result = errno == ENOENT ? 0 : Errno();
  }
  if (r.fd >= 0) {
    result = Scan(&r, f);
    if (result == 0 && f->validEnd != 0) {
      size_t len = strlen(f->dataPath);
      if (len >= cap) {
        result = -ENAMETOOLONG;
      } else {
        memcpy(out, f->dataPath, len + 1);
        result = 1;
      }
    }
    env->close(env, r.fd);
  }
  env->release(env, f);
  env->release(env, r.buf);
  env->release(env, path);
  return result;
}

int JournalRecover(const kel::Env* env, const char* isiPath, int isiFd, int dataFd) {
  size_t n = strlen(isiPath);
  char* path = static_cast<char*>(env->allocate(env, n + 16));
  char* dir = DirectoryOf(env, isiPath);
  int result = path == nullptr || dir == nullptr ? -ENOMEM : 0;
  int fd = -1;
  if (result == 0) {
    JournalPathFor(isiPath, path, n + 16);
    fd = env->openFile(env, path, O_RDONLY, 0);
    if (fd < 0) result = errno == ENOENT ? 0 : Errno();
  }
  char magic[sizeof kJournalMagic] = {};
  if (fd >= 0 && env->pread(env, fd, magic, sizeof magic, 0) >= 0 &&
      memcmp(magic, kJournalMagic, sizeof magic) != 0) {
    env->close(env, fd);  // invalidated or empty: read no further
    fd = -1;
  }
  if (fd >= 0) {
    int files[2] = {isiFd, dataFd};
    char copyPath[kMaxDataPath + 1] = "";
    result = RollBackFrom(env, fd, isiPath, files, copyPath);
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
  env->release(env, path);
  env->release(env, dir);
  return result;
}
