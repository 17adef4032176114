#!/usr/bin/env bash
# TLS 1.0 figures beside openssl on one 2048-bit certificate and suite
# AES128-SHA:
#   1. full handshakes per second: `openssl s_time -new` against the accept
#      loop of tls_bench --serve and against `openssl s_server`;
#   2. bulk transfer of 100 MiB: tls_send/tls_recv over a socket pair
#      (tls_bench's Google Benchmark) and openssl s_client to s_server.
#
#   bench/tls_bench.sh [path/to/build]      (SECONDS_PER_RUN=10)
set -euo pipefail

BUILD=$(realpath "${1:-build}")
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
WORK=$(mktemp -d /tmp/vektls-bench-XXXXXX)
PIDS=()
TLS1="-tls1 -cipher AES128-SHA@SECLEVEL=0"

cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

cd "$WORK"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -subj /CN=bench -days 2 2>/dev/null
openssl x509 -in cert.pem -outform DER -out cert.der
openssl rsa -in key.pem -outform DER -traditional -out key.der 2>/dev/null

handshakes() {  # port -> connections per second
  openssl s_time -connect 127.0.0.1:"$1" -new $TLS1 -time "$SECONDS_PER_RUN" 2>&1 |
    sed -n 's/^\([0-9]*\) connections in \([0-9.]*\) real seconds.*/\1 \2/p' |
    head -1 | awk '{ printf "%.1f", $1 / $2 }'
}

PORT=$(free_port)
"$BUILD"/bench/tls_bench --serve "$PORT" > /dev/null 2>&1 & PIDS+=($!)
sleep 0.5
OURS=$(handshakes "$PORT")

PORT=$(free_port)
sleep 1000 | openssl s_server -accept "$PORT" -cert cert.pem -key key.pem $TLS1 -quiet > /dev/null 2>&1 & PIDS+=($!)
sleep 0.5
THEIRS=$(handshakes "$PORT")
echo "handshakes/s: tls_accept $OURS, openssl s_server $THEIRS, ratio $(awk "BEGIN { printf \"%.3f\", $OURS / $THEIRS }")"

OUR_BULK=$("$BUILD"/bench/tls_bench --benchmark_filter=Bulk --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
  awk '/_median/ { for (i = 1; i <= NF; i++) if ($i ~ /bytes_per_second/) { sub(/bytes_per_second=/, "", $i); print $i } }')

head -c 104857600 /dev/zero | tr '\0' 'a' > data
PORT=$(free_port)
sleep 1000 | openssl s_server -accept "$PORT" -cert cert.pem -key key.pem $TLS1 -quiet > received 2>/dev/null & PIDS+=($!)
sleep 0.5
START=$(date +%s.%N)
(cat data; while [ "$(stat -c %s received)" -lt 104857600 ]; do sleep 0.01; done) |
  openssl s_client -connect 127.0.0.1:"$PORT" $TLS1 > /dev/null 2>&1
END=$(date +%s.%N)
THEIR_BULK=$(awk "BEGIN { printf \"%.1fM/s\", 100 / ($END - $START) * 1.048576 }")
echo "bulk 100 MiB: tls_send/tls_recv $OUR_BULK, openssl s_client to s_server $THEIR_BULK"
