#!/usr/bin/env python3
"""End-to-end tests of the command-line sort mode: the real binary (argv[1])
in a scratch directory, its options, the files it reads and writes, how
it cuts records, pipes as input, and failures that must not pass for success. That its counts and order match counting record by record
is checked against a reference beside the sort mode's own tests."""
import itertools
import os
import resource
import signal
import subprocess
import sys
import threading

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

    def run(self, *args, stdin=b""):
        return subprocess.run([self.binary, *args], cwd=self.dir, input=stdin, stdout=subprocess.PIPE,
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


KEY_LIMIT = 1 << 24
# 40 distinct records of 1 MiB fill more than one counting batch, so the
# base has taken part of the input when the record at line 41 is refused.
BATCHED = b"".join(bytes([65 + i % 26]) * (1 << 20) + b"%d\n" % i for i in range(40))

# A failure reported as success: (what, input file or None, options after
# the base "f.vek", the line expected on standard error). The base holds
# "a" once before each row and must still hold exactly that after it; no
# row writes out.txt.
FAILURES = [
    ("misspelt input", None, ["-sort", "nosuch.txt", "-sortsave", "out.txt"],
     b"Sort: cannot read the input 'nosuch.txt': No such file or directory\n"),
    ("misspelt input, no output named", None, ["-sort", "nosuch.txt"],
     b"Sort: cannot read the input 'nosuch.txt': No such file or directory\n"),
    ("unreadable input", None, ["-sort", ".", "-sortsave", "out.txt"],
     b"Sort: cannot read the input '.': Is a directory\n"),
    ("record longer than a key", BATCHED + b"b" * (KEY_LIMIT + 1) + b"\n",
     ["-sort", "in.txt", "-sortsave", "out.txt"],
     b"Sort: 'in.txt' line 41: the record is longer than the 16777216 bytes a base key may hold\n"),
    ("fixed record longer than a key", b"c" * (KEY_LIMIT + 1),
     ["-sort", "in.txt", "-sortlen", str(KEY_LIMIT + 1), "-sortsave", "out.txt"],
     b"Sort: 'in.txt' record 1: the record is longer than the 16777216 bytes a base key may hold\n"),
    ("output that cannot be written", None, ["-sortsave", "no-dir/out.txt"],
     b"Sort: cannot write 'no-dir/out.txt' from the base 'f.vek': Unable to open file: 'no-dir/out.txt' !\n"),
]


def check_failures(sorter, checks):
    sorter.server.write("in.txt", b"a\n")
    sorter.run("-sortinit", "-sort", "in.txt", "-sortbase", "f.vek")
    for what, data, args, message in FAILURES:
        if data is not None:
            sorter.server.write("in.txt", data)
        # A run that served instead would not end: the timeout fails it.
        done = sorter.run("-sortbase", "f.vek", "-p", str(sorter.server.port), *args)
        checks.equal(what + ": status", done.returncode, 1)
        checks.equal(what + ": message", done.stderr, message)
        checks.true(what + ": no output", not os.path.exists(sorter.path("out.txt")))
        kept = sorter.run("-sortbase", "f.vek", "-sortsave", "kept.txt")
        checks.equal(what + ": base unchanged", sorter.read("kept.txt"), b"a\n")
    os.remove(sorter.path("in.txt"))


def check_unseekable_inputs(sorter, checks):
    data = b"b\na\nb\n" * 30000
    expected = b"a\n" * 30000 + b"b\n" * 60000
    done = sorter.run("-sort", "/dev/stdin", "-sortbase", "temp_p", "-sortsave", "out.txt", stdin=data)
    checks.equal("/dev/stdin: status", done.returncode, 0)
    checks.equal("/dev/stdin: counted", sorter.read("out.txt"), expected)


def file_size_limit(limit):
    """preexec_fn: writes past limit bytes fail (EFBIG) instead of killing."""
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def check_output_names(sorter, checks):
    """-sortsave writes through the name as it is: a link keeps its target,
    a device or pipe is written to, and a failed run removes only a file it
    made itself."""
    sorter.server.write("in.txt", b"b\na\n")
    run = lambda save, **options: subprocess.run(
        [sorter.binary, "-sort", "in.txt", "-sortbase", "temp_o", "-sortsave", save], cwd=sorter.dir,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, **options)
    sorter.server.write("target.txt", b"old text, longer than the output\n")
    os.symlink("target.txt", sorter.path("to-file"))
    os.symlink("/dev/stdout", sorter.path("to-stdout"))
    os.symlink("/dev/full", sorter.path("to-full"))
    done = run("to-file")
    checks.equal("link to a file: target truncated and written", (done.returncode, sorter.read("target.txt")),
                 (0, b"a\nb\n"))
    done = run("to-stdout")  # beside the banner
    checks.equal("link to standard output", (done.returncode, b"a\nb\n" in done.stdout), (0, True))
    done = run("to-full")
    checks.equal("a full device fails", done.returncode, 1)
    for link in ["to-file", "to-stdout", "to-full"]:
        checks.true(link + " stays a link", os.path.islink(sorter.path(link)))
    os.mkfifo(sorter.path("fifo"))
    received = []
    reader = threading.Thread(target=lambda: received.append(open(sorter.path("fifo"), "rb").read()), daemon=True)
    reader.start()
    done = run("fifo")
    reader.join(timeout=60)
    checks.equal("named pipe written to", (done.returncode, received), (0, [b"a\nb\n"]))
    checks.true("named pipe stays", os.path.exists(sorter.path("fifo")) and not os.path.isfile(sorter.path("fifo")))
    # Writes that fail part way: a file the run made goes, one that was
    # there stays as it was (the new one was written beside it), and no
    # file written beside is left.
    sorter.server.write("in.txt", b"line\n" * 100000)
    sorter.server.write("was-there.txt", b"x")
    os.symlink("made-through-link.txt", sorter.path("dangling"))
    for name, left, kept in [("made.txt", "made.txt", False), ("was-there.txt", "was-there.txt", True),
                             ("dangling", "made-through-link.txt", False)]:
        done = run(name, preexec_fn=file_size_limit(4096))
        checks.equal(name + ": fails", done.returncode, 1)
        checks.equal(name + ": " + left + " kept", os.path.exists(sorter.path(left)), kept)
    checks.equal("was-there.txt: as it was", sorter.read("was-there.txt"), b"x")
    checks.equal("nothing written beside is left", [n for n in os.listdir(sorter.dir) if "sorting" in n], [])
    checks.true("dangling stays a link", os.path.islink(sorter.path("dangling")))


def read_terminal(master):
    """Everything written to a pseudo-terminal until its other side closes."""
    data = b""
    while True:
        try:
            piece = os.read(master, 65536)
        except OSError:  # EIO once the writer has gone
            return data
        if not piece:
            return data
        data += piece


def standard_output_of(sorter, args, where):
    """What the binary run with args puts on its standard output when that
    is a regular file, a pipe or a terminal."""
    command = [sorter.binary, *args]
    if where == "pipe":
        return subprocess.run(command, cwd=sorter.dir, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=60).stdout
    if where == "file":
        with open(sorter.path("stdout.txt"), "wb") as out:
            subprocess.run(command, cwd=sorter.dir, stdout=out, stderr=subprocess.DEVNULL, timeout=60)
        return sorter.read("stdout.txt")
    master, slave = os.openpty()
    process = subprocess.Popen(command, cwd=sorter.dir, stdout=slave, stderr=subprocess.DEVNULL)
    os.close(slave)
    data = read_terminal(master)
    os.close(master)
    process.wait(timeout=60)
    return data.replace(b"\r\n", b"\n")


def check_sorted_to_standard_output(sorter, checks):
    """-sortsave /dev/stdout: the banner comes first and the sorted lines
    follow it whole, whatever the standard output is."""
    sorter.server.write("in.txt", b"".join(b"line %05d\n" % (i * 7919 % 5000) for i in range(5000)))
    expected = b"".join(b"line %05d\n" % i for i in range(5000))
    for where in ["file", "pipe", "terminal"]:
        banner = standard_output_of(sorter, ["-sortbase", "temp_b", "-sortsave", "elsewhere.txt"], where)
        got = standard_output_of(sorter, ["-sort", "in.txt", "-sortbase", "temp_s", "-sortsave", "/dev/stdout"],
                                 where)
        checks.true("standard output is a " + where + ": banner, then the sorted lines", got == banner + expected,
                    "got %d bytes starting %r" % (len(got), got[:120]))


def endless_lines(fifo, opened):
    """Writes distinct lines into the named pipe until its reader goes;
    sets opened once the reader has opened it."""
    try:
        with open(fifo, "wb") as out:
            opened.set()
            for i in itertools.count():
                out.write(b"endless %d\n" % i)
    except OSError:
        pass


def ended_by(process, signal_number):
    """Sends the signal; the exit status, or None when the process ran on."""
    process.send_signal(signal_number)
    try:
        return process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None


def check_signals(sorter, checks):
    """SIGINT and SIGTERM end a sort that is busy counting (an input that
    never ends) or stuck writing (a pipe nobody reads): a failed run's
    status, no output, the base as a failed run leaves it."""
    sorter.server.write("in.txt", b"a\n")
    sorter.run("-sortinit", "-sort", "in.txt", "-sortbase", "f.vek")
    sorter.server.write("in.txt", b"x\n" * 300000)
    sorter.run("-sortinit", "-sort", "in.txt", "-sortbase", "big.vek")
    os.mkfifo(sorter.path("in.fifo"))
    os.mkfifo(sorter.path("out.fifo"))
    popen = lambda *args: subprocess.Popen([sorter.binary, *args], cwd=sorter.dir, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE)
    for number in [signal.SIGINT, signal.SIGTERM]:
        what = "counting, %s: " % signal.Signals(number).name
        if os.path.exists(sorter.path("out.txt")):
            os.remove(sorter.path("out.txt"))
        process = popen("-sort", "in.fifo", "-sortbase", "f.vek", "-sortsave", "out.txt")
        opened = threading.Event()
        writer = threading.Thread(target=endless_lines, args=(sorter.path("in.fifo"), opened), daemon=True)
        writer.start()
        opened.wait(timeout=60)  # the sort is reading
        status = ended_by(process, number)
        writer.join(timeout=60)
        checks.true(what + "ended with a failure", status not in (None, 0), repr(status))
        checks.true(what + "says so", b"signal" in process.stderr.read())
        checks.true(what + "no output", not os.path.exists(sorter.path("out.txt")))
        sorter.run("-sortbase", "f.vek", "-sortsave", "kept.txt")
        checks.equal(what + "base unchanged", sorter.read("kept.txt"), b"a\n")

        what = "writing, %s: " % signal.Signals(number).name
        process = popen("-sortbase", "big.vek", "-sortsave", "out.fifo")
        with open(sorter.path("out.fifo"), "rb") as reader:
            reader.read(4096)  # the run is writing; then nobody reads
            status = ended_by(process, number)
        checks.true(what + "ended with a failure", status not in (None, 0), repr(status))
        checks.true(what + "says so", b"signal" in process.stderr.read())
        sorter.run("-sortbase", "big.vek", "-sortsave", "kept.txt")
        checks.equal(what + "base unchanged", sorter.read("kept.txt"), b"x\n" * 300000)
    # One that comes while the start-up script runs: the sort never begins.
    sorter.server.write("vekinit.ttm", "#[system;kill -TERM $PPID]")
    sorter.server.write("in.txt", b"b\n")
    done = sorter.run("-system", "-sort", "in.txt", "-sortbase", "f.vek", "-sortsave", "out.txt")
    os.remove(sorter.path("vekinit.ttm"))
    checks.true("signal during start-up: a failure", done.returncode != 0)
    checks.true("signal during start-up: no output", not os.path.exists(sorter.path("out.txt")))
    sorter.run("-sortbase", "f.vek", "-sortsave", "kept.txt")
    checks.equal("signal during start-up: base unchanged", sorter.read("kept.txt"), b"a\n")


def check_no_input_named_serves(sorter, checks):
    server = sorter.server
    server.write("www/index.html", "")
    server.args = ["-sortbase", "x.vek", "-p", str(server.port), "-d", "www"]
    server.start()
    checks.equal("serves, then stops cleanly", server.stop(), 0)


def check_base_of_a_running_server(sorter, checks):
    """A server holds the base "shop" open from its start-up script: a sort
    run on its write file is refused and leaves it alone; once the server
    has stopped, the same run works."""
    server = sorter.server
    server.write("vekinit.ttm", "#[~~+;shop]")
    server.args = ["-p", str(server.port), "-d", "www"]
    server.start()
    try:
        done = sorter.run("-sortbase", "shop1", "-sortsave", "out.txt")
        checks.equal("base of a server: refused", done.returncode, 1)
        checks.true("base of a server: says so", b"shop1: another process has it open" in done.stderr)
    finally:
        server.stop()
        os.remove(sorter.path("vekinit.ttm"))  # the sort run would open "shop" with it too
    # Its files stay the server's after it stopped: the write file changed
    # here would leave the read copy beside it stale.
    sorter.server.write("in.txt", b"a\n")
    files = {name: sorter.read(name) for name in ["shop1", "shop2"]}
    for args in [["-sortbase", "shop1", "-sortsave", "out.txt"], ["-sortbase", "shop1", "-sort", "in.txt"],
                 ["-sortbase", "shop1", "-sortinit", "-sort", "in.txt"], ["-sortbase", "shop2", "-sort", "in.txt"]]:
        if os.path.exists(sorter.path("out.txt")):
            os.remove(sorter.path("out.txt"))
        done = sorter.run(*args)
        what = "page base, %s: " % " ".join(args)
        checks.equal(what + "refused", done.returncode, 1)
        checks.true(what + "names it", ("the base '%s' is " % args[1]).encode() in done.stderr, repr(done.stderr))
        checks.equal(what + "files unchanged", {name: sorter.read(name) for name in files}, files)
        checks.true(what + "no output", not os.path.exists(sorter.path("out.txt")))


def check_committed_page_base_by_every_path(sorter, checks):
    """A page base made and committed into by the real server (its start-up
    script opens "till", puts a key through a writer and commits): both of
    its files, reached through their names, a symbolic link or a hard
    link, are refused by the sort mode, and no file changes."""
    server = sorter.server
    server.write("vekinit.ttm", "#[~~+;till]#[.=;w;#[~~v;till;5]]#[~~+.;till;##[w];sold]#[~~.;till;##[w]]")
    server.args = ["-p", str(server.port), "-d", "www"]
    server.start()
    server.stop()
    os.remove(sorter.path("vekinit.ttm"))
    sorter.server.write("in.txt", b"a\n")
    files = {name: sorter.read(name) for name in ["till1", "till2"]}
    checks.true("committed page base: the read copy holds the commit", b"sold" in files["till2"])
    for name in ["till1", "till2"]:
        os.symlink(name, sorter.path("sym-" + name))
        os.link(sorter.path(name), sorter.path("hard-" + name))
        for path in [name, "sym-" + name, "hard-" + name]:
            for args in [["-sortbase", path, "-sort", "in.txt"], ["-sortbase", path, "-sortsave", "out.txt"]]:
                if os.path.exists(sorter.path("out.txt")):
                    os.remove(sorter.path("out.txt"))
                done = sorter.run(*args)
                what = "committed page base, %s: " % " ".join(args)
                checks.equal(what + "refused", done.returncode, 1)
                checks.equal(what + "files unchanged", {n: sorter.read(n) for n in files}, files)
                checks.true(what + "no output", not os.path.exists(sorter.path("out.txt")))


def main():
    checks = Checks()
    sorter = Sorter(sys.argv[1])
    try:
        check_cases(sorter, checks)
        check_runs_without_input(sorter, checks)
        check_failures(sorter, checks)
        check_unseekable_inputs(sorter, checks)
        check_output_names(sorter, checks)
        check_sorted_to_standard_output(sorter, checks)
        check_signals(sorter, checks)
        check_no_input_named_serves(sorter, checks)
        check_base_of_a_running_server(sorter, checks)
        check_committed_page_base_by_every_path(sorter, checks)
    finally:
        sorter.server.cleanup()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
