// Change: the block `with ix.change():`, one library change per index it
// covers, begun when the block is entered and committed when it ends (or
// abandoned when it raises). Inserts and deletes on an index run in the
// change its block holds. It holds its indexes as a tuple, so that one
// block over several indexes is the same object.
#include "python/ext/pyk.h"

namespace pyk {

struct Change {
  PyObject_HEAD
  PyObject* indexes;  // tuple of Index
};

namespace {

Change* AsChange(PyObject* o) {
  return reinterpret_cast<Change*>(o);
}

Index* IndexAt(Change* ch, Py_ssize_t i) {
  return reinterpret_cast<Index*>(PyTuple_GetItem(ch->indexes, i));
}

// Ends the change this block holds on `ix`: commits it, or abandons it.
int EndOn(Change* ch, Index* ix, bool commit) {
  Lock(ix);
  int st = KELISI_OK;
  if (ix->change != ch || ix->txn == nullptr) {
    st = kClosed;  // the index was closed inside the block, which abandoned the change
  } else {
    kelisi_txn* t = ix->txn;
    ix->txn = nullptr;
    ix->change = nullptr;
    Py_BEGIN_ALLOW_THREADS
    st = commit ? kelisi_txn_commit(t) : kelisi_txn_abort(t);
    Py_END_ALLOW_THREADS
  }
  Unlock(ix);
  return st;
}

PyObject* Enter(PyObject* self, PyObject*) {
  Change* ch = AsChange(self);
  Py_ssize_t n = PyTuple_Size(ch->indexes);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Index* ix = IndexAt(ch, i);
    int st = KELISI_OK;
    bool busy = false;
    Lock(ix);
    if (ix->ix == nullptr) {
      st = kClosed;
    } else if (ix->txn != nullptr) {
      busy = true;
    } else {
      kelisi_txn* t = nullptr;
      Py_BEGIN_ALLOW_THREADS
      st = kelisi_txn_begin(ix->ix, &t);
      Py_END_ALLOW_THREADS
      if (st == KELISI_OK) {
        ix->txn = t;
        ix->change = ch;
      }
    }
    Unlock(ix);
    if (busy || st != KELISI_OK) {
      for (Py_ssize_t j = 0; j < i; ++j) EndOn(ch, IndexAt(ch, j), false);
      if (!busy) return RaiseStatus(ix, st);
      return RaiseError(KELISI_E_BUSY, ix->path,
                        PyUnicode_FromFormat("a change is open already: %U", ix->path));
    }
  }
  PyObject* target = n == 1 ? PyTuple_GetItem(ch->indexes, 0) : self;
  Py_INCREF(target);
  return target;
}

PyObject* Exit(PyObject* self, PyObject* args) {
  Change* ch = AsChange(self);
  PyObject* type = PyTuple_GetItem(args, 0);
  if (type == nullptr) return nullptr;
  bool commit = type == Py_None;
  int failed = KELISI_OK;
  Index* failedOn = nullptr;
  Py_ssize_t n = PyTuple_Size(ch->indexes);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Index* ix = IndexAt(ch, i);
    int st = EndOn(ch, ix, commit && failed == KELISI_OK);
    if (st < 0 && failed == KELISI_OK && commit) {
      failed = st;
      failedOn = ix;
    }
  }
  if (failed != KELISI_OK) return RaiseStatus(failedOn, failed);
  Py_RETURN_FALSE;
}

void Dealloc(PyObject* self) {
  Change* ch = AsChange(self);
  // A block never left (its frame dropped mid-way) abandons its changes.
  Py_ssize_t n = ch->indexes != nullptr ? PyTuple_Size(ch->indexes) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Index* ix = IndexAt(ch, i);
    if (ix->change == ch) EndOn(ch, ix, false);
  }
  Py_XDECREF(ch->indexes);
  PyTypeObject* type = Py_TYPE(self);
  freefunc tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {{"__enter__", Enter, METH_NOARGS, nullptr},
                          {"__exit__", Exit, METH_VARARGS, nullptr},
                          {nullptr, nullptr, 0, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("A change of an index, as a with block: see Index.change().")},
    {0, nullptr}};

PyType_Spec kSpec = {"kelisi.Change", sizeof(Change), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

}  // namespace

PyObject* NewChange(Index* ix) {
  auto* ch = reinterpret_cast<Change*>(PyType_GenericAlloc(g.change, 0));
  if (ch == nullptr) return nullptr;
  ch->indexes = PyTuple_Pack(1, reinterpret_cast<PyObject*>(ix));
  if (ch->indexes == nullptr) {
    Py_DECREF(ch);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(ch);
}

bool AddChangeType(PyObject* module) {
  return AddType(module, &kSpec, "Change", &g.change);
}

}  // namespace pyk
