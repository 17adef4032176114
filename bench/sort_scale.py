#!/usr/bin/env python3
"""Sort mode at scale beside `LC_ALL=C sort --parallel=1`: three inputs made
here with a fixed seed (1 M lines of 100 k distinct values, 2 M distinct
lines, 10 M lines of 1 M distinct values), each sorted through a file base
and through a memory base. Prints wall time and peak memory of every run
with its ratio to GNU sort's and checks that all outputs agree.
    bench/sort_scale.py [path/to/vekserver]   (default: build/vekserver)
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.path.abspath(sys.argv[1] if len(sys.argv) == 2 else os.path.join(HERE, "..", "build", "vekserver"))

INPUTS = [  # name, lines, distinct values
    ("1M lines / 100k distinct", 1000000, 100000),
    ("2M distinct", 2000000, 2000000),
    ("10M lines / 1M distinct", 10000000, 1000000),
]


def make_input(path, lines, distinct):
    rng = random.Random(20261207 + distinct)
    values = ["%08x-%d" % (rng.getrandbits(32), i) for i in range(distinct)]
    with open(path, "w") as out:
        if lines == distinct:
            rng.shuffle(values)
            out.write("\n".join(values) + "\n")
        else:
            for start in range(0, lines, 100000):
                out.write("".join(rng.choice(values) + "\n" for _ in range(min(100000, lines - start))))


def make_input_aside(path, lines, distinct):
    """Makes the input in a child process: a child forked from this one
    would count this process's memory in its own peak."""
    subprocess.check_call([sys.executable, os.path.abspath(__file__), "--make", path, str(lines), str(distinct)])


def run(command, cwd):
    """Wall seconds and peak resident MiB of one command."""
    start = time.monotonic()
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, env=dict(os.environ, LC_ALL="C"))
    _, status, usage = os.wait4(child.pid, 0)
    if status != 0:
        sys.exit("failed: %s" % " ".join(command))
    return time.monotonic() - start, usage.ru_maxrss / 1024.0


def main():
    work = tempfile.mkdtemp(prefix="vek-sort-scale.")
    try:
        for name, lines, distinct in INPUTS:
            source = os.path.join(work, "input.txt")
            make_input_aside(source, lines, distinct)
            gnu = run(["sort", "--parallel=1", "-o", "gnu.txt", source], work)
            file_base = run([BINARY, "-sort", source, "-sortsave", "file.txt", "-sortbase", "file.vek", "-sortinit"], work)
            memory_base = run([BINARY, "-sort", source, "-sortsave", "memory.txt", "-sortbase", "temp_scale"], work)
            for output in ("file.txt", "memory.txt"):
                if subprocess.call(["cmp", "-s", os.path.join(work, "gnu.txt"), os.path.join(work, output)]) != 0:
                    sys.exit("%s: %s differs from GNU sort" % (name, output))
            print("%s:" % name)
            print("  GNU sort     %7.2f s %7.0f MiB" % gnu)
            for label, (seconds, mib) in (("file base", file_base), ("memory base", memory_base)):
                print("  %-12s %7.2f s %7.0f MiB   (time %.2fx, memory %.2fx of GNU sort)"
                      % (label, seconds, mib, seconds / gnu[0], mib / gnu[1]))
            sys.stdout.flush()
            for leftover in ("file.vek", "gnu.txt", "file.txt", "memory.txt", source):
                path = os.path.join(work, leftover)
                if os.path.exists(path):
                    os.remove(path)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--make":
        make_input(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        main()
