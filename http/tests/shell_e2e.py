"""End-to-end: the program shell: the help text and its exit status, the
start-up script, the working directory's index.ttm, a full server, a port
that is already taken, and a start in "/"."""
import os
import socket
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Checks, Server, free_port, read_all, split_response  # noqa: E402

# The fixed pages are compared byte for byte beside their code (HttpHeaderTest).
STATUS_403 = b"HTTP/1.1 403 Forbidden\r\n"


def help_text(port):
    lines = [" Help information:", "\t'-p'\tset port (default %d);" % port,
             "\t'-d'\tset document directory (default www);", "\t'-c'\tset max clients (default 100);",
             "\t'-s'\tset script steps for client (default 30);", "\t'-h'\tdisplay this help;",
             "\t'-l'\tset log file name (default log is off);",
             "\t'-lf'\tlog time format (default '-%Y-%m-%d-%H.log').",
             "\t'-bi'\tmax buffered file I/O items (default 10000)",
             "\t'-bid'\tmax buffered file I/O items divider (default 200.00000)",
             "\t'-bis'\tmax buffered file I/O item size (default 1024)", "\t'-bf'\tmax buffered files (default 500)",
             "\t'-bfd'\tmax buffered files divider (default 100.00000)", "\t'-ban base create'",
             "\t'-ban base write'", "", "\tWARNING: Not recomended to set next options for public VEKServer!", "",
             "\t'-system'\tallows system commands;", "\t'-write'\tallows file write commands.", "",
             "\tCommand line sort:", "", "\t'-sort' sort file", "\t'-sortbase' sort base (default sort.vek)",
             "\t'-sortsave' save sorted file", "\t'-sortlen' sort len (defailt 0)",
             "\t'-sortdiv' sort file with dividers", "\t'-sortdesc' sort descendant", "\t'-sortinit' sort init"]
    return "\n" + "\n".join(lines) + "\n" + "\n Default Charset=UTF-8\n" + "\n Build year: 2018, month: 7, day: 22 \n"


def check_help(binary, checks):
    for args, port in [(["-p", "81", "-h", "-p", "82"], 81), (["-h", "-p", "81"], 3333), (["-help"], 3333)]:
        result = subprocess.run([binary] + args, capture_output=True, timeout=30, cwd="/")
        checks.equal("help exit status for %s" % args, result.returncode, 1)
        out = result.stdout.decode()
        checks.true("help text for %s" % args, out.endswith(help_text(port)), repr(out[-300:]))


def check_full_server(binary, checks):
    with Server(binary, {"www/a.txt": "alpha"}, None) as server:
        server.args = ["-c", "1", "-p", str(server.port), "-d", "www"]
        server.start()
        # start() probes with one connection; wait until that slot is free.
        split_response(server.get("a.txt"))
        with server.connect() as holder:
            holder.sendall(b"GET /a.t")
            with server.connect() as second:
                refused = read_all(second)
            checks.true("403 when full", refused.startswith(STATUS_403), repr(refused[:40]))
            holder.sendall(b"xt HTTP/1.1\r\n\r\n")
            checks.equal("busy client undisturbed", split_response(read_all(holder))[2], b"alpha")
        server.stop()


def check_startup_files(binary, checks):
    files = {"vekinit.ttm": "#[=;vek_prog;[#[out;wrapped]]]#[=;site;[MySite]]",
             "index.ttm": "#[out;cwd index]", "www/a.txt": "alpha"}
    with Server(binary, files) as server:
        server.start()
        checks.equal("custom wrapper", split_response(server.get("x.ttm"))[2], b"wrapped")
        checks.equal("working directory index.ttm", split_response(server.get("missing"))[2], b"wrapped")
        checks.equal("static files unaffected", split_response(server.get("a.txt"))[2], b"alpha")
        server.stop()
        checks.true("no configuration echo", "vekserver.cfg" not in server.output())
        checks.true("listening line", " Listening on address: " in server.output())
    with Server(binary, {"index.ttm": "#[out;cwd ##[VEKSERVER_FILE_PATH]]"}) as server:
        server.start()
        checks.equal("fallback to the working directory's index.ttm", split_response(server.get("nope"))[2],
                     b"cwd nope")
        server.stop()


def check_logging(binary, checks):
    with Server(binary, {"www/a.txt": "alpha", "logs/.keep": ""}) as server:
        server.args += ["-l", "logs/vek"]
        server.start()
        server.get("a.txt")
        server.get("missing.txt")
        server.exchange(b"PUT /put.txt HTTP/1.1\r\n\r\n")
        server.stop()
        logs = {}
        for name in os.listdir(os.path.join(server.dir, "logs")):
            with open(os.path.join(server.dir, "logs", name), "rb") as text:
                logs[name] = text.read()
        requests = b"".join(text for name, text in logs.items() if name.endswith(".log"))
        system = b"".join(text for name, text in logs.items() if name.endswith(".sys"))
        checks.true("request log", b"IP: 127.0.0.1\n" in requests and b"GET /a.txt HTTP/1.1" in requests)
        checks.true("other methods logged", b"PUT /put.txt HTTP/1.1" in requests)
        checks.true("system log", b"File missing.txt not found" in system and b"Stopping server..." in system)


def check_kill_mode(binary, checks):
    # A start-up script that would fail loudly if it ran.
    with Server(binary, {"vekinit.ttm": "#[out;[[[never closed"}) as server:
        # Nothing listens on the port, so the command fails (or is missing):
        # the failure must reach the exit status.
        result = subprocess.run([binary, "-kill", "-p", str(server.port)], capture_output=True, timeout=30,
                                cwd=server.dir)
        checks.true("kill mode reports the command's failure", result.returncode != 0, str(result.returncode))
        checks.true("kill mode runs no start-up script", b"ER:" not in result.stdout)
        checks.true("kill mode does not serve", b"Listening" not in result.stdout)


def check_failing_startup_script(binary, checks):
    with Server(binary, {"vekinit.ttm": "#[out;[[[never closed"}) as server:
        result = subprocess.run([binary, "-p", str(server.port)], capture_output=True, timeout=30, cwd=server.dir)
        checks.equal("failing start-up script ends the program", result.returncode, 1)
        checks.true("its error is printed", b"ER:Start-up script failed" in result.stdout)


def close_standard_descriptors():
    for fd in (0, 1, 2):
        os.close(fd)


def check_closed_standard_descriptors(binary, checks):
    # Started with standard input, output and error closed, as some service
    # managers do: the server must still listen and answer.
    server = Server(binary, {"www/a.txt": "alpha"})
    try:
        server.start(preexec_fn=close_standard_descriptors)
        checks.equal("served with closed standard descriptors", split_response(server.get("a.txt"))[2], b"alpha")
        checks.equal("its exit status", server.stop(), 0)
    except RuntimeError as error:
        checks.true("served with closed standard descriptors", False, str(error))
    finally:
        server.cleanup()


def check_stop_during_startup(binary, checks):
    # SIGTERM while the start-up script runs: the program must still stop
    # (once serving has begun), not serve on.
    server = Server(binary, {"vekinit.ttm": "#[system;kill -TERM $PPID]"})
    try:
        result = subprocess.run([binary, "-system", "-p", str(server.port)], capture_output=True, timeout=60,
                                cwd=server.dir)
        checks.equal("stopped after a signal during start-up", result.returncode, 0)
        checks.true("its caught-signal line", b"\nCaught signal (15). VEKServer shutting down...\n" in result.stdout)
    except subprocess.TimeoutExpired:
        checks.true("stopped after a signal during start-up", False, "still serving")
    finally:
        server.cleanup()


def check_port_taken(binary, checks):
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        result = subprocess.run([binary, "-p", str(port)], capture_output=True, timeout=30, cwd="/tmp")
    checks.equal("exit status when the port is taken", result.returncode, 1)
    checks.true("start error printed", b"Error starting HTTP server" in result.stdout)
    checks.true("with its reason", b"Address already in use" in result.stdout, repr(result.stdout[-200:]))


def check_root_directory(binary, checks):
    """Started in "/", the server would hand out every file of the machine."""
    try:
        result = subprocess.run([binary, "-p", str(free_port())], capture_output=True, timeout=10, cwd="/")
    except subprocess.TimeoutExpired:
        checks.true("refuses to serve from /", False, "it served")
        return
    checks.equal("exit status in /", result.returncode, 1)
    checks.equal("one line on standard error", result.stderr.count(b"\n"), 1)
    checks.true("  which names /", b'"/"' in result.stderr, repr(result.stderr))


def main():
    binary = os.path.abspath(sys.argv[1])
    checks = Checks()
    check_help(binary, checks)
    check_full_server(binary, checks)
    check_startup_files(binary, checks)
    check_logging(binary, checks)
    check_kill_mode(binary, checks)
    check_failing_startup_script(binary, checks)
    check_closed_standard_descriptors(binary, checks)
    check_stop_during_startup(binary, checks)
    check_port_taken(binary, checks)
    check_root_directory(binary, checks)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
