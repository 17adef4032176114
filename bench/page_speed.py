#!/usr/bin/env python3
"""Times the template run loop of two server binaries side by side: a
million-iteration loop and a naive Fibonacci of 25, each as a page (GET of
a .ttm file) and as a raw template request (text ended by a NUL byte).

Usage: page_speed.py NEW_BINARY (OLD_BINARY | --commit COMMIT) [--rounds N] [--steps S]

With --commit the old binary is built from that commit in a git worktree of
this repository (under the system's temporary directory, reused on later
calls; remove it with "git worktree remove" when done; target vekserver,
-j 3, ccache when present). Both servers run at once, each in its own
scratch directory, started with "-s S" (30, the server's default, unless
given); the N rounds (10 unless given) are interleaved, old and new in turn
for every program and way and each first in every other round, so load on
the machine touches both alike; a difference of a few per cent needs all
ten. Prints the median wall time and the median CPU time of the server
process for every program and way, and new / old of both."""
import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "http", "tests"))
from e2e_support import cpu_seconds, free_port, read_all  # noqa: E402

LOOP = ("#[.=;i;0]#[.=;loop;[#[>=n;#[i];1000000;;[#[.=;i;#[+;#[i];1;0]]#[loop]]]]]"
        "#[loop]#[out;#[i]]")
FIB = ("#[.=;fib;[#[>=n;N;2;[#[+;#[fib;#[-;N;1;0]];#[fib;#[-;N;2;0]];0]];N]]]#[=.;fib;N]"
       "#[out;#[fib;25]]")
PROGRAMS = [("loop", LOOP, b"1000000"), ("fib(25)", FIB, b"75025")]
WAYS = ["page", "raw"]


def build_commit(commit):
    """The vekserver binary of commit, built in a worktree of its own."""
    sha = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", commit], capture_output=True, text=True,
                         check=True).stdout.strip()
    tree = os.path.join(tempfile.gettempdir(), "vek-page-speed-" + sha)
    if not os.path.isdir(tree):
        subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", tree, sha], check=True)
    build = os.path.join(tree, "build")
    configure = ["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVEK_BENCH=OFF"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j", "3", "--target", "vekserver"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "vekserver")


class Server:
    """One binary serving the two programs from a scratch directory."""

    def __init__(self, binary, steps):
        self.dir = tempfile.mkdtemp(prefix="vek-page-speed-")
        os.mkdir(os.path.join(self.dir, "www"))
        for name, text, _ in PROGRAMS:
            with open(os.path.join(self.dir, "www", self.page_name(name)), "w") as page:
                page.write(text)
        self.port = free_port()
        self.process = subprocess.Popen([os.path.abspath(binary), "-p", str(self.port), "-d", "www", "-s", steps],
                                        cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        stdin=subprocess.DEVNULL)
        for _ in range(400):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.025)
        self.stop()
        sys.exit("%s did not start listening" % binary)

    @staticmethod
    def page_name(program):
        return program.split("(")[0] + ".ttm"

    def request(self, program, text, way):
        if way == "page":
            data = ("GET /%s HTTP/1.1\r\nHost: x\r\n\r\n" % self.page_name(program)).encode()
        else:
            data = text.encode() + b"\0"
        with socket.create_connection(("127.0.0.1", self.port), timeout=120) as conn:
            conn.sendall(data)
            return read_all(conn)

    def timed(self, program, text, expected, way):
        """(wall seconds, server CPU seconds) of one request."""
        cpu = cpu_seconds(self.process.pid)
        start = time.perf_counter()
        answer = self.request(program, text, way)
        wall = time.perf_counter() - start
        if not answer.rstrip(b"\0").endswith(expected):
            sys.exit("%s as %s gave %r" % (program, way, answer[-80:]))
        return wall, cpu_seconds(self.process.pid) - cpu

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=30)
        shutil.rmtree(self.dir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("new")
    parser.add_argument("old", nargs="?")
    parser.add_argument("--commit")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--steps", default="30")
    args = parser.parse_args()
    if (args.old is None) == (args.commit is None):
        parser.error("give either OLD_BINARY or --commit COMMIT")
    old_binary = args.old or build_commit(args.commit)
    servers = {"old": Server(old_binary, args.steps), "new": Server(args.new, args.steps)}
    times = {}  # (program, way, which) -> [(wall, cpu)]
    try:
        for round_ in range(args.rounds):
            for program, text, expected in PROGRAMS:
                for way in WAYS:
                    # Each goes first in every other round.
                    for which in (("old", "new") if round_ % 2 == 0 else ("new", "old")):
                        sample = servers[which].timed(program, text, expected, way)
                        times.setdefault((program, way, which), []).append(sample)
    finally:
        for server in servers.values():
            server.stop()
    print("medians of %d rounds, -s %s; old = %s" % (args.rounds, args.steps, args.commit or old_binary))
    print("%-8s %-5s %9s %9s %7s   %9s %9s %7s" % ("program", "way", "old wall", "new wall", "new/old",
                                                  "old CPU", "new CPU", "new/old"))
    for program, _, _ in PROGRAMS:
        for way in WAYS:
            old = times[(program, way, "old")]
            new = times[(program, way, "new")]
            medians = [statistics.median(s[i] for s in runs) for runs in (old, new) for i in (0, 1)]
            old_wall, old_cpu, new_wall, new_cpu = medians
            print("%-8s %-5s %8.3fs %8.3fs %7.3f   %8.3fs %8.3fs %7.3f" % (
                program, way, old_wall, new_wall, new_wall / old_wall, old_cpu, new_cpu, new_cpu / old_cpu))


if __name__ == "__main__":
    main()
