"""End-to-end: runs that cannot hold the server. Runs whose clients have gone
free their slots and base writer (the select wrapper's test holds the bytes
they left unread); pages looping on a costly word slow only themselves; a
body of too many parameters is refused; headers that announce large bodies
hold only what they sent."""
import os
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import PendingRequest, serve_and_check, split_response, wait_for  # noqa: E402

SLOTS = 6
ENDLESS = b"#[.=;l;[#[l]]]#[l]"
BUILD = b"#[.=;b;x]" + b"#[.=;b;##[b]##[b]]" * 23  # an 8 MiB form, whose digest takes a while
FILES = {"www/index.html": "hello", "www/echo.ttm": "#[out;##[HTTP_PARAM_v]]"}


def served(server):
    try:
        return split_response(server.get("index.html"))[2] == b"hello"
    except OSError:
        return False


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
    time.sleep(0.1)  # the server reads the four headers before the requests below
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
    time.sleep(0.5)  # the server takes the last bytes before the request below
    checks.equal("a form posted while they run", split_response(server.post("echo.ttm", b"v=x"))[2], b"x")
    for conn in holders:
        conn.close()


def main():
    steps = [check_departed_runs, check_costly_pages, check_parameter_limit, check_announced_bodies,
             check_bodies_of_running_pages]
    return serve_and_check(sys.argv[1], FILES, ["-c", str(SLOTS), "-s", "100"], steps)


if __name__ == "__main__":
    sys.exit(main())
