"""Every example of the README's sections "From Python" and "From SQL" and
of the module's docstrings, run as written on the demo's files (a fresh
copy of examples/customers.txt indexed as "A first run" indexes it, and by
city as "Keeping every index current" indexes it, in a scratch directory),
with the output it shows.

fenced() and Demo are meant to serve any section's examples: a Markdown
code block, its language and the block that shows its output."""

import contextlib
import csv
import doctest
import inspect
import io
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import kelisi
import kelisi._kelisi

SOURCE = os.environ["KEL_SOURCE_DIR"]
KELINDEX = os.environ["KELINDEX_BIN"]


def fenced(markdown: str, section: str):
    """The code blocks of a section (from its heading to the next one of
    the same level) as (language, text) pairs, in order."""
    start = markdown.index("\n## " + section + "\n")
    end = markdown.find("\n## ", start + 1)
    body = markdown[start:end if end >= 0 else None]
    return [(m.group(1), m.group(2))
            for m in re.finditer(r"^```(\w*)[^\n]*\n(.*?)^```$", body, re.M | re.S)]


class Demo:
    """A scratch directory holding the demo's files, the working directory
    while it is entered."""

    def __enter__(self):
        self.cwd = os.getcwd()
        self.dir = tempfile.mkdtemp(prefix="kelisi_ex_")
        shutil.copy(os.path.join(SOURCE, "examples", "customers.txt"), self.dir)
        for args in (["customers.txt,customers.isi", "-1-8,10-29"],
                     ["customers.txt,bycity.isi", "-31-44"]):
            subprocess.run([KELINDEX] + args, cwd=self.dir, check=True, capture_output=True)
        os.chdir(self.dir)
        return self

    def __exit__(self, *exc):
        os.chdir(self.cwd)
        shutil.rmtree(self.dir, ignore_errors=True)


def docstrings():
    """The module's docstrings with examples: the package's, and those of
    its classes and their methods, the compiled ones included."""
    found = {"kelisi": kelisi.__doc__, "change": kelisi.change.__doc__}
    for cls in (kelisi.Index, kelisi.Cursor, kelisi.Change, kelisi.Entry, kelisi.Error):
        for klass in inspect.getmro(cls):
            if klass.__module__.startswith("kelisi"):
                found[klass.__qualname__] = klass.__doc__
                for name, member in vars(klass).items():
                    found[f"{klass.__qualname__}.{name}"] = getattr(member, "__doc__", None)
    return {name: doc for name, doc in found.items() if doc and ">>>" in doc}


class ExamplesTest(unittest.TestCase):
    def test_docstrings(self):
        docs = docstrings()
        self.assertGreaterEqual(set(docs), {"kelisi", "change", "Index.change", "Cursor.fetch"})
        for name, doc in docs.items():
            with self.subTest(name), Demo():
                test = doctest.DocTestParser().get_doctest(doc, {"kelisi": kelisi}, name, None, 0)
                out = io.StringIO()
                result = doctest.DocTestRunner().run(test, out=out.write)
                self.assertEqual(result.failed, 0, out.getvalue())

    def test_readme_python(self):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            blocks = fenced(f.read(), "From Python")
        ran = 0
        for i, (lang, code) in enumerate(blocks):
            if lang != "python":
                continue
            shown = blocks[i + 1][1] if i + 1 < len(blocks) and blocks[i + 1][0] == "text" else ""
            with self.subTest(code.splitlines()[-1]), Demo():
                out = io.StringIO()
                with contextlib.redirect_stdout(out):
                    exec(compile(code, "README.md", "exec"), {})
                self.assertEqual(out.getvalue(), shown)
                ran += 1
        self.assertEqual(ran, 4)

    def test_readme_sql(self):
        """The sqlite3 session, its .load pointed at this build's extension."""
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            blocks = [text for _, text in fenced(f.read(), "From SQL") if text.startswith("$ ")]
        self.assertEqual(len(blocks), 1)
        script, shown = [], []
        for line in blocks[0].splitlines()[1:]:
            if line.startswith("sqlite> ") or line.startswith("   ...> "):
                script.append(line[8:])
            else:
                shown.append(line)
        script = [re.sub(r"^\.load .*", ".load " + os.environ["KELISI_SQLITE_EXT"], s)
                  for s in script]
        with Demo() as demo:
            r = subprocess.run(["sqlite3"], input="\n".join(script) + "\n", capture_output=True,
                               text=True, check=False)
            # Read from a pipe, the shell names the line of a failure, which
            # it does not at a terminal.
            got = re.sub(r"^(Runtime error|Parse error) near line \d+:", r"\1:",
                         (r.stdout + r.stderr).replace(demo.dir, "/home/you/first"), flags=re.M)
            got = got.splitlines()
            self.assertEqual(got, shown)
            with open("customers.csv", encoding="latin-1", newline="") as f:
                exported = list(csv.reader(f))
            with kelisi.open("customers.isi") as ix:
                self.assertEqual(exported, [[r[:8].decode(), r[9:29].decode().rstrip()]
                                            for _, r in ix.entries(records=True)])


if __name__ == "__main__":
    unittest.main()
