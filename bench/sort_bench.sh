#!/usr/bin/env bash
# Sort-mode benchmark: sorts 1,000,000 lines holding 100,000 distinct values
# (made here with a fixed seed) through a memory base and through a file
# base, beside `LC_ALL=C sort --parallel=1` on the same file, checks that
# all three outputs agree and prints the time ratios.
#   bench/sort_bench.sh [path/to/vekserver]   (default: build/vekserver)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$here/build/vekserver}")"
work="$(mktemp -d "${TMPDIR:-/tmp}/vek-sort-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 - <<'EOF'
import random
rng = random.Random(20261206)
values = ["%08x-%d" % (rng.getrandbits(32), rng.randrange(1000)) for _ in range(100000)]
with open("input.txt", "w") as f:
    f.writelines(rng.choice(values) + "\n" for _ in range(1000000))
EOF

# Wall-clock nanoseconds of one command.
nanoseconds() {
    local start
    start=$(date +%s%N)
    "$@" >/dev/null
    echo $(( $(date +%s%N) - start ))
}

gnu=$(nanoseconds env LC_ALL=C sort --parallel=1 -o gnu.txt input.txt)
memory=$(nanoseconds "$binary" -sort input.txt -sortsave memory.txt -sortbase temp_x)
file=$(nanoseconds "$binary" -sort input.txt -sortsave file.txt -sortbase file.vek -sortinit)

cmp -s gnu.txt memory.txt || { echo "memory base output differs from sort" >&2; exit 1; }
cmp -s gnu.txt file.txt || { echo "file base output differs from sort" >&2; exit 1; }

awk -v gnu="$gnu" -v memory="$memory" -v file="$file" 'BEGIN {
    printf "lines: 1000000, distinct: 100000\n"
    printf "GNU sort:     %6.3f s\n", gnu / 1e9
    printf "memory base:  %6.3f s  (%.2fx, goal 2x)\n", memory / 1e9, memory / gnu
    printf "file base:    %6.3f s  (%.2fx, goal 4x)\n", file / 1e9, file / gnu
}'
