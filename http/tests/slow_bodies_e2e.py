"""End-to-end: request bodies that trickle, pause or stall, and bodies that
fill the memory bodies share. A body must keep up 1 KiB/s, with a margin of
25 KiB (25 seconds of the rate): a form and a raw upload fed one byte a
second are dropped (the raw upload's file with it), and so is a form that
stalls for good after a burst of a megabyte, while a form sent at 1.5 KiB/s
(a poor mobile link) is answered, and so are a form and a multipart upload
sent at 2 KiB/s that pause once for 20 s (the loop idles meanwhile). Large
bodies that fill the total bodies may hold (four of 32 MiB on their way to
64 MiB, eight of 16 MiB, four raw template texts of 64 MiB) leave room for a
visitor's small form, and four honest bodies of 64 MiB arriving at once are
all taken. Bodies POSTed to a static document are not held while it
downloads. This test takes about 40 seconds."""
import os
import select
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (cpu_seconds, file_part, read_all, serve_and_check, server_took_everything,  # noqa: E402
                         split_response, wait_for)

FILES = {"www/echo.ttm": "#[out;##[HTTP_PARAM_v]]", "www/done.html": "done"}
MIB = 1 << 20
# One body at the limit on one body: its block of length + 1 bytes is 64 MiB.
FULL_BODY = 64 * MIB - 1
# Larger than the socket buffers hold: a holder that stops reading keeps its
# download going.
BIG_FILE = 64 * MIB
BURST_BODY = MIB
PAUSING_BODY = 30 * 1024
# Seconds of the clients' run in which the pausing and stalled bodies send
# nothing, past the 15 s after which an idle connection would be closed:
# the server idles meanwhile.
QUIET = (17, 24)


def form_head(length, path=b"echo.ttm"):
    return b"POST /%s HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (path, length)


def steady(per_second, pause_at=None, pause=0):
    """Bytes to send in each second: per_second, except for pause seconds
    from second pause_at on."""
    return lambda second: 0 if pause_at is not None and pause_at <= second < pause_at + pause else per_second


PAUSING_MULTIPART = b"--zz\r\n" + file_part(b"paused.bin", b"p" * PAUSING_BODY) + b"\r\n--zz--\r\n"
# (name, header, body, bytes to send in each second, answered): each client
# sends its header, then its body on that schedule. Those not answered must
# be dropped by the server within the test's run.
CLIENTS = [
    ("form fed a byte a second", form_head(1000), b"v=" + b"s" * 998, steady(1), False),
    ("raw upload fed a byte a second",
     b"POST /x HTTP/1.1\r\nContent-Type: application/octet-stream; filename=slow-raw.bin\r\n\r\n", b"s" * 1000,
     steady(1), False),
    # All but 200 bytes at once: on average it stays above the rate for some
    # 17 minutes, but it brings nothing more.
    ("form stalled for good after a burst", form_head(BURST_BODY), b"v=" + b"b" * (BURST_BODY - 2),
     lambda second: BURST_BODY - 200 if second == 0 else 0, False),
    ("form at 1.5 KiB/s", form_head(1536 * 18), b"v=" + b"m" * (1536 * 18 - 2), steady(1536), True),
    ("form at 2 KiB/s pausing 20 s", form_head(PAUSING_BODY), b"v=" + b"q" * (PAUSING_BODY - 2),
     steady(2048, 5, 20), True),
    ("multipart at 2 KiB/s pausing 20 s",
     b"POST /done.html HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=zz\r\nContent-Length: %d\r\n\r\n" %
     len(PAUSING_MULTIPART), PAUSING_MULTIPART, steady(2048, 5, 20), True),
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


def check_body_rates(server, checks):
    conns = {}
    sent = {}
    for name, head, _, _, _ in CLIENTS:
        conns[name] = server.connect()
        conns[name].sendall(head)
        sent[name] = 0
    dropped = set()
    cpu = {}
    # Readiness bound, not a speed check: the drops come within it.
    for second in range(60):
        if second in QUIET:
            cpu[second] = cpu_seconds(server.process.pid)
        for name, _, body, schedule, _ in CLIENTS:
            if name in dropped or sent[name] >= len(body):
                continue
            if closed_by_server(conns[name]):
                dropped.add(name)
                continue
            piece = body[sent[name]:sent[name] + schedule(second)]
            try:
                conns[name].sendall(piece)
            except OSError:
                dropped.add(name)
            sent[name] += len(piece)
        unsettled = [name for name, _, body, _, answered in CLIENTS
                     if name not in dropped and (sent[name] < len(body) or not answered)]
        if not unsettled and second >= QUIET[1]:
            break
        time.sleep(1)
    share = (cpu[QUIET[1]] - cpu[QUIET[0]]) / (QUIET[1] - QUIET[0])
    checks.true("the loop idles while bodies pause", share < 0.5, "%.0f %% of a processor" % (share * 100))
    for name, _, body, _, answered in CLIENTS:
        with conns[name]:
            if not answered:
                checks.true("%s: dropped" % name, name in dropped)
                continue
            reply = b"" if name in dropped else read_all(conns[name])
            checks.equal("%s: answered" % name, split_response(reply)[0], "HTTP/1.1 200 OK")
    checks.true("  the unfinished raw upload removed", not os.path.exists(os.path.join(server.dir, "www/slow-raw.bin")))
    paused = os.path.join(server.dir, "www/paused.bin")
    checks.equal("  the paused upload stored whole", os.path.getsize(paused) if os.path.exists(paused) else None,
                 PAUSING_BODY)


def send_held(server, holders, head, length, first=b""):
    """Opens holders connections that each send head and then length bytes
    (first leading them); returns them once the server has read every byte.
    The header goes alone, so each body's block starts at its first size."""
    conns = []
    for _ in range(holders):
        conn = server.connect()
        conns.append(conn)
        conn.sendall(head)
    wait_for(lambda: server_took_everything(server), "every header read")
    for conn in conns:
        conn.sendall(first + b"h" * (length - len(first)))
    wait_for(lambda: server_took_everything(server), "every held byte read")
    return conns


# (name, holders, header, bytes each sends): bodies on their way to 64 MiB
# that send most at once and then keep the rate (1100 bytes a second), and
# raw template texts whose NUL never comes.
HOLDERS = [
    ("4 forms of 32 MiB", 4, form_head(FULL_BODY), 32 * MIB + 1100),
    ("8 forms of 16 MiB", 8, form_head(FULL_BODY), 16 * MIB + 1100),
    ("4 raw texts of 64 MiB", 4, b"", 64 * MIB),
]


def check_room_for_small_forms(server, checks):
    for name, holders, head, length in HOLDERS:
        conns = send_held(server, holders, head, length, first=b"" if head else b"#")
        answer = server.post("echo.ttm", b"v=visitor")
        checks.equal("a small form answered beside %s" % name, split_response(answer)[2], b"visitor")
        for conn in conns:
            conn.close()
        # Their closes come before this request: once it is answered, the
        # server has let them go.
        server.get("done.html")


def check_large_forms_at_once(server, checks):
    """Four bodies at the limit on one body, all held at once, are taken."""
    conns = [server.connect() for _ in range(4)]
    for conn in conns:
        conn.sendall(form_head(FULL_BODY, b"done.html"))
    piece = b"l" * MIB
    for offset in range(0, FULL_BODY, MIB):
        for conn in conns:
            conn.sendall(piece[:FULL_BODY - offset])
    for number, conn in enumerate(conns):
        with conn:
            checks.equal("large form %d of 4 at once answered" % (number + 1), conn.recv(15), b"HTTP/1.1 200 OK")


def check_unread_bodies_are_not_held(server, checks):
    with open(os.path.join(server.dir, "www/big.bin"), "wb") as big:
        big.truncate(BIG_FILE)
    body = b"b" * FULL_BODY
    holders = []
    for _ in range(4):
        holder = server.connect()
        holders.append(holder)
        holder.sendall(b"POST /big.bin HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % FULL_BODY)
        holder.sendall(body)
        # The answer starts once the whole body has come; then it stops reading.
        checks.true("holder's download started", holder.recv(15) == b"HTTP/1.1 200 OK")
    answer = server.post("echo.ttm", b"v=meanwhile")
    checks.equal("a page's form answered while they download", split_response(answer)[2], b"meanwhile")
    for holder in holders:
        holder.close()


def main():
    return serve_and_check(sys.argv[1], FILES, ["-c", "12"],
                           [check_room_for_small_forms, check_large_forms_at_once, check_unread_bodies_are_not_held,
                            check_body_rates])


if __name__ == "__main__":
    sys.exit(main())
