"""End-to-end: what an anonymous client's page text can reach. File, binary,
status and base words accept only relative paths that do not climb, open
regular files only, "/~" requests do not hand out the server's own files,
and uploads never replace a file. A small slot count keeps every wait short."""
import os
import resource
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Server, serve_and_check, split_response  # noqa: E402

SLOTS = 4
FILES = {
    "www/index.html": "hello index",
    "www/page.ttm": "#[out;original page]",
    "inside.txt": "inside",
    "notes.txt": "working-directory file",
    "vekserver.cfg": "other=www\n",
}
# Each probe: a word applied to a path, with the page text that reads it.
WORDS = {
    "load": "#[out;<##[load;%s;failed]>]",
    "outLoadBinary": "#[out;<>]#[outLoadBinary;%s;failed]",
    "base64LoadBinary": "#[out;<##[base64LoadBinary;%s;failed]>]",
    "oi": "#[out;<#[oi;h;%s;failed]#[frc;h]>]",
    "getFileSize": "#[out;<##[getFileSize;%s]>]",
}


def raw(server, text):
    """A raw template request: its answer is the output alone."""
    return server.exchange(text.encode() + b"\0")


def check_paths(server, checks):
    outside = os.path.join(os.path.dirname(server.dir), os.path.basename(server.dir) + "-outside.txt")
    with open(outside, "w") as out:
        out.write("outside")
    os.mkfifo(os.path.join(server.dir, "fifo"))
    os.symlink("/dev/zero", os.path.join(server.dir, "zero"))
    try:
        refused = [outside, "../" + os.path.basename(outside), "www/../../" + os.path.basename(outside),
                   "/etc/passwd", "/dev/zero", "/proc/self/pagemap", "/proc/self/fd/1", "fifo", "zero"]
        for word, page in WORDS.items():
            answer = raw(server, page % "inside.txt")
            checks.true(word + " reads a relative path", answer not in (b"<>", b"<0>", b"<failed>"), repr(answer))
            for path in refused:
                started = time.monotonic()
                answer = raw(server, page % path).rstrip(b"\0")
                checks.true("%s refuses %s" % (word, path), answer in (b"<>", b"<0>", b"<failed>"), repr(answer))
                checks.true("%s refuses %s at once" % (word, path), time.monotonic() - started < 2)
    finally:
        os.remove(outside)


def check_bases(server, checks):
    absolute = os.path.join(server.dir, "absbase")
    opened = raw(server, "#[~~+;%s]#[out;##[~~^;%s]]" % (absolute, absolute))
    checks.equal("absolute base refused", opened, b"\0")
    checks.true("absolute base not created", not os.path.exists(absolute + "1"))
    climbing = raw(server, "#[~~+;www/../../b]#[out;##[~~^;www/../../b]]")
    checks.equal("climbing base refused", climbing, b"\0")
    relative = raw(server, "#[~~+;localbase]#[out;##[~~^;localbase]]")
    checks.true("relative base opens", relative.rstrip(b"\0").isdigit(), repr(relative))


def check_own_files(server, checks):
    raw(server, "#[~~+;ownbase]")
    server.get("index.html")  # writes the request log
    logs = [name for name in os.listdir(server.dir) if name.startswith("srvlog")]
    checks.true("a log file was written", logs)
    names = ["vekserver.cfg", "ownbase1", "ownbase2"] + logs
    for name in names:
        checks.true("/~%s answered 404" % name, server.get("~" + name).startswith(b"HTTP/1.1 404"))
    checks.equal("other working-directory file", split_response(server.get("~notes.txt"))[2],
                 b"working-directory file")


def upload(server, name, data):
    boundary = b"zzB"
    body = (b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + name.encode() +
            b"\"\r\n\r\n" + data + b"\r\n--" + boundary + b"--\r\n")
    head = b"POST /index.html HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary + \
        b"\r\nContent-Length: %d\r\n\r\n" % len(body)
    return server.exchange(head + body)


def check_uploads(server, checks):
    www = os.path.join(server.dir, "www")
    for name in ["index.html", "page.ttm", "new.ttm"]:
        before = os.listdir(www)
        upload(server, name, b"uploaded text")
        with open(os.path.join(www, "index.html")) as index:
            checks.equal("index kept after upload of " + name, index.read(), "hello index")
        checks.equal("no file made by upload of " + name, sorted(os.listdir(www)), sorted(before))
    checks.equal("page kept", split_response(server.get("page.ttm"))[2], b"original page")
    upload(server, "fresh.txt", b"fresh bytes")
    with open(os.path.join(www, "fresh.txt"), "rb") as fresh:
        checks.equal("a new name is written", fresh.read(), b"fresh bytes")


def limit_file_size():
    """In the server's process: files stop growing at 100 000 bytes, as on a
    full disk (the write fails instead of the signal ending the process)."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))


def check_full_disk(binary, checks):
    server = Server(binary, {"www/index.html": "hello index"})
    try:
        server.start(preexec_fn=limit_file_size)
        answer = upload(server, "big.bin", b"b" * 300000)
        checks.true("a failed upload is answered 500", answer.startswith(b"HTTP/1.1 500"), repr(answer[:40]))
        checks.true("  and leaves no short file", not os.path.exists(os.path.join(server.dir, "www/big.bin")))
        checks.equal("  and the server goes on", split_response(server.get("index.html"))[2], b"hello index")
        server.stop()
    finally:
        server.cleanup()


def main():
    steps = [check_paths, check_bases, check_own_files, check_uploads,
             lambda server, checks: check_full_disk(sys.argv[1], checks)]
    return serve_and_check(sys.argv[1], FILES, ["-c", str(SLOTS), "-l", "srvlog"], steps)


if __name__ == "__main__":
    sys.exit(main())
