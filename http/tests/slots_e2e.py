"""End-to-end: runs that cannot hold the server. A run whose client has gone
is stopped and its slot (and base writer) freed; pages that call a costly
word in a loop slow only themselves; a request with too many parameters is
refused. A small slot count keeps every wait short."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import PendingRequest, serve_and_check, split_response, wait_for  # noqa: E402

SLOTS = 4
ENDLESS = b"#[.=;l;[#[l]]]#[l]"
# An 8 MiB form, then its digest again and again: each word takes a while.
BUILD = b"#[.=;b;x]" + b"#[.=;b;##[b]##[b]]" * 23
COSTLY_LOOP = b"#[.=;l;[#[MD5;##[b]]#[l]]]#[l]"
FILES = {"www/index.html": "hello index", "www/echo.ttm": "#[out;##[HTTP_PARAM_v]]"}


def vanish(server, program):
    """Sends a raw request and leaves at once."""
    conn = server.connect()
    conn.sendall(program + b"\0")
    conn.close()


def served(server):
    try:
        return split_response(server.get("index.html"))[2] == b"hello index"
    except OSError:
        return False


def check_departed_runs(server, checks):
    vanish(server, b"#[~~+;memory_w]#[.=;w;#[~~v;memory_w;5]]" + ENDLESS)
    for _ in range(2 * SLOTS):
        vanish(server, ENDLESS)
        time.sleep(0.02)
    wait_for(lambda: served(server), "a slot freed by a departed run")
    checks.true("slots of departed runs are freed", served(server))
    writer = server.exchange(b"#[~~+;memory_w]#[out;##[~~v;memory_w;2]]\0").rstrip(b"\0")
    checks.true("the departed writer was rolled back", writer.isdigit(), repr(writer))


def check_costly_pages(server, checks):
    # The time one costly word takes here (the build may be slow).
    started = time.monotonic()
    server.exchange(BUILD + b"#[MD5;##[b]]\0")
    word = time.monotonic() - started
    costly = [PendingRequest(server, BUILD + COSTLY_LOOP + b"\0") for _ in range(2)]
    time.sleep(0.3 + 2 * word)  # both are running their costly words
    started = time.monotonic()
    checks.true("a bystander is served", served(server))
    # A few turns of one costly word per page, not of a hundred steps each.
    waited = time.monotonic() - started
    checks.true("  within a few costly words", waited < 0.1 + 8 * word, "%.2f s, word %.3f s" % (waited, word))
    for request in costly:
        request.conn.close()
    wait_for(lambda: served(server), "costly runs stopped")


def check_parameter_limit(server, checks):
    many = "&".join("p%d=1" % i for i in range(10001)) + "&v=x"
    checks.equal("too many parameters are refused", server.post("echo.ttm", many.encode()), b"")
    few = "&".join("p%d=1" % i for i in range(100)) + "&v=x"
    checks.equal("a hundred parameters are fine", split_response(server.post("echo.ttm", few.encode()))[2], b"x")


def main():
    return serve_and_check(sys.argv[1], FILES, ["-c", str(SLOTS), "-s", "100"], [check_departed_runs, check_costly_pages, check_parameter_limit])


if __name__ == "__main__":
    sys.exit(main())
