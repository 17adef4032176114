"""Runs the examples of the manual (docs/*.md) against the real binary, so the
manual cannot drift from the program.

Each page runs in its own scratch directory that starts with a copy of www/.
Its examples run in the order they appear, against one server, so a base
opened by one example is still open for the next. The marked blocks:

  ```ttm               raw template request; the next ```output block is the
                       answer (an answer of one NUL byte counts as empty)
  ```ttm page          the same text run as a page of the site (operator
                       text, not client text): written into the document
                       directory and asked for with GET; the next ```output
                       block is the answer's body
  ```http              HTTP request (every line end sent as CRLF; a request
                       without a blank line gets one at its end); the next
                       ```response block gives the status line, headers that
                       must be present, a blank line and the exact body; a
                       block not starting with "HTTP/" is the whole answer
  ```console           text the server must have printed on standard output
                       since it started (the server is stopped to read it)
  ```sh                shell session: "$ command" lines, each followed by its
                       exact output; a line "..." stands for any lines
  ```LANG file=PATH    a file written into the scratch directory, not run
  <!-- server: ARGS --> (re)start the server with these options

"$PORT" in a ```ttm block or its output stands for the server's port, and
"$PEER" for the port of a small HTTP peer the harness starts on first use
(see Peer);
"$UID" in an ```output or ```response block stands for any UID (a new one
each time a page runs "^UID").

Shell commands find the binary as "vekserver" on PATH and a free port in $PORT.
Blocks of any other kind are left alone.
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "http", "tests"))
from e2e_support import Checks, Server, free_port  # noqa: E402

FENCE = re.compile(r"^```(\S*)\s*(.*)$")
UID = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"


class Peer:
    """The other server of the remote-request examples: for each connection
    it reads one HTTP request (its header and the body its Content-Length
    announces), answers HTTP/1.0 with a text saying what it got, and closes.
    A request whose header never ends gets no answer; the peer closes when
    the client does."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return  # closed
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    @staticmethod
    def answer(conn):
        with conn:
            conn.settimeout(60)
            data = b""
            while b"\r\n\r\n" not in data:
                piece = conn.recv(4096)
                if not piece:
                    return
                data += piece
            head, _, body = data.partition(b"\r\n\r\n")
            length = re.search(rb"(?im)^Content-Length: *(\d+)", head)
            while length and len(body) < int(length.group(1)):
                piece = conn.recv(4096)
                if not piece:
                    return
                body += piece
            text = b"got %s and %d body bytes" % (head.split(b"\r\n")[0], len(body))
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s" %
                         (len(text), text))

    def close(self):
        self.listener.close()


def matches(got, expected):
    """got is expected, with any UID in the places marked "$UID"."""
    if not isinstance(got, str) or not isinstance(expected, str):
        return got == expected
    pattern = re.escape(expected).replace(re.escape("$UID"), UID)
    return re.fullmatch(pattern, got, re.DOTALL) is not None
DIRECTIVE = re.compile(r"^<!-- server:(.*)-->\s*$")


def parse(path):
    """The page's events in order: (line, kind, info, text)."""
    events = []
    with open(path, encoding="utf-8") as page:
        lines = page.read().split("\n")
    i = 0
    while i < len(lines):
        directive = DIRECTIVE.match(lines[i])
        fence = FENCE.match(lines[i])
        if directive:
            events.append((i + 1, "server", directive.group(1).split(), ""))
        elif fence and fence.group(1):
            start, body = i + 1, []
            i += 1
            while i < len(lines) and lines[i] != "```":
                body.append(lines[i])
                i += 1
            events.append((start, fence.group(1), fence.group(2), "\n".join(body)))
        i += 1
    return events


class PageRun:
    """One page's scratch directory, server and checks."""

    def __init__(self, binary, name, checks):
        self.binary, self.name, self.checks = binary, name, checks
        self.server = Server(binary, args=[])
        shutil.copytree(os.path.join(ROOT, "www"), os.path.join(self.server.dir, "www"))
        self.args = ["-d", "www"]
        self.peer = None
        self.bin_dir = os.path.join(self.server.dir, ".bin")
        os.makedirs(self.bin_dir)
        os.symlink(os.path.abspath(binary), os.path.join(self.bin_dir, "vekserver"))

    def running(self):
        return self.server.process is not None and self.server.process.poll() is None

    def start(self, args=None):
        if self.running():
            self.server.stop()
        if args is not None:
            self.args = args
        self.server.port = free_port()
        self.server.args = self.args + ["-p", str(self.server.port)]
        self.server.start(log_mode="ab")

    def ensure(self):
        if not self.running():
            self.start()

    def check(self, where, got, expected):
        self.checks.equal("%s:%d" % (self.name, where), expected if matches(got, expected) else got, expected)

    def ports(self, text):
        """text with "$PORT" and "$PEER" replaced by their ports."""
        if "$PEER" in text and self.peer is None:
            self.peer = Peer()
        text = text.replace("$PORT", str(self.server.port))
        return text.replace("$PEER", str(self.peer.port)) if self.peer else text

    def ttm(self, line, info, text, expected):
        self.ensure()
        text, expected = self.ports(text), self.ports(expected)
        if "page" in info.split():
            self.server.write(os.path.join(self.document_dir(), "manual-example.ttm"), text)
            got = self.server.get("manual-example.ttm").partition(b"\r\n\r\n")[2]
        else:
            got = self.server.exchange(text.encode() + b"\0")
        if got == b"\0":
            got = b""
        self.check(line, got.decode(errors="replace"), expected)

    def document_dir(self):
        return self.args[self.args.index("-d") + 1] if "-d" in self.args else "www"

    def http(self, line, text, expected):
        self.ensure()
        request = text.replace("\n", "\r\n") + ("" if "\n\n" in text else "\r\n\r\n")
        got = self.server.exchange(request.encode()).decode(errors="replace")
        if not expected.startswith("HTTP/"):
            self.check(line, got, expected)
            return
        exp_head, exp_sep, exp_body = expected.partition("\n\n")
        got_head, _, got_body = got.partition("\r\n\r\n")
        exp_lines, got_lines = exp_head.split("\n"), got_head.split("\r\n")
        self.check(line, got_lines[0], exp_lines[0])
        for header in exp_lines[1:]:
            self.check(line, header if header in got_lines[1:] else got_head, header)
        if exp_sep:
            self.check(line, got_body, exp_body)

    def console(self, line, expected):
        if self.running():
            self.server.stop()
        output = self.server.output()
        self.check(line, expected if expected in output else output, expected)
        self.start()

    def shell(self, line, text):
        env = dict(os.environ, PATH=self.bin_dir + os.pathsep + os.environ["PATH"], PORT=str(free_port()))
        commands = []
        for row in text.split("\n"):
            if row.startswith("$ "):
                commands.append((row[2:], []))
            elif commands:
                commands[-1][1].append(row)
        for command, expected in commands:
            result = subprocess.run(["bash", "-c", command], cwd=self.server.dir, env=env, timeout=60,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            got = result.stdout.decode(errors="replace").split("\n")
            if got and got[-1] == "":
                got.pop()
            self.check(line, expected if lines_match(got, expected) else got, expected)

    def write(self, info, text):
        name = re.search(r"file=(\S+)", info).group(1)
        self.server.write(name, text + "\n" if text else "")

    def run(self, events):
        pending = None
        for line, kind, info, text in events:
            if pending:
                expect = {"ttm": "output", "http": "response"}[pending[1]]
                if kind != expect:
                    self.check(pending[0], "no ```%s block" % expect, "a ```%s block" % expect)
                elif pending[1] == "ttm":
                    self.ttm(pending[0], pending[3], pending[2], text)
                else:
                    self.http(pending[0], pending[2], text)
                pending = None
                continue
            if "file=" in info:
                self.write(info, text)
            elif kind == "server":
                self.start(info)
            elif kind in ("ttm", "http"):
                pending = (line, kind, text, info)
            elif kind == "console":
                self.console(line, text)
            elif kind == "sh":
                self.shell(line, text)

    def cleanup(self):
        if self.peer:
            self.peer.close()
        if self.running():
            self.server.stop()
        self.server.cleanup()


def lines_match(got, expected):
    """Exact line match where an expected "..." line stands for any lines."""
    if not expected:
        return not got
    if expected[0] == "...":
        return any(lines_match(got[i:], expected[1:]) for i in range(len(got) + 1))
    return bool(got) and got[0] == expected[0] and lines_match(got[1:], expected[1:])


def main():
    binary = sys.argv[1]
    docs = os.path.join(ROOT, "docs")
    checks = Checks()
    for name in sorted(os.listdir(docs)):
        if not name.endswith(".md") or (len(sys.argv) > 2 and sys.argv[2] not in name):
            continue
        run = PageRun(binary, name, checks)
        try:
            run.run(parse(os.path.join(docs, name)))
        except Exception as error:  # a page that cannot run is one failure, the others still run
            checks.equal("%s: %s" % (name, error), False, True)
        finally:
            run.cleanup()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
