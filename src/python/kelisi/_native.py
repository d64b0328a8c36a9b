"""libkelisi through ctypes: finding the library and declaring its C API.

The library is looked for, in this order:

1. the file named by the environment variable KELISI_LIBRARY (a build
   tree's tests set it);
2. beside the installation this package belongs to: a package installed
   under PREFIX/lib/python3/dist-packages/kelisi/ looks in PREFIX/lib/<arch>,
   PREFIX/lib and PREFIX/lib64;
3. libkelisi.so.1 through the system's loader.
"""

import ctypes
import os
import sysconfig

SONAME = "libkelisi.so.1"


def _candidates():
    named = os.environ.get("KELISI_LIBRARY")
    if named:
        return [named]
    package = os.path.dirname(os.path.abspath(__file__))
    lib = os.path.normpath(os.path.join(package, "..", "..", ".."))
    prefix = os.path.dirname(lib)
    arch = sysconfig.get_config_var("MULTIARCH") or ""
    dirs = [os.path.join(lib, arch)] if arch else []
    dirs += [lib, os.path.join(prefix, "lib64")]
    found = [os.path.join(d, SONAME) for d in dirs if os.path.exists(os.path.join(d, SONAME))]
    return found + [SONAME]


def _load():
    tried = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            tried.append(str(e))
    raise ImportError("kelisi: cannot load the library libkelisi: " + "; ".join(tried))


lib = _load()

# Statuses and flags of kelisi.h.
OK = 0
NOTFOUND = 1
E_ARG = -1
E_NO_DATA = -8
E_DATA_OPEN = -9
E_DATA_READ = -10
E_BUFFER = -13
E_BUSY = -20
NO_ENTRY = 2  # kelisi_txn_insert wrote the record without an entry
SHARED = 1
HEADER_DATA = 2
WRITE = 4
CHECK_RECORDS = 1
CHECK_ALLOW_FREE = 2
NOTE_FIRST, NOTE_LAST = 32, 63  # kelisi_check's notes (KELISI_IS_NOTE)
NO_SECTOR = 0xFFFFFFFF

c_u32 = ctypes.c_uint32
c_u64 = ctypes.c_uint64


class KeySpec(ctypes.Structure):
    _fields_ = [("first_column", c_u32), ("last_column", c_u32)]


class Test(ctypes.Structure):
    _fields_ = [("column", c_u32), ("op", ctypes.c_char), ("ch", ctypes.c_ubyte)]


class Header(ctypes.Structure):
    _fields_ = [
        ("record_length", c_u32),
        ("eor_length", c_u32),
        ("eor", ctypes.c_ubyte * 2),
        ("key_length", c_u32),
        ("entry_size", c_u32),
        ("record_numbers", ctypes.c_int),
        ("other_byte_order", ctypes.c_int),
        ("upper_case", ctypes.c_int),
        ("no_duplicates", ctypes.c_int),
        ("variable_length", ctypes.c_int),
        ("space_compression", ctypes.c_int),
        ("append_at_end", ctypes.c_int),
        ("binary", ctypes.c_int),
        ("os_type", ctypes.c_int),
        ("format_flags", ctypes.c_uint8),
        ("mode_flags", ctypes.c_uint8),
        ("key_spec_count", c_u32),
        ("key_specs", KeySpec * 32),
        ("test_count", c_u32),
        ("tests", Test * 10),
        ("extended_selection", ctypes.c_int),
        ("data_length", c_u32),
        ("record_count", c_u32),
        ("deleted_count", c_u32),
        ("spin", c_u32),
        ("root_position", c_u32),
        ("ddr_head", c_u32),
        ("file_size", c_u64),
        ("data_name", ctypes.c_char * 257),
        ("command_line", ctypes.c_char * 528),
    ]


class Entry(ctypes.Structure):
    _fields_ = [
        ("key", ctypes.c_void_p),
        ("key_length", c_u32),
        ("record_offset", c_u64),
        ("record_size", c_u32),
        ("dup_seq", c_u32),
        ("position", c_u32),
        ("sector", c_u32),
        ("index", c_u32),
    ]


class Stats(ctypes.Structure):
    _fields_ = [
        ("depth", c_u32),
        ("key_sectors", c_u64),
        ("leaf_sectors", c_u64),
        ("entries", c_u64),
        ("per_sector", c_u32),
        ("fill", ctypes.c_double),
        ("ddr_sectors", c_u64),
        ("ddr_entries", c_u64),
    ]


class Problem(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("sector", c_u32), ("index", c_u32), ("message", ctypes.c_char_p)]


REPORT_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Problem))

_P = ctypes.c_void_p
_PE = ctypes.POINTER(Entry)
_SIGNATURES = {
    "kelisi_strerror": (ctypes.c_char_p, [ctypes.c_int]),
    "kelisi_open": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(_P)]),
    "kelisi_close": (ctypes.c_int, [_P]),
    "kelisi_get_header": (ctypes.c_int, [_P, ctypes.POINTER(Header)]),
    "kelisi_set_cache_size": (ctypes.c_int, [_P, ctypes.c_size_t]),
    "kelisi_cursor_open": (ctypes.c_int, [_P, ctypes.POINTER(_P)]),
    "kelisi_cursor_close": (ctypes.c_int, [_P]),
    "kelisi_first": (ctypes.c_int, [_P, _PE]),
    "kelisi_last": (ctypes.c_int, [_P, _PE]),
    "kelisi_seek": (ctypes.c_int, [_P, ctypes.c_char_p, ctypes.c_size_t, _PE]),
    "kelisi_next": (ctypes.c_int, [_P, _PE]),
    "kelisi_prev": (ctypes.c_int, [_P, _PE]),
    "kelisi_find": (ctypes.c_int, [_P, ctypes.c_char_p, ctypes.c_size_t, _PE]),
    "kelisi_next_dup": (ctypes.c_int, [_P, _PE]),
    "kelisi_read_record": (
        ctypes.c_int,
        [_P, _PE, ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)],
    ),
    "kelisi_deleted": (
        ctypes.c_int,
        [_P, ctypes.POINTER(c_u64), ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)],
    ),
    "kelisi_get_stats": (ctypes.c_int, [_P, ctypes.POINTER(Stats)]),
    "kelisi_check": (ctypes.c_int, [_P, ctypes.c_uint, REPORT_FN, ctypes.c_void_p]),
    "kelisi_txn_begin": (ctypes.c_int, [_P, ctypes.POINTER(_P)]),
    "kelisi_txn_insert": (ctypes.c_int, [_P, ctypes.c_char_p, ctypes.c_size_t, _PE]),
    "kelisi_txn_delete": (ctypes.c_int, [_P, _PE]),
    "kelisi_txn_delete_at": (ctypes.c_int, [_P, c_u64]),
    "kelisi_txn_commit": (ctypes.c_int, [_P]),
    "kelisi_txn_abort": (ctypes.c_int, [_P]),
}
for _name, (_restype, _argtypes) in _SIGNATURES.items():
    _fn = getattr(lib, _name)
    _fn.restype = _restype
    _fn.argtypes = _argtypes


def strerror(status: int) -> str:
    return lib.kelisi_strerror(status).decode("ascii", "replace")
