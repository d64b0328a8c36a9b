"""An open index and the cursors that walk it."""

import contextlib
import ctypes
import os
import threading
from typing import Callable, Dict, Iterable, Iterator, List, Optional, Union

from . import _native
from ._native import lib
from ._types import Entry, Error, Header, Problem, ProblemKind, Stats

Key = Union[bytes, bytearray, memoryview, str]
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_CLOSED = "the index is closed"
# ASCII letters to upper case, and no other byte.
_UPPER = bytes.maketrans(b"abcdefghijklmnopqrstuvwxyz", b"ABCDEFGHIJKLMNOPQRSTUVWXYZ")


def _key_bytes(key: Key) -> bytes:
    if isinstance(key, str):
        return key.encode("latin-1")
    if isinstance(key, (bytes, bytearray, memoryview)):
        return bytes(key)
    raise TypeError(f"a key is bytes or str, not {type(key).__name__}")


class _Closing:
    """A context manager that closes what it manages, also when it is
    collected without close()."""

    __slots__ = ()

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # at interpreter exit, the module may be gone
            pass


_new_tuple = tuple.__new__
_string_at = ctypes.string_at


class Cursor(_Closing):
    """Entries of an index, read from the file as the iteration asks for
    them. A cursor holds a library cursor until it is exhausted, closed or
    collected; once its index is closed, taking an entry raises Error."""

    __slots__ = ("_index", "_start", "_step", "_until", "_entry", "_ref", "_started", "_done",
                 "_c")

    def __init__(self, index: "Index", start: Callable, step: Callable,
                 until: Optional[Callable[[bytes], bool]] = None):
        self._index = index
        self._start = start
        self._step = step
        self._until = until
        self._started = False
        self._done = False
        self._c = None
        self._c, self._entry, self._ref = index._open_cursor()

    def __iter__(self) -> "Cursor":
        return self

    # Called once an entry: kept to few lookups.
    def __next__(self) -> Entry:
        if self._done:
            raise StopIteration
        ix = self._index
        with ix._lock:
            c = self._c
            if not c:  # closed with its index
                raise Error(_native.E_ARG, ix.path, f"{_CLOSED}: {ix.path}")
            if self._started:
                st = self._step(c, self._ref)
            else:
                st = self._start(c, self._ref)
                self._started = True
            if st == 0:
                e = self._entry
                entry = _new_tuple(Entry, (_string_at(e.key, e.key_length), e.record_offset,
                                           e.record_size, e.dup_seq))
        if st == 0 and (self._until is None or self._until(entry[0])):
            return entry
        self.close()
        if st < 0:
            raise Error(st, ix.path)
        raise StopIteration

    def close(self) -> None:
        """Releases the library cursor; the iteration ends."""
        self._done = True
        c, self._c = self._c, None
        if c:
            with self._index._lock:
                self._index._close_cursor(c, self._entry, self._ref)



class Index(_Closing):
    """An ISI index, with its data file when there is one; read-only unless
    opened with ``write=True``.

    Use ``kelisi.open`` to make one. It is a context manager; ``close()``
    releases its files, its locks and the cursors still open (a change
    still open is abandoned). Iterating it gives every entry in key order
    (``reversed(ix)``: the other way). Calls on one index from several
    threads are taken one at a time.
    """

    def __init__(self, isi: PathArg, data: Optional[PathArg] = None, shared: bool = False,
                 cache_size: Optional[int] = None, write: bool = False):
        self.path = os.fsdecode(isi)
        self.data_path: Optional[str] = None
        self._lock = threading.RLock()  # a cursor collected while it is held closes under it
        # The library cursors of live Cursors, by id: closing the index
        # closes them and sets them to NULL, which their Cursors then see.
        self._cursors: Dict[int, ctypes.c_void_p] = {}
        self._ix = None
        self._spare = None
        self._txn: Optional[ctypes.c_void_p] = None  # the change open in a with change() block
        handle = ctypes.c_void_p()
        flags = (_native.SHARED if shared else 0) | (_native.WRITE if write else 0)
        isi_b = os.fsencode(isi)
        if data is not None:
            self.data_path = os.fsdecode(data)
            st = lib.kelisi_open(isi_b, os.fsencode(data), flags, ctypes.byref(handle))
        else:
            # The data file the header names, when it is to be had; shared
            # locking needs it, since the locks live on it.
            st = lib.kelisi_open(isi_b, None, flags | _native.HEADER_DATA, ctypes.byref(handle))
            if st == _native.OK:
                self.data_path = self._raw_header(handle).data_name.decode("latin-1")
            elif st == _native.E_DATA_OPEN and not shared and not write:
                st = lib.kelisi_open(isi_b, None, flags, ctypes.byref(handle))
        if st == _native.E_DATA_OPEN and self.data_path is None:
            raise Error(st, self.path, f"{_native.strerror(st)} named in {self.path}")
        if st != _native.OK:
            raise Error(st, self.data_path if st == _native.E_DATA_OPEN else self.path)
        self._ix = handle
        if cache_size is not None:
            self._call(lib.kelisi_set_cache_size, cache_size)
        h = self._raw_header(handle)
        # What searches and records need, kept as Python values: a
        # rewrite under shared locking keeps the key and the record format.
        self._key_length = h.key_length
        self._upper = bool(h.upper_case)
        self._eor = bytes(h.eor[: h.eor_length])

    @staticmethod
    def _raw_header(handle) -> "_native.Header":
        h = _native.Header()
        st = lib.kelisi_get_header(handle, ctypes.byref(h))
        if st != _native.OK:
            raise Error(st)
        return h

    def _handle(self):
        if self._ix is None:
            raise Error(_native.E_ARG, self.path, f"{_CLOSED}: {self.path}")
        return self._ix

    def _call(self, fn, *args) -> int:
        """Calls fn(handle, *args) under the lock; raises on a failure."""
        with self._lock:
            st = fn(self._handle(), *args)
        return self._check(st)

    # ---- life ------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._ix is None

    def close(self) -> None:
        """Closes the index and every cursor still open on it. Closing a
        closed index does nothing."""
        with self._lock:
            if self._ix is None:
                return
            ix, self._ix = self._ix, None
            if self._txn is not None:
                lib.kelisi_txn_abort(self._txn)
                self._txn = None
            for c in self._cursors.values():
                lib.kelisi_cursor_close(c)
                c.value = None
            self._cursors.clear()
            if self._spare is not None:
                lib.kelisi_cursor_close(self._spare[0])
                self._spare = None
            lib.kelisi_close(ix)

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<kelisi.Index {self.path!r} {state}>"

    # Cursors. A library cursor costs an allocation of some 25 KiB: the
    # last one released is kept, with its entry, for the next Cursor, since
    # a lookup is one short-lived Cursor. _close_cursor runs under the lock.
    def _open_cursor(self):
        with self._lock:
            spare, self._spare = self._spare, None
            if spare is None:
                c = ctypes.c_void_p()
                st = lib.kelisi_cursor_open(self._handle(), ctypes.byref(c))
                if st != _native.OK:
                    raise Error(st, self.path)
                e = _native.Entry()
                spare = (c, e, ctypes.byref(e))
            self._cursors[id(spare[0])] = spare[0]
        return spare

    def _close_cursor(self, c: ctypes.c_void_p, e, ref) -> None:
        if self._cursors.pop(id(c), None) is None:
            return  # closed with the index
        if self._spare is None:
            self._spare = (c, e, ref)
        else:
            lib.kelisi_cursor_close(c)

    # ---- the header and the whole file ---------------------------------

    @property
    def header(self) -> Header:
        """The header as last read (under shared locking the library reads
        it again after another process rewrote the index)."""
        h = _native.Header()
        self._call(lib.kelisi_get_header, ctypes.byref(h))
        return Header._of(h)

    def stats(self) -> Stats:
        """Visits every key sector and the deleted-record chain."""
        s = _native.Stats()
        self._call(lib.kelisi_get_stats, ctypes.byref(s))
        return Stats(s.depth, s.key_sectors, s.leaf_sectors, s.entries, s.per_sector, s.fill,
                     s.ddr_sectors, s.ddr_entries)

    def deleted(self) -> List[int]:
        """The byte offsets of the deleted records the index lists, newest
        deleted-record sector first."""
        count = ctypes.c_size_t()
        with self._lock:
            ix = self._handle()
            while True:
                st = lib.kelisi_deleted(ix, None, 0, ctypes.byref(count))
                if st not in (_native.OK, _native.E_BUFFER):
                    break
                out = (ctypes.c_uint64 * max(count.value, 1))()
                st = lib.kelisi_deleted(ix, out, len(out), ctypes.byref(count))
                if st != _native.E_BUFFER:
                    break
        if st < 0:
            raise Error(st, self.path)
        return list(out[: count.value])

    def check(self, records: bool = False, allow_free: bool = False) -> List[Problem]:
        """Checks the index for damage and returns the problems found (an
        empty list: the index is consistent). With ``records``, also reads
        every entry's record and every deleted record from the data file;
        ``allow_free`` accepts sectors outside the tree and the chain."""
        found: List[Problem] = []

        def report(_ctx, p):
            q = p.contents
            if _native.NOTE_FIRST <= q.kind <= _native.NOTE_LAST:
                return 0  # a shape every reader handles, not a problem
            kind = ProblemKind(q.kind) if q.kind in ProblemKind._value2member_map_ else q.kind
            found.append(Problem(kind, None if q.sector == _native.NO_SECTOR else q.sector,
                                 q.index or None, (q.message or b"").decode("latin-1")))
            return 0

        flags = (_native.CHECK_RECORDS if records else 0) | (
            _native.CHECK_ALLOW_FREE if allow_free else 0)
        self._call(lib.kelisi_check, flags, _native.REPORT_FN(report), None)
        return found

    # ---- entries ---------------------------------------------------------

    def __iter__(self) -> Iterator[Entry]:
        return Cursor(self, lib.kelisi_first, lib.kelisi_next)

    def __reversed__(self) -> Iterator[Entry]:
        return Cursor(self, lib.kelisi_last, lib.kelisi_prev)

    def _search_key(self, key: Key) -> bytes:
        k = key if type(key) is bytes else _key_bytes(key)
        if len(k) > self._key_length:
            raise ValueError(f"the key {k!r} is longer than the keys of {self.path} "
                             f"({self._key_length} bytes)")
        if self._upper:  # the index holds its keys folded, as kelindex -u made them
            k = k.translate(_UPPER)
        return k

    def find(self, key: Key, prefix: bool = False) -> Cursor:
        """The entries whose key is ``key`` blank-padded to the key length
        (with ``prefix``: whose key begins with ``key``), in key order. A
        str key is encoded as Latin-1; on an index built with upper-case
        keys the key is folded to upper case too."""
        k = self._search_key(key)
        if not prefix:
            k = k.ljust(self._key_length, b" ")
        if not k:
            return iter(self)
        return Cursor(self, lambda c, e: lib.kelisi_find(c, k, len(k), e), lib.kelisi_next_dup)

    def range(self, lo: Optional[Key] = None, hi: Optional[Key] = None) -> Cursor:
        """The entries from ``lo`` to ``hi``, each bound compared over its
        own length: ``range(b"A", b"B")`` gives every key that begins with A
        or B. A bound left out (None or empty) leaves that side open."""
        low = self._search_key(lo) if lo is not None else b""
        high = self._search_key(hi) if hi is not None else b""
        start = (lambda c, e: lib.kelisi_seek(c, low, len(low), e)) if low else lib.kelisi_first
        until = (lambda key: key[: len(high)] <= high) if high else None
        return Cursor(self, start, lib.kelisi_next, until)

    def record(self, entry: Entry) -> bytes:
        """The record an entry points to, without its end-of-record bytes.
        Needs the data file: Error (status KELISI_E_NO_DATA) without one."""
        e = _native.Entry()
        e.record_offset = entry.offset
        e.record_size = entry.size
        buf = ctypes.create_string_buffer(max(entry.size, 1))
        n = ctypes.c_size_t()
        self._call(lib.kelisi_read_record, ctypes.byref(e), buf, len(buf), ctypes.byref(n))
        rec = buf.raw[: n.value]
        eor = self._eor
        return rec[: -len(eor)] if eor and rec.endswith(eor) else rec

    # ---- changes ---------------------------------------------------------

    @contextlib.contextmanager
    def change(self):
        """A block whose inserts and deletes are one change: committed,
        atomic and durable, when the block ends normally, abandoned (neither
        file touched) when it raises. The index's exclusive lock is held for
        the whole block. Searches inside the block see the index as it was
        before the change began.

            with ix.change():
                ix.insert([b"C0052446 Smith", b"C0052447 Jones"])
                ix.delete("C0052445")
        """
        with self._lock:
            if self._txn is not None:
                raise Error(_native.E_BUSY, self.path, f"a change is open already: {self.path}")
            txn = ctypes.c_void_p()
            self._call(lib.kelisi_txn_begin, ctypes.byref(txn))
            self._txn = txn
        try:
            yield self
        except BaseException:
            with self._lock:
                if self._txn is txn:
                    self._txn = None
                    lib.kelisi_txn_abort(txn)
            raise
        with self._lock:
            if self._txn is not txn:  # the index was closed inside the block
                raise Error(_native.E_ARG, self.path, f"{_CLOSED}: {self.path}")
            self._txn = None
            self._check(lib.kelisi_txn_commit(txn))

    def _in_change(self, work: Callable[[ctypes.c_void_p], int]) -> int:
        """work(txn) inside the open change, or in a change of its own."""
        with self._lock:
            if self._txn is not None:
                return work(self._txn)
        with self.change():
            return work(self._txn)

    def _check(self, st: int) -> int:
        """st itself; raises Error, naming the file concerned, on a failure."""
        if st < 0:
            raise Error(st, self.data_path if st in (_native.E_DATA_OPEN, _native.E_DATA_READ)
                        else self.path)
        return st

    def insert(self, records: Union[Key, Iterable[Key]]) -> int:
        """Writes records (bytes, or str as Latin-1; one record or an
        iterable of them, each without its end-of-record bytes) to the data
        file and enters their keys, as one change unless a ``change()``
        block is open. Returns how many records got an entry (the index's
        record selection, simple tests or an extended expression, and n0/n$
        for a key the index keeps already, can leave a record without one). A record too long, or a duplicate key
        under option n, raises Error and the change makes no difference."""
        if isinstance(records, (bytes, bytearray, memoryview, str)):
            records = [records]
        rows = [_key_bytes(r) for r in records]

        def work(txn) -> int:
            entered = 0
            for r in rows:
                entered += self._check(lib.kelisi_txn_insert(txn, r, len(r), None)) == _native.OK
            return entered

        return self._in_change(work)

    def delete(self, key: Key, at: Optional[int] = None) -> int:
        """Deletes every record whose key is ``key`` (blank-padded as
        ``find`` pads it), or with ``at`` only the record at that byte
        offset when its key is ``key``: its bytes become 0x00 and its entry
        leaves the index. One change unless a ``change()`` block is open;
        returns how many records were deleted (0 when none matched)."""
        doomed = [e for e in self.find(key) if at is None or e.offset == at]

        def work(txn) -> int:
            for e in doomed:
                self._check(lib.kelisi_txn_delete_at(txn, e.offset))
            return len(doomed)

        return self._in_change(work) if doomed else 0


def open(isi: PathArg, data: Optional[PathArg] = None, shared: bool = False,
         cache_size: Optional[int] = None, write: bool = False) -> Index:
    """Opens the index ``isi``, read-only unless ``write``.

    ``data`` names the data file its entries point into; left out, the one
    the header names is used when it can be opened (as written, else beside
    the index), and without it ``record`` raises Error. ``shared`` takes
    the advisory locks that kelindex's compaction respects, for an index
    that may be rewritten while it is read (the data file is then needed:
    it carries the locks). ``cache_size`` sets how many bytes of index
    sectors the handle keeps in memory (unless given, the whole of an index
    up to 64 MiB, an eighth of a larger one, up to 256 MiB). ``write``
    opens the index and its data file for ``insert``, ``delete`` and
    ``change()``: the data file is needed, named or the header's.
    """
    return Index(isi, data, shared, cache_size, write)
