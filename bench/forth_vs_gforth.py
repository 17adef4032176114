#!/usr/bin/env python3
"""Times two Forth programs through forth_console beside gforth running the same text.

Usage: forth_vs_gforth.py PATH/TO/forth_console
Needs gforth (Debian package gforth; `make bench-deps` installs it). Each side
runs ROUNDS times and the best wall time counts, so that other load on the
machine disturbs the figures less. Prints both times and their ratio per
program (goal: at most 10)."""
import subprocess
import sys
import time

ROUNDS = 5

PROGRAMS = {
    "count-down 10000000": (": count-down begin dup while 1- repeat drop ;\n"
                            "10000000 count-down 0 .\n", "0"),
    "fib 25": (": fib dup 2 < if exit then dup 1- recurse swap 2 - recurse + ;\n"
               "25 fib .\n", "75025"),
}


def best_time(command, text, expected):
    best = None
    for _ in range(ROUNDS):
        start = time.perf_counter()
        result = subprocess.run(command, input=text, capture_output=True, text=True, check=True)
        elapsed = time.perf_counter() - start
        if expected not in result.stdout:
            sys.exit("%s gave %r, expected %s" % (command[0], result.stdout, expected))
        best = elapsed if best is None else min(best, elapsed)
    return best


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for name, (text, expected) in PROGRAMS.items():
        ours = best_time([sys.argv[1]], text, expected)
        # gforth reads the same text from standard input and ends at its end.
        peer = best_time(["gforth", "-e", "stdin include-file bye"], text, expected)
        print("%-20s forth_console %.3f s  gforth %.3f s  ratio %.1f (goal <= 10)" %
              (name, ours, peer, ours / peer))


if __name__ == "__main__":
    main()
