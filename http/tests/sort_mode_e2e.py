#!/usr/bin/env python3
"""End-to-end tests of the command-line sort mode: the real binary (argv[1])
in a scratch directory, its options, the files it reads and writes, and how
it cuts records. That its counts and order match counting record by record
is checked against a reference beside the sort mode's own tests."""
import os
import subprocess
import sys

from e2e_support import Checks, Server


class Sorter:
    """A scratch directory where the binary runs in sort mode."""

    def __init__(self, binary):
        self.server = Server(binary)  # its directory and, for the last case, its port
        self.binary = self.server.binary
        self.dir = self.server.dir

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run(self, *args):
        return subprocess.run([self.binary, *args], cwd=self.dir, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)

    def sort(self, data, args=(), base="temp_t"):
        self.server.write("in.txt", data)
        done = self.run("-sort", "in.txt", "-sortsave", "out.txt", "-sortbase", base, *args)
        return self.read("out.txt") if done.returncode == 0 else done.stderr


# (what, input, options, base, expected output); one sorter runs them in
# order, so the file base "s.vek" counts across its rows.
CASES = [
    ("ascending with repeats", b"b\na\nb\n", [], "temp_t", b"a\nb\nb\n"),
    ("descending", b"b\na\nb\n", ["-sortdesc"], "temp_t", b"b\nb\na\n"),
    ("last line without a line feed", b"b\na", [], "temp_t", b"a\nb\n"),
    ("empty lines make nothing", b"\n\nb\n\n\n\na\n\n", [], "temp_t", b"a\nb\n"),
    ("only dividers", b"\n\n\n", [], "temp_t", b""),
    ("NUL divides", b"b\x00a\n", [], "temp_t", b"a\nb\n"),
    ("fixed length drops the short tail", b"zzzzaaaaxy", ["-sortlen", "4"], "temp_t", b"aaaazzzz"),
    ("fixed length ignores dividers", b"b\nb\na\na\n", ["-sortlen", "2", "-sortdesc"], "temp_t",
     b"b\nb\na\na\n"),
    ("file base, first run", b"b\na\n", [], "s.vek", b"a\nb\n"),
    ("file base counts across runs", b"b\na\nb\n", [], "s.vek", b"a\na\nb\nb\nb\n"),
    ("-sortinit starts afresh", b"c\n", ["-sortinit"], "s.vek", b"c\n"),
    ("memory base keeps no counts", b"a\n", [], "memory_m", b"a\n"),
]


def check_cases(sorter, checks):
    for what, data, args, base, expected in CASES:
        checks.equal(what, sorter.sort(data, args, base), expected)
    checks.true("file base made", os.path.exists(sorter.path("s.vek")))
    for name in ["temp_t", "memory_m"]:
        checks.true("no file for " + name, not os.path.exists(sorter.path(name)))
    # Divider files: a comma, then a comma and a line feed; NUL always divides.
    sorter.server.write("div.txt", b",")
    checks.equal("divider comma", sorter.sort(b"d,c\x00b", ["-sortdiv", "div.txt"]), b"b\nc\nd\n")
    sorter.server.write("div.txt", b",\n")
    checks.equal("two dividers", sorter.sort(b"x,y\ny,,x\n", ["-sortdiv", "div.txt"]), b"x\nx\ny\ny\n")
    sorter.server.write("out.txt", b"a much longer old content that must vanish\n")
    checks.equal("output written afresh", sorter.sort(b"z\n"), b"z\n")


def check_runs_without_input(sorter, checks):
    sorter.sort(b"q\np\nq\n", base="o.vek")
    done = sorter.run("-sortbase", "o.vek", "-sortsave", "again.txt", "-sortdesc")
    checks.equal("output only: status", done.returncode, 0)
    checks.equal("output only: the base's keys", sorter.read("again.txt"), b"q\nq\np\n")
    done = sorter.run("-sortinit", "-sortbase", "o.vek", "-sortsave", "out.txt")
    checks.equal("-sortinit alone: status", done.returncode, 0)
    checks.equal("-sortinit alone: empty base", sorter.read("out.txt"), b"")
    done = sorter.run("-sort", "nothing.txt", "-sortbase", "temp_q", "-sortsave", "out.txt")
    checks.equal("missing input: status", done.returncode, 0)
    checks.equal("missing input: empty output", sorter.read("out.txt"), b"")
    os.remove(sorter.path("out.txt"))
    done = sorter.run("-sort", "in.txt", "-sortbase", os.path.join("no-such-dir", "x.vek"), "-sortsave", "out.txt")
    checks.true("unopenable base fails", done.returncode != 0)
    checks.true("unopenable base says so", b"cannot open the base" in done.stderr)
    checks.true("unopenable base writes nothing", not os.path.exists(sorter.path("out.txt")))
    # A file that is not a base (at the base's name or its journal's) is
    # never started afresh, rolled back or deleted: the sort fails naming it.
    for base, other in [("notes.txt", "notes.txt"), ("j.vek", "j.vek.sw")]:
        sorter.server.write(other, b"the operator's notes\n")
        done = sorter.run("-sort", "in.txt", "-sortinit", "-sortbase", base, "-sortsave", "out.txt")
        checks.true(other + ": fails", done.returncode != 0)
        checks.true(other + ": named", ("Can't open the VEKBase file: " + other).encode() in done.stderr)
        checks.equal(other + ": untouched", sorter.read(other), b"the operator's notes\n")


def check_missing_input_without_output_serves(sorter, checks):
    server = sorter.server
    server.write("www/index.html", "")
    server.args = ["-sort", "nothing.txt", "-p", str(server.port), "-d", "www"]
    server.start()
    checks.equal("serves, then stops cleanly", server.stop(), 0)


def main():
    checks = Checks()
    sorter = Sorter(sys.argv[1])
    try:
        check_cases(sorter, checks)
        check_runs_without_input(sorter, checks)
        check_missing_input_without_output_serves(sorter, checks)
    finally:
        sorter.server.cleanup()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
