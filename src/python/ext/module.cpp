// The module's entry point and what its types share: the lock, kelisi.Error
// with the library's text, key and record arguments, and making entries.
#include <cstring>

#include "kel_version.h"
#include "python/ext/pyk.h"

namespace pyk {

Types g;

void Lock(Index* ix) {
  if (PyThread_acquire_lock(ix->lock, NOWAIT_LOCK)) return;
  Py_BEGIN_ALLOW_THREADS
  PyThread_acquire_lock(ix->lock, WAIT_LOCK);
  Py_END_ALLOW_THREADS
}

PyObject* RaiseError(int status, PyObject* filename, PyObject* message) {
  if (message == nullptr) return nullptr;
  PyObject* exc = PyObject_CallFunction(g.error, "iOO", status, filename ? filename : Py_None,
                                        message);
  Py_DECREF(message);
  if (exc != nullptr) {
    PyErr_SetObject(g.error, exc);
    Py_DECREF(exc);
  }
  return nullptr;
}

PyObject* RaiseStatus(Index* ix, int status) {
  if (status == kClosed) {
    return RaiseError(KELISI_E_ARG, ix->path,
                      PyUnicode_FromFormat("the index is closed: %U", ix->path));
  }
  if (status == KELISI_E_NOMEM) return PyErr_NoMemory();
  bool data = status == KELISI_E_DATA_OPEN || status == KELISI_E_DATA_READ;
  PyObject* file = data ? ix->dataPath : ix->path;
  PyObject* exc = PyObject_CallFunction(g.error, "iO", status, file);
  if (exc != nullptr) {
    PyErr_SetObject(g.error, exc);
    Py_DECREF(exc);
  }
  return nullptr;
}

Index* Open(PyObject* self) {
  Index* ix = reinterpret_cast<Index*>(self);
  if (ix->ix == nullptr) {
    RaiseStatus(ix, kClosed);
    return nullptr;
  }
  return ix;
}

namespace {

// bytes, str as Latin-1, or another buffer, as a new bytes object.
PyObject* AsBytes(PyObject* v, const char* what) {
  if (PyBytes_CheckExact(v)) {
    Py_INCREF(v);
    return v;
  }
  if (PyUnicode_Check(v)) return PyUnicode_AsLatin1String(v);
  if (PyObject_CheckBuffer(v) && !PyLong_Check(v)) return PyBytes_FromObject(v);
  PyObject* name = PyType_GetName(Py_TYPE(v));
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "a %s is bytes or str, not %U", what, name);
  Py_DECREF(name);
  return nullptr;
}

}  // namespace

bool SearchKey(Index* ix, PyObject* key, unsigned char* out, uint32_t* len) {
  PyObject* b = AsBytes(key, "key");
  if (b == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t n = 0;
  PyBytes_AsStringAndSize(b, &data, &n);
  if (static_cast<size_t>(n) > ix->keyLength) {
    PyErr_Format(PyExc_ValueError, "the key %R is longer than the keys of %U (%u bytes)", b,
                 ix->path, static_cast<unsigned>(ix->keyLength));
    Py_DECREF(b);
    return false;
  }
  memcpy(out, data, static_cast<size_t>(n));
  Py_DECREF(b);
  if (ix->upper) {  // the index holds its keys folded, as kelindex -u made them
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<unsigned char>(out[i] - 32);
    }
  }
  *len = static_cast<uint32_t>(n);
  return true;
}

PyObject* KeyBytes(PyObject* key) {
  return AsBytes(key, "key");
}

PyObject* RecordBytes(PyObject* record) {
  return AsBytes(record, "record");
}

PyObject* RecordObject(const Index* ix, const unsigned char* rec, size_t len) {
  size_t m = ix->eorLength;
  if (m > 0 && len >= m && memcmp(rec + len - m, ix->eor, m) == 0) len -= m;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rec),
                                   static_cast<Py_ssize_t>(len));
}

PyObject* MakeEntry(const unsigned char* key, uint32_t keyLength, uint64_t offset, uint32_t size,
                    uint32_t dup) {
  PyObject* t = PyType_GenericAlloc(g.entry, 4);
  if (t == nullptr) return nullptr;
  // Bytes and ints alone: it can never be part of a cycle, and a list of a
  // million entries would otherwise make every collection walk them all.
  PyObject_GC_UnTrack(t);
  PyObject* items[4] = {
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key), keyLength),
      PyLong_FromUnsignedLongLong(offset), PyLong_FromUnsignedLong(size),
      PyLong_FromUnsignedLong(dup)};
  if (items[0] == nullptr || items[1] == nullptr || items[2] == nullptr || items[3] == nullptr) {
    for (PyObject* item : items) Py_XDECREF(item);
    Py_DECREF(t);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(t, i, items[i]);
  return t;
}

bool ParseArgs(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* const* names, int count, int required, PyObject** values) {
  for (int i = 0; i < count; ++i) values[i] = nullptr;
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments (%zd given)", fn, count, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GetItem(kwnames, i);
    int slot = -1;
    for (int k = 0; k < count && slot < 0; ++k) {
      if (PyUnicode_CompareWithASCIIString(name, names[k]) == 0) slot = k;
    }
    if (slot < 0 || values[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected or repeated argument %R", fn, name);
      return false;
    }
    values[slot] = args[nargs + i];
  }
  for (int i = 0; i < required; ++i) {
    if (values[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing the argument '%s'", fn, names[i]);
      return false;
    }
  }
  return true;
}

int Flag(PyObject* v) {
  return v == nullptr ? 0 : PyObject_IsTrue(v);
}

PyObject* EnterSelf(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

bool AddType(PyObject* module, PyType_Spec* spec, const char* name, PyTypeObject** out) {
  *out = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  if (*out == nullptr) return false;
  Py_INCREF(reinterpret_cast<PyObject*>(*out));
  return PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(*out)) == 0;
}

namespace {

PyObject* Strerror(PyObject*, PyObject* arg) {
  int status = PyLong_AsLong(arg);
  if (status == -1 && PyErr_Occurred()) return nullptr;
  return PyUnicode_FromString(kelisi_strerror(status));
}

PyMethodDef kFunctions[] = {
    {"strerror", Strerror, METH_O, "strerror(status)\n--\n\nThe library's text of a status."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "kelisi._kelisi",
                       "libkelisi for the package kelisi: its hot paths in C.", -1, kFunctions,
                       nullptr, nullptr, nullptr, nullptr};

// The package's own types, which the module makes instances of.
bool ImportTypes() {
  PyObject* types = PyImport_ImportModule("kelisi._types");
  if (types == nullptr) return false;
  PyObject* entry = PyObject_GetAttrString(types, "Entry");
  g.error = PyObject_GetAttrString(types, "Error");
  Py_DECREF(types);
  if (entry == nullptr || g.error == nullptr) return false;
  if (!PyType_Check(entry) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(entry),
                                                &PyTuple_Type)) {
    PyErr_SetString(PyExc_TypeError, "kelisi._types.Entry is not a tuple type");
    return false;
  }
  g.entry = reinterpret_cast<PyTypeObject*>(entry);
  return true;
}

}  // namespace

}  // namespace pyk

PyMODINIT_FUNC PyInit__kelisi() {
  using namespace pyk;
  PyObject* m = PyModule_Create(&kModule);
  if (m == nullptr) return nullptr;
  if (!ImportTypes() || !AddIndexType(m) || !AddCursorType(m) || !AddChangeType(m) ||
      PyModule_AddStringConstant(m, "VERSION", KEL_VERSION) != 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
