"""Read and update ISI index files from Python.

An ISI file is a B-tree index of 512-byte sectors over a record-oriented
data file, built by kelindex. This module reads one through the reader
library libkelisi (kelisi(3)), compiled against it: it walks and searches
the keys in order, reads the records they point to, lists the deleted
records and checks the index for damage; opened with ``write=True`` it
inserts and deletes records in changes that are atomic and durable.

    import kelisi

    with kelisi.open("customers.isi", "customers.txt") as ix:
        print(ix.header.key_length, ix.header.command_line)
        for entry in ix.find("C0052445", prefix=True):
            print(entry.key, entry.offset, ix.record(entry))
        for entry in ix.range("C001", "C002"):   # keys from C001 to C002...
            ...
        rows = ix.entries(records=True)         # every (entry, record), one call

    with kelisi.open("customers.isi", "customers.txt", write=True) as ix:
        ix.insert(b"C0052446 Smith")         # one change
        with ix.change():                    # several, as one
            ix.insert([b"C0052447 Jones", b"C0052448 Brown"])
            ix.delete("C0052445", prefix=True)

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
from ._index import Index, open

__all__ = ["open", "Index", "Cursor", "Change", "Entry", "Header", "KeySpec", "RecordTest",
           "Stats", "Problem", "ProblemKind", "Error"]

# Shown, in tracebacks and help(), as the names users write.
for _cls in (Index, Entry, Header, KeySpec, RecordTest, Stats, Problem, ProblemKind, Error):
    _cls.__module__ = __name__
del _cls
