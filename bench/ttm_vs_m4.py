#!/usr/bin/env python3
"""Times the million-iteration template loop against the same loop in m4.

Usage: ttm_vs_m4.py PATH/TO/ttm_bench
Runs each side three times and keeps the best wall time, so that other load
on the machine disturbs the figures less. Prints both wall times, their ratio
(goal: at most 1.5) and the template run's peak memory (goal: under 50 MiB)."""
import resource
import subprocess
import sys
import time

M4_LOOP = "define(`loop', `ifelse(eval($1 < 1000000), 1, `loop(incr($1))')')loop(0)"


ROUNDS = 3


def timed(command, stdin_text=None):
    """Best wall time of ROUNDS runs, and the output of the last one."""
    best = None
    for _ in range(ROUNDS):
        start = time.perf_counter()
        result = subprocess.run(command, input=stdin_text, capture_output=True, text=True, check=True)
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result.stdout


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    ttm_seconds, ttm_out = timed([sys.argv[1], "--loop"])
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    if ttm_out.strip() != "1000000":
        sys.exit("template loop gave %r, not 1000000" % ttm_out.strip())
    m4_seconds, _ = timed(["m4"], M4_LOOP)
    print("template loop: %.3f s, peak memory %.1f MiB" % (ttm_seconds, peak_kib / 1024.0))
    print("m4 loop:       %.3f s" % m4_seconds)
    print("ratio template/m4: %.2f (goal <= 1.5)" % (ttm_seconds / m4_seconds))


if __name__ == "__main__":
    main()
