// The extension module kelisi._kelisi: libkelisi under CPython's C API. It
// is built for the one python3 it is installed for, not for the stable ABI:
// the limited API's function calls in place of its macros cost some 7 % of
// the instructions of a scan and 4 % of a lookup. An Index is one library handle with a lock; a Cursor
// reads entries ahead in batches, one library call sequence per batch with
// the GIL released; a Change is one library change over its indexes.
//
// Locking. Every library call on a handle runs with the GIL released and
// the handle's lock held, so that calls on one index from several threads
// are taken one at a time while other threads run. The lock is never waited
// for with the GIL held (Lock() releases it first), and no Python code runs
// while it is held: only bytes and ints are made under it, which cannot
// start a collection, so no finalizer can come back to the same index.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "kelisi.h"

namespace pyk {

// The most key bytes an index has (the header allows 1 to 150).
constexpr uint32_t kMaxKey = 150;
// A status of the module's own: the index was closed under the call.
constexpr int kClosed = -1000;

struct Cursor;
struct Change;

struct Index {
  PyObject_HEAD
  kelisi* ix;                // NULL once closed
  PyThread_type_lock lock;   // one library call at a time on the handle
  PyObject* path;            // str: the index file as given
  PyObject* dataPath;        // str, or None without a data file
  uint32_t keyLength;
  uint32_t eorLength;
  unsigned char eor[2];
  bool upper;                // keys were folded to upper case: so are search keys
  bool write;
  // Under the lock: the last library cursor released, kept for the next
  // Cursor (one costs an allocation of some 25 KiB and a lookup is one
  // short-lived Cursor), the Cursors that hold one, the change open on the
  // handle and the buffer records are read into.
  kelisi_cursor* spare;
  Cursor* cursors;
  kelisi_txn* txn;
  Change* change;            // the Change whose block holds txn (borrowed)
  unsigned char* buf;
  size_t bufCap;
};

struct Types {
  PyTypeObject* index;
  PyTypeObject* cursor;
  PyTypeObject* change;
  PyTypeObject* entry;  // kelisi.Entry, a named tuple of the package
  PyObject* error;      // kelisi.Error
};
extern Types g;

// The lock, taken with the GIL held: waits with the GIL released.
void Lock(Index* ix);
inline void Unlock(Index* ix) { PyThread_release_lock(ix->lock); }

// Raises kelisi.Error for a failed library status (or kClosed), naming the
// data file for the data file's failures and the index for the others.
// Returns NULL.
PyObject* RaiseStatus(Index* ix, int status);
// Raises kelisi.Error(status, filename, message); steals `message` (a str,
// which may be NULL with an exception set).
PyObject* RaiseError(int status, PyObject* filename, PyObject* message);
// NULL, with Error raised, when the index is closed; else the index.
Index* Open(PyObject* self);

// A key argument: bytes, or str as Latin-1, checked against the key length
// and folded as the index folds its keys. Copies it into out; false with an
// exception set.
bool SearchKey(Index* ix, PyObject* key, unsigned char* out, uint32_t* len);
// A key argument as bytes (a new reference), unchecked.
PyObject* KeyBytes(PyObject* key);
// A record argument as bytes (a new reference): bytes as it is, str as
// Latin-1, any other buffer copied.
PyObject* RecordBytes(PyObject* record);
// The record's bytes without the index's end-of-record bytes.
PyObject* RecordObject(const Index* ix, const unsigned char* rec, size_t len);
// An Entry of the package.
PyObject* MakeEntry(const unsigned char* key, uint32_t keyLength, uint64_t offset, uint32_t size,
                    uint32_t dup);

// The Cursor a search or a walk gives (cursor.cpp).
enum class Walk { kForward, kBackward, kRange, kMatch };
PyObject* NewCursor(Index* ix, Walk walk, const unsigned char* lo, uint32_t loLen,
                    const unsigned char* hi, uint32_t hiLen);
// Closes the library cursors of an index's Cursors; lock held.
void ReleaseCursors(Index* ix);
// The entries of a cursor as a list (cursor.cpp): up to `limit` (all when
// negative), each with its record when `records`.
PyObject* Fetch(PyObject* cursor, Py_ssize_t limit, bool records);

// A Change (change.cpp): one library change over its indexes (one, or
// several of one data file), held by each of them while its block is open.
struct Change {
  PyObject_HEAD
  PyObject* indexes;  // tuple of Index, the first the change's first
};
// A Change over ix alone, or over the indexes of `indexes` (a tuple).
PyObject* NewChange(Index* ix);
PyObject* NewChangeOver(PyObject* indexes);
// The locks a call in a change takes: the index's own, or while a block
// over several indexes holds it, those of all of them, in the block's
// order (every call on the change reaches every handle of it). Taken with
// the GIL held; returns the block taken (a new reference; NULL: the index's
// lock alone) and the index's place in it.
Change* LockInChange(Index* ix, size_t* place);
void UnlockInChange(Index* ix, Change* ch);
// Ends a block over several indexes for one of them closed inside it: the
// change is abandoned and none of them holds it any more; the locks of all
// of them held.
void DropChange(Change* ch);

// The library change an insert or delete runs in: `work(t, place)` runs
// with the locks held and the GIL released, inside the change open on the
// index (place: the index's place in it) or in one of its own, committed
// when work returns a status >= 0 and abandoned otherwise.
template <class Work>
int InChange(Index* ix, Work work) {
  int st;
  size_t place = 0;
  Change* ch = LockInChange(ix, &place);
  Py_BEGIN_ALLOW_THREADS
  if (ix->ix == nullptr) {
    st = kClosed;
  } else if (ix->txn != nullptr) {
    st = work(ix->txn, place);
  } else {
    kelisi_txn* t = nullptr;
    st = kelisi_txn_begin(ix->ix, &t);
    if (st == KELISI_OK) {
      st = work(t, size_t{0});
      int end = st >= 0 ? kelisi_txn_commit(t) : kelisi_txn_abort(t);
      if (st >= 0 && end < 0) st = end;
    }
  }
  Py_END_ALLOW_THREADS
  UnlockInChange(ix, ch);
  return st;
}

// Arguments of a METH_FASTCALL | METH_KEYWORDS method by name: values[i]
// gets the argument called names[i] (NULL when not given); false with
// TypeError set.
bool ParseArgs(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* const* names, int count, int required, PyObject** values);
// A flag argument: 0 when not given, -1 with an exception set.
int Flag(PyObject* v);
// A METH_FASTCALL | METH_KEYWORDS function as a method table takes it.
template <class F>
PyCFunction Fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
// __enter__ of an object whose __exit__ is ExitClosing<its close>.
PyObject* EnterSelf(PyObject* self, PyObject*);
template <PyObject* (*Close)(PyObject*, PyObject*)>
PyObject* ExitClosing(PyObject* self, PyObject*) {
  PyObject* r = Close(self, nullptr);
  if (r == nullptr) return nullptr;
  Py_DECREF(r);
  Py_RETURN_FALSE;
}
// Makes a type from `spec` and adds it to the module as `name`.
bool AddType(PyObject* module, PyType_Spec* spec, const char* name, PyTypeObject** out);

bool AddIndexType(PyObject* module);
bool AddCursorType(PyObject* module);
bool AddChangeType(PyObject* module);

}  // namespace pyk
