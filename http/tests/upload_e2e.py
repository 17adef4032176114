#!/usr/bin/env python3
"""End-to-end tests of uploads: the real binary (argv[1]) takes multipart and
raw uploads; checks the files it writes and the console lines it prints."""
import os
import random
import re
import socket
import stat
import struct
import sys

from e2e_support import file_part, half_closed, multipart, read_all, serve_and_check, wait_for

BOUNDARY = b"----vekTestBoundary7MA4YWxk"


def upload(parts):
    return multipart(parts, boundary=BOUNDARY, path=b"done.html")


def named_file(field, file_name, data):
    return file_part(file_name.encode(), data, field.encode(), b"Content-Type: application/octet-stream\r\n")


def www_file(server, name):
    with open(os.path.join(server.dir, "www", name), "rb") as f:
        return f.read()


def exists(server, name):
    return os.path.exists(os.path.join(server.dir, name))


def field_and_300k_binary_file(server, checks):
    data = bytearray(random.Random(7).randbytes(300 * 1024))
    # A delimiter look-alike inside the data must not end the part.
    lookalike = b"\r\n--" + BOUNDARY[:-1]
    data[70000:70000 + len(lookalike)] = lookalike
    data = bytes(data)
    answer = server.exchange(upload([b'Content-Disposition: form-data; name="title"\r\n\r\nholiday',
                                     named_file("photo", "big.bin", data)]))
    checks.true("multipart answered", answer.startswith(b"HTTP/1.1 200 OK") and answer.endswith(b"upload done"))
    checks.equal("file bytes", www_file(server, "big.bin"), data)
    checks.equal("file mode", stat.S_IMODE(os.stat(os.path.join(server.dir, "www", "big.bin")).st_mode), 0o400)


def names_leading_out_are_refused(server, checks):
    parts = [named_file("a", "../outside.txt", b"x"), named_file("b", "dir/inner.txt", b"x"),
             named_file("c", "..\\win.txt", b"x"), named_file("d", "", b"x"),
             named_file("e", "x\r\ny.txt", b"x"), named_file("f", "kept.txt", b"kept")]
    checks.true("refusals answered", server.exchange(upload(parts)).endswith(b"upload done"))
    for name in ["outside.txt", "www/dir", "www/..\\win.txt", "www/x\r\ny.txt"]:
        checks.true("not written: " + name, not exists(server, name))
    checks.equal("kept", www_file(server, "kept.txt"), b"kept")


def raw_upload_gets_no_answer(server, checks):
    data = bytes(range(256)) * 1000
    head = b"POST /any HTTP/1.1\r\nContent-Type: application/octet-stream; filename=raw.bin\r\n\r\n"
    checks.equal("raw answer", half_closed(server, head + data), b"")
    checks.equal("raw bytes", www_file(server, "raw.bin"), data)
    request = b"POST /any HTTP/1.1\r\nContent-Type: text/plain; filename=../raw-out.bin\r\n\r\nx"
    checks.equal("raw climbing answer", half_closed(server, request), b"")
    checks.true("raw climbing refused", not exists(server, "raw-out.bin"))
    # With its length announced, the upload ends when that many bytes have
    # come, not when the client closes: a client that waits for the close
    # (curl) gets it, and the file is whole, the bytes beyond the length cut.
    head = b"POST /any HTTP/1.1\r\nContent-Type: application/octet-stream; filename=sized.bin\r\nContent-Length: %d\r\n\r\n"
    with server.connect() as conn:
        conn.sendall(head % 5000 + data[:5000] + b"beyond")
        try:
            answer = read_all(conn)
        except socket.timeout:
            answer = None
    checks.equal("sized raw upload closed unanswered", answer, b"")
    checks.true("sized raw upload stored whole", www_file(server, "sized.bin") == data[:5000])


def reset_upload_leaves_no_file(server, checks):
    """Every slot closed with an upload file open (a reset, a deadline, a
    failure) goes through one release: a reset stands for them all."""
    with server.connect() as conn:
        conn.sendall(upload([named_file("f", "reset-mp.bin", b"s" * 200000)])[:150000])
        # The reset comes once the server has begun the file.
        wait_for(lambda: exists(server, "www/reset-mp.bin"), "reset-mp.bin begun", tries=400)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    wait_for(lambda: not exists(server, "www/reset-mp.bin"), "reset-mp.bin removed", tries=400)


def oversize_uploads_are_refused(server, checks):
    """A body past the 64 MiB limit is refused, whether its length is
    announced or not, and leaves no file behind."""
    data = b"o" * ((64 << 20) + (256 << 10))
    raw = b"POST /any HTTP/1.1\r\nContent-Type: application/octet-stream; filename=over-raw.bin\r\n\r\n" + data
    for name, request in [("over-raw.bin", raw), ("over-mp.bin", upload([named_file("f", "over-mp.bin", data)]))]:
        try:
            with server.connect() as conn:
                for at in range(0, len(request), 1 << 20):
                    conn.sendall(request[at:at + (1 << 20)])
                conn.shutdown(socket.SHUT_WR)
                answer = read_all(conn)
        except OSError:
            answer = b""  # refused while the client was still sending
        checks.equal("%s refused unanswered" % name, answer, b"")
        checks.true("  and not stored", not exists(server, "www/" + name))


def console_line_per_piece(server, checks):
    server.stop()
    sizes = [int(size) for size in re.findall(r"Received (\d+) bytes for upload file big\.bin", server.output())]
    checks.equal("pieces add up", sum(sizes), 300 * 1024)
    checks.true("several pieces of 64 KiB", len(sizes) > 1 and all(size == 65536 for size in sizes[:-1]), str(sizes))


if __name__ == "__main__":
    sys.exit(serve_and_check(sys.argv[1], {"www/done.html": "upload done"}, [],
                             [field_and_300k_binary_file, names_leading_out_are_refused,
                              raw_upload_gets_no_answer, reset_upload_leaves_no_file, oversize_uploads_are_refused, console_line_per_piece]))
