"""The package's Index: the compiled one, with the header, statistics and
check as the package's own types."""

import os
from typing import List, Optional, Union

from . import _kelisi
from ._types import Header, Problem, ProblemKind, Stats

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_CHECK_RECORDS = 1
_CHECK_ALLOW_FREE = 2


class Index(_kelisi.Index):
    """An ISI index, with its data file when there is one; read-only unless
    opened with ``write=True``.

    Use ``kelisi.open`` to make one. It is a context manager; ``close()``
    releases its files, its locks and the cursors still open (a change
    still open is abandoned). Iterating it gives every entry in key order
    (``reversed(ix)``: the other way), read in batches with the GIL
    released. Calls on one index from several threads are taken one at a
    time; other threads run while one waits for the disk or a lock.
    """

    __slots__ = ()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<kelisi.Index {self.path!r} {state}>"

    @property
    def header(self) -> Header:
        """The header as last read (under shared locking the library reads
        it again after another process rewrote the index)."""
        return Header._of(self._header())

    def stats(self) -> Stats:
        """Visits every key sector and the deleted-record chain."""
        return Stats(*self._stats())

    def check(self, records: bool = False, allow_free: bool = False) -> List[Problem]:
        """Checks the index for damage and returns the problems found (an
        empty list: the index is consistent). With ``records``, also reads
        every entry's record and every deleted record from the data file;
        ``allow_free`` accepts sectors outside the tree and the chain."""
        flags = (_CHECK_RECORDS if records else 0) | (_CHECK_ALLOW_FREE if allow_free else 0)
        return [Problem(ProblemKind(kind) if kind in ProblemKind._value2member_map_ else kind,
                        sector, index, message)
                for kind, sector, index, message in self._check(flags)]


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


def change(first: Index, *others: Index) -> "_kelisi.Change":
    """A block whose inserts and deletes are one change over ``first`` and
    the ``others``, indexes of one data file (the same file, each opened
    with ``write=True``), so that every index of the file stays current: a
    record inserted through any of them is written once and gets an entry
    in each index whose definition selects it, and a record deleted leaves
    every one of them. The commit is one commit point for the data file and
    every index: after a crash the files hold the whole change or none of
    it. ``first.change(*others)`` is the same block.

    The block's ``insert`` and ``delete`` are those of ``first``; deletes by
    key take ``first``'s keys (through another index of the block, a record
    is deleted by its offset: ``ix.delete(key, at=offset)``). An index
    changed outside such a block is changed alone: the other indexes of its
    data file then miss the records it adds.

        >>> bynum = kelisi.open("customers.isi", write=True)
        >>> bycity = kelisi.open("bycity.isi", write=True)   # customers.txt by city
        >>> with kelisi.change(bynum, bycity) as ch:
        ...     ch.insert(b"C0099004 Silva, Rosa          Braga         47001")
        ...     ch.delete("C0099004", prefix=True)
        1
        1
        >>> [ix.check(records=True) for ix in (bynum, bycity)]   # both current
        [[], []]
        >>> bynum.close(); bycity.close()
    """
    return first.change(*others)

