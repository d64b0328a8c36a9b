// The rollback journal of a change made in place to an index and its data
// file: before the first byte of either file is overwritten, the bytes it
// held are saved in "<isi path>-journal" beside the index, with both files'
// lengths and the data file's path, and made durable. A change that ends
// normally removes the journal after both files are synced; a change cut
// short (a crash, a power loss, an abandoned change) is undone by putting
// the saved bytes back and cutting both files to their old lengths, either
// at once (JournalRollback) or by the next program that opens the index
// (JournalRecover).
//
// The journal holds index and record bytes, so it is created with the
// index file's permission bits, never wider, and its owner.
//
// Everything goes through the Env given to JournalBegin or JournalRecover;
// no C++ run-time is needed. Every call returns 0 or a negative errno
// unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "env/env.h"

// "<isi path>-journal", beside the index. False when it does not fit in cap.
bool JournalPathFor(const char* isiPath, char* out, size_t cap);

struct Journal;  // opaque

enum JournalFile : uint8_t { kJournalIndex = 0, kJournalData = 1 };

// Creates the journal (never over an existing one), with the index file's
// permission bits and owner; records the index's and the data file's
// current lengths and the data file's absolute path, so that recovery finds
// it. Nothing is synced yet. With dataFd < 0 the data file is not part of
// the change: its path (may be nullptr) is kept only for the locks of
// recovery, and the rollback leaves the file alone.
int JournalBegin(const kel::Env* env, const char* isiPath, int isiFd, const char* dataPath, int dataFd,
                 Journal** out);

// Saves the original bytes of [offset, offset+len) of the index or data
// file, before they are first overwritten. Saving the same region twice
// keeps the first copy. Bytes at or past the file's original length need no
// saving (the rollback cuts them off) and are ignored.
int JournalSave(Journal* j, JournalFile file, uint64_t offset, const void* original, uint32_t len);

// Records that the index's first `length` bytes, as they were, are the
// contents of the file `copyPath`, which the caller made durable (contents
// and name) and keeps until the journal is removed: the rollback copies it
// back, and recovery removes it afterwards. For a change that rewrites the
// whole index from a copy of it.
int JournalSaveCopy(Journal* j, const char* copyPath, uint64_t length);

// Makes the journal durable (its contents, then its directory entry): to
// be called before the first write in place. Saving more after it is
// allowed; the next JournalSync makes that durable too.
int JournalSync(Journal* j);

// After the caller synced the index and the data file: removes the journal
// durably (unlink, then a sync of the directory) and frees j, also when
// the removal fails.
int JournalCommit(Journal* j);

// Puts every saved region back, cuts both files to their original lengths,
// syncs them, removes the journal durably and frees j (also on failure).
// For a change abandoned after writes in place.
int JournalRollback(Journal* j);

// Frees j and removes a journal that was never synced (nothing was written
// in place yet).
void JournalDiscard(Journal* j);

// Frees j and leaves the journal as it is, for the next opener's recovery:
// for a change whose rollback failed.
void JournalRelease(Journal* j);

// The data file path a journal beside `isiPath` names, into out: 1 when
// there is a journal that names one, 0 when there is no journal or it
// names none (or is incomplete), a negative errno on failure. An opener
// takes the locks on that file before it recovers.
int JournalDataPath(const kel::Env* env, const char* isiPath, char* out, size_t cap);

// For every program that opens an index, before it reads the header: when
// "<isi>-journal" exists and is complete (its checksum holds), the change
// it belongs to is rolled back as by JournalRollback; an incomplete one (the
// crash came while it was written, so nothing was written in place) is
// removed. The caller holds the exclusive ISI lock, or the files are not
// shared. 0 when there was nothing to do, 1 when a change was rolled back or
// a stale journal removed, a negative errno on failure.
int JournalRecover(const kel::Env* env, const char* isiPath);
