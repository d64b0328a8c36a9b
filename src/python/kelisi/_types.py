"""The values the module hands out: entries, the header, statistics,
problems, and the one exception."""

import enum
from dataclasses import dataclass
from typing import NamedTuple, Optional, Tuple



_NO_SECTOR = 0xFFFFFFFF  # KELISI_NO_SECTOR: no deleted-record chain


class Error(Exception):
    """A failure of the library, or a use of a closed index or cursor.

    ``status`` is the library's status code (a negative ``KELISI_E_*``
    value of kelisi.h); the message is the library's text for it, followed
    by the file concerned when there is one (``filename``).
    """

    def __init__(self, status: int, filename: Optional[str] = None, message: Optional[str] = None):
        self.status = status
        self.filename = filename
        if message is None:
            from ._kelisi import strerror  # the compiled module imports this one first
            text = strerror(status)
            message = f"{text}: {filename}" if filename else text
        super().__init__(message)


class Entry(NamedTuple):
    """One entry of an index: a key and the record it points to.

    ``key`` holds the key's bytes (always the index's key length),
    ``offset`` the record's byte offset in the data file, ``size`` its size
    with its end-of-record bytes, ``dup`` the duplicate sequence (0 for the
    first record of a key, then 1, 2, ...).
    """

    key: bytes
    offset: int
    size: int
    dup: int


class KeySpec(NamedTuple):
    """Key columns as typed to kelindex: 1-based, ``last_column`` below
    ``first_column`` when the columns are taken in reverse."""

    first_column: int
    last_column: int


class RecordTest(NamedTuple):
    """A primary-record test: ``column`` (1-based) must equal ``ch`` when
    ``op`` is ``'='``, differ from it when ``op`` is ``'#'``."""

    column: int
    op: str
    ch: bytes


@dataclass(frozen=True)
class Header:
    """The header of an index, as the library decodes it (see kelisi(3),
    ``kelisi_header``). Texts are decoded as Latin-1, so that every byte
    stands for one character."""

    record_length: int
    eor: bytes
    key_length: int
    entry_size: int
    record_numbers: bool
    other_byte_order: bool
    upper_case: bool
    no_duplicates: bool
    variable_length: bool
    space_compression: bool
    append_at_end: bool
    binary: bool
    os_type: int
    format_flags: int
    mode_flags: int
    key_specs: Tuple[KeySpec, ...]
    tests: Tuple[RecordTest, ...]
    extended_selection: bool
    data_length: int
    record_count: int
    deleted_count: int
    spin: int
    root_position: int
    ddr_head: Optional[int]  # as stored; None when there is no deleted-record chain
    file_size: int
    data_name: str
    command_line: str

    @property
    def eor_length(self) -> int:
        """The number of end-of-record bytes: 0 (binary records), 1 or 2."""
        return len(self.eor)

    @classmethod
    def _of(cls, raw: dict) -> "Header":
        """From the compiled module's fields of kelisi_header."""
        values = dict(raw)
        for name in ("record_numbers", "other_byte_order", "upper_case", "no_duplicates",
                     "variable_length", "space_compression", "append_at_end", "binary",
                     "extended_selection"):
            values[name] = bool(values[name])
        if values["ddr_head"] == _NO_SECTOR:
            values["ddr_head"] = None
        values["key_specs"] = tuple(KeySpec(*s) for s in values["key_specs"])
        values["tests"] = tuple(RecordTest(c, op.decode("latin-1"), ch)
                                for c, op, ch in values["tests"])
        values["data_name"] = values["data_name"].decode("latin-1")
        values["command_line"] = values["command_line"].decode("latin-1")
        return cls(**values)


@dataclass(frozen=True)
class Stats:
    """The shape of the tree and of the deleted-record chain."""

    depth: int  # levels from the root to the deepest leaf; 1 for a root alone
    key_sectors: int  # root included
    leaf_sectors: int
    entries: int
    per_sector: int  # entries a key sector holds at most
    fill: float  # entries / (key sectors x per_sector)
    ddr_sectors: int
    ddr_entries: int


class ProblemKind(enum.IntEnum):
    """What a problem found by ``Index.check`` concerns (``KELISI_P_*``)."""

    HEADER = 1  # the header's record count against the tree's entries
    SECTOR = 2  # a key sector off a boundary or in the front, reached twice, naming a child twice
    LEVEL = 3  # a child not below its parent, a leaf above level 0, a tree too deep
    COUNT = 4  # a count byte larger than a sector holds
    ORDER = 5  # keys out of order, duplicate sequences that do not count up
    DDR = 6  # the deleted-record chain, or its total against the header
    RECORD = 7  # an entry whose record is missing, deleted or has another key
    DELETED = 8  # a deleted-record position that is not a deleted record
    TRUNCATED = 9  # the file ends before sectors its tree or chain refer to
    FREE = 10  # a sector that belongs neither to the tree nor to the chain


class Problem(NamedTuple):
    """One problem found by ``Index.check``: ``sector`` is the position of
    the key sector concerned as stored (None: no sector), ``index`` the
    1-based entry in it (None: the sector as a whole)."""

    kind: ProblemKind
    sector: Optional[int]
    index: Optional[int]
    message: str
