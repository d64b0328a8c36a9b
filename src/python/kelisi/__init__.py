"""Read and update ISI index files from Python.

An ISI file is a B-tree index of 512-byte sectors over a record-oriented
data file, built by kelindex. This module reads one through the reader
library libkelisi (kelisi(3)), compiled against it: it walks and searches
the keys in order, reads the records they point to, lists the deleted
records and checks the index for damage; opened with ``write=True`` it
inserts and deletes records in changes that are atomic and durable.

On the index of the demo (customers.txt, 28-byte keys):

    >>> import kelisi
    >>> with kelisi.open("customers.isi") as ix:   # and customers.txt, which its header names
    ...     print(ix.header.key_length, ix.header.command_line)
    ...     for entry in ix.find("C0052445", prefix=True):
    ...         print(entry.offset, ix.record(entry))
    ...     print([e.key[:8] for e in ix.range("C001", "C0016")])   # C001... to C0016...
    ...     rows = ix.entries(records=True)        # every (entry, record), in one call
    28 customers.txt,customers.isi,-1-8,10-29
    0 b'C0052445 Hansen, Paul         Porto         56045'
    [b'C0014914', b'C0016105', b'C0016328', b'C0016499']
    >>> with kelisi.open("customers.isi", write=True) as ix:
    ...     print(ix.insert(b"C0099001 Silva, Ana"))           # one change
    ...     with ix.change():                                 # several, as one
    ...         print(ix.insert([b"C0099002 Silva, Rui", b"C0099003 Silva, Eva"]))
    ...         print(ix.delete("C0052445", prefix=True))
    1
    2
    1

Keys are bytes (a str is encoded as Latin-1) and compare as unsigned
bytes; records are bytes without their end-of-record bytes. Every failure
of the library raises kelisi.Error, whose ``status`` is the library's code;
an index or cursor used after close() raises it too.

The compiled part, kelisi._kelisi, is linked to libkelisi.so.1, which the
system's loader finds (beside an installation under another prefix than
/usr, through the run path the installation gives it).
"""

from ._types import Entry, Error, Header, KeySpec, Problem, ProblemKind, RecordTest, Stats
from ._kelisi import VERSION as __version__, Change, Cursor
from ._index import Index, change, open

__all__ = ["open", "change", "Index", "Cursor", "Change", "Entry", "Header", "KeySpec",
           "RecordTest", "Stats", "Problem", "ProblemKind", "Error"]

# Shown, in tracebacks and help(), as the names users write.
for _cls in (Index, Entry, Header, KeySpec, RecordTest, Stats, Problem, ProblemKind, Error):
    _cls.__module__ = __name__
del _cls
