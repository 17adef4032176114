#!/usr/bin/env python3
"""Times two template pages (a million-iteration loop and a naive Fibonacci
of 25) in-process and through a running server, against the same work in m4.

Usage: ttm_vs_m4.py PATH/TO/ttm_bench [PATH/TO/vekserver [STEPS]]
Each run is repeated three times and the best wall time kept, so that other
load on the machine disturbs the figures less; beside the wall times of the
template runs stand their CPU times (user + system), which other load
disturbs less still. In-process, ttm_bench runs the
page with no step limit. Through the server the page goes as a raw template
request (text ended by a NUL byte) to a server started with "-s STEPS" (30,
the server's default, unless given). Prints every time with its ratios:
in-process template / m4 (goal <= 1.5), server / in-process (goal <= 1.3),
server / m4 (goal < 1), and the in-process loop's peak memory (goal: under
50 MiB)."""
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "http", "tests"))
from e2e_support import cpu_seconds  # noqa: E402

LOOP_TTM = ("#[.=;i;0]#[.=;loop;[#[>=n;#[i];1000000;;[#[.=;i;#[+;#[i];1;0]]#[loop]]]]]"
            "#[loop]#[out;#[i]]")
LOOP_M4 = "define(`loop', `ifelse(eval($1 < 1000000), 1, `loop(incr($1))', $1)')loop(0)"
FIB_TTM = ("#[.=;fib;[#[>=n;N;2;[#[+;#[fib;#[-;N;1;0]];#[fib;#[-;N;2;0]];0]];N]]]#[=.;fib;N]"
           "#[out;#[fib;25]]")
FIB_M4 = ("define(`fib', `ifelse(eval($1 < 2), 1, $1, `eval(fib(decr($1)) + fib(eval($1 - 2)))')')"
          "fib(25)")
PAGES = [("loop", LOOP_TTM, LOOP_M4, "1000000"), ("fib(25)", FIB_TTM, FIB_M4, "75025")]

ROUNDS = 3


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def best_of(action, cpu=children_cpu):
    """Best wall time and best CPU time of ROUNDS calls of action, and its
    last result."""
    best = best_cpu = None
    for _ in range(ROUNDS):
        start, start_cpu = time.perf_counter(), cpu()
        result = action()
        elapsed, used = time.perf_counter() - start, cpu() - start_cpu
        best = elapsed if best is None else min(best, elapsed)
        best_cpu = used if best_cpu is None else min(best_cpu, used)
    return best, best_cpu, result


def run_command(command, stdin_text):
    return subprocess.run(command, input=stdin_text, capture_output=True, text=True, check=True).stdout


def raw_request(port, page):
    """Sends page as a raw template request; the answer up to the close."""
    with socket.create_connection(("127.0.0.1", port)) as conn:
        conn.sendall(page.encode() + b"\0")
        answer = b""
        while True:
            piece = conn.recv(65536)
            if not piece:
                return answer.decode(errors="replace")
            answer += piece


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server(binary, steps):
    """The server in a scratch directory; returns (process, port, directory)."""
    directory = tempfile.mkdtemp(prefix="vekbench-")
    os.mkdir(os.path.join(directory, "www"))
    port = free_port()
    process = subprocess.Popen([os.path.abspath(binary), "-p", str(port), "-d", "www", "-s", str(steps)],
                               cwd=directory, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(400):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process, port, directory
        except OSError:
            time.sleep(0.025)
    process.kill()
    sys.exit("server did not start listening")


def check(label, output, expected):
    if output.strip().rstrip("\0") != expected:
        sys.exit("%s gave %r, not %s" % (label, output.strip()[:80], expected))


def main():
    if len(sys.argv) not in (2, 3, 4):
        sys.exit(__doc__)
    server = None
    if len(sys.argv) >= 3:
        steps = sys.argv[3] if len(sys.argv) == 4 else "30"
        server = start_server(sys.argv[2], steps)
    try:
        for name, ttm, m4, expected in PAGES:
            inside, inside_cpu, output = best_of(lambda: run_command([sys.argv[1], "--page"], ttm))
            check(name + " in-process", output, expected)
            peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
            m4_seconds, _, output = best_of(lambda: run_command(["m4"], m4))
            check(name + " in m4", output, expected)
            print("%-8s in-process %7.3f s (CPU %.3f s)   m4 %7.3f s   in-process/m4 %.2f (goal <= 1.5)"
                  % (name, inside, inside_cpu, m4_seconds, inside / m4_seconds))
            if name == "loop":
                print("         in-process peak memory %.1f MiB (goal < 50)" % (peak_kib / 1024.0))
            if server:
                served, served_cpu, output = best_of(lambda: raw_request(server[1], ttm),
                                                     lambda: cpu_seconds(server[0].pid))
                check(name + " through the server", output, expected)
                print("         server -s %s %7.3f s (CPU %.3f s)   server/in-process %.2f, CPU %.2f (goal <= 1.3)"
                      "   server/m4 %.2f (goal < 1)" % (steps, served, served_cpu, served / inside,
                                                     served_cpu / inside_cpu, served / m4_seconds))
    finally:
        if server:
            server[0].send_signal(signal.SIGTERM)
            server[0].wait(timeout=30)
            shutil.rmtree(server[2], ignore_errors=True)


if __name__ == "__main__":
    main()
