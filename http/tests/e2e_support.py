"""Helpers for the end-to-end tests: a scratch directory, a free port, the
real server started in it, and raw socket exchanges with it."""
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """The server binary running in its own scratch directory."""

    def __init__(self, binary, files=None, args=None):
        self.binary = os.path.abspath(binary)
        self.dir = tempfile.mkdtemp(prefix="vekhttp-")
        self.port = free_port()
        for name, content in (files or {}).items():
            self.write(name, content)
        self.args = args if args is not None else ["-p", str(self.port), "-d", "www"]
        self.process = None

    def __enter__(self):
        return self

    def __exit__(self, *error):
        self.cleanup()

    def write(self, name, content):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content if isinstance(content, bytes) else content.encode())

    def start(self, preexec_fn=None, log_mode="wb", console=None, pass_fds=()):
        """preexec_fn, when given, runs in the child just before the binary;
        console, when given, is the descriptor its output goes to; pass_fds
        are descriptors the binary inherits open, as from a careless shell."""
        self.log = open(os.path.join(self.dir, "stdout.log"), log_mode)
        self.process = subprocess.Popen([self.binary] + self.args, cwd=self.dir,
                                        stdout=self.log if console is None else console,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                        preexec_fn=preexec_fn, pass_fds=pass_fds)
        # Readiness, not a speed check: wait until the port accepts.
        for _ in range(400):
            if self.process.poll() is not None:
                raise RuntimeError("server exited early: " + self.output())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.025)
        raise RuntimeError("server did not start listening")

    def output(self):
        with open(os.path.join(self.dir, "stdout.log"), "rb") as text:
            return text.read().decode(errors="replace")

    def stop(self):
        """SIGTERM; returns the exit status."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=30) if self.process else None
        self.log.close()
        return status

    def kill(self):
        """SIGKILL: the process dies at once, with no chance to tidy up."""
        self.process.kill()
        self.process.wait()
        self.log.close()

    def restart(self):
        """Starts the binary again in the same directory, on a fresh port
        (the old one may linger in TIME_WAIT); its output is appended."""
        old = str(self.port)
        self.port = free_port()
        self.args = [str(self.port) if arg == old else arg for arg in self.args]
        return self.start(log_mode="ab")

    def cleanup(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=20)

    def exchange(self, data, pieces=None):
        """Sends data (or each piece in turn) and reads until the server closes."""
        with self.connect() as conn:
            for piece in (pieces or [data]):
                conn.sendall(piece)
                if pieces:
                    time.sleep(0.05)
            return read_all(conn)

    def get(self, path, headers=""):
        return self.exchange(("GET /%s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (path, headers)).encode("latin-1"))

    def post(self, path, body, headers=""):
        head = "POST /%s HTTP/1.1\r\nContent-Length: %d\r\n%s\r\n" % (path, len(body), headers)
        return self.exchange(head.encode("latin-1") + body)


class PendingRequest:
    """A request sent on its own connection whose answer is read later, so
    that a test can act while the server is still working on it."""

    def __init__(self, server, data):
        self.conn = server.connect()
        self.conn.sendall(data)

    def answered(self):
        """True when some of the answer (or the close) has arrived; never waits."""
        readable, _, _ = select.select([self.conn], [], [], 0)
        return bool(readable)

    def result(self):
        with self.conn:
            return read_all(self.conn)


def form_body(params):
    """A urlencoded POST body of (name, value) pairs, every byte of a value escaped."""
    return "&".join("%s=%s" % (name, urllib.parse.quote(value, safe="")) for name, value in params).encode()


def wait_for(condition, what, tries=1000):
    """Readiness, not a speed check: polls until condition() holds."""
    for _ in range(tries):
        if condition():
            return
        time.sleep(0.02)
    raise RuntimeError("never happened: " + what)


def tcp_sockets():
    """(local port, remote port, bytes in flight, bytes unread) of each IPv4
    TCP socket of the machine. For a listening socket the unread count is
    the number of connections waiting to be accepted."""
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            in_flight, unread = fields[4].split(":")
            yield (int(fields[1].split(":")[1], 16), int(fields[2].split(":")[1], 16), int(in_flight, 16),
                   int(unread, 16))


def server_took_everything(server):
    """True when the server has accepted every connection waiting on its
    port and read every byte its clients sent: nothing waits in its accept
    queue or unread on its side, and no client's byte is still in flight."""
    for local, remote, in_flight, unread in tcp_sockets():
        if (local == server.port and unread) or (remote == server.port and in_flight):
            return False
    return True


def cpu_seconds(pid):
    """User plus system time the process has used so far, in seconds."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def status_number(pid, field):
    """The number on the line field of /proc/<pid>/status (VmRSS in KiB,
    voluntary_ctxt_switches, ...); 0 when there is no such line."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def read_all(conn):
    data = b""
    while True:
        piece = conn.recv(65536)
        if not piece:
            return data
        data += piece


def half_closed(server, data):
    """Sends data, ends the sending side and reads until the server closes:
    a request the server would wait on is ended by the peer's close."""
    with server.connect() as conn:
        conn.sendall(data)
        conn.shutdown(socket.SHUT_WR)
        return read_all(conn)


def multipart(parts, boundary=b"zzBoundary", end=True, path=b"index.html"):
    """A multipart POST of parts (each its header lines, a blank line and its
    data); without end, the closing delimiter is left out."""
    body = b"".join(b"--" + boundary + b"\r\n" + part + b"\r\n" for part in parts)
    if end:
        body += b"--" + boundary + b"--\r\n"
    return (b"POST /" + path + b" HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary +
            b"\r\nContent-Length: %d\r\n\r\n" % len(body) + body)


def file_part(file_name, data, field=b"f", headers=b""):
    return (b'Content-Disposition: form-data; name="' + field + b'"; filename="' + file_name + b'"\r\n' + headers +
            b"\r\n" + data)


def split_response(raw):
    """(status line, header dict with lower-case names, body)."""
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(": ")
        headers[name.lower()] = value
    return lines[0], headers, body


class Checks:
    """Counts checks and failures; prints one line per failure."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def equal(self, what, got, expected):
        if got == expected:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL %s: got %r, expected %r" % (what, got, expected))

    def true(self, what, condition, detail=""):
        self.equal(what + (" " + detail if detail else ""), bool(condition), True)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0


def serve_and_check(binary, files, extra_args, steps, preexec_fn=None):
    """Starts the server with files and extra arguments, runs each step
    (server, checks) in turn, stops it (status 0 expected) and reports."""
    checks = Checks()
    server = Server(binary, files)
    server.args += extra_args
    try:
        server.start(preexec_fn)
        for step in steps:
            step(server, checks)
        checks.equal("exit status", server.stop(), 0)
    finally:
        server.cleanup()
    return checks.finish()
