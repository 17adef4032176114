"""End-to-end: a raw request whose "~>" waits on a slow peer leaves the server
asleep until the peer's socket is ready (or the exchange's timeout passes):
the server process uses next to no CPU time and goes to sleep a few times
over the wait, where a loop that never waits in its poll keeps stepping the
exchange. The checks are on resources used, not on how fast anything happens."""
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Checks, Server, cpu_seconds, status_number  # noqa: E402


def sleeps(pid):
    """How often the server's main thread (its loop) has gone to sleep so far."""
    return status_number(pid, "voluntary_ctxt_switches")


class SlowPeer:
    """Accepts one exchange, reads the request up to its NUL byte, notes the
    server's CPU time and sleeps, stays silent for a while, then replies and
    closes."""

    def __init__(self, pid, silent, reply):
        self.pid = pid
        self.silent = silent
        self.reply = reply
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.listener.settimeout(30)  # a server that never connects fails the case, not the run
        self.start = None  # (wall, CPU, sleeps) once the request has arrived
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            request = b""
            while not request.endswith(b"\0") and (piece := conn.recv(4096)):
                request += piece
            self.start = (time.monotonic(), cpu_seconds(self.pid), sleeps(self.pid))
            time.sleep(self.silent)
            try:
                conn.sendall(self.reply)
            except OSError:
                pass  # the exchange was dropped at its timeout

    def close(self):
        self.thread.join()
        self.listener.close()


# host the page names, the exchange's timeout, seconds the peer stays
# silent, what it replies, and the page's answer.
CASES = [
    ("localhost", 30, 2, b"pong", b"<pong>"),  # the name is looked up first
    ("127.0.0.1", 1, 2, b"late", b"<>"),        # the timeout passes first
]


def check_waits(server, checks):
    for host, timeout, silent, reply, expected in CASES:
        peer = SlowPeer(server.process.pid, silent, reply)
        page = "#[~+;%s;%d]#[.=;r;##[~>;%s;%d;%d;[ping]]]#[~-;%s;%d]#[out;<##[r]>]" % (
            host, peer.port, host, peer.port, timeout, host, peer.port)
        answer = server.exchange(page.encode() + b"\0")
        end = (time.monotonic(), cpu_seconds(server.process.pid), sleeps(server.process.pid))
        peer.close()
        what = "%s, timeout %d, silent %d" % (host, timeout, silent)
        checks.equal("answer: " + what, answer, expected)
        if peer.start is None:
            checks.true("peer reached: " + what, False)
            continue
        wall = end[0] - peer.start[0]
        cpu = end[1] - peer.start[1]
        woken = end[2] - peer.start[2]
        print("%s: %.2f s CPU and %d sleeps over %.2f s waiting" % (what, cpu, woken, wall))
        # A loop that never waits in its poll uses a tenth or more of the
        # time, and goes to sleep thousands of times a second in the
        # exchange's own short polls.
        checks.true("little CPU while waiting: " + what, cpu < wall / 20, "%.2f s of %.2f s" % (cpu, wall))
        checks.true("few wake-ups while waiting: " + what, woken < 100 * wall, "%d in %.2f s" % (woken, wall))


def main():
    checks = Checks()
    with Server(sys.argv[1]) as server:
        server.start()
        check_waits(server, checks)
        checks.equal("exit status", server.stop(), 0)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
