// Change: the block `with ix.change():`, or `with kelisi.change(ix1, ix2):`
// over several indexes of one data file, one library change over the
// indexes it covers (kelisi_txn_begin_set), begun when the block is entered
// and committed when it ends (or abandoned when it raises). Inserts and
// deletes on any of its indexes run in it, and reach every one of them.
// Every call on the change takes the locks of all its indexes, in the
// block's order: the library's change over several handles is used from
// one thread at a time, and so is each handle. An index is in one open
// block at most, so two blocks never wait for each other's locks.
#include "python/ext/pyk.h"

#include <vector>

namespace pyk {

namespace {

Change* AsChange(PyObject* o) {
  return reinterpret_cast<Change*>(o);
}

Py_ssize_t Size(Change* ch) {
  return PyTuple_GET_SIZE(ch->indexes);
}

Index* IndexAt(Change* ch, Py_ssize_t i) {
  return reinterpret_cast<Index*>(PyTuple_GET_ITEM(ch->indexes, i));
}

void LockAll(Change* ch) {
  for (Py_ssize_t i = 0; i < Size(ch); ++i) Lock(IndexAt(ch, i));
}

void UnlockAll(Change* ch) {
  for (Py_ssize_t i = Size(ch); i-- > 0;) Unlock(IndexAt(ch, i));
}

// Ends the change this block holds: commits it, or abandons it. The locks
// of all its indexes held.
int EndLocked(Change* ch, bool commit) {
  Index* first = IndexAt(ch, 0);
  if (first->change != ch || first->txn == nullptr) {
    return kClosed;  // an index was closed inside the block, which abandoned the change
  }
  kelisi_txn* t = first->txn;
  for (Py_ssize_t i = 0; i < Size(ch); ++i) {
    IndexAt(ch, i)->txn = nullptr;
    IndexAt(ch, i)->change = nullptr;
  }
  int st;
  Py_BEGIN_ALLOW_THREADS
  st = commit ? kelisi_txn_commit(t) : kelisi_txn_abort(t);
  Py_END_ALLOW_THREADS
  return st;
}

PyObject* Enter(PyObject* self, PyObject*) {
  Change* ch = AsChange(self);
  Py_ssize_t n = Size(ch);
  int st = KELISI_OK;
  bool busy = false;
  Index* at = IndexAt(ch, 0);  // the index a failure concerns
  LockAll(ch);
  std::vector<kelisi*> handles;
  for (Py_ssize_t i = 0; i < n && st == KELISI_OK && !busy; ++i) {
    Index* ix = IndexAt(ch, i);
    at = ix;
    if (ix->ix == nullptr) {
      st = kClosed;
    } else if (ix->txn != nullptr) {
      busy = true;
    }
    handles.push_back(ix->ix);
  }
  if (st == KELISI_OK && !busy) {
    at = IndexAt(ch, 0);
    kelisi_txn* t = nullptr;
    Py_BEGIN_ALLOW_THREADS
    st = kelisi_txn_begin_set(handles.data(), handles.size(), &t);
    Py_END_ALLOW_THREADS
    for (Py_ssize_t i = 0; st == KELISI_OK && i < n; ++i) {
      IndexAt(ch, i)->txn = t;
      IndexAt(ch, i)->change = ch;
    }
  }
  UnlockAll(ch);
  if (busy) {
    return RaiseError(KELISI_E_BUSY, at->path,
                      PyUnicode_FromFormat("a change is open already: %U", at->path));
  }
  if (st == KELISI_E_DATA_OTHER && n > 1) {
    return RaiseError(st, at->path,
                      PyUnicode_FromString("the indexes of one change must be indexes of one "
                                           "data file (the same file)"));
  }
  if (st != KELISI_OK) return RaiseStatus(at, st);
  PyObject* target = n == 1 ? PyTuple_GET_ITEM(ch->indexes, 0) : self;
  Py_INCREF(target);
  return target;
}

PyObject* Exit(PyObject* self, PyObject* args) {
  Change* ch = AsChange(self);
  PyObject* type = PyTuple_GetItem(args, 0);
  if (type == nullptr) return nullptr;
  bool commit = type == Py_None;
  LockAll(ch);
  int st = EndLocked(ch, commit);
  UnlockAll(ch);
  if (st < 0 && commit) return RaiseStatus(IndexAt(ch, 0), st);
  Py_RETURN_FALSE;
}

// The change's own insert and delete: those of its first index.
PyObject* ForwardTo(PyObject* self, const char* name, PyObject* args, PyObject* kwargs) {
  PyObject* method = PyObject_GetAttrString(PyTuple_GET_ITEM(AsChange(self)->indexes, 0), name);
  if (method == nullptr) return nullptr;
  PyObject* r = PyObject_Call(method, args, kwargs);
  Py_DECREF(method);
  return r;
}

PyObject* InsertVia(PyObject* self, PyObject* args, PyObject* kwargs) {
  return ForwardTo(self, "insert", args, kwargs);
}

PyObject* DeleteVia(PyObject* self, PyObject* args, PyObject* kwargs) {
  return ForwardTo(self, "delete", args, kwargs);
}

PyObject* GetIndexes(PyObject* self, void*) {
  PyObject* t = AsChange(self)->indexes;
  Py_INCREF(t);
  return t;
}

void Dealloc(PyObject* self) {
  Change* ch = AsChange(self);
  // A block never left (its frame dropped mid-way) abandons its change.
  if (ch->indexes != nullptr && Size(ch) > 0 && IndexAt(ch, 0)->change == ch) {
    LockAll(ch);
    EndLocked(ch, false);
    UnlockAll(ch);
  }
  Py_XDECREF(ch->indexes);
  PyTypeObject* type = Py_TYPE(self);
  freefunc tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"__enter__", Enter, METH_NOARGS, nullptr},
    {"__exit__", Exit, METH_VARARGS, nullptr},
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(InsertVia)),
     METH_VARARGS | METH_KEYWORDS,
     "insert($self, records)\n--\n\n"
     "Index.insert of the first index: each record is written once and gets\n"
     "an entry in every index of the change that selects it. Returns how many\n"
     "records got an entry in the first index."},
    {"delete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(DeleteVia)),
     METH_VARARGS | METH_KEYWORDS,
     "delete($self, key, at=None, prefix=False)\n--\n\n"
     "Index.delete of the first index: by its keys, each record deleted\n"
     "leaves every index of the change with its entry."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"indexes", GetIndexes, nullptr, "The indexes of the change, its first one first.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("A change of one or several indexes of a data file, as a with "
                                  "block: see kelisi.change() and Index.change().")},
    {0, nullptr}};

PyType_Spec kSpec = {"kelisi.Change", sizeof(Change), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

}  // namespace

PyObject* NewChangeOver(PyObject* indexes) {
  auto* ch = reinterpret_cast<Change*>(PyType_GenericAlloc(g.change, 0));
  if (ch == nullptr) return nullptr;
  Py_INCREF(indexes);
  ch->indexes = indexes;
  return reinterpret_cast<PyObject*>(ch);
}

PyObject* NewChange(Index* ix) {
  PyObject* one = PyTuple_Pack(1, reinterpret_cast<PyObject*>(ix));
  if (one == nullptr) return nullptr;
  PyObject* ch = NewChangeOver(one);
  Py_DECREF(one);
  return ch;
}

Change* LockInChange(Index* ix, size_t* place) {
  *place = 0;
  for (;;) {
    Lock(ix);
    Change* ch = ix->change;
    if (ch == nullptr || Size(ch) == 1) return nullptr;
    Py_INCREF(ch);
    Unlock(ix);
    LockAll(ch);
    if (ix->change == ch) {
      for (Py_ssize_t i = 0; i < Size(ch); ++i) {
        if (IndexAt(ch, i) == ix) *place = static_cast<size_t>(i);
      }
      return ch;
    }
    // The block ended while its locks were waited for.
    UnlockAll(ch);
    Py_DECREF(ch);
  }
}

void UnlockInChange(Index* ix, Change* ch) {
  if (ch == nullptr) {
    Unlock(ix);
    return;
  }
  UnlockAll(ch);
  Py_DECREF(ch);
}

void DropChange(Change* ch) {
  Index* first = IndexAt(ch, 0);
  kelisi_txn* t = first->txn;
  for (Py_ssize_t i = 0; i < Size(ch); ++i) {
    IndexAt(ch, i)->txn = nullptr;
    IndexAt(ch, i)->change = nullptr;
  }
  Py_BEGIN_ALLOW_THREADS
  kelisi_txn_abort(t);
  Py_END_ALLOW_THREADS
}

bool AddChangeType(PyObject* module) {
  return AddType(module, &kSpec, "Change", &g.change);
}

}  // namespace pyk
