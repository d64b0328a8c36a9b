// Reading a journal back: whether it holds a change, and the rollback of
// that change into the index and the data file; with the small file
// operations the journal's writer (journal.cpp) shares.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/env.h"

namespace journal_file {

// -errno of the failed call (-EIO when errno says nothing).
int Errno();
// A terminated copy of `len` bytes of text in env's memory; nullptr when short.
char* CopyText(const kel::Env* env, const char* text, size_t len);
// The directory part of `path` ("." for a bare name), as CopyText makes it.
char* DirectoryOf(const kel::Env* env, const char* path);
// Writes all `len` bytes at the descriptor's position (WriteAt: at `offset`).
int WriteAll(const kel::Env* env, int fd, const void* data, size_t len);
int WriteAt(const kel::Env* env, int fd, uint64_t offset, const void* data, size_t len);
// Removes the journal at `path` and makes its removal durable (`dir`).
int RemoveJournal(const kel::Env* env, const char* path, const char* dir);
// Cuts the index and the data file (files[0], files[1], and for a set the
// other indexes up to files[n-1]; one < 0, or a length of kNoLength, is
// passed over) to `lengths` and makes them durable.
int CutAndSync(const kel::Env* env, const int* files, const uint64_t* lengths, uint32_t n = 2);
// Whether the journal open on `fd` holds a change to roll back: 1 when it
// does, 0 when not, a negative errno when it cannot be read.
int HoldsChange(const kel::Env* env, int fd);
// The rollback of the journal open on `fd`, into the files given
// (kJournalMostFiles of them), or into the files it names where
// files[k] < 0: one of the `given` descriptors open on the same file, else
// opened here (every one before anything is put back). The index of a
// journal of one index is `isiPath`. 0 when the journal was incomplete
// (nothing restored), 1 when a change was rolled back, a negative errno on
// failure. `copyPath` (kMaxDataPath + 1 bytes, or null) gets the
// whole-index copy the journal named, if any.
int RollBackFrom(const kel::Env* env, int fd, const char* isiPath, int* files,
                 char* copyPath = nullptr, const int* given = nullptr, size_t ngiven = 0);

}  // namespace journal_file
