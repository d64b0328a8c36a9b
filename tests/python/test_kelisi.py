"""The Python module end to end: indexes of both byte orders, both
addressings, duplicate keys and deleted records read through kelisi and
compared with what the kelisi tool prints of them; searches against the
tool's find and range; the header, statistics and check against the
tool's JSON; every failure an Error with the library's status; a closed
index or cursor raising, never crashing.

Run by ctest with PYTHONPATH (the module's source), KELISI_LIBRARY (the
built library), KELINDEX_BIN, KELISI_BIN and KEL_SOURCE_DIR set."""

import json
import os
import random
import shutil
import subprocess
import tempfile
import unittest

import kelisi

KELINDEX = os.environ["KELINDEX_BIN"]
KELISI = os.environ["KELISI_BIN"]
GOLDEN = os.path.join(os.environ["KEL_SOURCE_DIR"], "tests", "golden")


def escaped(data: bytes) -> str:
    """As kelisi prints keys and records."""
    return "".join("\\\\" if b == 0x5C else "\\t" if b == 0x09 else
                   chr(b) if 0x20 <= b < 0x7F else "\\x%02x" % b for b in data)


def line(ix, e, records: bool) -> str:
    fields = [escaped(e.key), str(e.offset), str(e.size), str(e.dup)]
    if records:
        fields.append(escaped(ix.record(e)))
    return "\t".join(fields)


def tool(*args) -> str:
    """kelisi's output; status 1 (nothing found) may come with a hint."""
    r = subprocess.run([KELISI, *args], capture_output=True, check=False)
    assert r.returncode == 1 or (r.returncode == 0 and not r.stderr), (args, r.stderr)
    return r.stdout.decode("latin-1")


def read(path) -> bytes:
    with open(path, "rb") as f:
        return f.read()


class Files:
    """A scratch directory with data files made here and indexes built by
    kelindex; it remembers where the deleted records went."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kelisi_py_")
        self.deleted = {}

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def data(self, name, records, eor=b"\n"):
        """records: bytes bodies, or an int n for a deleted record of n bytes."""
        out, deleted = bytearray(), []
        for r in records:
            if isinstance(r, int):
                deleted.append(len(out))
                out += bytes(r)
            else:
                out += r + eor
        self.write(name, out)
        self.deleted[name] = deleted

    def write(self, name, content: bytes):
        with open(self.path(name), "wb") as f:
            f.write(content)

    def build(self, *args):
        r = subprocess.run([KELINDEX, *args], cwd=self.dir, capture_output=True, check=False)
        assert r.returncode == 0, r.stdout

    def copy_golden(self, name):
        os.makedirs(self.path("golden"), exist_ok=True)
        return shutil.copy(os.path.join(GOLDEN, name), self.path("golden"))


class KelisiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.f = Files()
        rng = random.Random(5)
        fixed = []
        for i in range(600):  # many equal keys, every fifth record deleted
            fixed.append(11 if i % 5 == 3 else
                         bytes(rng.choice(b"ab\xe9") for _ in range(3)) + b" %06d" % i)
        cls.f.data("fixed.txt", fixed)
        cls.f.build("fixed.txt,fixed.isi", "-1-3")
        cls.f.build("fixed.txt,upper.isi", "-u,1-3,5-6")
        damaged = bytearray(read(cls.f.path("fixed.isi")))  # a count byte past what a sector holds
        damaged[2048 + 4 * 512 + 500] = 250
        cls.f.write("damaged.isi", damaged)
        var = []
        for i in range(400):
            var.append(bytes(rng.choice(b"KLM\x01\\") for _ in range(rng.randrange(2, 40))))
            if i % 6 == 2:
                var.append(rng.randrange(1, 30))
        cls.f.data("var.txt", var)
        cls.f.build("var.txt,var.isi", "-v,1-4")

    @classmethod
    def tearDownClass(cls):
        cls.f.close()

    def test_entries_and_records_equal_the_dump(self):
        f = self.f
        cases = [  # index, data file, what it stands for
            (f.path("fixed.isi"), f.path("fixed.txt"), "record numbers, duplicates, deleted"),
            (f.path("upper.isi"), f.path("fixed.txt"), "upper-case keys"),
            (f.path("var.isi"), f.path("var.txt"), "byte offsets, variable length, deleted"),
        ] + [(f.copy_golden(name), None, name) for name in
             ("foreign.isi", "var.isi", "fixed.isi", "ddr126.isi", "binary.isi", "lfcr.isi",
              "keys32.isi", "empty.isi")]
        for isi, data, what in cases:
            with self.subTest(what):
                args = ["dump", isi] + (["--data", data] if data else [])
                want = tool(*args).splitlines()
                with kelisi.open(isi, data) as ix:
                    self.assertEqual([line(ix, e, data is not None) for e in ix], want)
                    self.assertEqual([line(ix, e, False) for e in reversed(ix)],
                                     ["\t".join(w.split("\t")[:4]) for w in reversed(want)])
                    if data is not None:  # in bulk: one list, and chunks of a cursor
                        self.assertEqual([line(ix, e, False) + "\t" + escaped(r)
                                          for e, r in ix.entries(records=True)], want)
                    cursor, chunks = iter(ix), []
                    while chunk := cursor.fetch(7):
                        chunks.append(chunk)
                    self.assertTrue(all(len(c) == 7 for c in chunks[:-1]))
                    self.assertEqual([line(ix, e, False) for c in chunks for e in c],
                                     ["\t".join(w.split("\t")[:4]) for w in want])
                with kelisi.open(isi, data, shared=data is not None, cache_size=4096) as ix:
                    self.assertEqual(len(list(ix)), len(want))

    def test_find_and_range_equal_the_tool(self):
        f = self.f
        searches = [  # index, data, method, arguments, the tool's arguments
            ("fixed", "find", (b"ab\xe9",), ["find", "ab\\xe9"]),
            ("fixed", "find", ("ab\xe9",), ["find", "ab\\xe9"]),
            ("fixed", "find", (b"a",), ["find", "a"]),
            ("fixed", "find", (b"a", True), ["find", "a", "--prefix"]),
            ("fixed", "find", (b"", True), ["find", "", "--prefix"]),
            ("fixed", "range", (b"ab", b"b"), ["range", "ab", "b"]),
            ("fixed", "range", (b"\xe9", None), ["range", "\\xe9", ""]),
            ("fixed", "range", (None, b"a"), ["range", "", "a"]),
            ("upper", "find", (b"ab\xe9 0",), ["find", "ab\\xe9 0"]),
            ("upper", "range", ("a", "AB"), ["range", "a", "AB"]),
            ("var", "find", (b"K\x01", True), ["find", "K\\x01", "--prefix"]),
            ("var", "range", (b"L", b"L\\"), ["range", "L", "L\\\\"]),
        ]
        for name, method, args, tool_args in searches:
            with self.subTest(name=name, method=method, args=args):
                isi, data = f.path(name + ".isi"), f.path(name.replace("upper", "fixed") + ".txt")
                want = tool(tool_args[0], isi, *tool_args[1:], "--data", data).splitlines()
                with kelisi.open(isi, data) as ix:
                    got = [line(ix, e, True) for e in getattr(ix, method)(*args)]
                    if method == "range":
                        got2 = [line(ix, e, False) + "\t" + escaped(r)
                                for e, r in ix.entries(*args, records=True)]
                        self.assertEqual(got2, want)
                self.assertEqual(got, want)

    def test_header_stats_deleted_and_check_equal_the_tool(self):
        f = self.f
        # kelindex lists deleted records of fixed-length files only.
        for name, deleted in (("fixed", f.deleted["fixed.txt"]), ("var", [])):
            isi = f.path(name + ".isi")
            info = json.loads(tool("info", isi, "--json"))
            with kelisi.open(isi) as ix:
                h, s = ix.header, ix.stats()
                self.assertEqual(ix.data_path, name + ".txt")
                self.assertEqual(sorted(ix.deleted()), deleted)
                self.assertEqual(ix.check(records=True), [])
            self.assertEqual("kelindex " + h.command_line, info["command_line"])
            self.assertEqual("kelisi " + kelisi.__version__, tool("--version").strip())
            for k, v in info.items():
                if hasattr(h, k) and k not in ("key_specs", "tests", "command_line"):
                    self.assertEqual(getattr(h, k), v, k)
                if hasattr(s, k) and k != "fill":
                    self.assertEqual(getattr(s, k), v, k)
            self.assertEqual([list(x) for x in h.key_specs],
                             [[x["first"], x["last"]] for x in info["key_specs"]])
            self.assertEqual(h.eor, b"\n")
            self.assertAlmostEqual(s.fill, info["fill"], places=5)

        # The damaged index: the check's problems as the tool reports them.
        report = json.loads(tool("check", f.path("damaged.isi"), "--json"))["problems"]
        with kelisi.open(f.path("damaged.isi")) as ix:
            problems = ix.check()
        self.assertTrue(problems)
        self.assertEqual([(p.kind.name.lower(), p.sector, p.index, p.message) for p in problems],
                         [(r["kind"], r["sector"], r["entry"], r["message"]) for r in report])

    def test_failures_raise_the_librarys_status(self):
        f = self.f
        isi = read(f.path("fixed.isi"))
        f.write("short.isi", isi[:-1024])
        f.write("text.isi", b"x" * 4096)
        f.write("cut.txt", read(f.path("fixed.txt"))[:2000])
        shutil.copy(f.path("fixed.isi"), f.path("moved.isi"))
        with open(f.path("moved.isi"), "r+b") as out:  # the header names a file that is not there
            out.seek(240)
            out.write(b"gone.txt\0")

        def records(ix):
            return [ix.record(e) for e in ix]

        cases = [  # what, open arguments, action, status, message
            ("missing", ("none.isi",), None, -3, "cannot open the index file: none.isi"),
            ("not ISI", ("text.isi",), None, -5, "not an ISI index file: text.isi"),
            ("damaged", ("damaged.isi",), list, -7, "the index is damaged: damaged.isi"),
            ("truncated", ("short.isi",), lambda ix: list(reversed(ix)), -7,
             "the index is damaged: short.isi"),
            ("data missing", ("fixed.isi", "none.txt"), None, -9,
             "cannot open the data file: none.txt"),
            ("header's data missing", ("moved.isi", None, True), None, -9,
             "cannot open the data file named in moved.isi"),
            ("no data", ("moved.isi",), records, -8, "the data file is not open: moved.isi"),
            ("record past the end", ("fixed.isi", "cut.txt"), records, -10,
             "cannot read the record from the data file: cut.txt"),
        ]
        cwd = os.getcwd()
        os.chdir(f.dir)
        try:
            for what, args, action, status, message in cases:
                with self.subTest(what):
                    with self.assertRaises(kelisi.Error) as caught:
                        with kelisi.open(*args) as ix:
                            action(ix)
                    self.assertEqual(caught.exception.status, status)
                    self.assertEqual(str(caught.exception), message)
            with kelisi.open("fixed.isi") as ix:
                self.assertRaises(ValueError, ix.find, b"abcd")
                self.assertRaises(ValueError, ix.range, b"a", "\u0100")
                self.assertRaises(TypeError, ix.find, 5)
                self.assertEqual(list(ix.find(b"zz")), [])
                self.assertEqual(list(ix.find(key=b"zz", prefix=False)), [])
                self.assertRaises(TypeError, ix.find, b"a", key=b"a")
        finally:
            os.chdir(cwd)

    def test_a_closed_index_raises(self):
        ix = kelisi.open(self.f.path("fixed.isi"))
        walking, done = iter(ix), ix.find(b"a", prefix=True)
        first = next(walking)
        list(done)
        with ix.find(b"a", prefix=True) as cursor:
            next(cursor)
        self.assertEqual(list(cursor), [])
        ix.close()
        ix.close()
        self.assertTrue(ix.closed)
        self.assertEqual(list(done), [])  # an exhausted cursor stays exhausted
        for use in (lambda: next(walking), lambda: ix.record(first), lambda: ix.header,
                    ix.stats, ix.deleted, ix.check, lambda: iter(ix), lambda: ix.range(b"a")):
            with self.assertRaises(kelisi.Error) as caught:
                use()
            self.assertEqual(caught.exception.status, -1)
            self.assertEqual(str(caught.exception), "the index is closed: " + ix.path)

    def test_changes_keep_the_index_whole(self):
        f = self.f
        shutil.copy(f.path("fixed.txt"), f.path("w.txt"))
        f.build("w.txt,w.isi", "-1-3")
        with kelisi.open(f.path("w.isi"), f.path("w.txt"), write=True) as ix:
            before = list(ix)
            slots = ix.deleted()
            self.assertEqual(ix.insert(b"zzz new"), 1)
            self.assertEqual(ix.insert([b"zzz two", "ab\xe9 three"]), 2)
            gone = ix.delete(before[0].key)
            self.assertEqual(gone, sum(e.key == before[0].key for e in before))
            # By prefix, and a list of keys: each record once, keys folded as find folds them.
            pair = sorted({e.key for e in before if e.key != before[0].key})[:2]
            self.assertEqual(ix.delete([pair[0], pair[0], pair[1][:2]], prefix=True),
                             sum((e.key[:2] == pair[1][:2] or e.key == pair[0])
                                 and e.key != before[0].key for e in before))
            self.assertRaises(ValueError, ix.delete, b"", prefix=True)
            self.assertEqual(ix.delete(before[-1].key, at=before[-1].offset + 1), 0)
            self.assertEqual(ix.delete(b"zz"), 0)
            with self.assertRaises(ZeroDivisionError):
                with ix.change():  # abandoned: neither file changes
                    ix.insert(b"zzz lost")
                    1 / 0
            with ix.change():
                ix.insert([b"zzz kept", b"yyy gone"])
                ix.delete(before[-1].key, at=before[-1].offset)
                self.assertEqual(ix.delete(b"yy", prefix=True), 1)  # inserted in the block
            with self.assertRaises(kelisi.Error) as caught:
                ix.insert(b"x" * 200)  # longer than the file's records
            self.assertEqual(caught.exception.status, -14)
            keys = sorted(e.key for e in ix)
            self.assertEqual(ix.check(records=True), [])
            self.assertEqual(keys.count(b"zzz"), 3)
            self.assertNotIn(b"yyy", keys)
            # Fixed-length records took the slots of deleted ones, newest first.
            self.assertIn(next(ix.find(b"zzz")).offset, slots)
        with kelisi.open(f.path("w.isi")) as ro:
            with self.assertRaises(kelisi.Error) as caught:
                ro.insert(b"zzz")
            self.assertEqual(caught.exception.status, -16)
        self.assertEqual(tool("dump", f.path("w.isi")).splitlines(),
                         [line(None, e, False) for e in kelisi.open(f.path("w.isi"))])

    def test_inserts_get_entries_as_a_rebuild_does(self):
        f = self.f
        for n, options in enumerate(["-N0,1-6", "-p14=A,p14=A,1-6", "-p=\"14='A'|1='L'\",1-6"]):
            name = "r%d" % n
            f.data(name + ".txt", [b"K00001 one   A", b"K00002 two   B"])
            f.build(name + ".txt," + name + ".isi", options)
            with kelisi.open(f.path(name + ".isi"), f.path(name + ".txt"), write=True) as ix:
                ix.insert([b"K00001 again A", b"L00003 three B", b"K00004 four  C"])
            with kelisi.open(f.path(name + ".isi")) as ix:
                entries = sorted((e.key, e.offset, e.size) for e in ix)
            os.makedirs(f.path(name), exist_ok=True)
            for ext in (".txt", ".isi"):
                shutil.copy(f.path(name + ext), f.path(os.path.join(name, name + ext)))
            subprocess.run([KELINDEX, name + ".isi", "-r"], cwd=f.path(name), check=True,
                           capture_output=True)
            with kelisi.open(f.path(os.path.join(name, name + ".isi"))) as rebuilt:
                self.assertEqual(entries, sorted((e.key, e.offset, e.size) for e in rebuilt),
                                 options)

    def test_one_change_over_several_indexes_keeps_each_as_a_rebuild(self):
        """kelisi.change over three indexes of one data file (other key
        columns, upper case, a selection): each index afterwards equals its
        rebuild from the data, an abandoned block changes no file, and what
        cannot be one change is refused."""
        f = self.f
        f.data("s.txt", [b"K00001 one   A", b"K00002 two   B", 15, b"K00003 three A"])
        defs = {"s1": "-1-6", "s2": "-u,8-12", "s3": "-p14=A,1-6"}
        for name, options in defs.items():
            f.build("s.txt,%s.isi" % name, options)
        f.data("t.txt", [b"K00009 other A"])
        f.build("t.txt,t.isi", "-1-6")
        names = ["s.txt"] + ["%s.isi" % n for n in defs]

        def files():
            return [read(f.path(n)) for n in names]

        s1, s2, s3, t = (kelisi.open(f.path(n + ".isi"), write=True) for n in (*defs, "t"))
        with kelisi.change(s1, s2, s3) as ch:
            self.assertEqual(ch.indexes, (s1, s2, s3))
            self.assertEqual(ch.insert([b"K00004 four  A", b"K00005 five  B"]), 2)
            self.assertEqual(s3.insert(b"K00006 six   B"), 0)  # counted in s3: not selected
            self.assertEqual(s2.insert(b"K00007 seven A"), 1)
            self.assertEqual(ch.delete("K00002"), 1)
            with self.assertRaises(kelisi.Error) as caught:
                s2.delete("TWO")  # s2's keys: through the first index, or by offset
            self.assertEqual(caught.exception.status, -1)
            three = next(s2.find("THREE"))
            self.assertEqual(s2.delete("THREE", at=three.offset), 1)
        before = files()
        with self.assertRaises(ZeroDivisionError):
            with s2.change(s1, s3):
                s1.insert(b"K00008 lost  A")
                1 / 0
        self.assertEqual(files(), before)
        with self.assertRaises(kelisi.Error) as caught:
            with kelisi.change(s1, t):
                pass
        self.assertEqual(caught.exception.status, -22)
        self.assertRaises(ValueError, s1.change, s1)
        with self.assertRaises(kelisi.Error):
            with kelisi.change(s1, s2):  # an index closed inside abandons the change
                s1.insert(b"K00008 lost  A")
                s2.close()
        self.assertEqual(files(), before)
        for ix in (s1, s2, s3, t):
            ix.close()
        for name in defs:
            with kelisi.open(f.path(name + ".isi"), f.path("s.txt")) as ix:
                self.assertEqual(ix.check(records=True), [], name)
                entries = sorted((e.key, e.offset, e.size) for e in ix)
            os.makedirs(f.path(name), exist_ok=True)
            for file in ("s.txt", name + ".isi"):
                shutil.copy(f.path(file), f.path(os.path.join(name, file)))
            subprocess.run([KELINDEX, name + ".isi", "-r"], cwd=f.path(name), check=True,
                           capture_output=True)
            with kelisi.open(f.path(os.path.join(name, name + ".isi"))) as rebuilt:
                self.assertEqual(entries, sorted((e.key, e.offset, e.size) for e in rebuilt),
                                 name)
        self.assertEqual(sorted(e.key for e in kelisi.open(f.path("s1.isi"))),
                         [b"K00001", b"K00004", b"K00005", b"K00006", b"K00007"])

    def test_threads_take_turns_in_one_change_over_two_indexes(self):
        """Threads inserting through both indexes of one block, and walking
        one of them, meanwhile: every record reaches both, once."""
        import threading
        f = self.f
        f.data("th.txt", [b"T%05d x%04d" % (i, i) for i in range(50)])
        f.build("th.txt,th1.isi", "-1-6")
        f.build("th.txt,th2.isi", "-8-12")
        a = kelisi.open(f.path("th1.isi"), write=True)
        b = kelisi.open(f.path("th2.isi"), write=True)
        walked = []

        def work(n):
            for i in range(40):
                (a if i % 2 else b).insert(b"U%02d%03d y%04d" % (n, i, n * 100 + i))
                walked.append(len(a.entries()))

        with kelisi.change(a, b):
            threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        self.assertEqual(set(walked), {50})  # the index as before the change, meanwhile
        for ix in (a, b):
            self.assertEqual(len(ix.entries()), 50 + 160)
            self.assertEqual(ix.check(records=True), [])
            ix.close()

    def test_threads_take_turns_on_one_index(self):
        """Threads walking, looking up, reading records and sharing one
        cursor get what one thread gets; a close under them raises, never
        crashes."""
        import threading
        f = self.f
        with kelisi.open(f.path("var.isi"), f.path("var.txt")) as ix:
            want = [line(ix, e, True) for e in ix]
            keys = [e.key for e in ix]
            shared_cursor, taken, results = iter(ix), [], []

            def work():
                walked = [line(ix, e, True) for e in ix]
                found = [line(ix, e, True) for k in sorted(set(keys)) for e in ix.find(k)]
                results.append((walked, found))
                for e in shared_cursor:
                    taken.append(line(ix, e, False))

            threads = [threading.Thread(target=work) for _ in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(results, [(want, want)] * 4)
            self.assertEqual(sorted(taken), sorted("\t".join(w.split("\t")[:4]) for w in want))
        ix = kelisi.open(f.path("var.isi"), f.path("var.txt"))
        errors = []

        def walk():
            try:
                for _ in range(50):
                    for e in ix:
                        ix.record(e)
            except kelisi.Error as e:
                errors.append(e.status)

        walkers = [threading.Thread(target=walk) for _ in range(3)]
        for t in walkers:
            t.start()
        ix.close()
        for t in walkers:
            t.join()
        self.assertEqual(set(errors) - {-1}, set())


if __name__ == "__main__":
    unittest.main()
