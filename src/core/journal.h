// The rollback journal of a change made in place to an index and its data
// file: before the first byte of either file is overwritten, the bytes it
// held are saved in "<isi path>-journal" beside the index, with both files'
// lengths and the data file's path, and made durable. A change that ends
// normally invalidates the journal in place after both files are synced
// (JournalInvalidate), and the file is kept for the next change of the same
// writer, so that a change creates and removes no name; or removes it
// (JournalCommit). A change cut short (a crash, a power loss, an abandoned
// change) is undone by putting the saved bytes back and cutting both files
// to their old lengths, either at once (JournalRollback) or by the next
// program that opens the index (JournalRecover). An invalidated journal, an
// empty one, or one cut short before its first sync holds no change: every
// opener leaves it alone, and the next change writes over it.
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

#include "core/env.h"

// "<isi path>-journal", beside the index. False when it does not fit in cap.
bool JournalPathFor(const char* isiPath, char* out, size_t cap);

// What kelindex and kelisi print once they have rolled back the change a
// journal held (its path for %s).
constexpr char kJournalRecoveredFormat[] = "Recovered interrupted change from journal %s\n";

struct Journal;  // opaque

enum JournalFile : uint8_t { kJournalIndex = 0, kJournalData = 1 };

// The most files one journal covers: a data file and 64 of its indexes.
constexpr uint32_t kJournalMostFiles = 65;

// A file a journal of several covers: its path (made absolute in the
// journal) and the caller's descriptor of it.
struct JournalFileSpec {
  const char* path;
  int fd;
};

// "<data path>-journal": where the journal of a change over several
// indexes of a data file lies. False when it does not fit in cap.
inline bool JournalPathForData(const char* dataPath, char* out, size_t cap) {
  return JournalPathFor(dataPath, out, cap);
}

// Creates the journal with the index file's permission bits and owner, or
// takes over the file there when it holds no change (-EEXIST when it
// does); records the index's and the data file's
// current lengths and the data file's absolute path, so that recovery finds
// it. Nothing is synced yet. With dataFd < 0 the data file is not part of
// the change: its path (may be nullptr) is kept only for the locks of
// recovery, and the rollback leaves the file alone. The caller holds the
// exclusive ISI lock (or the files are not shared).
int JournalBegin(const kel::Env* env, const char* isiPath, int isiFd, const char* dataPath,
                 int dataFd, Journal** out);

// JournalBegin for a change over `n` files (2 to kJournalMostFiles): file
// kJournalData is the data file, whose locks guard the others, file
// kJournalIndex and every other one an index of it. The journal, at
// `journalPath`, names every file by its absolute path; it is created with
// the permission bits all of them share, never wider, and the data file's
// owner. JournalSave takes the files' numbers.
int JournalBeginSet(const kel::Env* env, const char* journalPath, const JournalFileSpec* files,
                    uint32_t n, Journal** out);

// Saves the original bytes of [offset, offset+len) of the index or data
// file, before they are first overwritten. Saving the same region twice
// keeps the first copy. Bytes at or past the file's original length need no
// saving (the rollback cuts them off) and are ignored.
int JournalSave(Journal* j, unsigned file, uint64_t offset, const void* original, uint32_t len);

// Records that the index's first `length` bytes, as they were, are the
// contents of the file `copyPath`, which the caller made durable (contents
// and name) and keeps until the journal is removed: the rollback copies it
// back, and recovery removes it afterwards. For a change that rewrites the
// whole index from a copy of it.
int JournalSaveCopy(Journal* j, const char* copyPath, uint64_t length);

// Makes the journal durable (its contents; its directory entry too when
// the file was made for this change): to be called before the first write
// in place. Saving more after it is
// allowed; the next JournalSync makes that durable too.
int JournalSync(Journal* j);

// After the caller synced the index and the data file: removes the journal
// durably (unlink, then a sync of the directory) and frees j, also when
// the removal fails.
int JournalCommit(Journal* j);

// After the caller synced the index and the data file: invalidates the
// journal in place (its header's magic zeroed, then a sync of its
// contents) and keeps j, open, for JournalRestart. Frees j on failure,
// when the journal may still hold the change.
int JournalInvalidate(Journal* j);

// Begins the next change on a journal JournalInvalidate kept, writing it
// over from the front, both files measured again: as JournalBegin, but
// creating the file again only when it was removed meanwhile (by a
// recovery or another writer's close). The caller holds the exclusive ISI
// lock. On failure j stays for JournalClose alone.
int JournalRestart(Journal* j);

// Frees a journal JournalInvalidate kept and, with `remove`, removes its
// file, unless it holds a change again (another program's) or was removed
// already. The removal is not synced: an invalidated journal a power loss
// brings back holds no change. The caller holds the exclusive ISI lock.
void JournalClose(Journal* j, bool remove);

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
// there is a journal that holds a change (out is "" when it names no data
// file), 0 when there is none or it holds no change, a negative errno on
// failure. An opener
// takes the locks on that file before it recovers.
int JournalDataPath(const kel::Env* env, const char* isiPath, char* out, size_t cap);
// The same for the journal at `journalPath`, of either kind.
int JournalLockPath(const kel::Env* env, const char* journalPath, char* out, size_t cap);
// Whether this process may write every file the journal at `journalPath`
// names (1, else 0; a negative errno when it cannot be read).
int JournalFilesWritable(const kel::Env* env, const char* journalPath);

// For every program that opens an index, before it reads the header, and
// every change as it begins: when "<isi>-journal" holds a change (it is
// complete up to a sync mark whose checksum holds), the change is rolled
// back as by JournalRollback, and the journal removed. One that holds no
// change (invalidated, empty, or cut short before its first sync, so that
// nothing was written in place) is left as it is. The caller holds the
// exclusive ISI lock, or the files are not shared. isiFd and dataFd, when
// not negative, are the caller's descriptors of the two files, used instead
// of opening them again (which would drop the caller's record locks). 0
// when there was nothing to do, 1 when a change was rolled back, a negative
// errno on failure.
int JournalRecover(const kel::Env* env, const char* isiPath, int isiFd = -1, int dataFd = -1);
// The same for the journal at `journalPath`, of either kind (beside an
// index, or beside a data file for a change over several of its
// indexes): every file it names is put back. `given` holds the caller's
// descriptors of any of those files (n of them), used for the file they
// are open on (the same device and inode) instead of opening it again.
int JournalRecoverAt(const kel::Env* env, const char* journalPath, const int* given, size_t n);
