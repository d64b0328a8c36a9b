#!/usr/bin/env python3
"""The bindings against their peers on the same keys, in the same rounds:
the Python module kelisi beside python3-lmdb and Python's sqlite3, and the
SQLite extension kelisi_sqlite beside the C API and SQLite's own table.

    python3 bench/bm_bindings.py BUILD_DIR [--records=N] [--rounds=R]

The data are bm_lookup's (gen_data -n N -l 99 -k 1-10 -d random -s 1: a
10-byte key and 99 characters a record), indexed by kelindex
data.txt,data.isi -1-10. LMDB holds the same index, key -> the record's
offset (8 bytes), for the lookups and the scan, and key -> record for the
scan with records and the inserts; sqlite3 a WITHOUT ROWID table (k TEXT
PRIMARY KEY, rec TEXT). Every system runs at its defaults
(durable commits, the library's default cache). Each round runs every
path of every system once, interleaved; a ratio is taken within a round
and the table shows medians of R rounds (3 by default), so that a machine
loaded by other work slows all sides of a ratio alike. Each read is timed
after one untimed pass of its own (a handle's cache, LMDB's map and
SQLite's pages warm, as bm_lookup's are).

  lookups          200,000 keys of the random order: for e in ix.find(k);
                   txn.get(k); SELECT length(rec) FROM t WHERE k = ?
  scan             every entry: for e in ix; for k, v in txn.cursor();
                   for (k,) in SELECT k FROM t
  scan, records    every entry with its record: cursor.fetch(4096,
                   records=True) until empty; for k, v in txn.cursor();
                   for k, rec in SELECT k, rec FROM t
  100,000 inserts  new random keys in one change: ix.insert(records); puts
                   in one write transaction; executemany in one transaction
  1,000 changes    one durable change each: ix.insert(record); a write
                   transaction each; an INSERT each (autocommit)

and through SQL:

  joined lookups   SELECT count(*), sum(t.offset) FROM probe JOIN t ON
                   t.key = probe.k over every key, against bm_lookup's
                   kelisi_find rate (the C API)
  SQL inserts      INSERT INTO t(record) SELECT r FROM new (100,000 rows,
                   one transaction) into the kelisi table opened with
                   write, against INSERT INTO s SELECT substr(r,1,10), r
                   FROM new into SQLite's table s(k, rec) with an index on k

The inserts run on fresh copies of the files each round. Every lookup
pass must find every key, every scan every entry; a miss stops the run.
"""

import os
import random
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

LOOKUPS = 200_000
INSERTS = 100_000
CHANGES = 1_000


def die(text):
    sys.exit("bm_bindings: " + text)


def main():
    args = sys.argv[1:]
    if not args:
        die("usage: bm_bindings.py BUILD_DIR [--records=N] [--rounds=R]")
    build = os.path.abspath(args[0])
    records, rounds = 1_000_000, 3
    for a in args[1:]:
        name, _, value = a.partition("=")
        if name == "--records":
            records = int(value)
        elif name == "--rounds":
            rounds = int(value)
        else:
            die("unknown option " + a)
    sys.path.insert(0, os.path.join(build, "python"))
    try:
        import lmdb  # noqa: E402 (python3-lmdb, scripts/install-deps.sh bench)
    except ImportError:
        die("python3-lmdb is missing: scripts/install-deps.sh bench installs it")
    import kelisi  # noqa: E402 (this build's package)

    scratch = tempfile.mkdtemp(prefix="kelbind.", dir=os.environ.get("TMPDIR", "/tmp"))
    try:
        Bench(build, scratch, records, kelisi, lmdb).run(rounds)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def c_lookups(build, records):
    """bm_lookup's kelisi_find rate."""
    out = subprocess.run(
        [os.path.join(build, "bm_lookup"), f"--records={records}", "--kelisi-cache=0",
         "--benchmark_filter=kelisi", "--benchmark_repetitions=1"],
        capture_output=True, text=True, check=False)
    m = re.search(r"^kelisi\s+(\d+)\s", out.stdout, re.M)
    if out.returncode != 0 or not m:
        die("bm_lookup failed:\n" + out.stdout + out.stderr)
    return float(m.group(1))


class Bench:
    def __init__(self, build, scratch, records, kelisi, lmdb):
        self.build, self.dir, self.kelisi, self.lmdb = build, scratch, kelisi, lmdb
        self.records = records
        run = lambda *a: subprocess.run(a, cwd=scratch, check=True, capture_output=True)
        run(os.path.join(build, "gen_data"), "-n", str(records), "-l", "99", "-k", "1-10",
            "-d", "random", "-s", "1", "-o", "data.txt")
        run(os.path.join(build, "kelindex"), "data.txt,data.isi", "-1-10")
        with open(self.path("data.txt"), "rb") as f:
            self.rows = [line[:-1] for line in f]
        keys = [r[:10] for r in self.rows]
        have = set(keys)
        rng = random.Random(20261207)
        rng.shuffle(keys)
        self.keys, self.few = keys, keys[:LOOKUPS]
        self.new = []
        while len(self.new) < INSERTS + CHANGES:
            k = bytes(rng.randrange(33, 127) for _ in range(10))
            if k not in have and b"'" not in k:
                have.add(k)
                self.new.append(k + b" " + bytes(rng.choice(b"abcdefgh ") for _ in range(88)))
        env = lmdb.open(self.path("lmdb"), map_size=4 << 30)
        with env.begin(write=True) as txn:
            for r in sorted(self.rows):
                txn.put(r[:10], r[10:], append=True)
        env.close()
        env = lmdb.open(self.path("lmdb-index"), map_size=1 << 30)
        offsets = {r[:10]: i * 100 for i, r in enumerate(self.rows)}
        with env.begin(write=True) as txn:
            for k in sorted(offsets):
                txn.put(k, offsets[k].to_bytes(8, "little"), append=True)
        env.close()
        db = sqlite3.connect(self.path("sql.db"))
        db.execute("CREATE TABLE t(k TEXT PRIMARY KEY, rec TEXT) WITHOUT ROWID")
        db.execute("CREATE TABLE s(k TEXT, rec TEXT)")
        rows = [(r[:10].decode("latin-1"), r.decode("latin-1")) for r in self.rows]
        db.executemany("INSERT INTO t VALUES (?, ?)", rows)
        db.executemany("INSERT INTO s VALUES (?, ?)", rows)
        db.execute("CREATE INDEX s_k ON s(k)")
        db.execute("CREATE TABLE probe(k TEXT)")
        db.executemany("INSERT INTO probe VALUES (?)", ((k.decode("latin-1"),) for k in keys))
        db.execute("CREATE TABLE new(r TEXT)")
        db.executemany("INSERT INTO new VALUES (?)",
                       ((r.decode("latin-1"),) for r in self.new[:INSERTS]))
        db.commit()
        db.close()
        for name in ("data.txt", "data.isi", "sql.db"):
            shutil.copy(self.path(name), self.path("base." + name))
        shutil.copytree(self.path("lmdb"), self.path("base.lmdb"))

    def path(self, name):
        return os.path.join(self.dir, name)

    def fresh(self):
        """The files as they were before any insert."""
        for name in ("data.txt", "data.isi", "sql.db"):
            shutil.copy(self.path("base." + name), self.path(name))
        shutil.rmtree(self.path("lmdb"))
        shutil.copytree(self.path("base.lmdb"), self.path("lmdb"))

    def open_all(self, kelisi_write=False):
        ix = self.kelisi.open(self.path("data.isi"), self.path("data.txt"), write=kelisi_write)
        env = self.lmdb.open(self.path("lmdb"), map_size=4 << 30)
        db = sqlite3.connect(self.path("sql.db"))
        return ix, env, db

    # ---- one round ------------------------------------------------------

    def reads(self, t):
        self.fresh()
        ix, env, db = self.open_all()
        index = self.lmdb.open(self.path("lmdb-index"), map_size=1 << 30)
        few, n = self.few, len(self.rows)

        def k_lookups():
            total = 0
            for k in few:
                for e in ix.find(k):
                    total += 1
            return total

        def l_lookups():
            total = 0
            with index.begin() as txn:
                get = txn.get
                for k in few:
                    total += get(k) is not None
            return total

        def s_lookups():
            total = 0
            q = "SELECT length(rec) FROM t WHERE k = ?"
            for k in few:
                total += db.execute(q, (k.decode("latin-1"),)).fetchone() is not None
            return total

        def k_scan():
            return sum(1 for e in ix)

        def l_scan():
            with index.begin() as txn:
                return sum(1 for k, v in txn.cursor())

        def s_scan():
            return sum(1 for (k,) in db.execute("SELECT k FROM t"))

        def k_records():
            count, c = 0, iter(ix)
            while batch := c.fetch(4096, records=True):
                count += len(batch)
            return count

        def l_records():
            with env.begin() as txn:
                return sum(1 for k, v in txn.cursor())

        def s_records():
            return sum(1 for k, rec in db.execute("SELECT k, rec FROM t"))

        for row, fns, want in (("lookups", (k_lookups, l_lookups, s_lookups), len(few)),
                               ("scan", (k_scan, l_scan, s_scan), n),
                               ("scan, records", (k_records, l_records, s_records), n)):
            for system, fn in zip(("kelisi", "lmdb", "sqlite3"), fns):
                fn()  # warm: the handle's cache, LMDB's map, SQLite's pages
                secs, got = timed(fn)
                if got != want:
                    die(f"{row} through {system}: {got} of {want}")
                t.setdefault((row, system), []).append(want / secs)
        ix.close()
        env.close()
        index.close()
        db.close()

    def writes(self, t):
        self.fresh()
        ix, env, db = self.open_all(kelisi_write=True)
        batch, singles = self.new[:INSERTS], self.new[INSERTS:]
        sql_batch = [(r[:10].decode("latin-1"), r.decode("latin-1")) for r in batch]

        def k_batch():
            return ix.insert(batch)

        def l_batch():
            with env.begin(write=True) as txn:
                for r in batch:
                    txn.put(r[:10], r[10:])
            return len(batch)

        def s_batch():
            with db:
                db.executemany("INSERT INTO t VALUES (?, ?)", sql_batch)
            return len(batch)

        def k_single():
            return sum(ix.insert(r) for r in singles)

        def l_single():
            for r in singles:
                with env.begin(write=True) as txn:
                    txn.put(r[:10], r[10:])
            return len(singles)

        def s_single():
            db.isolation_level = None  # autocommit: a transaction each
            for r in singles:
                db.execute("INSERT INTO t VALUES (?, ?)", (r[:10].decode("latin-1"),
                                                            r.decode("latin-1")))
            db.isolation_level = ""
            return len(singles)

        for row, fns, want in (("100,000 inserts", (k_batch, l_batch, s_batch), len(batch)),
                               ("1,000 changes", (k_single, l_single, s_single), len(singles))):
            for system, fn in zip(("kelisi", "lmdb", "sqlite3"), fns):
                secs, got = timed(fn)
                if got != want:
                    die(f"{row} through {system}: {got} of {want}")
                t.setdefault((row, system), []).append(want / secs)
        problems = ix.check()
        ix.close()
        env.close()
        db.close()
        if problems:
            die(f"the index after the inserts: {problems}")

    def sql(self, t):
        """The joined lookup against the C API; SQL inserts against SQLite's table."""
        self.fresh()
        c_rate = c_lookups(self.build, self.records)
        db = sqlite3.connect(self.path("sql.db"))
        db.enable_load_extension(True)
        db.load_extension(os.path.join(self.build, "kelisi_sqlite"))
        db.execute(f"CREATE VIRTUAL TABLE temp.x USING kelisi('{self.path('data.isi')}', "
                   f"'{self.path('data.txt')}', write)")
        joined = "SELECT count(*) FROM probe JOIN x ON x.key = probe.k"
        plan = " ".join(r[3] for r in db.execute("EXPLAIN QUERY PLAN " + joined))
        if "VIRTUAL TABLE INDEX 0:=" not in plan:
            die("the join does not look keys up: " + plan)
        db.execute(joined).fetchone()  # warm, as bm_lookup is
        secs, (found,) = timed(lambda: db.execute(joined).fetchone())
        if found != len(self.keys):
            die(f"joined lookups: {found} of {len(self.keys)}")
        t.setdefault(("joined lookups", "kelisi"), []).append(found / secs)
        t.setdefault(("joined lookups", "C API"), []).append(c_rate)
        db.isolation_level = None
        for system, sql in (("kelisi", "INSERT INTO x(record) SELECT r FROM new"),
                            ("sqlite3", "INSERT INTO s SELECT substr(r, 1, 10), r FROM new")):
            def run():
                db.execute("BEGIN")
                db.execute(sql)
                db.execute("COMMIT")
            secs, _ = timed(run)
            t.setdefault(("SQL inserts", system), []).append(INSERTS / secs)
        n = db.execute("SELECT count(*) FROM x").fetchone()[0]
        db.close()
        if n != len(self.rows) + INSERTS:
            die(f"the kelisi table after the SQL inserts holds {n} rows")

    def run(self, rounds):
        t = {}
        for _ in range(rounds):
            self.reads(t)
            self.writes(t)
            self.sql(t)
        self.report(t, rounds)

    def report(self, t, rounds):
        def med(row, system):
            return statistics.median(t[(row, system)])

        def ratio(row, a, b):
            return statistics.median(x / y for x, y in zip(t[(row, a)], t[(row, b)]))

        load = " ".join("%.2f" % x for x in os.getloadavg())
        print(f"bm_bindings: {len(self.rows):,} records, 10-byte keys, median of {rounds} rounds, "
              f"load {load}, SQLite {sqlite3.sqlite_version}, Python {sys.version.split()[0]}, "
              f"LMDB {'.'.join(map(str, self.lmdb.version()))}")
        print(f"{'Python, per second':<28} {'kelisi':>12} {'python3-lmdb':>13} {'sqlite3':>12}"
              f" {'vs lmdb':>8} {'vs sqlite3':>10}")
        for row in ("lookups", "scan", "scan, records", "100,000 inserts", "1,000 changes"):
            print(f"{row:<28} {med(row, 'kelisi'):>12,.0f} {med(row, 'lmdb'):>13,.0f} "
                  f"{med(row, 'sqlite3'):>12,.0f} {ratio(row, 'kelisi', 'lmdb'):>8.2f} "
                  f"{ratio(row, 'kelisi', 'sqlite3'):>10.2f}")
        print(f"{'SQL, per second':<28} {'kelisi':>12} {'against':>13}")
        print(f"{'joined lookups vs C API':<28} {med('joined lookups', 'kelisi'):>12,.0f} "
              f"{med('joined lookups', 'C API'):>13,.0f} "
              f"{ratio('joined lookups', 'kelisi', 'C API'):>8.2f}")
        print(f"{'inserts vs SQLite table':<28} {med('SQL inserts', 'kelisi'):>12,.0f} "
              f"{med('SQL inserts', 'sqlite3'):>13,.0f} "
              f"{ratio('SQL inserts', 'kelisi', 'sqlite3'):>8.2f}")


if __name__ == "__main__":
    main()
