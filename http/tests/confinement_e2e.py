"""End-to-end: what page text can reach. File, binary, status and base words
take relative, non-climbing paths to regular files only; "/~" requests keep
the server's own files; uploads never replace a file and fail loudly."""
import os
import resource
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import file_part, multipart, serve_and_check, split_response  # noqa: E402

FILES = {"www/index.html": "hello index", "www/page.ttm": "#[out;page]", "in.txt": "in", "notes.txt": "notes",
         "vekserver.cfg": "other=www\n"}
WORDS = ["#[out;<##[load;%s]>]", "#[out;<>]#[outLoadBinary;%s]", "#[out;<##[base64LoadBinary;%s]>]",
         "#[out;<#[oi;h;%s]#[frc;h]>]", "#[out;<##[getFileSize;%s]>]", "#[~~+;%s]#[out;<##[~~^;%s]>]"]
REFUSED = (b"<>", b"<0>")


def raw(server, text):
    return server.exchange(text.encode() + b"\0").rstrip(b"\0")


def check_paths(server, checks):
    os.mkfifo(os.path.join(server.dir, "fifo"))
    os.symlink("/dev/zero", os.path.join(server.dir, "zero"))
    refused = [os.path.join(server.dir, "notes.txt"), "../" + os.path.basename(server.dir) + "/notes.txt",
               "www/../notes.txt", "/dev/zero", "/proc/self/pagemap", "/proc/self/fd/1", "fifo", "zero"]
    for page in WORDS:
        checks.true(page + " reads in.txt", raw(server, page.replace("%s", "in.txt")) not in REFUSED)
        for path in refused if "~~" not in page else refused[:3]:
            started = time.monotonic()
            answer = raw(server, page.replace("%s", path))
            checks.true("%s refuses %s at once" % (page, path),
                        answer in REFUSED and time.monotonic() - started < 2, repr(answer))
    checks.true("no base made by a refused name", not os.path.exists(os.path.join(server.dir, "notes.txt1")))


def check_own_files(server, checks):
    raw(server, "#[~~+;own]")
    # A commit's journal, kept beside a base that was refused over it.
    with open(os.path.join(server.dir, "own1.swt"), "wb") as journal:
        journal.write(b"VEKJRNL1")
    server.get("index.html")  # writes the request log
    # Also behind the slashes that path normalisation removes; a regular
    # file followed by "/" is no file at all.
    names = ["vekserver.cfg", "own1", "own2", "own1.swt", "notes.txt"] + [n for n in os.listdir(server.dir) if n.startswith("srvlog")]
    for name in names:
        for spelling in ["~%s", "~%s/", "~%s%%2f", "~%s//", "~%s%%2F%%2f"]:
            if name == "notes.txt" and spelling == "~%s":
                continue
            path = spelling % name
            checks.true("/%s answered 404" % path, server.get(path).startswith(b"HTTP/1.1 404"))
    checks.equal("other working-directory file", split_response(server.get("~notes.txt"))[2], b"notes")


def upload(server, name, data):
    return server.exchange(multipart([file_part(name.encode(), data)], boundary=b"zzB"))


def check_uploads(server, checks):
    www = os.path.join(server.dir, "www")
    for name in ["index.html", "page.ttm", "new.ttm"]:
        upload(server, name, b"uploaded")
        checks.equal("upload of %s refused" % name, sorted(os.listdir(www)), ["index.html", "page.ttm"])
    checks.equal("page kept", split_response(server.get("page.ttm"))[2], b"page")


def limit_file_size():
    """Files stop at 100 000 bytes as on a full disk; writes fail, no signal."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))


def check_full_disk(server, checks):
    checks.true("failed upload answered 500", upload(server, "big.bin", b"b" * 300000).startswith(b"HTTP/1.1 500"))
    checks.true("  and leaves no short file", not os.path.exists(os.path.join(server.dir, "www/big.bin")))


def main():
    steps = [check_paths, check_own_files, check_uploads]
    return (serve_and_check(sys.argv[1], FILES, ["-c", "4", "-l", "srvlog"], steps) or
            serve_and_check(sys.argv[1], FILES, [], [check_full_disk], limit_file_size))


if __name__ == "__main__":
    sys.exit(main())
