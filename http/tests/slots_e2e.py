"""End-to-end: runs that cannot hold the server. A client that only ends its
sending side still reads a long page's answer; runs whose clients have gone
free their slots and base writer (the select wrapper's test holds the bytes
they left unread); pages looping on a costly word slow only themselves; a
body of too many parameters is refused; headers that announce large bodies
hold only what they sent."""
import os
import socket
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (PendingRequest, half_closed, read_all, serve_and_check,  # noqa: E402
                         server_took_everything, split_response, tcp_sockets, wait_for)

SLOTS = 6
ENDLESS = b"#[.=;l;[#[l]]]#[l]"
BUILD = b"#[.=;b;x]" + b"#[.=;b;##[b]##[b]]" * 23  # an 8 MiB form, whose digest takes a while
# 3000 rounds of a counting loop: many turns of 100 steps.
LOOP = b"#[.=;i;0]#[.=;l;[#[.=;i;#[+;#[i];1;0]]#[>=n;#[i];3000;;[#[l]]]]]#[l]#[out;done #[i]]"
FILES = {"www/index.html": "hello", "www/echo.ttm": "#[out;##[HTTP_PARAM_v]]", "www/loop.ttm": LOOP,
         "www/big.ttm": BUILD + b"#[out;##[b]]"}
GRACE_S = 5  # how long a page may still run after its client's end of input


def served(server):
    try:
        return split_response(server.get("index.html"))[2] == b"hello"
    except OSError:
        return False


def check_half_closed_clients(server, checks):
    """Clients that send their request and then shut their sending side
    (as a shell's pipe into a network tool does): still there to read."""
    page = split_response(half_closed(server, b"GET /loop.ttm HTTP/1.0\r\n\r\n"))
    checks.equal("a half-closed client's page", (page[0], page[2]), ("HTTP/1.1 200 OK", b"done 3000"))
    checks.equal("a half-closed client's raw request", half_closed(server, LOOP + b"\0"), b"done 3000")
    # The grace is the run's: once the page has finished, its answer goes
    # out to a client that reads it slowly as to any other.
    with socket.socket() as conn:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # the answer stays mostly unsent
        conn.connect(("127.0.0.1", server.port))
        conn.sendall(b"GET /big.ttm HTTP/1.0\r\n\r\n")
        conn.shutdown(socket.SHUT_WR)
        wait_for(lambda: any(local == server.port and in_flight for local, _, in_flight, _ in tcp_sockets()),
                 "the answer under way")
        time.sleep(GRACE_S + 2)  # the client stalls past the grace before it reads
        conn.settimeout(20)
        length = len(split_response(read_all(conn))[2])
    checks.equal("a large answer read after the grace", length, 8 << 20)


def check_departed_runs(server, checks):
    for program in [b"#[~~+;memory_w]#[.=;w;#[~~v;memory_w;5]]" + ENDLESS] + [ENDLESS] * 8:
        with server.connect() as conn:
            conn.sendall(program + b"\0")
        time.sleep(0.02)
    wait_for(lambda: served(server), "slots freed by departed runs")
    writer = server.exchange(b"#[~~+;memory_w]#[out;##[~~v;memory_w;2]]\0").rstrip(b"\0")
    checks.true("the departed writer was rolled back", writer.isdigit(), repr(writer))


def check_costly_pages(server, checks):
    started = time.monotonic()
    server.exchange(BUILD + b"#[MD5;##[b]]\0")
    word = time.monotonic() - started  # one costly word here, build included
    costly = [PendingRequest(server, BUILD + b"#[.=;l;[#[MD5;##[b]]#[l]]]#[l]\0") for _ in range(2)]
    time.sleep(0.3 + 2 * word)
    started = time.monotonic()
    checks.true("a bystander is served", served(server))
    waited = time.monotonic() - started  # a few turns of one word per page, not of 100 steps each
    checks.true("  within a few costly words", waited < 0.1 + 8 * word, "%.2f s, word %.3f s" % (waited, word))
    for request in costly:
        request.conn.close()


def check_parameter_limit(server, checks):
    for count, answer in [(10001, b""), (100, b"x")]:
        body = ("&".join("p%d=1" % i for i in range(count)) + "&v=x").encode()
        checks.equal("%d parameters" % count, split_response(server.post("echo.ttm", body))[2], answer)


def check_announced_bodies(server, checks):
    """Four headers announcing nearly 64 MiB each reserve nothing."""
    holders = [server.connect() for _ in range(4)]
    for conn in holders:
        conn.sendall(b"POST /echo.ttm HTTP/1.1\r\nContent-Length: %d\r\n\r\nv=" % ((64 << 20) - 1))
    wait_for(lambda: server_took_everything(server), "the four headers read")
    checks.equal("a form posted meanwhile", split_response(server.post("echo.ttm", b"v=x"))[2], b"x")
    checks.equal("a raw request meanwhile", server.exchange(b"#[out;y]\0").rstrip(b"\0"), b"y")
    for conn in holders:
        conn.close()


def check_bodies_of_running_pages(server, checks):
    """Four whole bodies that together fill the total the server holds for
    bodies, posted to pages that go on running: once a page has its
    parameters, its body no longer counts against the total."""
    path = urllib.parse.quote(ENDLESS.decode(), safe="").encode()
    holders = []
    for length in [64 << 20] * 3 + [(64 << 20) - 7]:
        conn = server.connect()
        conn.sendall(b"POST /%s HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (path, length))
        conn.sendall(b"v=" + b"b" * (length - 2))
        holders.append(conn)
    wait_for(lambda: server_took_everything(server), "the four bodies read")
    checks.equal("a form posted while they run", split_response(server.post("echo.ttm", b"v=x"))[2], b"x")
    for conn in holders:
        conn.close()


def main():
    steps = [check_half_closed_clients, check_departed_runs, check_costly_pages, check_parameter_limit,
             check_announced_bodies, check_bodies_of_running_pages]
    return serve_and_check(sys.argv[1], FILES, ["-c", str(SLOTS), "-s", "100"], steps)


if __name__ == "__main__":
    sys.exit(main())
