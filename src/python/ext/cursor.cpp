// Cursor: the entries of a walk or a search, read ahead in batches. A batch
// is one run of library calls with the GIL released and the index's lock
// held; the entries are then handed out as Python objects one by one (no
// library call per entry) or as a list (Fetch). A handle opened for writing
// reads one entry at a time, so that a walk continued after a commit on the
// same handle sees the index as the commit left it, as the library's own
// cursors do.
#include <cstdlib>
#include <cstring>

#include "python/ext/pyk.h"

namespace pyk {

namespace {

struct Slot {
  uint64_t offset;
  uint32_t size;
  uint32_t dup;
  size_t rec;  // where its record starts in the cursor's record buffer
};

// The first batch of a Cursor: a lookup's entry and the check of the next.
constexpr uint32_t kFirstBatch = 2;
constexpr uint32_t kBatch = 256;
constexpr uint32_t kFetchBatch = 2048;

}  // namespace

struct Cursor {
  PyObject_HEAD
  Index* index;
  kelisi_cursor* lc;     // under the index's lock; NULL before the walk and after it
  Cursor* prev;          // in index->cursors while lc is held
  Cursor* next;
  Walk walk;
  bool started;
  bool ended;            // the walk is over; buffered entries may remain
  bool busy;             // a thread is reading ahead for it
  bool hasRecords;       // the records of the buffered entries are read
  int status;            // the failure that ended the walk, raised after the entries before it
  uint32_t loLen, hiLen;
  uint32_t n, pos, cap;  // buffered entries, the next one out, room
  Slot* slots;
  unsigned char* keys;
  unsigned char* recs;
  size_t recsCap;
  unsigned char lo[kMaxKey];  // the seek's key; kMatch: the bytes every key begins with
  unsigned char hi[kMaxKey];  // kRange: the upper bound, compared over its own length
  Slot firstSlots[kFirstBatch];
  unsigned char firstKeys[kFirstBatch * kMaxKey];
};

namespace {

Cursor* AsCursor(PyObject* o) {
  return reinterpret_cast<Cursor*>(o);
}

// Lock held: gives the library cursor back to the index.
void ReleaseLocked(Cursor* c) {
  Index* ix = c->index;
  if (c->lc == nullptr) return;
  if (c->prev != nullptr) c->prev->next = c->next; else ix->cursors = c->next;
  if (c->next != nullptr) c->next->prev = c->prev;
  c->prev = c->next = nullptr;
  if (ix->spare == nullptr && ix->ix != nullptr) {
    ix->spare = c->lc;
  } else {
    kelisi_cursor_close(c->lc);
  }
  c->lc = nullptr;
}

int Start(Cursor* c, kelisi_entry* e) {
  switch (c->walk) {
    case Walk::kForward:
      return kelisi_first(c->lc, e);
    case Walk::kBackward:
      return kelisi_last(c->lc, e);
    case Walk::kRange:
      return c->loLen > 0 ? kelisi_seek(c->lc, c->lo, c->loLen, e) : kelisi_first(c->lc, e);
    case Walk::kMatch:
      return kelisi_seek(c->lc, c->lo, c->loLen, e);
  }
  return KELISI_E_ARG;
}

inline int Step(Cursor* c, kelisi_entry* e) {
  return c->walk == Walk::kBackward ? kelisi_prev(c->lc, e) : kelisi_next(c->lc, e);
}

inline bool Inside(const Cursor* c, const kelisi_entry& e) {
  if (c->walk == Walk::kMatch) return memcmp(e.key, c->lo, c->loLen) == 0;
  if (c->walk == Walk::kRange && c->hiLen > 0) return memcmp(e.key, c->hi, c->hiLen) <= 0;
  return true;
}

// Lock held, GIL released: ends the walk with `status` (0: its end).
void EndLocked(Cursor* c, int status) {
  c->ended = true;
  c->status = status < 0 ? status : 0;
  ReleaseLocked(c);
}

// Lock held, GIL released: the records of the buffered entries from
// `from` on. A record that cannot be read ends the batch before it.
void ReadRecordsLocked(Cursor* c, uint32_t from) {
  Index* ix = c->index;
  size_t total = 0;
  for (uint32_t i = from; i < c->n; ++i) total += c->slots[i].size;
  if (total > c->recsCap) {
    auto* grown = static_cast<unsigned char*>(realloc(c->recs, total));
    if (grown == nullptr) {
      c->n = from;
      EndLocked(c, KELISI_E_NOMEM);
      return;
    }
    c->recs = grown;
    c->recsCap = total;
  }
  size_t at = 0;
  for (uint32_t i = from; i < c->n; ++i) {
    Slot& s = c->slots[i];
    kelisi_entry e{};
    e.record_offset = s.offset;
    e.record_size = s.size;
    size_t got = 0;
    int st = kelisi_read_record(ix->ix, &e, c->recs + at, s.size, &got);
    if (st != KELISI_OK) {
      c->n = i;
      EndLocked(c, st);
      return;
    }
    s.rec = at;
    at += s.size;
  }
  c->hasRecords = true;
}

// Lock held, GIL released: reads up to c->cap entries ahead.
void FillLocked(Cursor* c, bool records) {
  Index* ix = c->index;
  c->n = c->pos = 0;
  c->hasRecords = false;
  if (ix->ix == nullptr) {
    c->ended = true;
    c->status = kClosed;
    return;
  }
  if (c->lc == nullptr) {
    if (ix->spare != nullptr) {
      c->lc = ix->spare;
      ix->spare = nullptr;
    } else {
      int st = kelisi_cursor_open(ix->ix, &c->lc);
      if (st != KELISI_OK) {
        c->lc = nullptr;
        EndLocked(c, st);
        return;
      }
    }
    c->next = ix->cursors;
    if (c->next != nullptr) c->next->prev = c;
    ix->cursors = c;
  }
  const uint32_t kl = ix->keyLength;
  kelisi_entry e;
  int st;
  for (;;) {
    if (!c->started) {
      c->started = true;
      st = Start(c, &e);
    } else {
      st = Step(c, &e);
    }
    if (st != KELISI_OK) break;
    if (!Inside(c, e)) {
      st = KELISI_NOTFOUND;
      break;
    }
    Slot& s = c->slots[c->n];
    s.offset = e.record_offset;
    s.size = e.record_size;
    s.dup = e.dup_seq;
    memcpy(c->keys + static_cast<size_t>(c->n) * kl, e.key, kl);
    if (++c->n == c->cap) break;
  }
  if (st != KELISI_OK) EndLocked(c, st);
  if (records && c->n > 0) ReadRecordsLocked(c, 0);
}

// Room for `want` entries (at least the first batch's).
bool Reserve(Cursor* c, uint32_t want) {
  if (want <= c->cap) return true;
  if (want <= kFirstBatch) {
    c->cap = want;
    return true;
  }
  auto* slots = static_cast<Slot*>(malloc(sizeof(Slot) * want));
  auto* keys = static_cast<unsigned char*>(malloc(static_cast<size_t>(want) * c->index->keyLength));
  if (slots == nullptr || keys == nullptr) {
    free(slots);
    free(keys);
    PyErr_NoMemory();
    return false;
  }
  if (c->slots != c->firstSlots) {
    free(c->slots);
    free(c->keys);
  }
  c->slots = slots;
  c->keys = keys;
  c->cap = want;
  return true;
}

// Waits while another thread reads ahead for the cursor.
void WaitIdle(Cursor* c) {
  while (c->busy) {
    Py_BEGIN_ALLOW_THREADS
    PyThread_acquire_lock(c->index->lock, WAIT_LOCK);
    PyThread_release_lock(c->index->lock);
    Py_END_ALLOW_THREADS
  }
}

// Reads the next batch, of up to `want` entries; false with an exception set.
bool Fill(Cursor* c, uint32_t want, bool records) {
  if (c->index->write) want = 1;
  if (!Reserve(c, want)) return false;
  c->cap = want;
  c->busy = true;
  Lock(c->index);
  Py_BEGIN_ALLOW_THREADS
  FillLocked(c, records);
  Py_END_ALLOW_THREADS
  Unlock(c->index);
  c->busy = false;
  return true;
}

// The records of the entries still buffered, when a fetch wants them.
void ReadBufferedRecords(Cursor* c) {
  c->busy = true;
  Lock(c->index);
  Py_BEGIN_ALLOW_THREADS
  if (c->index->ix == nullptr) {
    c->n = c->pos;
    c->ended = true;
    c->status = kClosed;
  } else {
    ReadRecordsLocked(c, c->pos);
  }
  Py_END_ALLOW_THREADS
  Unlock(c->index);
  c->busy = false;
}

// Raises the failure that ended the walk, once; NULL either way.
PyObject* Finish(Cursor* c) {
  int st = c->status;
  c->status = 0;
  return st < 0 ? RaiseStatus(c->index, st) : nullptr;
}

PyObject* TakeEntry(Cursor* c) {
  uint32_t i = c->pos++;
  const Slot& s = c->slots[i];
  uint32_t kl = c->index->keyLength;
  return MakeEntry(c->keys + static_cast<size_t>(i) * kl, kl, s.offset, s.size, s.dup);
}

PyObject* Next(PyObject* self) {
  Cursor* c = AsCursor(self);
  for (;;) {
    if (c->pos < c->n) {
      if (c->index->ix == nullptr) return RaiseStatus(c->index, kClosed);
      return TakeEntry(c);
    }
    if (c->ended) return Finish(c);
    if (c->busy) {
      WaitIdle(c);
      continue;
    }
    if (!Fill(c, c->started ? kBatch : kFirstBatch, false)) return nullptr;
  }
}

void Dealloc(PyObject* self) {
  Cursor* c = AsCursor(self);
  if (c->lc != nullptr) {
    Lock(c->index);
    ReleaseLocked(c);
    Unlock(c->index);
  }
  if (c->slots != c->firstSlots) {
    free(c->slots);
    free(c->keys);
  }
  free(c->recs);
  Py_DECREF(reinterpret_cast<PyObject*>(c->index));
  PyTypeObject* type = Py_TYPE(self);
  freefunc tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  tp_free(self);
  Py_DECREF(type);
}

PyObject* Close(PyObject* self, PyObject*) {
  Cursor* c = AsCursor(self);
  WaitIdle(c);
  Lock(c->index);
  ReleaseLocked(c);
  Unlock(c->index);
  c->ended = true;
  c->n = c->pos = 0;
  c->status = 0;
  Py_RETURN_NONE;
}

PyObject* Iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

PyObject* FetchMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"n", "records"};
  PyObject* values[2];
  if (!ParseArgs("fetch", args, nargs, kwnames, kNames, 2, 0, values)) return nullptr;
  Py_ssize_t limit = -1;
  if (values[0] != nullptr && values[0] != Py_None) {
    limit = PyLong_AsSsize_t(values[0]);
    if (limit == -1 && PyErr_Occurred()) return nullptr;
  }
  int records = Flag(values[1]);
  if (records < 0) return nullptr;
  return Fetch(self, limit, records != 0);
}

PyMethodDef kMethods[] = {
    {"close", Close, METH_NOARGS, "close($self)\n--\n\nReleases the library cursor; the iteration ends."},
    {"fetch", Fast(FetchMethod), METH_FASTCALL | METH_KEYWORDS,
     "fetch($self, n=None, records=False)\n--\n\n"
     "The next n entries of the cursor (all that are left when n is None) as\n"
     "a list, in one call; with records, each as a pair (entry, record).\n"
     "An empty list: the cursor is exhausted.\n\n"
     "    >>> with kelisi.open(\"customers.isi\") as ix:\n"
     "    ...     cursor = ix.range(\"C002\", \"C0025\")    # C002... to C0025...\n"
     "    ...     while rows := cursor.fetch(4, records=True):\n"
     "    ...         print([record[:8] for entry, record in rows])\n"
     "    [b'C0021265', b'C0021889', b'C0022337', b'C0022770']\n"
     "    [b'C0023507', b'C0025439']\n"},
    {"__enter__", EnterSelf, METH_NOARGS, nullptr},
    {"__exit__", ExitClosing<Close>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

const char kDoc[] =
    "Entries of an index, read from the file as the iteration asks for them\n"
    "(a batch at a time). A cursor holds a library cursor until it is\n"
    "exhausted, closed or collected; once its index is closed, taking an\n"
    "entry raises Error.";

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(Iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Next)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr}};

PyType_Spec kSpec = {"kelisi.Cursor", sizeof(Cursor), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

}  // namespace

PyObject* NewCursor(Index* ix, Walk walk, const unsigned char* lo, uint32_t loLen,
                    const unsigned char* hi, uint32_t hiLen) {
  auto* c = reinterpret_cast<Cursor*>(PyType_GenericAlloc(g.cursor, 0));
  if (c == nullptr) return nullptr;
  Py_INCREF(reinterpret_cast<PyObject*>(ix));
  c->index = ix;
  c->walk = walk;
  c->slots = c->firstSlots;
  c->keys = c->firstKeys;
  c->cap = kFirstBatch;
  c->loLen = loLen;
  c->hiLen = hiLen;
  if (loLen > 0) memcpy(c->lo, lo, loLen);
  if (hiLen > 0) memcpy(c->hi, hi, hiLen);
  return reinterpret_cast<PyObject*>(c);
}

void ReleaseCursors(Index* ix) {
  while (ix->cursors != nullptr) ReleaseLocked(ix->cursors);
}

PyObject* Fetch(PyObject* self, Py_ssize_t limit, bool records) {
  Cursor* c = AsCursor(self);
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (Py_ssize_t taken = 0; limit < 0 || taken < limit;) {
    if (c->pos == c->n) {
      if (c->ended) break;
      if (c->busy) {
        WaitIdle(c);
        continue;
      }
      Py_ssize_t want = limit < 0 ? kFetchBatch : limit - taken;
      if (!Fill(c, static_cast<uint32_t>(want < kFetchBatch ? want : kFetchBatch), records)) {
        Py_DECREF(list);
        return nullptr;
      }
      continue;
    }
    if (c->index->ix == nullptr) {
      Py_DECREF(list);
      return RaiseStatus(c->index, kClosed);
    }
    if (records && !c->hasRecords) {
      if (c->busy) {
        WaitIdle(c);
        continue;
      }
      ReadBufferedRecords(c);
      continue;
    }
    const Slot& s = c->slots[c->pos];
    PyObject* item = nullptr;
    PyObject* rec = records ? RecordObject(c->index, c->recs + s.rec, s.size) : nullptr;
    PyObject* entry = (!records || rec != nullptr) ? TakeEntry(c) : nullptr;
    if (records && entry != nullptr) {
      item = PyTuple_Pack(2, entry, rec);
      Py_DECREF(entry);
    } else {
      item = entry;
    }
    Py_XDECREF(rec);
    if (item == nullptr || PyList_Append(list, item) != 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(item);
    ++taken;
  }
  if (c->pos == c->n && c->ended && c->status < 0) {
    // The entries before a failure are handed out first; the failure then.
    if (PyList_Size(list) > 0) return list;
    Py_DECREF(list);
    return Finish(c);
  }
  return list;
}

bool AddCursorType(PyObject* module) {
  return AddType(module, &kSpec, "Cursor", &g.cursor);
}

}  // namespace pyk
