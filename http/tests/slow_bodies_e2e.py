"""End-to-end: request bodies that trickle. Past the first idle-timeout
window (15 s) a body must have come at 1 KiB/s on average, or its slot is
freed: a form and a raw upload fed one byte a second are
dropped (the raw upload's file with it), while a form sent at 1.5 KiB/s, a
poor mobile link, is answered. This test takes about 17 seconds."""
import os
import select
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import read_all, serve_and_check, split_response  # noqa: E402

IDLE_TIMEOUT = 15
FILES = {"www/echo.ttm": "#[out;##[HTTP_PARAM_v]]", "www/done.html": "done"}
MOBILE_CHUNK = 1536
MOBILE_BODY = b"v=" + b"m" * (MOBILE_CHUNK * (IDLE_TIMEOUT + 3) - 2)
SLOW = [
    ("form", b"POST /echo.ttm HTTP/1.1\r\nContent-Length: 1000\r\n\r\nv="),
    ("raw upload", b"POST /x HTTP/1.1\r\nContent-Type: application/octet-stream; filename=slow-raw.bin\r\n\r\n"),
]


def closed_by_server(conn):
    """True when the server has closed the connection; never waits."""
    readable, _, _ = select.select([conn], [], [], 0)
    if not readable:
        return False
    try:
        return conn.recv(4096) == b""
    except OSError:
        return True


def check_trickling_bodies(server, checks):
    slow = {}
    for name, head in SLOW:
        slow[name] = server.connect()
        slow[name].sendall(head)
    mobile = server.connect()
    mobile.sendall(b"POST /echo.ttm HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(MOBILE_BODY))
    dropped = set()
    sent = 0
    # Readiness bound, not a speed check: the drops come within two windows.
    for _ in range(3 * IDLE_TIMEOUT):
        if sent < len(MOBILE_BODY):
            mobile.sendall(MOBILE_BODY[sent:sent + MOBILE_CHUNK])
            sent += MOBILE_CHUNK
        for name, conn in slow.items():
            if name in dropped:
                continue
            if closed_by_server(conn):
                dropped.add(name)
                continue
            try:
                conn.sendall(b"s")
            except OSError:
                dropped.add(name)
        if len(dropped) == len(slow) and sent >= len(MOBILE_BODY):
            break
        time.sleep(1)
    for name, _ in SLOW:
        checks.true("slow %s dropped" % name, name in dropped)
        slow[name].close()
    checks.true("  its unfinished file removed", not os.path.exists(os.path.join(server.dir, "www/slow-raw.bin")))
    with mobile:
        checks.true("a body at 1.5 KiB/s answered", split_response(read_all(mobile))[2] == MOBILE_BODY[2:])


def main():
    return serve_and_check(sys.argv[1], FILES, ["-c", "6"], [check_trickling_bodies])


if __name__ == "__main__":
    sys.exit(main())
