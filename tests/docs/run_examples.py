#!/usr/bin/env python3
"""Runs every example of the README and the manual pages as it is written.

Each document gets a scratch directory of its own, removed afterwards,
holding a copy of examples/ (in the directory itself and as examples/, as
in a checkout), build-release as a link to the built programs (which are
also first on PATH), and serving as HOME and TMPDIR. The examples of one
document run in it in their order, so that a later one finds the files an
earlier one made.

Where the examples are:
  README.md     fenced blocks; the info string names the language, and the
                word no-run after it marks an illustration that is not run
                (an installation, a fragment). A block without a language
                is an error: every block says what it is.
  man/*.1       the .nf/.fi block of EXAMPLES: shell commands.
  man/*.3       .EX/.EE blocks: C programs.

How each language runs (RUNNERS; python blocks run in the Python suite,
tests/python/test_examples.py; a language without a runner, such as text,
is not run):
  sh       a bash script under set -e -o pipefail: it must end with status 0.
  console  a terminal session: "$ " starts a command (a line ending in a
           backslash continues it on the next), the lines up to the next
           command are what it prints, on a terminal, standard error
           included; every command must end with status 0, unless the next
           is "echo $?", which shows its status. A line "..." stands for
           any lines, times of day (hh:mm:ss) for any time, and blank lines
           that end what a command prints separate it from the next.
  c        compiled against the library and run: status 0.

  run_examples.py --source DIR --bin DIR --lib LIBKELISI_A [--cflags FLAGS]
"""
import argparse
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile

# What a manual page's prose says its example needs first.
MAN_SETUP = {
    "kelisi.3": "kelindex orders.txt,orders.isi -1-8 >/dev/null",
}


class Example:
    def __init__(self, doc, line, lang, text):
        self.doc, self.line, self.lang, self.text = doc, line, lang, text

    def where(self):
        return f"{self.doc}:{self.line}"


def markdown_examples(path, name):
    examples, block, errors = [], None, []
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        if line.startswith("```"):
            if block is None:
                words = line[3:].split()
                if not words:
                    errors.append(f"{name}:{number}: a code block without a language")
                block = (number, words, [])
            else:
                number0, words, lines = block
                if words and "no-run" not in words[1:]:
                    examples.append(Example(name, number0, words[0], "".join(lines)))
                block = None
        elif block is not None:
            block[2].append(line)
    if block is not None:
        errors.append(f"{name}:{block[0]}: a code block that does not end")
    return examples, errors


def unroff(line):
    for roff, text in (("\\-", "-"), ("\\(dq", '"'), ("\\(aq", "'"), ("\\&", ""), ("\\e", "\\")):
        line = line.replace(roff, text)
    return line


def man_examples(path, name):
    examples, lines, start, in_examples = [], None, 0, False
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if line.startswith(".SH"):
            in_examples = line.split(None, 1)[1:] == ["EXAMPLES"] or line == ".SH EXAMPLE"
        opening = ".EX" if name.endswith(".3") else ".nf"
        closing = ".EE" if name.endswith(".3") else ".fi"
        if lines is None and line == opening and (in_examples or opening == ".EX"):
            lines, start = [], number
        elif lines is not None and line == closing:
            lang = "c" if opening == ".EX" else "sh"
            examples.append(Example(name, start, lang, "".join(unroff(l) + "\n" for l in lines)))
            lines = None
        elif lines is not None:
            lines.append(line)
    return examples


class Session:
    """The scratch directory of one document and the programs' setting."""

    def __init__(self, args):
        self.args = args
        self.root = tempfile.mkdtemp(prefix="kel-examples-")
        examples = os.path.join(args.source, "examples")
        shutil.copytree(examples, os.path.join(self.root, "examples"))
        shutil.copytree(examples, self.root, dirs_exist_ok=True)
        os.symlink(os.path.abspath(args.bin), os.path.join(self.root, "build-release"))
        os.mkdir(os.path.join(self.root, "tmp"))
        self.env = dict(os.environ)
        for name in ("QRX_PATH", "VEZOR_DBPATH", "DBPATH", "QRX_SYSTEM", "QRX_TERM"):
            self.env.pop(name, None)
        self.env.update(HOME=self.root, TMPDIR=os.path.join(self.root, "tmp"), TERM="dumb",
                        PATH=os.path.abspath(args.bin) + os.pathsep + os.environ["PATH"],
                        LC_ALL="C.UTF-8")

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def run(self, argv, on_terminal=False, stdin=None):
        """Runs argv in the scratch directory: (status, what it printed)."""
        if not on_terminal:
            p = subprocess.run(argv, cwd=self.root, env=self.env, input=stdin,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
            return p.returncode, p.stdout.decode("utf-8", "replace")
        master, slave = pty.openpty()
        p = subprocess.Popen(argv, cwd=self.root, env=self.env, stdin=subprocess.DEVNULL,
                             stdout=slave, stderr=slave)
        os.close(slave)
        out = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal's other side is closed
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        return p.wait(timeout=300), out.decode("utf-8", "replace").replace("\r\n", "\n")


def run_sh(session, example):
    status, out = session.run(["bash", "-e", "-o", "pipefail", "-c", example.text])
    return None if status == 0 else f"status {status}:\n{out}"


TIME = re.compile(r"\b\d\d:\d\d:\d\d\b")


def expected_pattern(lines):
    parts = []
    for line in lines:
        if line == "...":
            parts.append(r"(?:.*\n)*?")
        else:
            parts.append(re.escape(TIME.sub("hh:mm:ss", line)) + r"\n")
    return re.compile("".join(parts))


def run_console(session, example):
    commands = []  # [command, expected lines]
    for line in example.text.splitlines():
        if line.startswith("$ "):
            commands.append([line[2:], []])
        elif commands and not commands[-1][1] and commands[-1][0].endswith("\\"):
            commands[-1][0] += "\n" + line
        elif commands:
            commands[-1][1].append(line)
        else:
            return f"output before the first command: {line}"
    for command in commands:
        while command[1] and command[1][-1] == "":
            command[1].pop()
    # Each command's status is shown, and kept for the next command's $?.
    script = "".join(f"{c}\nkel_status=$?; printf '@@kel-status %d@@\\n' $kel_status; "
                     f"(exit $kel_status)\n" for c, _ in commands)
    status, out = session.run(["bash", "-c", script], on_terminal=True)
    results = re.findall(r"(.*?)@@kel-status (\d+)@@\n", out, re.S)
    if len(results) != len(commands):
        return f"the session ended early (status {status}):\n{out}"
    for n, ((command, lines), (printed, code)) in enumerate(zip(commands, results)):
        printed = TIME.sub("hh:mm:ss", printed)
        shown = n + 1 < len(commands) and commands[n + 1][0] == "echo $?"
        if code != "0" and not shown:
            return f"$ {command}\nended with status {code}:\n{printed}"
        if not expected_pattern(lines).fullmatch(printed):
            want = "".join(l + "\n" for l in lines)
            return f"$ {command}\nprinted:\n{printed}--- where the text shows:\n{want}"
    return None


def run_c(session, example):
    source = os.path.join(session.root, "example.c")
    with open(source, "w", encoding="utf-8") as f:
        f.write(example.text)
    program = os.path.join(session.root, "example")
    include = os.path.join(session.args.source, "src", "kelisi")
    argv = (["cc"] + session.args.cflags.split() +
            ["-I", include, source, session.args.lib, "-lstdc++", "-lpthread", "-o", program])
    status, out = session.run(argv)
    if status != 0:
        return f"does not compile:\n{out}"
    status, out = session.run([program])
    return None if status == 0 else f"status {status}:\n{out}"


RUNNERS = {"sh": run_sh, "console": run_console, "c": run_c}
# Languages whose blocks another suite runs.
ELSEWHERE = {"python": "tests/python/test_examples.py"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--lib", required=True)
    parser.add_argument("--cflags", default="")
    args = parser.parse_args()
    args.source, args.bin, args.lib = (os.path.abspath(p) for p in (args.source, args.bin, args.lib))
    documents, failures = [], []
    examples, errors = markdown_examples(os.path.join(args.source, "README.md"), "README.md")
    failures += errors
    documents.append(("README.md", examples))
    for page in ("kelindex.1", "kelisi.1", "kelisi.3"):
        documents.append((page, man_examples(os.path.join(args.source, "man", page), page)))
    for name, examples in documents:
        session = Session(args)
        try:
            if name in MAN_SETUP:
                session.run(["bash", "-e", "-c", MAN_SETUP[name]])
            for example in examples:
                runner = RUNNERS.get(example.lang)
                if runner is None:
                    other = ELSEWHERE.get(example.lang)
                    print(f"{example.where()}: {example.lang}, " +
                          (f"run by {other}" if other else "not run"))
                    continue
                failure = runner(session, example)
                print(f"{example.where()}: {example.lang}, {'FAILED' if failure else 'ok'}")
                if failure:
                    failures.append(f"{example.where()}: {failure}")
        finally:
            session.close()
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
