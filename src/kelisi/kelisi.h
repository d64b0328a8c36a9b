/*
 * kelisi.h: read, search and check ISI index files from any program.
 *
 * An ISI file is a B-tree index of 512-byte sectors over a record-oriented
 * data file, written by kelindex (or by any program that keeps the format).
 * This library opens one, walks and searches its keys in order, reads the
 * records they point to, checks the index for damage and, opened with
 * KELISI_WRITE, inserts and deletes records in changes that are atomic and
 * durable (see "Changes"). It reads
 * both byte orders and both addressing modes (record numbers or byte
 * offsets), and any tree the format allows, up to 48 levels below its root.
 *
 *   kelisi* ix;
 *   int st = kelisi_open("orders.isi", "orders.txt", 0, &ix);
 *   if (st != KELISI_OK) { fprintf(stderr, "%s\n", kelisi_strerror(st)); ... }
 *   kelisi_cursor* c;
 *   kelisi_cursor_open(ix, &c);
 *   kelisi_entry e;
 *   for (st = kelisi_find(c, "A1000", 5, &e); st == KELISI_OK; st = kelisi_next_dup(c, &e))
 *     ... e.key, e.record_offset, e.record_size ...
 *   kelisi_cursor_close(c);
 *   kelisi_close(ix);
 *
 * Contract:
 * - Every call returns a status: KELISI_OK (0), KELISI_NOTFOUND (1, "no such
 *   entry", not a failure) or a negative KELISI_E_* code; kelisi_strerror
 *   gives its text. Nothing is printed, nothing is thrown, and no call keeps
 *   state outside the handles it is given: separate handles may be used from
 *   separate threads, one handle from one thread at a time.
 * - A damaged or hostile file yields KELISI_E_CORRUPT (or another negative
 *   status), never a crash, a read outside a buffer or an endless loop.
 * - Memory is bounded. A handle keeps a cache of index sectors: by default
 *   the whole index when it is 64 MiB or less, else an eighth of it, at
 *   least 64 MiB and at most 256 MiB (kelisi_set_cache_size sets another
 *   size, up to 1 GiB); never more than the file. The memory is taken as
 *   sectors are read, so a handle that reads little of a large index holds
 *   little. Besides the cache a handle takes a byte of bookkeeping per
 *   cache slot (512 bytes) when the cache holds the whole index, about 17
 *   bytes per slot when it holds a part, a 32 KiB read-ahead block and
 *   about 5 KiB; a cursor about 25 KiB. kelisi_check and kelisi_get_stats take one bit
 *   per sector of the index for the length of the call.
 * - Without KELISI_SHARED, another process that rewrites the index while it
 *   is read may make a call fail with KELISI_E_CORRUPT; with KELISI_SHARED
 *   the handle takes the advisory locks that kelindex's compaction respects
 *   and never sees a half-written tree.
 * - A build (kelindex DATA,ISI ..., or ISI -r) takes no lock: it cuts an
 *   existing index to nothing, writes 2048 zero bytes where the header, the
 *   root and the head deleted-record sector go, then the tree, and the
 *   header last. A reader that opens the index meanwhile, or a handle whose
 *   next call finds it rewritten (under KELISI_SHARED), gets
 *   KELISI_E_BUILDING, in shared mode too: there is no lock to wait on. Once the build has written the header the
 *   index reads as usual; a file that stays so was left by a build that
 *   did not finish (a crash; a build that fails removes its index). Other
 *   calls during a build may fail with KELISI_E_READ or KELISI_E_CORRUPT.
 */
#ifndef KELISI_H
#define KELISI_H

#include <stddef.h>
#include <stdint.h>

#if defined(KELISI_BUILDING) && defined(__GNUC__)
#define KELISI_API __attribute__((visibility("default")))
#else
#define KELISI_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status ------------------------------------------------------------- */

enum {
  KELISI_OK = 0,
  KELISI_NOTFOUND = 1,       /* no entry there: end of the index, no match */
  KELISI_E_ARG = -1,         /* a null pointer or an argument out of range */
  KELISI_E_NOMEM = -2,       /* memory could not be allocated */
  KELISI_E_OPEN = -3,        /* the index file cannot be opened */
  KELISI_E_READ = -4,        /* reading the index file failed */
  KELISI_E_NOT_ISI = -5,     /* not an ISI file (size, magic or version word) */
  KELISI_E_HEADER = -6,      /* a header value no index can have */
  KELISI_E_CORRUPT = -7,     /* damage found in the tree or the deleted-record chain */
  KELISI_E_NO_DATA = -8,     /* the call needs the data file, which is not open */
  KELISI_E_DATA_OPEN = -9,   /* the data file cannot be opened */
  KELISI_E_DATA_READ = -10,  /* reading the data file failed, or the record lies past its end */
  KELISI_E_LOCK = -11,       /* a shared lock could not be taken */
  KELISI_E_KEYSPEC = -12,    /* the header's key specifications do not describe the key */
  KELISI_E_BUFFER = -13,     /* the caller's buffer is too small; the size needed is returned */
  KELISI_E_TOO_LONG = -14,   /* a record longer than the index's records may be */
  KELISI_E_DUPLICATE = -15,  /* a key the index holds already, where it allows no duplicates */
  KELISI_E_READONLY = -16,   /* a change on a handle opened without KELISI_WRITE */
  KELISI_E_WRITE = -17,      /* writing or syncing the index or the data file failed */
  KELISI_E_RECORD = -18,     /* a record a build would not read back as this index's record: an
                                end-of-record mark inside it, bytes a reader takes for a deleted
                                record or the end of the data, tabs without option s */
  KELISI_E_UNSUPPORTED = -19, /* a change the format cannot hold (a record position past
                                 4 GiB, or not on a record boundary) */
  KELISI_E_BUSY = -20,       /* the handle has a change open already, or none is open */
  KELISI_E_JOURNAL = -21,    /* a change was interrupted (a journal that holds it lies beside the
                                index or its data file) and this process may not write the files
                                to roll it back */
  KELISI_E_DATA_OTHER = -22, /* opened for update with a data file that is not the one the index
                                describes (see KELISI_DATA_ANYWAY), or a change over indexes
                                of different data files */
  KELISI_E_BUILDING = -23,   /* the index's header is not written yet: kelindex is building it, or
                                a build did not finish (see the contract) */
  KELISI_E_JOURNAL_WRITE = -24, /* the rollback journal beside the index (for a change over
                                    several indexes: beside the data file) cannot be created or
                                    written (its directory must be writable); nothing was changed */
  KELISI_E_DEFINITION = -25  /* the command line the header stores is none kelindex would build
                                this index from: which records get entries is not known */
};

/* Not a failure: a record kelisi_txn_insert wrote to the data file without an
   entry, because the index's primary-record selection rejects it or, under
   option n0 or n$, the index keeps an earlier record of its key. */
#define KELISI_NO_ENTRY 2

/* The text of a status, for any int (unknown codes get a generic text). */
KELISI_API const char* kelisi_strerror(int status);

/* ---- Opening ------------------------------------------------------------ */

typedef struct kelisi kelisi;

/* Flags of kelisi_open. */
enum {
  /* Take the advisory locks kelindex's compaction respects: a shared lock
     on the data file's whole-file lock byte for the life of the handle, and
     the shared ISI lock around every call that reads the index. A call
     waits while a compaction in place or a change holds the ISI lock, then
     sees the rewritten index: when the header's spin counter, or the index
     file's size or modification time, has changed it re-reads the header
     and restarts its cursors at the entry they stood on. The
     locks live on the data file: the one named by data_path, or else the
     one the header names. */
  KELISI_SHARED = 1u << 0,
  /* Open the data file the header names when data_path is NULL. */
  KELISI_HEADER_DATA = 1u << 1,
  /* Open the index and the data file for update (kelisi_txn_*): both files
     read-write, the data file required (data_path, or else the one the header
     names). The handle holds the shared whole-file lock as KELISI_SHARED
     does, so that a compaction in exclusive mode waits for it. The data
     file must be the one the index describes, or the open fails with
     KELISI_E_DATA_OTHER: the file the header's name leads to (as written,
     beside the index when relative, or its last part beside the index;
     the same file, not another of that name), or, when none of those
     exists (the files were moved), a file of the same last name; and it
     must hold at least the data length the header counts. */
  KELISI_WRITE = 1u << 2,
  /* With KELISI_WRITE: take data_path for the data file even when it is not
     the one the index describes (a data file renamed, or one the caller
     knows to be right). */
  KELISI_DATA_ANYWAY = 1u << 3
};

/* Opens `isi_path` (read-only unless KELISI_WRITE) and reads its header. `data_path` names the
   data file the entries point into, or is NULL (then record reads and the
   record checks return KELISI_E_NO_DATA unless KELISI_HEADER_DATA,
   KELISI_SHARED or KELISI_WRITE is given). The data file the header names
   is looked for as written, then, when that is a relative name, beside the
   index, then by its last part beside the index. On success *out is the
   new handle; on failure *out is NULL. */
KELISI_API int kelisi_open(const char* isi_path, const char* data_path, unsigned flags,
                           kelisi** out);

/* Rolls back the change a journal beside the index holds ("<isi_path>-journal":
   a change or an in-place compaction cut short), or beside the data file
   its header names ("<data path>-journal": a change over several indexes
   of the file), as every kelisi_open does first. *recovered (may be NULL) is 1 when a change was rolled back, 0 when
   none waited; the status is kelisi_open's for the journal (KELISI_E_JOURNAL,
   KELISI_E_LOCK, KELISI_E_OPEN). */
KELISI_API int kelisi_recover(const char* isi_path, int* recovered);

/* kelisi_recover, looking beside `data_path` too (may be NULL) for the
   journal of a change over several indexes of the data file (see "Changes"),
   as kelisi_open with that data path does; `journal` (journal_size bytes,
   or NULL and 0) gets the name of the journal rolled back, or of the one
   that could not be ("" when there was none). KELISI_E_BUFFER when the name
   does not fit (the change was rolled back all the same). */
KELISI_API int kelisi_recover_journal(const char* isi_path, const char* data_path, int* recovered,
                                      char* journal, size_t journal_size);

/* Releases the handle, its files and its locks. The handle's cursors must
   be closed first: while one is open, KELISI_E_ARG and nothing is done.
   NULL is accepted. */
KELISI_API int kelisi_close(kelisi* ix);

/* ---- The header --------------------------------------------------------- */

typedef struct kelisi_keyspec {
  uint32_t first_column; /* 1-based, as typed on kelindex's command line */
  uint32_t last_column;  /* below first_column: the columns are taken in reverse */
} kelisi_keyspec;

typedef struct kelisi_test {
  uint32_t column; /* 1-based */
  char op;         /* '=' the column must equal ch, '#' it must differ */
  unsigned char ch;
} kelisi_test;

/* The position that names no sector (the end of the deleted-record chain). */
#define KELISI_NO_SECTOR UINT32_MAX

typedef struct kelisi_header {
  uint32_t record_length;  /* without end-of-record bytes (variable length: the maximum) */
  uint32_t eor_length;     /* 0 (binary), 1 or 2; a lone CR counts 1 */
  unsigned char eor[2];    /* the end-of-record bytes (LF; CR LF; LF CR; CR) */
  uint32_t key_length;     /* 1 to 150 */
  uint32_t entry_size;     /* bytes per key entry in a sector */
  int record_numbers;      /* 1: positions are record and sector numbers; 0: byte offsets */
  int other_byte_order;    /* 1: written on a machine of the other byte order */
  int upper_case;          /* keys were folded to upper case (option u) */
  int no_duplicates;       /* duplicate keys not allowed (option n) */
  int variable_length;     /* variable-length records (v or s) */
  int space_compression;   /* tabs stand for runs of blanks (s) */
  int append_at_end;       /* records may be appended at the end (w, v, s or p) */
  int binary;              /* binary records without end-of-record bytes (f) */
  int os_type;             /* 0, 1 or 2 (option o) */
  uint8_t format_flags;    /* header byte 6 as stored */
  uint8_t mode_flags;      /* header byte 7 as stored */
  uint32_t key_spec_count; /* 0 to 32 */
  kelisi_keyspec key_specs[32];
  uint32_t test_count; /* primary-record tests in simple form, 0 to 10 */
  kelisi_test tests[10];
  int extended_selection; /* the records are selected by an extended expression
                             too (kept only in the stored command line) */
  uint32_t data_length;   /* data file length (bytes, or records) when built */
  uint32_t record_count;  /* entries the build delivered, low 32 bits */
  uint32_t deleted_count; /* deleted records listed */
  uint32_t spin;          /* changed by every process that rewrites the index */
  uint32_t root_position; /* as stored: 1024, or sector 2 */
  uint32_t ddr_head;      /* as stored; KELISI_NO_SECTOR when there is no chain */
  uint64_t file_size;     /* of the index file, in bytes */
  char data_name[257];    /* the data file name kept in the header */
  char command_line[528]; /* the command line that built the index */
} kelisi_header;

/* Copies the header as last read (after a re-read under KELISI_SHARED). */
KELISI_API int kelisi_get_header(kelisi* ix, kelisi_header* out);

/* Sets how many bytes of index sectors the handle may keep in memory (by
   default sized from the index: see the contract above), at most 1 GiB,
   never more than the index file holds. A cache
   that holds the whole index answers every lookup without a system call.
   Empties the cache; cursors stay where they are. */
KELISI_API int kelisi_set_cache_size(kelisi* ix, size_t bytes);

/* ---- Cursors ------------------------------------------------------------ */

typedef struct kelisi_cursor kelisi_cursor;

typedef struct kelisi_entry {
  const unsigned char* key; /* key_length bytes, valid until the cursor moves or closes */
  uint32_t key_length;
  uint64_t record_offset; /* byte offset of the record in the data file */
  uint32_t record_size;   /* the record's size, end-of-record bytes included */
  uint32_t dup_seq;       /* 0 for the first record of a key, then 1, 2, ... (mod 65536) */
  uint32_t position;      /* the record position as stored (record number or byte offset) */
  uint32_t sector;        /* position of the key sector holding the entry, as stored */
  uint32_t index;         /* 1-based number of the entry in that sector */
} kelisi_entry;

KELISI_API int kelisi_cursor_open(kelisi* ix, kelisi_cursor** out);
KELISI_API int kelisi_cursor_close(kelisi_cursor* c);

/* Each positions the cursor and fills *e (e may be NULL); KELISI_NOTFOUND
   when there is no such entry (the cursor is then unpositioned: next and
   prev return KELISI_NOTFOUND until it is positioned again); a failure
   also leaves it unpositioned. Keys compare as unsigned bytes; equal keys
   are ordered by their duplicate sequence: by record position in a built
   index, in the order they arrived after changes. Under KELISI_SHARED, a
   cursor whose index was rewritten since its last call takes its next step
   from the entry it stood on, found again by key and duplicate sequence (or returns
   KELISI_NOTFOUND when the rewritten index has another key length). */
KELISI_API int kelisi_first(kelisi_cursor* c, kelisi_entry* e);
KELISI_API int kelisi_last(kelisi_cursor* c, kelisi_entry* e);
/* The first entry whose key is greater than or equal to `key`, compared over
   `len` bytes (1 to key_length): a shorter key seeks by prefix. */
KELISI_API int kelisi_seek(kelisi_cursor* c, const void* key, size_t len, kelisi_entry* e);
KELISI_API int kelisi_next(kelisi_cursor* c, kelisi_entry* e);
KELISI_API int kelisi_prev(kelisi_cursor* c, kelisi_entry* e);
/* Exact lookup: the first entry whose first `len` key bytes equal `key`
   (len = key_length for a whole key). kelisi_next_dup then gives the next
   entry whose first `len` bytes are the same, until KELISI_NOTFOUND; after
   kelisi_seek it compares the seek's `len` bytes, after kelisi_first or
   kelisi_last the whole key. */
KELISI_API int kelisi_find(kelisi_cursor* c, const void* key, size_t len, kelisi_entry* e);
KELISI_API int kelisi_next_dup(kelisi_cursor* c, kelisi_entry* e);

/* ---- Records ------------------------------------------------------------ */

/* Reads the record an entry points to (record_size bytes, end-of-record
   bytes included) into buf; *len gets the bytes read. The data file's last
   record may lack its end-of-record bytes (a file whose last line has no
   line end): kelindex indexes it under the size it would have with them,
   and it is read as the file holds it, *len short of record_size by the
   missing bytes (a 0x1A that ends a text file is not read as part of it).
   KELISI_E_BUFFER, with record_size in *len, when cap is smaller than
   record_size; KELISI_E_DATA_READ when the file holds less of the record. */
KELISI_API int kelisi_read_record(kelisi* ix, const kelisi_entry* e, void* buf, size_t cap,
                                  size_t* len);

/* The key a record carries, as the build extracts it under the options and
   key specifications of the command line the header stores: columns past
   the record's end give blanks, tabs in text records expand to the next
   multiple of 8 columns (unless option b), letters are folded to upper case
   under option u. An index whose stored line cannot be used has its key
   taken by the header's key specifications, tabs expanding under option s. `record` holds
   one record; it ends at its end-of-record bytes or at `len`. key_out
   receives key_length bytes. */
KELISI_API int kelisi_record_key(kelisi* ix, const void* record, size_t len,
                                 unsigned char* key_out);

/* Folds `len` bytes of a key to look for, in place, as the index's keys
   were folded: letters a-z to upper case when it was built with option u
   (as kelisi_record_key folds them), nothing otherwise. */
KELISI_API int kelisi_fold_key(kelisi* ix, void* key, size_t len);

/* ---- Deleted records ---------------------------------------------------- */

/* The deleted-record chain, newest sector first, as byte offsets in the data
   file. *count gets the number of positions; when it exceeds cap nothing is
   copied past cap and KELISI_E_BUFFER is returned (out may be NULL to ask
   for the count). */
KELISI_API int kelisi_deleted(kelisi* ix, uint64_t* out, size_t cap, size_t* count);

/* ---- Changes ------------------------------------------------------------ */

/* A change inserts and deletes records, and their entries, as one unit, on
   the model of a database's write transaction:

     kelisi_txn* t;
     kelisi_txn_begin(ix, &t);               // ix opened with KELISI_WRITE
     kelisi_txn_insert(t, "A1000 widget", 12, NULL);
     kelisi_txn_delete_at(t, 4096);
     st = kelisi_txn_commit(t);              // or kelisi_txn_abort(t)

   Contract:
   - One change at a time a handle. kelisi_txn_begin takes the exclusive ISI
     lock (the lock an in-place compaction takes; it waits while a compaction
     or another change holds it, and readers in KELISI_SHARED mode wait for
     it between their calls) and reads the header again. The lock is held
     until commit or abort: keep changes short.
   - Nothing reaches either file before kelisi_txn_commit. The change keeps
     every index sector it modifies (about 600 bytes each) and every record
     it writes in memory, so memory grows with the change: 100,000 inserts
     touch a few thousand sectors, a few MiB. Split larger batches into
     several changes to bound it.
   - Commit is atomic and durable: the original bytes of every sector and
     record about to be overwritten go to a rollback journal,
     "<isi_path>-journal" beside the index (for a change over several
     indexes, one beside the data file: see kelisi_txn_begin_set), which is
     synced before the first
     write in place; then both files are written and synced, the journal is
     invalidated in place and synced (the commit point: no power loss undoes
     the change after it), and the header's spin counter has changed (it
     counts up, wrapping, at every committed change). The handle keeps the
     journal file for its next change (no directory entry is created,
     removed or synced per change) and kelisi_close removes it. After a
     crash at any moment the next opener (this library, kelisi or kelindex)
     finds the journal and rolls the change back: the files hold either the
     whole change or none of it. A journal that holds no change (empty, or
     invalidated) is nothing to recover. A failure while writing rolls back
     at once (KELISI_E_WRITE).
   - A call that fails with KELISI_E_DUPLICATE, or with a read or write
     failure in the middle of an operation, spoils the change: every later
     call on it, commit included, returns that status, and the change
     leaves both files as they were. KELISI_E_TOO_LONG, KELISI_E_RECORD,
     KELISI_E_ARG and KELISI_NOTFOUND leave the change usable.
   - While a change is open the handle's cursors read the index as it was
     before it; after the commit they continue from their entries as after a
     compaction.
   - Where records go: a fixed-length record takes the place of the newest
     deleted record while the index keeps a deleted-record list, else it is
     appended to the data file; variable-length, space-compressed and
     append-only indexes (built with w, v, s or p: the header's append flag)
     always append (a list an index built with p holds stays as it is; a
     compaction drops it). A record appended behind a last record that
     lacks its end-of-record bytes comes after those bytes, written first;
     one appended behind an end-of-file mark (0x1A) closing text data takes
     its place. A fixed-length record shorter than the record length is
     padded with blanks. The library adds the data file's end-of-record
     bytes: `record` holds the record's text alone.
   - Every record is read back as a build over the data would read it, with
     the options, key specifications and primary-record selection of the
     command line the header stores (the one kelindex -r rebuilds from):
     one whose bytes a build would take for something else (an
     end-of-record mark inside it, the zero bytes of a deleted record at its
     start, an end-of-file mark, tabs without option s) is refused with
     KELISI_E_RECORD, one longer than the index's records may be (the
     record length; under v or s the maximum the header keeps, columns
     counted with their tabs under s) with KELISI_E_TOO_LONG; both leave
     the files as they were. An index whose stored line kelindex would not
     build it from cannot be changed (kelisi_txn_begin: KELISI_E_DEFINITION).
   - Keys are extracted as the build extracts them (kelisi_record_key). A
     record the primary-record selection rejects (simple tests, an extended
     expression, both) is written without an entry (KELISI_NO_ENTRY). Under
     option n a key the index holds already spoils
     the change (KELISI_E_DUPLICATE); under n0 and n$ the index keeps the
     first record of each key in the data file, as a build does: a record
     behind it gets no entry (KELISI_NO_ENTRY), a record placed in front of
     it takes the entry over, and deleting the kept record gives the entry
     to the next record of that key, found by reading the data file.
     Otherwise a duplicate key goes after the equal keys there, with the
     next duplicate sequence: equal keys are in the order they arrived.
   - Deleting a record sets its bytes, end-of-record bytes included, to
     0x00 (a deleted record to every reader and to the build), lists its
     place in the deleted-record list where the index keeps one, and removes
     its entry. Sectors of the index may be left partly filled; kelindex -c
     restores the fill.
   - KELISI_E_UNSUPPORTED: a record whose position the format cannot hold
     (past 4 GiB, or, under record-number addressing, off a record
     boundary). */
typedef struct kelisi_txn kelisi_txn;

/* Begins a change: KELISI_E_READONLY without KELISI_WRITE, KELISI_E_BUSY
   while the handle has one open, KELISI_E_LOCK when the lock cannot be
   taken (or another program held it longer than kelisi_set_lock_wait
   allows), KELISI_E_DEFINITION when the stored command line does not say
   which records get entries. */
KELISI_API int kelisi_txn_begin(kelisi* ix, kelisi_txn** out);

/* Begins one change over `n` indexes of one data file (ixs[0], the lead,
   first; each opened with KELISI_WRITE, none twice nor two handles of one
   index, none with a change open; at most 64), so that every index of the
   file stays current; the change is used and ended through the returned
   kelisi_txn as any other:

     kelisi* ixs[2];                       // both opened with KELISI_WRITE
     kelisi_open("bynum.isi", "customers.txt", KELISI_WRITE, &ixs[0]);
     kelisi_open("byname.isi", "customers.txt", KELISI_WRITE, &ixs[1]);
     kelisi_txn* t;
     kelisi_txn_begin_set(ixs, 2, &t);
     kelisi_txn_insert(t, "A1000 widget", 12, NULL);
     st = kelisi_txn_commit(t);

   - The indexes must be over the same data file: the same file on the
     disk (device and inode), not just the same name, and the name each
     header keeps must lead to it (as kelisi_open looks for it, as one
     directory entry: the journal lies beside it), else
     KELISI_E_DATA_OTHER. KELISI_E_ARG for an index given twice,
     KELISI_E_READONLY, KELISI_E_BUSY as kelisi_txn_begin.
   - The exclusive ISI lock, which lies on the data file and so covers
     every index of it, is taken once, through ixs[0] (waiting as
     kelisi_set_lock_wait set it for ixs[0]); while the change is open
     every handle of the set is busy with it (its own calls take no lock,
     and read its index as it was before the change).
   - kelisi_txn_insert reads the record back as each index's build would
     (its own key specifications, options and selection; a record one of
     them refuses is refused, KELISI_E_RECORD or KELISI_E_TOO_LONG, and
     nothing is written), writes it once, and gives it an entry in every
     index that selects it, each by its own n0 and n$ rules; under option
     n in any index a key that index holds already spoils the whole change
     (KELISI_E_DUPLICATE). Its status and *out are those of ixs[0];
     kelisi_txn_entry tells the others.
   - Where a record goes: into the place of a deleted record only while
     every index of the set keeps a deleted-record list (none built with
     w, v, s or p); the place is the newest one of the first index, in set
     order, whose list holds any, and it leaves every other list that
     holds it (the newest position of that list takes its slot). An
     append-only index in the set means records are appended.
   - kelisi_txn_delete and kelisi_txn_delete_key take the entries and keys
     of ixs[0]; kelisi_txn_delete_at the record at an offset that any index
     of the set has an entry for. Every delete zeroes the record once,
     removes its entry from every index that has one (its key in each as
     that index extracts it), lists its place in every index that keeps a
     deleted-record list, and under n0 and n$ gives that index's entry to
     the next record of its key.
   - The commit is one commit point for the data file and every index: the
     original bytes and lengths of all of them go into one journal,
     "<data path>-journal" beside the data file (the path the headers' name
     leads to), which every opener of any of the indexes looks for before it
     reads anything else, since the header's data file name is never
     rewritten by a change: kelisi_open and kelisi_recover_journal beside
     the data file the header names (and the data_path given), a change's
     begin beside its data file, kelindex -i, -r and -c and kelisi likewise.
     The journal goes beside a name of the data file that every index's
     opener finds wherever it runs (the header's name absolute, or beside
     the index) when there is one; else beside the name as written, which
     openers look for from their working directory. It rolls the change
     back in every file it names. A handle keeps the
     journal, invalidated, for its next change over the same set, and
     removes it at kelisi_close. Shared readers of each index see the
     change all at once: every index's spin counter moves.
   - The rest of the contract of a change holds over all of the files.
   A set of one is kelisi_txn_begin: the same change, journal and bytes. */
KELISI_API int kelisi_txn_begin_set(kelisi* const* ixs, size_t n, kelisi_txn** out);

/* The entry the last kelisi_txn_insert of the change gave the record in
   ixs[i] of its set (0 for a change kelisi_txn_begin began): KELISI_OK
   with *out (its key valid until the next call on the change),
   KELISI_NO_ENTRY when that index gives it none (*out untouched),
   KELISI_E_ARG for an i out of range, or before any insert (or after one
   that failed). */
KELISI_API int kelisi_txn_entry(kelisi_txn* t, size_t i, kelisi_entry* out);

/* How long kelisi_txn_begin waits for the exclusive ISI lock while another
   program holds it: `milliseconds`, or as long as it takes when negative
   (the default). */
KELISI_API int kelisi_set_lock_wait(kelisi* ix, int milliseconds);

/* Writes a record of `len` bytes (its text, without end-of-record bytes)
   and enters its key. KELISI_OK with *out (may be NULL) describing the new
   entry (key valid until the next call on the change; sector and index 0:
   the entry's place is known after the commit), or KELISI_NO_ENTRY with
   *out describing the record written (key_length 0); KELISI_E_RECORD or
   KELISI_E_TOO_LONG for a record refused (see the contract). */
KELISI_API int kelisi_txn_insert(kelisi_txn* t, const void* record, size_t len, kelisi_entry* out);

/* Deletes the record an entry names (as a cursor returned it: its key and
   position decide) and the entry. KELISI_NOTFOUND when the index holds no
   such entry. */
KELISI_API int kelisi_txn_delete(kelisi_txn* t, const kelisi_entry* e);

/* Deletes the record at byte `offset` of the data file and its entry.
   KELISI_NOTFOUND when no entry names a record there. */
KELISI_API int kelisi_txn_delete_at(kelisi_txn* t, uint64_t offset);

/* Flag of kelisi_txn_delete_key: every entry whose key begins with `key`. */
#define KELISI_PREFIX 1u

/* Deletes the records of every entry whose first `len` key bytes equal
   `key` (1 to key_length bytes), and the entries: the entries kelisi_find
   and kelisi_next_dup give for the same `key` and `len`, as the change
   sees the index (the records it inserted included). A `key` shorter than
   the keys is thus taken as the beginning of a key, with or without
   KELISI_PREFIX, which says so; to delete a whole key that ends in blanks,
   pass it padded to key_length. Keys are compared as stored: on an index
   built with upper-case keys, fold `key` first. Under n0 and n$ the record
   that takes a deleted entry over is deleted too, so that no entry of the
   key is left. *deleted (may be NULL) gets the number of records deleted;
   KELISI_NOTFOUND (and 0) when there is none. */
KELISI_API int kelisi_txn_delete_key(kelisi_txn* t, const void* key, size_t len, unsigned flags,
                                     uint64_t* deleted);

/* Makes the change durable and ends it (see the contract); the change is
   freed whatever the result. */
KELISI_API int kelisi_txn_commit(kelisi_txn* t);

/* Abandons the change and frees it: neither file is touched. NULL is
   accepted. */
KELISI_API int kelisi_txn_abort(kelisi_txn* t);

/* ---- Statistics and checking -------------------------------------------- */

typedef struct kelisi_stats {
  uint32_t depth;       /* levels from the root to the deepest leaf; 1 for a root alone */
  uint64_t key_sectors; /* key sectors of the tree, root included */
  uint64_t leaf_sectors;
  uint64_t entries;     /* entries of the tree */
  uint32_t per_sector;  /* entries a sector holds at most */
  double fill;          /* entries / (key sectors x per_sector), 0 to 1 */
  uint64_t ddr_sectors; /* sectors of the deleted-record chain */
  uint64_t ddr_entries;
} kelisi_stats;

/* Visits every key sector and the deleted-record chain. KELISI_E_CORRUPT
   when the structure is damaged (the cursors would refuse it). */
KELISI_API int kelisi_get_stats(kelisi* ix, kelisi_stats* out);

/* One problem found by kelisi_check. */
typedef struct kelisi_problem {
  int kind;            /* KELISI_P_* */
  uint32_t sector;     /* position of the sector concerned, as stored; KELISI_NO_SECTOR: none */
  uint32_t index;      /* 1-based entry in that sector; 0: the sector as a whole */
  const char* message; /* one line, without a line end, valid during the callback */
  uint64_t offset;     /* byte offset in the data file concerned; UINT64_MAX: none */
} kelisi_problem;

enum {
  KELISI_P_HEADER = 1, /* the header's record count against the tree's entries */
  KELISI_P_SECTOR,     /* a key sector off a sector boundary or in the front, reached
                          twice, or naming one child twice */
  KELISI_P_LEVEL,      /* a child not below its parent's level, a leaf above level 0,
                          more than 48 levels below the root */
  KELISI_P_COUNT,      /* a count byte larger than a sector holds */
  KELISI_P_ORDER,      /* keys stepping backwards; equal keys whose duplicate sequence
                          does not count up; a duplicate where the header allows none */
  KELISI_P_DDR,        /* the deleted-record chain, or its total against the header */
  KELISI_P_RECORD,     /* an entry whose record is missing, deleted, has another key or size,
                          or is none a build would index */
  KELISI_P_DELETED,    /* a deleted-record position that is not a deleted record */
  KELISI_P_TRUNCATED,  /* the file ends before sectors its tree or chain refer to */
  KELISI_P_FREE,       /* a sector past the front that belongs neither to the tree nor
                          to the chain (unless KELISI_CHECK_ALLOW_FREE) */
  KELISI_P_NO_ENTRY,   /* a record a build would index that has no entry */
  KELISI_P_DATA_FORM   /* the data file is not of the form the index was built for */
};

/* Notes: shapes of a tree that every reader handles but that the build
   never makes. The build leaves the sectors along the tree's right edge
   (the root, its rightmost child, that one's rightmost child, ...) partly
   filled and may hang a lower level under their rightmost slot; nothing
   else. kelisi_check reports each kind once, after the problems, with the
   number of sectors concerned in the message and the first of them in
   `sector`; notes do not count in its result. Kinds 32 to 63 are notes. */
enum {
  KELISI_N_LEVEL_GAP = 32, /* a child more than one level below its parent */
  KELISI_N_NO_CHILD,       /* an inner sector with a child slot left empty */
  KELISI_N_EMPTY,          /* a sector other than the root without entries or children */
  KELISI_N_UNDERFULL       /* a sector with fewer than half the entries of the fullest */
};
#define KELISI_IS_NOTE(kind) ((kind) >= 32 && (kind) < 64)

/* Flags of kelisi_check. */
enum {
  /* With the data file: prove that the entries are exactly the records a
     build over the data would index today (every record its definition
     selects has its entry with its key, offset and size, and there is no
     other), and that every listed deleted record is one. The data is read
     as kelindex reads it, with the options, key specifications and
     primary-record selection of the command line stored in the header, and
     compared with the entries by a fingerprint of both sides; only when
     the fingerprints differ are the differences named. An index whose
     stored line cannot be used (KELISI_E_DEFINITION) has each entry's
     record read and checked instead, and the summary's note says so. */
  KELISI_CHECK_RECORDS = 1u << 0,
  /* Accept sectors that belong neither to the tree nor to the chain. The
     build and the compaction leave none, so by default each is reported;
     a program that updates an index in place may keep free sectors. */
  KELISI_CHECK_ALLOW_FREE = 1u << 1,
  /* With the data file: read every listed deleted record and check that it
     is a deleted record (KELISI_CHECK_RECORDS does this too). */
  KELISI_CHECK_DELETED = 1u << 2,
  /* With KELISI_CHECK_RECORDS: also read every entry's record on its own
     and check that it is live, ends in its end-of-record bytes and carries
     the entry's key. */
  KELISI_CHECK_EACH_RECORD = 1u << 3
};

/* Calls `report` for each problem of the structure, in file order of
   discovery, then for each kind of note, then (KELISI_CHECK_RECORDS) for
   each problem found in the data; returning non-zero from it stops the
   check. The result
   is the number of problems (0: the index is consistent; notes are not
   counted) or a negative status when the check itself could not run (a
   read error, no data file for KELISI_CHECK_RECORDS). */
typedef int (*kelisi_report_fn)(void* ctx, const kelisi_problem* p);
KELISI_API int kelisi_check(kelisi* ix, unsigned flags, kelisi_report_fn report, void* ctx);

/* What a check saw besides its problems. */
typedef struct kelisi_check_counts {
  uint64_t problems;        /* as kelisi_check counts them, without its cap */
  uint64_t notes;           /* the kinds of notes reported */
  uint64_t entries;         /* entries of the tree walked */
  int data_compared;        /* the entries were compared with the records of the data */
  uint64_t records_scanned; /* records of the data, selected or not (deleted ones aside) */
  uint64_t records_indexed; /* of them, those a build gives an entry */
  uint64_t deleted_records; /* deleted records of the data */
  int rebuildable;          /* the stored command line defines the index: kelindex -r rebuilds it */
  char note[480];           /* what the check could not do, and why; "" when it did it all */
} kelisi_check_counts;

/* kelisi_check, and what it saw into *out (which may be NULL). */
KELISI_API int kelisi_check_with_counts(kelisi* ix, unsigned flags, kelisi_report_fn report,
                                        void* ctx, kelisi_check_counts* out);

#ifdef __cplusplus
}
#endif

#endif /* KELISI_H */
