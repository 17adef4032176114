"""End-to-end: the server's console is a pipe that nobody reads. A page that
prints more than the pipe holds still finishes, the loop keeps answering a
bystander, SIGTERM still ends the server, also while the pipe is full, and
once the pipe is read again the next line says how many bytes were
dropped."""
import fcntl
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Checks, Server  # noqa: E402

FILES = {"www/small.txt": "hello world"}


def drain(fd):
    data = b""
    while True:
        try:
            piece = os.read(fd, 65536)
        except BlockingIOError:
            return data
        if not piece:
            return data
        data += piece


def fill(fd):
    """Writes into the pipe until it has no room for a single byte. It
    writes through a description of its own: a non-blocking flag set on
    the server's would spare the server the wait this test is about."""
    own = os.open("/proc/self/fd/%d" % fd, os.O_WRONLY | os.O_NONBLOCK)
    for size in (4096, 1):
        try:
            while True:
                os.write(own, b"f" * size)
        except BlockingIOError:
            pass
    os.close(own)


def check_stop_with_full_console(binary, checks):
    with Server(binary, FILES) as server:
        read_end, write_end = os.pipe()
        server.start(console=write_end)
        fill(write_end)
        server.process.send_signal(15)
        try:
            status = server.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            status = "still running"
        checks.equal("SIGTERM ends the server while its console pipe is full", status, 0)
        server.log.close()
        os.close(read_end)
        os.close(write_end)


def check_printing_page(binary, checks):
    with Server(binary, FILES) as server:
        read_end, write_end = os.pipe()
        fcntl.fcntl(read_end, fcntl.F_SETFL, os.O_NONBLOCK)
        server.start(console=write_end)
        os.close(write_end)
        # 512 KiB printed in one "pf", twice: far more than the pipe holds.
        page = b"#[.=;x;x]" + b"#[.=;x;##[x]##[x]]" * 19 + b"#[pf;x]#[pf;x]#[out;done]\0"
        checks.equal("the printing page finishes", server.exchange(page), b"done")
        raw = server.get("small.txt")
        checks.true("a bystander is answered", raw.endswith(b"hello world"), repr(raw[-80:]))
        drain(read_end)
        checks.equal("a short page after the pipe was read", server.exchange(b"#[.=;y;[seen\n]]#[pf;y]#[out;ok]\0"),
                     b"ok")
        checks.equal("SIGTERM ends the server", server.stop(), 0)
        text = drain(read_end).decode(errors="replace")
        os.close(read_end)
        dropped = re.search(r"\[console: (\d+) bytes dropped\]\nseen\n", text)
        checks.true("the next line counts what was dropped", dropped is not None, text[-300:])
        if dropped:
            checks.true("most of the 1 MiB was dropped", int(dropped.group(1)) > (1 << 20) - 200000, dropped.group(1))


def main(binary):
    checks = Checks()
    check_printing_page(binary, checks)
    check_stop_with_full_console(binary, checks)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
