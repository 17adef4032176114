#!/usr/bin/env bash
# 2048-bit modular exponentiation beside openssl's RSA-2048: runs
# build/bench/huge_bench (exp_mod with a 2048-bit exponent, an RSA private-key
# operation without CRT, and with exponent 65537) and `openssl speed -seconds 3
# rsa2048`, then prints the rates and their ratios to openssl's sign and
# verify rates. Goals: private >= 0.12x sign, public >= 0.1x verify.
# openssl runs twice: as it is, and with its AVX-512 IFMA kernel masked off
# (OPENSSL_ia32cap), which leaves its scalar MULX/ADX code, the same kind of
# kernel as exp_mod's.
#   bench/huge_vs_openssl.sh [path/to/huge_bench]   (default: build/bench/huge_bench)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bench="$(realpath "${1:-$here/build/bench/huge_bench}")"

ours=$("$bench" --benchmark_filter='BM_ExpMod2048' --benchmark_min_time=3 --benchmark_format=csv 2>/dev/null)
theirs=$(openssl speed -seconds 3 rsa2048 2>/dev/null | grep '^rsa 2048 bits')
scalar=$(OPENSSL_ia32cap=":~0x200000" openssl speed -seconds 3 rsa2048 2>/dev/null | grep '^rsa 2048 bits')

# The ops/s counter is the last column of each csv line.
private=$(echo "$ours" | grep '^"BM_ExpMod2048Private"' | awk -F, '{print $NF}')
public=$(echo "$ours" | grep '^"BM_ExpMod2048Public"' | awk -F, '{print $NF}')
sign=$(echo "$theirs" | awk '{print $(NF-1)}')
verify=$(echo "$theirs" | awk '{print $NF}')
scalar_sign=$(echo "$scalar" | awk '{print $(NF-1)}')

awk -v private="$private" -v public="$public" -v sign="$sign" -v verify="$verify" -v scalar="$scalar_sign" 'BEGIN {
    printf "openssl rsa2048:               sign %9.1f/s   verify %9.1f/s\n", sign, verify
    printf "openssl rsa2048 without IFMA:  sign %9.1f/s\n", scalar
    printf "exp_mod 2048-bit exponent:          %9.1f/s   %.3fx sign   (goal 0.12x), %.3fx sign without IFMA\n", private, private / sign, private / scalar
    printf "exp_mod exponent 65537:             %9.1f/s   %.3fx verify (goal 0.1x)\n", public, public / verify
}'
