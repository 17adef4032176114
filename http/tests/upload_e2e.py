#!/usr/bin/env python3
"""End-to-end tests of uploads: the real binary (argv[1]) takes multipart and
raw uploads; checks the files it writes and the console lines it prints."""
import os
import random
import re
import socket
import stat
import sys

from e2e_support import read_all, serve_and_check

BOUNDARY = "----vekTestBoundary7MA4YWxk"


def file_part(name, file_name, data):
    head = ('--%s\r\nContent-Disposition: form-data; name="%s"; filename="%s"\r\n'
            'Content-Type: application/octet-stream\r\n\r\n' % (BOUNDARY, name, file_name))
    return head.encode() + data + b"\r\n"


def field_part(name, value):
    return ('--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n'
            % (BOUNDARY, name, value)).encode()


def multipart_request(path, parts):
    body = b"".join(parts) + ("--%s--\r\n" % BOUNDARY).encode()
    head = ("POST /%s HTTP/1.1\r\nHost: localhost\r\n"
            "Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %d\r\n\r\n"
            % (path, BOUNDARY, len(body)))
    return head.encode() + body


def half_closed_exchange(server, data):
    with server.connect() as conn:
        conn.sendall(data)
        conn.shutdown(socket.SHUT_WR)
        return read_all(conn)


def www_file(server, name):
    with open(os.path.join(server.dir, "www", name), "rb") as f:
        return f.read()


def exists(server, name):
    return os.path.exists(os.path.join(server.dir, name))


def field_and_300k_binary_file(server, checks):
    data = bytearray(random.Random(7).randbytes(300 * 1024))
    # A delimiter look-alike inside the data must not end the part.
    lookalike = ("\r\n--" + BOUNDARY[:-1]).encode()
    data[70000:70000 + len(lookalike)] = lookalike
    data = bytes(data)
    answer = server.exchange(multipart_request("done.html", [field_part("title", "holiday"),
                                                             file_part("photo", "big.bin", data)]))
    checks.true("multipart answered", answer.startswith(b"HTTP/1.1 200 OK") and answer.endswith(b"upload done"))
    checks.equal("file bytes", www_file(server, "big.bin"), data)
    checks.equal("file mode", stat.S_IMODE(os.stat(os.path.join(server.dir, "www", "big.bin")).st_mode), 0o400)


def names_leading_out_are_refused(server, checks):
    parts = [file_part("a", "../outside.txt", b"x"), file_part("b", "dir/inner.txt", b"x"),
             file_part("c", "..\\win.txt", b"x"), file_part("d", "", b"x"),
             file_part("e", "kept.txt", b"kept")]
    checks.true("refusals answered", server.exchange(multipart_request("done.html", parts)).endswith(b"upload done"))
    for name in ["outside.txt", "www/dir", "www/..\\win.txt"]:
        checks.true("not written: " + name, not exists(server, name))
    checks.equal("kept", www_file(server, "kept.txt"), b"kept")


def raw_upload_gets_no_answer(server, checks):
    data = bytes(range(256)) * 1000
    head = b"POST /any HTTP/1.1\r\nContent-Type: application/octet-stream; filename=raw.bin\r\n\r\n"
    checks.equal("raw answer", half_closed_exchange(server, head + data), b"")
    checks.equal("raw bytes", www_file(server, "raw.bin"), data)
    request = b"POST /any HTTP/1.1\r\nContent-Type: text/plain; filename=../raw-out.bin\r\n\r\nx"
    checks.equal("raw climbing answer", half_closed_exchange(server, request), b"")
    checks.true("raw climbing refused", not exists(server, "raw-out.bin"))


def console_line_per_piece(server, checks):
    server.stop()
    sizes = [int(size) for size in re.findall(r"Received (\d+) bytes for upload file big\.bin", server.output())]
    checks.equal("pieces add up", sum(sizes), 300 * 1024)
    checks.true("several pieces of 64 KiB", len(sizes) > 1 and all(size == 65536 for size in sizes[:-1]), str(sizes))


if __name__ == "__main__":
    sys.exit(serve_and_check(sys.argv[1], {"www/done.html": "upload done"}, [],
                             [field_and_300k_binary_file, names_leading_out_are_refused,
                              raw_upload_gets_no_answer, console_line_per_piece]))
