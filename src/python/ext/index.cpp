// Index: an open library handle. Opening, closing, searches (which make
// Cursors), records, inserts and deletes, and the raw header, statistics,
// deleted records and check that the package's Index turns into its types.
#include "python/ext/pyk.h"

#include <structmember.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace pyk {

namespace {

Index* AsIndex(PyObject* o) {
  return reinterpret_cast<Index*>(o);
}

// ---- life -------------------------------------------------------------

// Opens the index as kelisi.open documents it.
int OpenHandle(Index* self, const char* isi, const char* data, unsigned flags, bool shared,
               bool write, std::string* headerData, bool* fromHeader) {
  int st;
  Py_BEGIN_ALLOW_THREADS
  if (data != nullptr) {
    st = kelisi_open(isi, data, flags, &self->ix);
  } else {
    // The data file the header names, when it is to be had; shared locking
    // and updates need it.
    st = kelisi_open(isi, nullptr, flags | KELISI_HEADER_DATA, &self->ix);
    if (st == KELISI_OK) {
      kelisi_header h;
      if (kelisi_get_header(self->ix, &h) == KELISI_OK) *headerData = h.data_name;
      *fromHeader = true;
    } else if (st == KELISI_E_DATA_OPEN && !shared && !write) {
      st = kelisi_open(isi, nullptr, flags, &self->ix);
    }
  }
  Py_END_ALLOW_THREADS
  return st;
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kNames[] = {"isi", "data", "shared", "cache_size", "write", nullptr};
  PyObject* isiArg = nullptr;
  PyObject* dataArg = Py_None;
  PyObject* cacheArg = Py_None;
  int shared = 0, write = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OpOp:open", const_cast<char**>(kNames), &isiArg,
                                   &dataArg, &shared, &cacheArg, &write)) {
    return nullptr;
  }
  PyObject* isiBytes = nullptr;
  PyObject* dataBytes = nullptr;
  if (!PyUnicode_FSConverter(isiArg, &isiBytes)) return nullptr;
  if (dataArg != Py_None && !PyUnicode_FSConverter(dataArg, &dataBytes)) {
    Py_DECREF(isiBytes);
    return nullptr;
  }
  auto* self = reinterpret_cast<Index*>(PyType_GenericAlloc(type, 0));
  if (self == nullptr) {
    Py_DECREF(isiBytes);
    Py_XDECREF(dataBytes);
    return nullptr;
  }
  PyObject* result = nullptr;
  std::string headerData;
  bool fromHeader = false;
  int st = KELISI_OK;
  unsigned flags = (shared ? KELISI_SHARED : 0) | (write ? KELISI_WRITE : 0);
  self->write = write != 0;
  self->dataPath = Py_None;
  Py_INCREF(Py_None);
  self->lock = PyThread_allocate_lock();
  self->path = PyUnicode_DecodeFSDefault(PyBytes_AsString(isiBytes));
  if (self->lock == nullptr || self->path == nullptr) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    goto done;
  }
  if (dataBytes != nullptr) {
    Py_DECREF(self->dataPath);
    self->dataPath = PyUnicode_DecodeFSDefault(PyBytes_AsString(dataBytes));
    if (self->dataPath == nullptr) goto done;
  }
  st = OpenHandle(self, PyBytes_AsString(isiBytes),
                  dataBytes != nullptr ? PyBytes_AsString(dataBytes) : nullptr, flags, shared,
                  write, &headerData, &fromHeader);
  if (fromHeader) {
    Py_DECREF(self->dataPath);
    self->dataPath = PyUnicode_DecodeLatin1(
        headerData.data(), static_cast<Py_ssize_t>(headerData.size()), nullptr);
    if (self->dataPath == nullptr) goto done;
  }
  if (st == KELISI_E_DATA_OPEN && self->dataPath == Py_None) {
    RaiseError(st, self->path,
               PyUnicode_FromFormat("%s named in %U", kelisi_strerror(st), self->path));
    goto done;
  }
  if (st == KELISI_OK && cacheArg != Py_None) {
    size_t bytes = PyLong_AsSize_t(cacheArg);
    if (bytes == static_cast<size_t>(-1) && PyErr_Occurred()) goto done;
    st = kelisi_set_cache_size(self->ix, bytes);
  }
  if (st == KELISI_OK) {
    kelisi_header h;
    st = kelisi_get_header(self->ix, &h);
    self->keyLength = h.key_length;
    self->upper = h.upper_case != 0;
    self->eorLength = h.eor_length;
    memcpy(self->eor, h.eor, sizeof self->eor);
  }
  if (st != KELISI_OK) {
    RaiseStatus(self, st);
    goto done;
  }
  result = reinterpret_cast<PyObject*>(self);
done:
  Py_DECREF(isiBytes);
  Py_XDECREF(dataBytes);
  if (result == nullptr) Py_DECREF(self);
  return result;
}

// Closes everything the index holds; lock held.
void CloseLocked(Index* ix) {
  if (ix->ix == nullptr) return;
  kelisi* handle = ix->ix;
  kelisi_txn* txn = ix->txn;
  ix->txn = nullptr;
  ix->change = nullptr;
  ReleaseCursors(ix);
  kelisi_cursor* spare = ix->spare;
  ix->spare = nullptr;
  ix->ix = nullptr;
  Py_BEGIN_ALLOW_THREADS
  kelisi_txn_abort(txn);
  kelisi_cursor_close(spare);
  kelisi_close(handle);
  Py_END_ALLOW_THREADS
  free(ix->buf);
  ix->buf = nullptr;
  ix->bufCap = 0;
}

PyObject* Close(PyObject* self, PyObject*) {
  Index* ix = AsIndex(self);
  if (ix->lock == nullptr) Py_RETURN_NONE;
  // Closed inside a block over several indexes: the change goes for all.
  size_t place = 0;
  Change* ch = LockInChange(ix, &place);
  if (ch != nullptr) DropChange(ch);
  CloseLocked(ix);
  UnlockInChange(ix, ch);
  Py_RETURN_NONE;
}

void Dealloc(PyObject* self) {
  Index* ix = AsIndex(self);
  if (ix->lock != nullptr) {
    Lock(ix);
    CloseLocked(ix);
    Unlock(ix);
    PyThread_free_lock(ix->lock);
  }
  Py_XDECREF(ix->path);
  Py_XDECREF(ix->dataPath);
  PyTypeObject* type = Py_TYPE(self);
  freefunc tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  tp_free(self);
  Py_DECREF(type);
}

PyObject* GetClosed(PyObject* self, void*) {
  return PyBool_FromLong(AsIndex(self)->ix == nullptr);
}

// ---- searches -----------------------------------------------------------

PyObject* Iter(PyObject* self) {
  Index* ix = Open(self);
  return ix != nullptr ? NewCursor(ix, Walk::kForward, nullptr, 0, nullptr, 0) : nullptr;
}

PyObject* Reversed(PyObject* self, PyObject*) {
  Index* ix = Open(self);
  return ix != nullptr ? NewCursor(ix, Walk::kBackward, nullptr, 0, nullptr, 0) : nullptr;
}

// A key to look up: padded with blanks to the key length unless it is a
// prefix.
bool LookupKey(Index* ix, PyObject* key, bool prefix, unsigned char* k, uint32_t* len) {
  if (!SearchKey(ix, key, k, len)) return false;
  if (!prefix) {
    memset(k + *len, ' ', ix->keyLength - *len);
    *len = ix->keyLength;
  }
  return true;
}

PyObject* Find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  PyObject* key;
  int prefix = 0;
  if (nargs == 1 && kwnames == nullptr) {  // the lookup's common form
    key = args[0];
  } else {
    static const char* const kNames[] = {"key", "prefix"};
    PyObject* v[2];
    if (!ParseArgs("find", args, nargs, kwnames, kNames, 2, 1, v)) return nullptr;
    key = v[0];
    if ((prefix = Flag(v[1])) < 0) return nullptr;
  }
  unsigned char k[kMaxKey];
  uint32_t len = 0;
  if (!LookupKey(ix, key, prefix != 0, k, &len)) return nullptr;
  if (len == 0) return NewCursor(ix, Walk::kForward, nullptr, 0, nullptr, 0);
  return NewCursor(ix, Walk::kMatch, k, len, nullptr, 0);
}

// The bounds of range() and entries(): None or empty leaves a side open.
PyObject* RangeCursor(Index* ix, PyObject* lo, PyObject* hi) {
  unsigned char low[kMaxKey], high[kMaxKey];
  uint32_t lowLen = 0, highLen = 0;
  if (lo != nullptr && lo != Py_None && !SearchKey(ix, lo, low, &lowLen)) return nullptr;
  if (hi != nullptr && hi != Py_None && !SearchKey(ix, hi, high, &highLen)) return nullptr;
  return NewCursor(ix, Walk::kRange, low, lowLen, high, highLen);
}

PyObject* Range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  static const char* const kNames[] = {"lo", "hi"};
  PyObject* v[2];
  if (!ParseArgs("range", args, nargs, kwnames, kNames, 2, 0, v)) return nullptr;
  return RangeCursor(ix, v[0], v[1]);
}

PyObject* Entries(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  static const char* const kNames[] = {"start", "stop", "records"};
  PyObject* v[3];
  if (!ParseArgs("entries", args, nargs, kwnames, kNames, 3, 0, v)) return nullptr;
  int records = Flag(v[2]);
  if (records < 0) return nullptr;
  PyObject* cursor = RangeCursor(ix, v[0], v[1]);
  if (cursor == nullptr) return nullptr;
  PyObject* list = Fetch(cursor, -1, records != 0);
  Py_DECREF(cursor);
  return list;
}

// ---- records ------------------------------------------------------------

bool EntryField(PyObject* entry, Py_ssize_t index, const char* name, unsigned long long* out) {
  PyObject* v = nullptr;
  if (Py_TYPE(entry) == g.entry) {
    v = PyTuple_GetItem(entry, index);
    Py_XINCREF(v);
  } else {
    v = PyObject_GetAttrString(entry, name);
  }
  if (v == nullptr) return false;
  *out = PyLong_AsUnsignedLongLong(v);
  Py_DECREF(v);
  return !(*out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

// Lock held: room for `n` bytes in the index's record buffer.
bool BufferRoom(Index* ix, size_t n) {
  if (n <= ix->bufCap) return true;
  auto* grown = static_cast<unsigned char*>(realloc(ix->buf, n));
  if (grown == nullptr) return false;
  ix->buf = grown;
  ix->bufCap = n;
  return true;
}

PyObject* Record(PyObject* self, PyObject* entry) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  unsigned long long offset = 0, size = 0;
  if (!EntryField(entry, 1, "offset", &offset) || !EntryField(entry, 2, "size", &size)) {
    return nullptr;
  }
  if (size > UINT32_MAX) return PyErr_Format(PyExc_ValueError, "a record size of %llu", size);
  kelisi_entry e{};
  e.record_offset = offset;
  e.record_size = static_cast<uint32_t>(size);
  PyObject* result = nullptr;
  Lock(ix);
  if (ix->ix == nullptr) {
    RaiseStatus(ix, kClosed);
  } else if (!BufferRoom(ix, size > 0 ? size : 1)) {
    PyErr_NoMemory();
  } else {
    size_t got = 0;
    int st;
    Py_BEGIN_ALLOW_THREADS
    st = kelisi_read_record(ix->ix, &e, ix->buf, ix->bufCap, &got);
    Py_END_ALLOW_THREADS
    result = st == KELISI_OK ? RecordObject(ix, ix->buf, got) : nullptr;
    if (st != KELISI_OK) {
      Unlock(ix);
      return RaiseStatus(ix, st);
    }
  }
  Unlock(ix);
  return result;
}

// ---- changes ------------------------------------------------------------

// A delete by key through an index that is not the first of its change.
constexpr int kNotFirst = -1001;

// bytes, bytearray, memoryview and str are one record or key; anything else
// is an iterable of them. Each becomes bytes (new references in *out).
bool Items(PyObject* arg, PyObject* (*convert)(PyObject*), std::vector<PyObject*>* out) {
  if (PyBytes_Check(arg) || PyUnicode_Check(arg) || PyByteArray_Check(arg) ||
      PyMemoryView_Check(arg)) {
    PyObject* b = convert(arg);
    if (b == nullptr) return false;
    out->push_back(b);
    return true;
  }
  PyObject* it = PyObject_GetIter(arg);
  if (it == nullptr) return false;
  PyObject* item;
  while ((item = PyIter_Next(it)) != nullptr) {
    PyObject* b = convert(item);
    Py_DECREF(item);
    if (b == nullptr) break;
    out->push_back(b);
  }
  Py_DECREF(it);
  return !PyErr_Occurred();
}

void Drop(std::vector<PyObject*>* items) {
  for (PyObject* o : *items) Py_DECREF(o);
  items->clear();
}

PyObject* Insert(PyObject* self, PyObject* records) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  std::vector<PyObject*> rows;
  if (!Items(records, RecordBytes, &rows)) {
    Drop(&rows);
    return nullptr;
  }
  std::vector<std::pair<const char*, size_t>> raw;
  raw.reserve(rows.size());
  for (PyObject* r : rows) {
    char* p = nullptr;
    Py_ssize_t n = 0;
    PyBytes_AsStringAndSize(r, &p, &n);
    raw.emplace_back(p, static_cast<size_t>(n));
  }
  int st = InChange(ix, [&raw](kelisi_txn* t, size_t place) {
    int entered = 0;
    for (const auto& [p, n] : raw) {
      int s = kelisi_txn_insert(t, p, n, nullptr);
      if (s < 0) return s;
      // Counted in this index, which may not be the change's first.
      if (place != 0) {
        kelisi_entry e;
        s = kelisi_txn_entry(t, place, &e);
        if (s < 0) return s;
      }
      entered += s == KELISI_OK;
    }
    return entered;
  });
  Drop(&rows);
  return st < 0 ? RaiseStatus(ix, st) : PyLong_FromLong(st);
}

// Lock held, GIL released: deletes the records of `key` (its first `len`
// bytes; with KELISI_PREFIX in `flags`, a prefix), or with `at` >= 0 only
// the one at that offset; the count of records deleted.
int DeleteKey(kelisi* handle, kelisi_txn* t, const unsigned char* key, uint32_t len,
              unsigned flags, int64_t at) {
  if (at < 0) {
    uint64_t deleted = 0;
    int st = kelisi_txn_delete_key(t, key, len, flags, &deleted);
    return st < 0 ? st : static_cast<int>(deleted);
  }
  // The record at `at`, when an entry of the key names it (as the index
  // was before the change: the handle's cursors read it so).
  kelisi_cursor* c = nullptr;
  int st = kelisi_cursor_open(handle, &c);
  if (st != KELISI_OK) return st;
  kelisi_entry e;
  bool named = false;
  for (st = kelisi_find(c, key, len, &e); st == KELISI_OK && !named; st = kelisi_next_dup(c, &e)) {
    named = e.record_offset == static_cast<uint64_t>(at);
  }
  kelisi_cursor_close(c);
  if (st < 0) return st;
  if (!named) return 0;
  st = kelisi_txn_delete_at(t, static_cast<uint64_t>(at));
  return st < 0 ? st : st == KELISI_OK;
}

PyObject* Delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  static const char* const kNames[] = {"key", "at", "prefix"};
  PyObject* v[3];
  if (!ParseArgs("delete", args, nargs, kwnames, kNames, 3, 1, v)) return nullptr;
  int prefix = Flag(v[2]);
  if (prefix < 0) return nullptr;
  int64_t at = -1;
  if (v[1] != nullptr && v[1] != Py_None) {
    at = PyLong_AsLongLong(v[1]);
    if (at == -1 && PyErr_Occurred()) return nullptr;
    if (at < 0) return PyErr_Format(PyExc_ValueError, "a record offset of %lld", (long long)at);
  }
  std::vector<PyObject*> keyObjects;
  if (!Items(v[0], KeyBytes, &keyObjects)) {
    Drop(&keyObjects);
    return nullptr;
  }
  std::vector<std::string> keys;
  for (PyObject* key : keyObjects) {
    unsigned char k[kMaxKey];
    uint32_t len = 0;
    if (!LookupKey(ix, key, prefix != 0, k, &len)) break;
    if (len == 0) {
      PyErr_SetString(PyExc_ValueError, "an empty key prefix would delete every record");
      break;
    }
    keys.emplace_back(reinterpret_cast<const char*>(k), len);
  }
  Drop(&keyObjects);
  if (PyErr_Occurred()) return nullptr;
  kelisi* handle = ix->ix;
  unsigned flags = prefix ? KELISI_PREFIX : 0;
  int st = InChange(ix, [&keys, at, handle, flags](kelisi_txn* t, size_t place) {
    // The change deletes by the keys of its first index; the others find
    // records by offset.
    if (place != 0 && at < 0) return kNotFirst;
    int deleted = 0;
    for (const std::string& k : keys) {
      int n = DeleteKey(handle, t, reinterpret_cast<const unsigned char*>(k.data()),
                        static_cast<uint32_t>(k.size()), flags, at);
      if (n < 0) return n;
      deleted += n;
    }
    return deleted;
  });
  if (st == kNotFirst) {
    return RaiseError(KELISI_E_ARG, ix->path,
                      PyUnicode_FromFormat("a change over several indexes deletes by the keys "
                                           "of its first index, or by offset (at=): %U",
                                           ix->path));
  }
  return st < 0 ? RaiseStatus(ix, st) : PyLong_FromLong(st);
}

// change(*others): a block over this index, or over it and the others.
PyObject* ChangeMethod(PyObject* self, PyObject* others) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(others);
  if (n == 0) return NewChange(ix);
  PyObject* all = PyTuple_New(n + 1);
  if (all == nullptr) return nullptr;
  Py_INCREF(self);
  PyTuple_SET_ITEM(all, 0, self);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* o = PyTuple_GET_ITEM(others, i);
    if (!PyObject_TypeCheck(o, g.index)) {
      Py_DECREF(all);
      return PyErr_Format(PyExc_TypeError, "change() takes indexes, not %s", Py_TYPE(o)->tp_name);
    }
    for (Py_ssize_t j = 0; j <= i; ++j) {
      if (PyTuple_GET_ITEM(all, j) == o) {
        Py_DECREF(all);
        return PyErr_Format(PyExc_ValueError, "an index is named twice in one change: %R",
                            reinterpret_cast<Index*>(o)->path);
      }
    }
    Py_INCREF(o);
    PyTuple_SET_ITEM(all, i + 1, o);
  }
  PyObject* ch = NewChangeOver(all);
  Py_DECREF(all);
  return ch;
}

// ---- the header, statistics, deleted records, the check -----------------

PyObject* RawHeader(PyObject* self, PyObject*) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  kelisi_header h;
  Lock(ix);
  int st = ix->ix != nullptr ? kelisi_get_header(ix->ix, &h) : kClosed;
  Unlock(ix);
  if (st != KELISI_OK) return RaiseStatus(ix, st);
  PyObject* specs = PyList_New(0);
  PyObject* tests = PyList_New(0);
  if (specs == nullptr || tests == nullptr) {
    Py_XDECREF(specs);
    Py_XDECREF(tests);
    return nullptr;
  }
  bool ok = true;
  for (uint32_t i = 0; ok && i < h.key_spec_count && i < 32; ++i) {
    PyObject* s = Py_BuildValue("(II)", h.key_specs[i].first_column, h.key_specs[i].last_column);
    ok = s != nullptr && PyList_Append(specs, s) == 0;
    Py_XDECREF(s);
  }
  for (uint32_t i = 0; ok && i < h.test_count && i < 10; ++i) {
    PyObject* t = Py_BuildValue("(Iy#y#)", h.tests[i].column, &h.tests[i].op, Py_ssize_t{1},
                                reinterpret_cast<const char*>(&h.tests[i].ch), Py_ssize_t{1});
    ok = t != nullptr && PyList_Append(tests, t) == 0;
    Py_XDECREF(t);
  }
  if (!ok) {
    Py_DECREF(specs);
    Py_DECREF(tests);
    return nullptr;
  }
  return Py_BuildValue(
      "{sI sy# sI sI si si si si si si si si si sI sI sN sN si sI sI sI sI sI sI sK sy sy}",
      "record_length", h.record_length, "eor", reinterpret_cast<const char*>(h.eor),
      static_cast<Py_ssize_t>(h.eor_length > 2 ? 2 : h.eor_length), "key_length", h.key_length,
      "entry_size", h.entry_size, "record_numbers", h.record_numbers, "other_byte_order",
      h.other_byte_order, "upper_case", h.upper_case, "no_duplicates", h.no_duplicates,
      "variable_length", h.variable_length, "space_compression", h.space_compression,
      "append_at_end", h.append_at_end, "binary", h.binary, "os_type", h.os_type, "format_flags",
      static_cast<unsigned>(h.format_flags), "mode_flags", static_cast<unsigned>(h.mode_flags),
      "key_specs", specs, "tests", tests, "extended_selection", h.extended_selection,
      "data_length", h.data_length, "record_count", h.record_count, "deleted_count",
      h.deleted_count, "spin", h.spin, "root_position", h.root_position, "ddr_head", h.ddr_head,
      "file_size", static_cast<unsigned long long>(h.file_size), "data_name", h.data_name,
      "command_line", h.command_line);
}

PyObject* RawStats(PyObject* self, PyObject*) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  kelisi_stats s;
  int st;
  Lock(ix);
  Py_BEGIN_ALLOW_THREADS
  st = ix->ix != nullptr ? kelisi_get_stats(ix->ix, &s) : kClosed;
  Py_END_ALLOW_THREADS
  Unlock(ix);
  if (st != KELISI_OK) return RaiseStatus(ix, st);
  return Py_BuildValue("(IKKKIdKK)", s.depth, static_cast<unsigned long long>(s.key_sectors),
                       static_cast<unsigned long long>(s.leaf_sectors),
                       static_cast<unsigned long long>(s.entries), s.per_sector, s.fill,
                       static_cast<unsigned long long>(s.ddr_sectors),
                       static_cast<unsigned long long>(s.ddr_entries));
}

PyObject* Deleted(PyObject* self, PyObject*) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  std::vector<uint64_t> out;
  int st;
  Lock(ix);
  Py_BEGIN_ALLOW_THREADS
  size_t count = 0;
  st = ix->ix != nullptr ? kelisi_deleted(ix->ix, nullptr, 0, &count) : kClosed;
  while (st == KELISI_OK || st == KELISI_E_BUFFER) {
    out.resize(count > 0 ? count : 1);
    st = kelisi_deleted(ix->ix, out.data(), out.size(), &count);
    if (st == KELISI_OK) out.resize(count);
    if (st != KELISI_E_BUFFER) break;
  }
  Py_END_ALLOW_THREADS
  Unlock(ix);
  if (st != KELISI_OK) return RaiseStatus(ix, st);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(out.size()));
  for (size_t i = 0; list != nullptr && i < out.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(out[i]);
    if (v == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), v) != 0) {
      Py_CLEAR(list);
    }
  }
  return list;
}

struct Found {
  int kind;
  uint32_t sector, index;
  std::string message;
};

int Collect(void* ctx, const kelisi_problem* p) {
  if (KELISI_IS_NOTE(p->kind)) return 0;  // a shape every reader handles, not a problem
  auto* found = static_cast<std::vector<Found>*>(ctx);
  found->push_back({p->kind, p->sector, p->index, p->message != nullptr ? p->message : ""});
  return 0;
}

PyObject* RawCheck(PyObject* self, PyObject* arg) {
  Index* ix = Open(self);
  if (ix == nullptr) return nullptr;
  unsigned long flags = PyLong_AsUnsignedLong(arg);
  if (flags == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  std::vector<Found> found;
  int st;
  Lock(ix);
  Py_BEGIN_ALLOW_THREADS
  st = ix->ix != nullptr ? kelisi_check(ix->ix, static_cast<unsigned>(flags), Collect, &found)
                         : kClosed;
  Py_END_ALLOW_THREADS
  Unlock(ix);
  if (st < 0) return RaiseStatus(ix, st);
  PyObject* list = PyList_New(0);
  for (const Found& f : found) {
    if (list == nullptr) break;
    PyObject* sector = f.sector == KELISI_NO_SECTOR ? Py_None : PyLong_FromUnsignedLong(f.sector);
    if (sector == Py_None) Py_INCREF(Py_None);
    PyObject* index = f.index == 0 ? Py_None : PyLong_FromUnsignedLong(f.index);
    if (index == Py_None) Py_INCREF(Py_None);
    PyObject* t = Py_BuildValue("(iNNN)", f.kind, sector, index,
                                PyUnicode_DecodeLatin1(f.message.data(),
                                                       static_cast<Py_ssize_t>(f.message.size()),
                                                       nullptr));
    if (t == nullptr || PyList_Append(list, t) != 0) Py_CLEAR(list);
    Py_XDECREF(t);
  }
  return list;
}

// ---- the type -----------------------------------------------------------

PyMethodDef kMethods[] = {
    {"close", Close, METH_NOARGS,
     "close($self)\n--\n\nCloses the index and every cursor still open on it (a change still\n"
     "open is abandoned). Closing a closed index does nothing."},
    {"__enter__", EnterSelf, METH_NOARGS, nullptr},
    {"__exit__", ExitClosing<Close>, METH_VARARGS, nullptr},
    {"__reversed__", Reversed, METH_NOARGS, "Every entry in key order, from the last."},
    {"find", Fast(Find), METH_FASTCALL | METH_KEYWORDS,
     "find($self, key, prefix=False)\n--\n\n"
     "The entries whose key is key blank-padded to the key length (with\n"
     "prefix: whose key begins with key), in key order, as a Cursor. A str\n"
     "key is encoded as Latin-1; on an index built with upper-case keys the\n"
     "key is folded to upper case too."},
    {"range", Fast(Range), METH_FASTCALL | METH_KEYWORDS,
     "range($self, lo=None, hi=None)\n--\n\n"
     "The entries from lo to hi, each bound compared over its own length:\n"
     "range(b\"A\", b\"B\") gives every key that begins with A or B. A bound\n"
     "left out (None or empty) leaves that side open."},
    {"entries", Fast(Entries), METH_FASTCALL | METH_KEYWORDS,
     "entries($self, start=None, stop=None, records=False)\n--\n\n"
     "The entries from start to stop (bounds as range() takes them) as one\n"
     "list, read in batches without a Python call per entry; with records,\n"
     "each as a pair (entry, record). Cursor.fetch(n) takes them n at a time."},
    {"record", Record, METH_O,
     "record($self, entry)\n--\n\n"
     "The record an entry points to, without its end-of-record bytes. Needs\n"
     "the data file: Error (status KELISI_E_NO_DATA) without one."},
    {"insert", Insert, METH_O,
     "insert($self, records)\n--\n\n"
     "Writes records (bytes, or str as Latin-1; one record or an iterable of\n"
     "them, each without its end-of-record bytes) to the data file and enters\n"
     "their keys, as one change unless a change() block is open (in a block\n"
     "over several indexes, each record gets an entry in every one that\n"
     "selects it). Returns how many records got an entry in this index (its\n"
     "record selection, simple tests\n"
     "or an extended expression, and n0/n$ for a key the index keeps already,\n"
     "can leave a record without one). A record\n"
     "too long, or a duplicate key under option n, raises Error and the change\n"
     "makes no difference."},
    {"delete", Fast(Delete), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, key, at=None, prefix=False)\n--\n\n"
     "Deletes every record whose key is key (blank-padded as find pads it;\n"
     "with prefix, every record whose key begins with key), or with at only\n"
     "the record at that byte offset when its key is key: its bytes become\n"
     "0x00 and its entry leaves the index. key may be a list (any iterable)\n"
     "of keys. Inside a change() block it deletes records the block inserted\n"
     "too. One change unless a change() block is open; returns how many\n"
     "records were deleted (0 when none matched). In a block over several\n"
     "indexes a record deleted leaves every one of them; keys are the first\n"
     "index's, and another index of the block deletes by offset (at=),\n"
     "else Error (status KELISI_E_ARG)."},
    {"change", ChangeMethod, METH_VARARGS,
     "change($self, *others)\n--\n\n"
     "A block whose inserts and deletes are one change: committed, atomic\n"
     "and durable, when the block ends normally, abandoned (no file touched)\n"
     "when it raises. The index's exclusive lock is held for the whole block.\n"
     "Searches inside the block see the index as it was before the change\n"
     "began. With others, indexes of the same data file opened for writing,\n"
     "the block is one change over all of them, this index first, as\n"
     "kelisi.change(self, *others) makes it: every index of the file stays\n"
     "current.\n\n"
     "    >>> ix = kelisi.open(\"customers.isi\", write=True)\n"
     "    >>> with ix.change():\n"
     "    ...     ix.insert([b\"C0052446 Smith\", b\"C0052447 Jones\"])\n"
     "    ...     ix.delete([\"C0052445\", \"C0061750\"], prefix=True)\n"
     "    ...     len(ix.entries())    # as before the change\n"
     "    2\n"
     "    2\n"
     "    60\n"
     "    >>> len(ix.entries())\n"
     "    60\n"
     "    >>> ix.close()\n"},
    {"deleted", Deleted, METH_NOARGS,
     "deleted($self)\n--\n\nThe byte offsets of the deleted records the index lists, newest\n"
     "deleted-record sector first."},
    {"_header", RawHeader, METH_NOARGS, nullptr},
    {"_stats", RawStats, METH_NOARGS, nullptr},
    {"_check", RawCheck, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef kMembers[] = {
    {"path", T_OBJECT, offsetof(Index, path), READONLY, "The index file, as given."},
    {"data_path", T_OBJECT, offsetof(Index, dataPath), READONLY,
     "The data file: as given, or the name the header keeps; None without one."},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"closed", GetClosed, nullptr, "True once close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(Iter)},
    {Py_tp_methods, kMethods},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetSet},
    {0, nullptr}};

PyType_Spec kSpec = {"kelisi._kelisi.Index", sizeof(Index), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

}  // namespace

bool AddIndexType(PyObject* module) {
  return AddType(module, &kSpec, "Index", &g.index);
}

}  // namespace pyk
