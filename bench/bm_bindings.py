#!/usr/bin/env python3
"""Lookups and a full scan of a 1,000,000-key index through the bindings:
the Python module kelisi and the SQLite extension kelisi_sqlite, beside
the C API's figures from bm_lookup on the same kind of index, in one run.

    python3 bench/bm_bindings.py BUILD_DIR [--records N] [--rounds R]

The index is made as bm_lookup makes its own (gen_data -n N -l 99 -k 1-10
-d random -s 1, then kelindex data.txt,data.isi -1-10). Every handle keeps
the library's default cache (the whole of this index), as bm_lookup
does without --kelisi-cache. Each round runs bm_lookup's kelisi rows once, then
every path below once; a ratio to the C API is taken within a round, and
the table shows the medians of R rounds (3 by default):

  C API         bm_lookup's kelisi_find per key, and its scan
  Python        ix.find(key) per key, summing offsets; `for e in ix`
  SQL, joined   SELECT sum(t.offset) FROM probe JOIN t ON t.key = probe.k:
                one statement, a tree lookup per probe key, no host
                language between the lookups; the scan SELECT sum(offset) FROM t
  SQL, per key  SELECT offset FROM t WHERE key = ? from Python's sqlite3,
                one statement per key
  200 keys      the joined lookup of 200 keys against one full scan

Python and SQL-per-key look up the first 200,000 keys of the random
order (each costs more per key than the others); the joined lookup and
the C API look up every key once. Every lookup pass must find every key
with its offset, every scan every entry; a miss stops the run.
"""

import os
import random
import re
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

PER_CALL_KEYS = 200_000


def die(text):
    sys.exit("bm_bindings: " + text)


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def main():
    args = sys.argv[1:]
    if not args:
        die("usage: bm_bindings.py BUILD_DIR [--records N] [--rounds R]")
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
    os.environ["KELISI_LIBRARY"] = os.path.join(build, "libkelisi.so.1")
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "python"))
    import kelisi  # noqa: E402 (the build's library, through KELISI_LIBRARY)

    scratch = tempfile.mkdtemp(prefix="kelbind.", dir=os.environ.get("TMPDIR", "/tmp"))
    try:
        run(build, scratch, records, rounds, kelisi)
    finally:
        subprocess.run(["rm", "-rf", scratch], check=False)


def c_api(build, records):
    """bm_lookup's kelisi rows: lookups a second, scan entries a second."""
    out = subprocess.run(
        [os.path.join(build, "bm_lookup"), f"--records={records}", "--kelisi-cache=0",
         "--benchmark_filter=kelisi", "--benchmark_repetitions=1"],
        capture_output=True, text=True, check=False)
    m = re.search(r"^kelisi\s+(\d+)\s+\d+\s+(\d+)", out.stdout, re.M)
    if out.returncode != 0 or not m:
        die("bm_lookup failed:\n" + out.stdout + out.stderr)
    return float(m.group(1)), float(m.group(2))


def run(build, scratch, records, rounds, kelisi):
    subprocess.run([os.path.join(build, "gen_data"), "-n", str(records), "-l", "99", "-k", "1-10",
                    "-d", "random", "-s", "1", "-o", "data.txt"], cwd=scratch, check=True)
    subprocess.run([os.path.join(build, "kelindex"), "data.txt,data.isi", "-1-10"], cwd=scratch,
                   check=True, capture_output=True)
    isi = os.path.join(scratch, "data.isi")
    offsets = {}
    with open(os.path.join(scratch, "data.txt"), "rb") as f:
        at = 0
        for line in f:
            offsets[line[:10]] = at
            at += len(line)
    keys = list(offsets)
    random.Random(20261206).shuffle(keys)
    few = keys[:PER_CALL_KEYS]
    want_few = sum(offsets[k] for k in few)
    want_all = sum(offsets.values())

    ix = kelisi.open(isi)
    db = sqlite3.connect(":memory:")
    db.enable_load_extension(True)
    db.load_extension(os.path.join(build, "kelisi_sqlite"))
    db.execute(f"CREATE VIRTUAL TABLE t USING kelisi('{isi}')")
    db.execute("CREATE TABLE probe(k TEXT)")
    db.executemany("INSERT INTO probe VALUES (?)", ((k.decode(),) for k in keys))
    db.execute("CREATE TABLE probe200 AS SELECT k FROM probe LIMIT 200")
    joined = "SELECT count(*), sum(t.offset) FROM probe JOIN t ON t.key = probe.k"
    plan = " ".join(r[3] for r in db.execute("EXPLAIN QUERY PLAN " + joined))
    if "VIRTUAL TABLE INDEX 0:=" not in plan:
        die("the join does not look keys up: " + plan)

    def py_lookups():
        total = 0
        for k in few:
            for e in ix.find(k):
                total += e.offset
        return total

    def py_scan():
        return sum(e.offset for e in ix)

    def sql_per_key():
        total = 0
        for k in few:
            total += db.execute("SELECT offset FROM t WHERE key = ?", (k.decode(),)).fetchone()[0]
        return total

    def sql_joined():
        return db.execute(joined).fetchone()

    def sql_200():
        return db.execute(joined.replace("probe", "probe200")).fetchone()

    def sql_scan():
        return db.execute("SELECT count(*), sum(offset) FROM t").fetchone()

    checks = {
        "python lookups": (py_lookups, want_few, len(few)),
        "python scan": (py_scan, want_all, len(keys)),
        "sql per key": (sql_per_key, want_few, len(few)),
        "sql joined": (sql_joined, (len(keys), want_all), len(keys)),
        "sql 200 keys": (sql_200, (200, sum(offsets[k] for k in keys[:200])), 200),
        "sql scan": (sql_scan, (len(keys), want_all), len(keys)),
    }
    times = {name: [] for name in checks}
    c_rates = []
    for name, (fn, want, _) in checks.items():  # a warm-up pass, checked
        if fn() != want:
            die(name + ": not every key found with its offset")
    for _ in range(rounds):
        c_rates.append(c_api(build, records))
        for name, (fn, want, _) in checks.items():
            t, got = timed(fn)
            if got != want:
                die(name + ": not every key found with its offset")
            times[name].append(t)
    ix.close()
    db.close()

    def rate(name, i=None):
        n = checks[name][2]
        return n / times[name][i] if i is not None else n / statistics.median(times[name])

    def vs_c(name, scan):
        return statistics.median(rate(name, i) / c_rates[i][1 if scan else 0] for i in range(rounds))

    c_lookups = statistics.median(r[0] for r in c_rates)
    c_scan = statistics.median(r[1] for r in c_rates)

    load = " ".join("%.2f" % x for x in os.getloadavg())
    print(f"bm_bindings: {len(keys):,} keys of 10 bytes, median of {rounds} rounds, "
          f"load {load}, SQLite {sqlite3.sqlite_version}, Python {sys.version.split()[0]}")
    print(f"{'path':<32} {'lookups/s':>12} {'vs C':>6} {'scan entries/s':>15} {'vs C':>6}")
    print(f"{'C API (bm_lookup)':<32} {c_lookups:>12,.0f} {1:>6.3f} {c_scan:>15,.0f} {1:>6.3f}")
    rows = [
        ("Python module", "python lookups", "python scan"),
        ("SQL, one joined statement", "sql joined", "sql scan"),
        ("SQL, a statement per key (Py)", "sql per key", None),
    ]
    for title, lookups, scan in rows:
        scan_text = f"{rate(scan):>15,.0f} {vs_c(scan, True):>6.3f}" if scan else ""
        print(f"{title:<32} {rate(lookups):>12,.0f} {vs_c(lookups, False):>6.3f} {scan_text}")
    t200 = statistics.median(times["sql 200 keys"])
    tscan = statistics.median(times["sql scan"])
    print(f"200 key lookups through SQL: {t200 * 1e3:.3f} ms, one full scan through SQL: "
          f"{tscan * 1e3:.1f} ms ({t200 / tscan:.4f} of it)")


if __name__ == "__main__":
    main()
