"""End-to-end: the server under a low descriptor limit. Raw requests that
hold all the file handles they may leave the descriptors of connections
free, so a bystander is answered; a flood of connections past
the limit is refused with the 403 page while the loop stays idle; the
soft limit is raised to the hard one at start; and a command a page leaves
running holds none of the server's descriptors, nor any the server was
started with besides standard input, output and error."""
import os
import resource
import select
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (Checks, Server, cpu_seconds, read_all, server_took_everything,  # noqa: E402
                         split_response, wait_for)

FILES = {"www/index.html": "hello", "www/a.txt": "a"}
ENDLESS = b"#[.=;L;[#[L]]]#[L]"
HANDLES = b"".join(b"#[oi;h%d;www/a.txt]" % i for i in range(64))
# Echoed on the console (which the test reads) once a run has made its opens.
OPENED = b"#[cout+]#[cout;opened]#[cout-]"


def limited(soft, hard):
    return lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def descriptors(server):
    return len(os.listdir("/proc/%d/fd" % server.process.pid))


def answer(server, path):
    """The status line of GET path, or None when no answer comes at all."""
    try:
        with socket.create_connection(("127.0.0.1", server.port), timeout=8) as conn:
            conn.sendall(b"GET /%s HTTP/1.1\r\nHost: x\r\n\r\n" % path.encode())
            raw = read_all(conn)
    except OSError:
        return None
    return split_response(raw)[0] if raw else None


def idle_share(server, seconds=1.0):
    """Share of one processor the server used over a pause of the test."""
    before = cpu_seconds(server.process.pid)
    time.sleep(seconds)
    return (cpu_seconds(server.process.pid) - before) / seconds


def check_held_by_runs(binary, checks):
    """Runs that each hold 64 handles (then loop) under a limit of 256
    descriptors: the server keeps what connections need. The words' own
    tests count bases and handles against the budget the server sets here."""
    with Server(binary, FILES) as server:
        server.args += ["-c", "20", "-s", "100"]
        server.start(preexec_fn=limited(256, 256))
        holders = []
        for _ in range(6):
            conn = server.connect()
            conn.sendall(HANDLES + OPENED + ENDLESS + b"\0")
            holders.append(conn)
        wait_for(lambda: server.output().count("\nopened") == len(holders), "every run's opens made")
        held = descriptors(server)
        checks.true("descriptors kept for connections", held < 256 - 20, "%d held" % held)
        checks.equal("a bystander is answered", answer(server, "index.html"), "HTTP/1.1 200 OK")
        for conn in holders:
            conn.close()
        # The runs end with their clients; what they held is given back: a
        # probe opens all 64 handles, one F per failed open.
        wait_for(lambda: descriptors(server) < 20, "the runs' descriptors given back")
        reopened = server.exchange(b"#[out;ok" + HANDLES.replace(b"]", b";F]") + b"]\0").rstrip(b"\0")
        checks.equal("all given back when the runs end", reopened, b"ok")
        checks.equal("SIGTERM ends the server", server.stop(), 0)


def check_connection_flood(binary, checks):
    """More connections than descriptors: those past the limit get the 403
    page and the loop does not spin on the listening socket."""
    with Server(binary, FILES) as server:
        server.args += ["-c", "100"]
        server.start(preexec_fn=limited(48, 48))
        holders = [server.connect() for _ in range(60)]
        wait_for(lambda: server_took_everything(server), "every connection taken or refused")
        share = idle_share(server)
        checks.true("the loop idles while out of descriptors", share < 0.5, "%.0f %% of a processor" % (share * 100))
        checks.equal("a bystander gets the refusal page", answer(server, "index.html"), "HTTP/1.1 403 Forbidden")
        for conn in holders:
            conn.close()
        wait_for(lambda: answer(server, "index.html") == "HTTP/1.1 200 OK", "served again once they leave")
        checks.equal("SIGTERM ends the server", server.stop(), 0)


def check_limit_raised(binary, checks):
    with Server(binary, FILES) as server:
        server.start(preexec_fn=limited(256, 512))
        with open("/proc/%d/limits" % server.process.pid) as limits:
            line = [text for text in limits if text.startswith("Max open files")][0]
        checks.equal("the soft limit is raised to the hard one", line.split()[3:5], ["512", "512"])
        checks.equal("SIGTERM ends the server", server.stop(), 0)


# Holds a base's writer and a file handle while it starts a command that
# stays behind in the background, as `sleep 30 &` does.
CHILD_PAGE = ("#[~~+;fdbase]#[.=;w;#[~~v;fdbase;5]]#[oi;h;www/a.txt]"
              "#[system;sleep 30 </dev/null >/dev/null 2>&1 & echo $! > child.pid]"
              "#[~~.;fdbase;##[w]]#[out;started]")


def fd_targets(pid):
    """Each descriptor of a process beyond 0, 1 and 2, with what it leads to."""
    folder = "/proc/%d/fd" % pid
    return sorted("%s -> %s" % (fd, os.readlink(os.path.join(folder, fd)))
                  for fd in os.listdir(folder) if int(fd) > 2)


def inherited_descriptors():
    """Descriptors a launching program leaves open, as the shell of the
    fault did: fd 10 on /dev/null and the write end of a pipe at fd 251 (its
    read end returned, to see who still holds the pipe)."""
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 10)
    os.close(null)
    reader, writer = os.pipe()
    os.dup2(writer, 251)
    os.close(writer)
    return reader, (10, 251)


def pipe_ended(reader):
    """True when nobody holds the pipe's write end any more; never waits."""
    readable, _, _ = select.select([reader], [], [], 0)
    return bool(readable) and os.read(reader, 1) == b""


def check_children_hold_none(binary, checks):
    """A page's command left running holds none of the server's descriptors
    (the listening socket, client sockets, a document being sent, a base, a
    file handle, the wake pipe), nor those the server inherited beyond the
    standard three, so a server started after this one stops gets the port
    while the command still runs, and the program that started the server
    sees the end of its pipe."""
    files = dict(FILES, **{"www/child.ttm": CHILD_PAGE})
    reader, inherited = inherited_descriptors()
    with Server(binary, files) as server:
        server.args += ["-system"]
        server.start(pass_fds=inherited)
        for fd in inherited:
            os.close(fd)
        with open(os.path.join(server.dir, "www/big.bin"), "wb") as big:
            big.truncate(64 << 20)
        child = None
        try:
            with server.connect() as downloader:
                downloader.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
                checks.true("a download under way", downloader.recv(15) == b"HTTP/1.1 200 OK")
                try:
                    page = server.get("child.ttm")
                except socket.timeout:
                    page = b""  # the command holds the page's socket: its close never comes
                checks.true("the page answered and closed", page.endswith(b"started"))
                with open(os.path.join(server.dir, "child.pid")) as text:
                    child = int(text.read())
                checks.equal("the command holds no descriptor of the server", fd_targets(child), [])
            checks.equal("SIGTERM ends the server", server.stop(), 0)
            checks.true("the launcher's pipe ends with the server", pipe_ended(reader))
            server.start(log_mode="ab")
            checks.equal("a new server on the same port answers", answer(server, "index.html"), "HTTP/1.1 200 OK")
            checks.equal("SIGTERM ends the new server", server.stop(), 0)
        finally:
            os.close(reader)
            if child:
                os.kill(child, 9)


def main(binary):
    checks = Checks()
    for step in [check_children_hold_none, check_held_by_runs, check_connection_flood, check_limit_raised]:
        step(binary, checks)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
