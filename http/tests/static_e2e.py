"""End-to-end: static documents served by the real binary: MIME types,
ranges, index files and fallbacks, the host map, the fixed pages, and
requests that try to leave the document directory."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Checks, Server, split_response  # noqa: E402

# The fixed 404 page is compared byte for byte beside its code (HttpHeaderTest).
STATUS_404 = b"HTTP/1.1 404 Not Found\r\n"
THOUSAND = bytes(range(250)) * 4
LARGE = bytes(range(256)) * 12289

FILES = {
    "www/index.html": "<p>home</p>",
    "www/a.txt": "alpha",
    "www/x.JPG": b"\xff\xd8jpeg",
    "www/x.jpeg": b"jpeg-long",
    "www/style.css": "b{}",
    "www/noext": "plain",
    "www/data.bin": THOUSAND,
    "www/large.bin": LARGE,
    "www/a b.txt": "spaced",
    "www/sub/b.txt": "in sub",
    "www/sub/index.html": "sub index",
    "www/secret.ttm": "#[out;ran]SECRET-SOURCE",
    "other/index.html": "other host",
    "other/o.txt": "from other",
    "cwdfile.txt": "working directory file",
    "vekserver.cfg": "a=1\nb = 2 \nvirtual.test=other\r\na=3",
}


def check_types(server, checks):
    for path, mime, body in [("a.txt", "text/plain", b"alpha"), ("x.JPG", "image/jpeg", None),
                             ("x.jpeg", "application/octet-stream", None), ("style.css", "text/css", None),
                             ("noext", "application/octet-stream", b"plain"), ("", "text/html", b"<p>home</p>"),
                             ("sub/", "text/html", b"sub index"), ("a%20b.txt", "text/plain", b"spaced")]:
        status, headers, got = split_response(server.get(path))
        checks.equal("status of /" + path, status, "HTTP/1.1 200 OK")
        checks.equal("type of /" + path, headers.get("content-type"), mime)
        if body is not None:
            checks.equal("body of /" + path, got, body)


def check_header_lines(server, checks):
    raw = server.get("a.txt", "Connection: close\r\n")
    head = raw.split(b"\r\n\r\n")[0].decode().split("\r\n")
    names = [line.split(":")[0] for line in head[1:]]
    checks.equal("header order", names, ["Server", "Cache-control", "Pragma", "Connection", "Accept-Ranges",
                                         "Last-Modified", "Content-Type", "Content-Length"])
    checks.equal("connection close", head[4], "Connection: close")
    status, headers, _ = split_response(server.get("a.txt"))
    checks.equal("connection word: every answer closes", headers.get("connection"), "close")


def check_ranges(server, checks):
    # An answer runs from the start to the end of the file, whatever end the
    # range names; Content-Range says which bytes came.
    partial = "HTTP/1.1 206 Partial Content"
    for byte_range, status, length, sent in [("100-", partial, 900, "bytes 100-999/1000"),
                                             ("100-199", partial, 900, "bytes 100-999/1000"),
                                             ("1000-", "HTTP/1.1 200 OK", 1000, None),
                                             ("5000-", "HTTP/1.1 200 OK", 1000, None),
                                             ("500-100", "HTTP/1.1 200 OK", 1000, None)]:
        line, headers, body = split_response(server.get("data.bin", "Range: bytes=%s\r\n" % byte_range))
        checks.equal("range %s status" % byte_range, line, status)
        checks.equal("range %s length" % byte_range, headers.get("content-length"), str(length))
        checks.equal("range %s content-range" % byte_range, headers.get("content-range"), sent)
        checks.equal("range %s body" % byte_range, body, THOUSAND[-length:])


def check_large_file(server, checks):
    status, headers, body = split_response(server.get("large.bin"))
    checks.equal("large file length", headers.get("content-length"), str(len(LARGE)))
    checks.true("large file body", body == LARGE, "%d bytes" % len(body))
    status, headers, body = split_response(server.get("large.bin", "Range: bytes=200000-\r\n"))
    checks.true("large file range", status.endswith("206 Partial Content") and body == LARGE[200000:])


def check_missing(server, checks):
    checks.true("404 page", server.get("missing.txt").startswith(STATUS_404))
    for path in ["../static_e2e.py", "..%2f..%2fetc%2fpasswd", "%2e%2e%2f%2e%2e%2fetc/passwd",
                 "~/etc/passwd", "~%2fetc/passwd", "~../etc/passwd", "a.txt%00.html", "sub/%2e%2e/%2e%2e/cwdfile.txt"]:
        raw = server.get(path)
        checks.true("no escape for " + path, raw.startswith(STATUS_404) or b"working directory" not in raw
                    and b"root:" not in raw, repr(raw[:60]))
    checks.equal("dot-dot dropped, never climbs", split_response(server.get("sub/../b.txt"))[2], b"in sub")
    checks.equal("working-directory file", split_response(server.get("~cwdfile.txt"))[2], b"working directory file")


def check_template_source_hidden(server, checks):
    for path in ["secret.ttm?x=1", "secret%2ettm", "secret.ttm/", "sub/..//secret.ttm", "SECRET.TTM", "secret.tt%6d"]:
        raw = server.get(path)
        checks.true("page source hidden for " + path, b"SECRET-SOURCE" not in raw, repr(raw[-40:]))


def check_host_map(server, checks):
    checks.equal("mapped host", split_response(server.get("o.txt", "Host: virtual.test\r\n"))[2], b"from other")
    raw = server.exchange(b"GET /o.txt HTTP/1.1\r\nHost: virtual.test:8080\r\n\r\n")
    checks.equal("mapped host with port", split_response(raw)[2], b"from other")
    checks.equal("unmapped host", server.get("o.txt").startswith(b"HTTP/1.1 404"), True)
    out = server.output()
    checks.true("config echo", "\n- vekserver.cfg\n> a = 1\n> b  = 2\n> virtual.test = other\n> a = 3\n" in out, out)


def check_requests(server, checks):
    # Malformed requests are tested beside the parser and in robustness_e2e.py.
    raw = server.exchange(b"GET /a.txt RTSP/1.0\r\nCSeq: 5\r\n\r\n")
    checks.equal("rtsp cseq", split_response(raw)[1].get("cseq"), "5")


def check_index_fallbacks(binary, checks):
    """The root of a directory without index.html: the directory's index.ttm,
    else the working directory's, else the 404 page."""
    server = Server(binary, {"www/plain.txt": "p"})
    try:
        server.start()
        checks.true("no index at all", server.get("").startswith(STATUS_404))
        server.write("index.ttm", "#[out;cwd:##[VEKSERVER_FILE_PATH]]")
        checks.equal("working-directory index.ttm", split_response(server.get(""))[2], b"cwd:")
        checks.equal("working-directory index.ttm for a missing file",
                     split_response(server.get("gone%20away.txt"))[2], b"cwd:gone away.txt")
        server.write("www/index.ttm", "#[out;www:##[VEKSERVER_FILE_PATH]]")
        checks.equal("document directory index.ttm first", split_response(server.get(""))[2], b"www:")
        server.write("www/index.html", "<i>home</i>")
        status, headers, body = split_response(server.get(""))
        checks.equal("index.html before index.ttm", (status, headers.get("content-type"), body),
                     ("HTTP/1.1 200 OK", "text/html", b"<i>home</i>"))
        checks.equal("existing file untouched", split_response(server.get("plain.txt"))[2], b"p")
    finally:
        server.stop()
        server.cleanup()


def main():
    checks = Checks()
    check_index_fallbacks(sys.argv[1], checks)
    with Server(sys.argv[1], FILES) as server:
        server.start()
        check_types(server, checks)
        check_header_lines(server, checks)
        check_ranges(server, checks)
        check_large_file(server, checks)
        check_missing(server, checks)
        check_template_source_hidden(server, checks)
        check_host_map(server, checks)
        check_requests(server, checks)
        checks.equal("exit status after SIGTERM", server.stop(), 0)
        checks.true("caught-signal line", "\nCaught signal (15). VEKServer shutting down...\n" in server.output())
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
