#!/usr/bin/env python3
"""What one sort-mode run costs beside a base of 1 M records, for two
binaries side by side (this build and another, an older one say): each
binary makes its own base from 1 M distinct lines (fixed seed), then, in
interleaved rounds on a fresh copy of it:
  one line     count one line into the base;
  write over   write the base out over an output that is there;
  1 M lines    count the same 1 M lines into the base again.
Prints the median wall time of each case per binary and their ratio.
    bench/sort_runs.py OTHER_BINARY [THIS_BINARY] [--rounds N]
(THIS_BINARY defaults to build/vekserver; 7 rounds.)
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

CASES = [  # name, options after -sortbase BASE
    ("one line", ["-sort", "one.txt"]),
    ("write over", ["-sortsave", "out.txt"]),
    ("1 M lines", ["-sort", "input.txt"]),
]


def make_inputs(work):
    rng = random.Random(20261207)
    lines = ["%08x-%d\n" % (rng.getrandbits(32), i) for i in range(1000000)]
    rng.shuffle(lines)
    with open(os.path.join(work, "input.txt"), "w") as out:
        out.writelines(lines)
    with open(os.path.join(work, "one.txt"), "w") as out:
        out.write("one more line\n")


def run(binary, args, work):
    """Wall seconds of one run; a failed run ends the benchmark."""
    start = time.monotonic()
    done = subprocess.run([binary, *args], cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.monotonic() - start
    if done.returncode != 0:
        sys.exit("failed: %s: %s" % (" ".join([binary, *args]), done.stderr.decode(errors="replace")))
    return seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("other")
    parser.add_argument("this", nargs="?", default=os.path.join(HERE, "..", "build", "vekserver"))
    parser.add_argument("--rounds", type=int, default=7)
    options = parser.parse_args()
    binaries = [("this", os.path.abspath(options.this)), ("other", os.path.abspath(options.other))]
    work = tempfile.mkdtemp(prefix="vek-sort-runs.")
    try:
        make_inputs(work)
        for label, binary in binaries:
            run(binary, ["-sort", "input.txt", "-sortbase", "made-%s.vek" % label], work)
        times = {(case, label): [] for case, _ in CASES for label, _ in binaries}
        for round_number in range(options.rounds):
            order = binaries if round_number % 2 == 0 else binaries[::-1]
            for case, args in CASES:
                for label, binary in order:
                    shutil.copyfile(os.path.join(work, "made-%s.vek" % label), os.path.join(work, "run.vek"))
                    with open(os.path.join(work, "out.txt"), "w") as out:
                        out.write("the output of an earlier run\n")
                    os.sync()  # the copy's write-back is not the run's to pay (its fsync would)
                    times[(case, label)].append(run(binary, ["-sortbase", "run.vek", *args], work))
        print("medians of %d interleaved rounds, base of 1 M records" % options.rounds)
        print("%-12s %10s %10s %8s" % ("case", "this", "other", "ratio"))
        for case, _ in CASES:
            this, other = (statistics.median(times[(case, label)]) for label in ("this", "other"))
            print("%-12s %9.3fs %9.3fs %7.2fx" % (case, this, other, this / other))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
