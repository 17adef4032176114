"""End-to-end: the text budget of all runs together (-tb, in MiB). A raw
request that would take the runs past it fails alone, with an error line
in the log; the server goes on serving, and once the failed run is
dropped its share is free for the next. Client text holds at most half of
the budget: a page may hold what a raw request may not."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Checks, Server  # noqa: E402

FILES = {"www/small.txt": "hello world",
         # 2 MiB forms: the last doubling holds about 7 MiB at once.
         "www/big.ttm": "#[.=;x;x]" + "#[.=;x;##[x]##[x]]" * 21 + "#[out;page]"}


def form_page(doublings, tail):
    """Builds a form x of 2^doublings bytes, then runs tail."""
    return b"#[.=;x;x]" + b"#[.=;x;##[x]##[x]]" * doublings + tail + b"\0"


def main(binary):
    checks = Checks()
    with Server(binary, FILES) as server:
        server.args += ["-tb", "8"]
        server.start()
        # 4 MiB forms: the last doubling holds about 14 MiB at once.
        checks.equal("a run past the budget is dropped unanswered", server.exchange(form_page(22, b"#[out;no]")), b"")
        checks.true("its error line names the budget", "the server's text budget is spent" in server.output(),
                    server.output()[-300:])
        raw = server.get("small.txt")
        checks.true("a bystander is answered", raw.endswith(b"hello world"), repr(raw[-60:]))
        # What answers hold until they are sent is the bridge's unit test.
        checks.equal("the budget is free again for a run of 1 MiB", server.exchange(form_page(20, b"#[out;ok]")),
                     b"ok")
        checks.equal("client text past half the budget is dropped", server.exchange(form_page(21, b"#[out;no]")),
                     b"")
        checks.true("a page of that size is answered", server.get("big.ttm").endswith(b"page"))
        checks.equal("SIGTERM ends the server", server.stop(), 0)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
