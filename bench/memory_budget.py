#!/usr/bin/env python3
"""Memory of many clients that each try to hold large text, against the
process-wide text budget. The server runs under an address-space limit;
HOLDERS clients each build a form of 2^DOUBLINGS bytes through
#[.=;x;x]#[.=;x;##[x]##[x]]... and then loop for ever, and as many others
ask for an output of that size and never read it. Meanwhile a bystander
fetches a small file now and then. Prints the server's peak resident size
(VmHWM), how many of each kind were refused, whether the bystander was
always answered and whether the server is still alive.
    bench/memory_budget.py [vekserver] [--budget MiB] [--doublings N]
                           [--holders N] [--limit-gib G] [--seconds S]
Defaults: build/vekserver, 1024 MiB (the built-in budget), 27 (128 MiB),
100, 4 GiB, 60 s. Try a small budget and size first on a shared machine.
"""
import argparse
import os
import resource
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "http", "tests"))
from e2e_support import Server, status_number  # noqa: E402


def open_client(port, page):
    conn = socket.create_connection(("127.0.0.1", port), timeout=30)
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    conn.sendall(page)
    return conn


def closed_by_server(conn):
    """True when the server has closed the connection (its run failed or
    finished); never waits."""
    conn.setblocking(False)
    try:
        return conn.recv(1, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def bystander(server):
    start = time.monotonic()
    try:
        raw = server.get("small.txt")
    except OSError:
        return False, time.monotonic() - start
    return raw.endswith(b"hello"), time.monotonic() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default=os.path.join(HERE, "..", "build", "vekserver"))
    parser.add_argument("--budget", type=int, default=1024)
    parser.add_argument("--doublings", type=int, default=27)
    parser.add_argument("--holders", type=int, default=100)
    parser.add_argument("--limit-gib", type=float, default=4.0)
    parser.add_argument("--seconds", type=float, default=60.0)
    args = parser.parse_args()

    build = b"#[.=;x;x]" + b"#[.=;x;##[x]##[x]]" * args.doublings
    holder = build + b"#[.=;l;[#[l]]]#[l]\0"
    reader = build + b"#[out;##[x]]\0"
    limit = int(args.limit_gib * (1 << 30))

    def limited():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    clients = 2 * args.holders + 20
    with Server(os.path.abspath(args.binary), {"www/small.txt": "hello"}) as server:
        server.args = ["-p", str(server.port), "-d", "www", "-c", str(clients), "-tb", str(args.budget)]
        server.start(preexec_fn=limited)
        pid = server.process.pid
        base = status_number(pid, "VmRSS")
        conns = [("holder", open_client(server.port, holder)) for _ in range(args.holders)]
        conns += [("reader", open_client(server.port, reader)) for _ in range(args.holders)]
        waits = []
        answered = asked = 0
        steady = 0
        end = time.monotonic() + args.seconds
        while time.monotonic() < end and server.process.poll() is None:
            ok, took = bystander(server)
            asked += 1
            answered += ok
            waits.append(took)
            if server.process.poll() is None:
                steady = max(steady, status_number(pid, "VmRSS"))
            time.sleep(0.5)
        alive = server.process.poll() is None
        peak = status_number(pid, "VmHWM") if alive else 0
        refused = {"holder": 0, "reader": 0}
        for kind, conn in conns:
            refused[kind] += closed_by_server(conn)
        ok, _ = bystander(server) if alive else (False, 0)
        for _, conn in conns:
            conn.close()
        errors = server.output().count("text budget is spent")
        server.stop() if alive else None
    mib = 1 << 20
    print("budget %d MiB, forms/outputs of %d MiB, %d holders + %d readers, address space %.1f GiB"
          % (args.budget, (1 << args.doublings) // mib, args.holders, args.holders, args.limit_gib))
    print("server alive: %s; RSS at start %.0f MiB, largest sampled RSS %.0f MiB, peak RSS (VmHWM) %.0f MiB"
          " (budget + %.0f MiB)" % (alive, base / 1024, steady / 1024, peak / 1024, peak / 1024 - args.budget))
    print("refused by the budget (log lines): %d; closed holders %d, closed readers %d"
          % (errors, refused["holder"], refused["reader"]))
    # The loop takes in one connection per turn: the first fetch waits behind
    # the load's own connections; later ones show what a turn costs.
    later = max(waits[1:]) if len(waits) > 1 else 0.0
    print("bystander answered %d of %d; first fetch %.3f s (behind the load's connections), slowest later"
          " fetch %.3f s; answered after the load: %s" % (answered, asked, waits[0] if waits else 0.0, later, ok))
    return 0 if alive and ok else 1


if __name__ == "__main__":
    sys.exit(main())
