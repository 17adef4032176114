#!/usr/bin/env bash
# Throughput of the server against nginx (one worker, keep-alive off, no
# access log) with wrk: a 1 KiB static file from both, a template page
# whose output is 1 KiB from the server, and a 1 KiB urlencoded form POSTed
# to a page that echoes its field. Every request carries
# "Connection: close". It first measures the idle server's CPU use over
# IDLE seconds (20; 0 skips it). With SOAK=1 it also runs the static load and
# the page for 30 s each and prints the server's resident memory before and
# after.
#
#   bench/http_bench.sh [path/to/vekserver]     (DURATION=10 CONNECTIONS=50 IDLE=20 ROUNDS=3)
set -euo pipefail

BINARY=$(realpath "${1:-build/vekserver}")
DURATION=${DURATION:-10}
CONNECTIONS=${CONNECTIONS:-50}
IDLE=${IDLE:-20}
ROUNDS=${ROUNDS:-3}
WORK=$(mktemp -d /tmp/vekhttp-bench-XXXXXX)
SERVER_PID=""
NGINX_PID=""

cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "port $1 never opened" >&2
  exit 1
}

# Requests per second that wrk measured for a URL: the best of ROUNDS runs,
# as other load on the machine only ever lowers a figure.
# Further words go to wrk (a script: -s file).
rate() {
  local url=$1
  shift
  for _ in $(seq "$ROUNDS"); do
    wrk -t2 -c"$CONNECTIONS" -d"${DURATION}s" -H "Connection: close" "$@" "$url" | awk '/Requests\/sec/ {print $2}'
  done | sort -g | tail -1
}

# CPU time (user + system) of a process, in clock ticks.
cpu_ticks() {
  awk '{print $14 + $15}' "/proc/$1/stat"
}

rss_kib() {
  awk '/VmRSS/ {print $2}' "/proc/$1/status"
}

mkdir -p "$WORK/www" "$WORK/nginx"
head -c 1024 /dev/zero | tr '\0' 'a' > "$WORK/www/one.txt"
printf '#[out;%s]' "$(head -c 1024 /dev/zero | tr '\0' 'b')" > "$WORK/www/page.ttm"
printf '#[out;##[HTTP_PARAM_v]]' > "$WORK/www/form.ttm"
FORM_VALUE=$(head -c 1022 /dev/zero | tr '\0' 'f')
cat > "$WORK/post.lua" <<EOF
wrk.method = "POST"
wrk.body = "v=$FORM_VALUE"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
EOF

SERVER_PORT=$(free_port)
(cd "$WORK" && exec "$BINARY" -p "$SERVER_PORT" -d www > "$WORK/server.log" 2>&1) &
SERVER_PID=$!
wait_port "$SERVER_PORT"

NGINX_PORT=$(free_port)
cat > "$WORK/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $WORK/nginx;
  proxy_temp_path $WORK/nginx;
  fastcgi_temp_path $WORK/nginx;
  uwsgi_temp_path $WORK/nginx;
  scgi_temp_path $WORK/nginx;
  server { listen 127.0.0.1:$NGINX_PORT; root $WORK/www; }
}
EOF
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
NGINX_PID=$!
wait_port "$NGINX_PORT"

# Both pages must answer before they are measured.
curl -sf "http://127.0.0.1:$SERVER_PORT/one.txt" | cmp -s - "$WORK/www/one.txt" || { echo "static page wrong" >&2; exit 1; }
[ "$(curl -sf "http://127.0.0.1:$SERVER_PORT/page.ttm" | wc -c)" = 1024 ] || { echo "template page wrong" >&2; exit 1; }
[ "$(curl -sf --data "v=$FORM_VALUE" "http://127.0.0.1:$SERVER_PORT/form.ttm")" = "$FORM_VALUE" ] || { echo "form page wrong" >&2; exit 1; }

if [ "$IDLE" -gt 0 ]; then
  ticks=$(cpu_ticks "$SERVER_PID")
  sleep "$IDLE"
  used=$(( $(cpu_ticks "$SERVER_PID") - ticks ))
  printf 'server idle CPU:        %10.2f %% of a core over %d s  (goal < 0.5 %%)\n' \
    "$(echo "100 * $used / $(getconf CLK_TCK) / $IDLE" | bc -l)" "$IDLE"
fi

nginx_static=$(rate "http://127.0.0.1:$NGINX_PORT/one.txt")
server_static=$(rate "http://127.0.0.1:$SERVER_PORT/one.txt")
server_page=$(rate "http://127.0.0.1:$SERVER_PORT/page.ttm")
server_form=$(rate "http://127.0.0.1:$SERVER_PORT/form.ttm" -s "$WORK/post.lua")

printf 'nginx static 1 KiB:     %10.0f req/s\n' "$nginx_static"
printf 'server static 1 KiB:    %10.0f req/s  (%.2fx nginx, goal 1.2x)\n' "$server_static" \
  "$(echo "$server_static / $nginx_static" | bc -l)"
printf 'server template 1 KiB:  %10.0f req/s  (%.2fx nginx static, goal 0.9x)\n' "$server_page" \
  "$(echo "$server_page / $nginx_static" | bc -l)"
printf 'server form POST 1 KiB: %10.0f req/s  (%.2fx nginx static)\n' "$server_form" \
  "$(echo "$server_form / $nginx_static" | bc -l)"

if [ "${SOAK:-0}" = 1 ]; then
  before=$(rss_kib "$SERVER_PID")
  DURATION=30 ROUNDS=1 rate "http://127.0.0.1:$SERVER_PORT/one.txt" > /dev/null
  DURATION=30 ROUNDS=1 rate "http://127.0.0.1:$SERVER_PORT/page.ttm" > /dev/null
  after=$(rss_kib "$SERVER_PID")
  echo "server memory over a 60 s run: ${before} KiB before, ${after} KiB after"
fi
