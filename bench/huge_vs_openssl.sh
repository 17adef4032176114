#!/usr/bin/env bash
# 2048-bit modular exponentiation beside openssl's RSA-2048: runs
# build/bench/huge_bench (exp_mod with a 2048-bit exponent, an RSA private-key
# operation without CRT, and with exponent 65537) and `openssl speed -seconds 3
# rsa2048`, then prints the rates and their ratios to openssl's sign and
# verify rates. Goals: private >= 0.12x sign, public >= 0.1x verify.
#   bench/huge_vs_openssl.sh [path/to/huge_bench]   (default: build/bench/huge_bench)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bench="$(realpath "${1:-$here/build/bench/huge_bench}")"

ours=$("$bench" --benchmark_filter='BM_ExpMod2048' --benchmark_min_time=3 --benchmark_format=csv 2>/dev/null)
theirs=$(openssl speed -seconds 3 rsa2048 2>/dev/null | grep '^rsa 2048 bits')

# The ops/s counter is the last column of each csv line.
private=$(echo "$ours" | grep '^"BM_ExpMod2048Private"' | awk -F, '{print $NF}')
public=$(echo "$ours" | grep '^"BM_ExpMod2048Public"' | awk -F, '{print $NF}')
sign=$(echo "$theirs" | awk '{print $(NF-1)}')
verify=$(echo "$theirs" | awk '{print $NF}')

awk -v private="$private" -v public="$public" -v sign="$sign" -v verify="$verify" 'BEGIN {
    printf "openssl rsa2048:               sign %9.1f/s   verify %9.1f/s\n", sign, verify
    printf "exp_mod 2048-bit exponent:          %9.1f/s   %.3fx sign   (goal 0.12x)\n", private, private / sign
    printf "exp_mod exponent 65537:             %9.1f/s   %.3fx verify (goal 0.1x)\n", public, public / verify
}'
