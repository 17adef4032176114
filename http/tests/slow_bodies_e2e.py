"""End-to-end: request bodies that trickle, and bodies nobody reads. Past
the first idle-timeout window (15 s) a body must have come at 1 KiB/s on
average, and over the last 15 s, or its slot is freed: a form and a raw
upload fed one byte a second are dropped (the raw upload's file with it), so
is a form that stalls after a burst of a megabyte, while a form sent at
1.5 KiB/s, a poor mobile link, is answered. Bodies POSTed to a static document are not
held while it downloads: with the slots' body total filled by four of them,
another visitor's form is still answered. This test takes about 20 seconds."""
import os
import select
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import read_all, serve_and_check, split_response  # noqa: E402

IDLE_TIMEOUT = 15
FILES = {"www/echo.ttm": "#[out;##[HTTP_PARAM_v]]", "www/done.html": "done"}
# The slots' body total (256 MiB) in four bodies of 64 MiB, each a byte short
# of the limit on one body: its block of length + 1 bytes is 64 MiB.
HOLDERS = 4
HELD_BODY = (64 << 20) - 1
# Larger than the socket buffers hold: a holder that stops reading keeps its
# download going.
BIG_FILE = 64 << 20
MOBILE_CHUNK = 1536
BURST_BODY = 1 << 20
MOBILE_BODY = b"v=" + b"m" * (MOBILE_CHUNK * (IDLE_TIMEOUT + 3) - 2)
SLOW = [
    ("form", b"POST /echo.ttm HTTP/1.1\r\nContent-Length: 1000\r\n\r\nv="),
    ("raw upload", b"POST /x HTTP/1.1\r\nContent-Type: application/octet-stream; filename=slow-raw.bin\r\n\r\n"),
    # All but 200 bytes at once: on average since the header it stays above
    # the rate for some 17 minutes, while its last 15 seconds bring nothing.
    ("form stalled after a burst",
     b"POST /echo.ttm HTTP/1.1\r\nContent-Length: %d\r\n\r\nv=" % BURST_BODY + b"b" * (BURST_BODY - 202)),
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


def check_unread_bodies_are_not_held(server, checks):
    with open(os.path.join(server.dir, "www/big.bin"), "wb") as big:
        big.truncate(BIG_FILE)
    body = b"b" * HELD_BODY
    holders = []
    for _ in range(HOLDERS):
        holder = server.connect()
        holders.append(holder)
        holder.sendall(b"POST /big.bin HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % HELD_BODY)
        holder.sendall(body)
        # The answer starts once the whole body has come; then it stops reading.
        checks.true("holder's download started", holder.recv(15) == b"HTTP/1.1 200 OK")
    answer = server.post("echo.ttm", b"v=meanwhile")
    checks.equal("a page's form answered while they download", split_response(answer)[2], b"meanwhile")
    for holder in holders:
        holder.close()


def main():
    return serve_and_check(sys.argv[1], FILES, ["-c", "8"], [check_trickling_bodies, check_unread_bodies_are_not_held])


if __name__ == "__main__":
    sys.exit(main())
