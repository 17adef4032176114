"""End-to-end: the real server against hostile and broken clients. Malformed
and mutated requests, clients that stall, trickle, stop reading or vanish,
broken multipart bodies and random template text must neither crash the
server nor hold up the other clients. Afterwards every slot is free again,
SIGTERM ends the server with status 0, and a sanitizer build has reported
nothing. Random inputs come from fixed seeds, so every run sends the same."""
import os
import random
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Checks, Server, file_part, half_closed, multipart, read_all, split_response  # noqa: E402

SLOTS = 6
BIG = bytes(random.Random(7).getrandbits(8) for _ in range(600000))
FILES = {
    "www/index.html": "hello index",
    "www/big.bin": BIG,
    "www/echo.ttm": "#[out;##[HTTP_PARAM_v]]",
}


def body_of(raw):
    return split_response(raw)[2]


def fetch(server, path):
    """GET path; a 403 (every slot taken) is asked again, since the server
    may not yet have noticed the clients that have just closed."""
    for _ in range(400):
        raw = server.get(path)
        if not raw.startswith(b"HTTP/1.1 403"):
            return body_of(raw)
        time.sleep(0.025)
    return None


def serves_index(server):
    return fetch(server, "index.html") == b"hello index"


def post(path, body, extra=b""):
    return b"POST /%s HTTP/1.1\r\n%sContent-Length: %d\r\n\r\n%s" % (path.encode(), extra, len(body), body)


def check_malformed_requests(server, checks):
    cases = [
        ("header lines without a colon", b"GET /index.html HTTP/1.1\r\nno colon\r\n:\r\n\r\n", b"hello index"),
        ("NUL bytes in a header", b"GET /index.html HTTP/1.1\r\nHo\0st: a\0b\r\n\0\r\n\r\n", b"hello index"),
        ("duplicate Content-Length: the last counts", post("echo.ttm", b"v=abcde", b"Content-Length: 3\r\n"),
         b"abcde"),
        ("body beyond Content-Length is cut", b"POST /echo.ttm HTTP/1.1\r\nContent-Length: 5\r\n\r\nv=abcdef",
         b"abc"),
        ("blanks around the Content-Length value", b"POST /echo.ttm HTTP/1.1\r\nContent-Length:  3 \r\n\r\nv=1",
         b"1"),
    ]
    for what, request, body in cases:
        checks.equal(what, body_of(half_closed(server, request)), body)
    status = [
        ("bad percent escapes", b"GET /%zz%4 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"),
        ("an escaped NUL byte", b"GET /index.html%00 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"),
        ("a path of 511 characters", b"GET /" + b"p" * 511 + b" HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"),
        ("another method over RTSP", b"OPTIONS rtsp://h/s RTSP/1.0\r\nCSeq: 3\r\n\r\n", "HTTP/1.1 200 OK"),
    ]
    for what, request, line in status:
        checks.equal(what, split_response(half_closed(server, request))[0], line)
    silent = [
        ("a path of 512 characters", b"GET /" + b"p" * 512 + b" HTTP/1.1\r\n\r\n"),
        ("a Content-Length that is no number", b"POST /echo.ttm HTTP/1.1\r\nContent-Length: 1e3\r\n\r\nv=1"),
        ("an empty Content-Length", b"POST /echo.ttm HTTP/1.1\r\nContent-Length: \r\n\r\nv=1"),
        ("a body shorter than its Content-Length", b"POST /echo.ttm HTTP/1.1\r\nContent-Length: 30\r\n\r\nv=1"),
        ("a header ended by bare line feeds", b"GET /index.html HTTP/1.1\n\n"),
        ("a header cut short", b"GET /index.html HTTP/1.1\r\nHo"),
        ("a raw template request without its NUL", b"#[out;x]"),
        ("an empty request", b""),
    ]
    for what, request in silent:
        checks.equal(what + " closes without an answer", half_closed(server, request), b"")
    checks.true("serving after malformed requests", serves_index(server))


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 6)):
        at = rng.randrange(len(data) + 1)
        choice = rng.random()
        if choice < 0.4 and data:
            data[min(at, len(data) - 1)] = rng.getrandbits(8)
        elif choice < 0.7:
            data[at:at] = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 8)))
        else:
            del data[at:at + rng.randint(1, 8)]
    return bytes(data)


def check_mutated_requests(server, checks):
    corpus = [
        b"GET /index.html HTTP/1.1\r\nHost: x\r\nRange: bytes=3-\r\nX-Forwarded-For: 1.2.3.4\r\n\r\n",
        post("echo.ttm", b"v=%41%zz+&v=2&&=", b"Content-Type: application/x-www-form-urlencoded\r\n"),
        b"GET /big.bin RTSP/1.0\r\nCSeq: 12\r\nTransport: RTP/AVP\r\n\r\n",
        b"GET /%23[out;%5b1%5d] HTTP/1.1\r\n\r\n",
        b"#[out;#[+;1;2]]\0",
        multipart([b'Content-Disposition: form-data; name="a"\r\n\r\nvalue', file_part(b"m.bin", b"data")]),
        b"POST /index.html HTTP/1.1\r\nContent-Type: text/plain; filename=raw.bin\r\n\r\nraw bytes",
    ]
    rng = random.Random(20261206)
    unanswered = []
    for number in range(160):
        request = mutate(rng, rng.choice(corpus))
        try:
            half_closed(server, request)
        except OSError as error:
            unanswered.append((number, request[:60], str(error)))
    checks.equal("every mutated request ends", unanswered, [])
    checks.true("serving after mutated requests", serves_index(server))


def check_stalled_clients(server, checks):
    silent = [server.connect() for _ in range(2)]
    partial = server.connect()
    partial.sendall(b"GET /big.bin HTTP/1.1\r\nHo")
    request = b"GET /index.html HTTP/1.1\r\nHost: trickle\r\n\r\n"
    with server.connect() as trickle:
        served = 0
        for at, byte in enumerate(request):
            trickle.sendall(bytes([byte]))
            if at % 10 == 0:
                served += serves_index(server)
        checks.equal("others served while a client trickles", served, (len(request) + 9) // 10)
        checks.equal("a request sent a byte at a time", body_of(read_all(trickle)), b"hello index")
    partial.sendall(b"st: x\r\n\r\n")
    checks.true("a header finished after others were served", body_of(read_all(partial)) == BIG)
    partial.close()
    for conn in silent:
        conn.close()


def check_slow_reader(server, checks):
    """A client that does not read its answer fills its socket; the server
    must go on serving the others instead of waiting for it."""
    reader = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    reader.settimeout(20)
    reader.connect(("127.0.0.1", server.port))
    reader.sendall(b"GET /big.bin HTTP/1.1\r\n\r\n")
    checks.true("served while another answer is stuck", all(serves_index(server) for _ in range(5)))
    checks.true("the stuck answer arrives whole", body_of(read_all(reader)) == BIG)
    reader.close()


def reset_on_close(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def check_vanishing_clients(server, checks):
    rng = random.Random(99)
    requests = [b"GET /big.bin HTTP/1.1\r\n\r\n", post("echo.ttm", b"v=" + b"x" * 5000),
                b"#[out;vanish]\0", multipart([file_part(b"v.bin", b"y" * 200000)])]
    for round_number in range(24):
        conn = server.connect()
        if round_number % 3 == 0:
            # Mid-answer: the whole request, a little of the answer, gone.
            conn.sendall(requests[0])
            conn.recv(rng.randint(1, 3000))
        else:
            request = requests[round_number % len(requests)]
            conn.sendall(request[:rng.randint(1, len(request) - 1)])
        reset_on_close(conn) if round_number % 2 else conn.close()
    checks.true("a whole answer after clients vanished mid-request and mid-answer", fetch(server, "big.bin") == BIG)


def check_broken_multipart(server, checks):
    www = os.path.join(server.dir, "www")
    too_long = multipart([file_part(b"long.bin", b"x")], boundary=b"b" * 78)
    checks.equal("a boundary too long is refused", half_closed(server, too_long), b"")
    checks.true("  and writes nothing", not os.path.exists(os.path.join(www, "long.bin")))
    parts = [b"X-Other: no disposition\r\n\r\njunk", b"Content-Disposition: form-data; name=\"a\r\n\r\nunquoted",
             file_part(b"../escape.bin", b"out"), file_part(b"kept.bin", b"kept data")]
    checks.equal("broken parts are dropped", split_response(half_closed(server, multipart(parts)))[0],
                 "HTTP/1.1 200 OK")
    with open(os.path.join(www, "kept.bin"), "rb") as kept:
        checks.equal("  and a good part after them is written", kept.read(), b"kept data")
    checks.true("  and no name leads out of the directory", not os.path.exists(os.path.join(server.dir, "escape.bin")))
    fields = [b'Content-Disposition: form-data; name="f%d"\r\n\r\nv' % i for i in range(51)]
    checks.equal("more parts than the context holds are refused", half_closed(server, multipart(fields)), b"")
    cut = multipart([file_part(b"cut.bin", b"c" * 200000)], end=False)
    checks.equal("a body cut off by the client still gets its answer", split_response(half_closed(server, cut))[0],
                 "HTTP/1.1 200 OK")
    checks.true("  and leaves no short file behind", not os.path.exists(os.path.join(www, "cut.bin")))
    checks.true("serving after broken uploads", serves_index(server))


def random_template(rng, depth=0):
    words = ["out", ".=", "=", "+", "-", "*", "/", "%", "is", "trf", "append", "cs", "cn", "^.", "*v", "*0", "(.)",
             "fmtl", "fmtd", "RegEx", "MD5", "chr", "tt", "==", ">=", "~~+", "~~+.", "~~^.", "exit", "x"]
    atoms = ["1", "-7", "99999999999999999999", "", "a", "memory_r", "[a-z]+", "%d%s", "\\", ";", "\xff"]
    text = ""
    for _ in range(rng.randint(1, 4)):
        choice = rng.random()
        if choice < 0.45 and depth < 4:
            text += rng.choice(["#[", "##["]) + rng.choice(words)
            text += "".join(";" + random_template(rng, depth + 1) for _ in range(rng.randint(0, 3)))
            text += "]" if rng.random() < 0.9 else ""
        elif choice < 0.6 and depth < 4:
            text += "[" + random_template(rng, depth + 1) + ("]" if rng.random() < 0.9 else "")
        else:
            text += rng.choice(atoms)
    return text


def check_random_templates(server, checks):
    rng = random.Random(4242)
    unanswered = []
    for number in range(80):
        program = random_template(rng).encode("utf-8", "surrogateescape")
        try:
            half_closed(server, b"#" + program + b"\0")
        except OSError as error:
            unanswered.append((number, program[:60], str(error)))
    checks.equal("every random template run ends", unanswered, [])
    checks.equal("a raw request after random ones", server.exchange(b"#[out;ok]\0"), b"ok")


def check_slots_released(server, checks):
    holders = [server.connect() for _ in range(SLOTS - 1)]
    try:
        checks.true("every slot is free again after the abuse", serves_index(server))
    finally:
        for conn in holders:
            conn.close()


def main():
    checks = Checks()
    server = Server(sys.argv[1], FILES)
    server.args += ["-c", str(SLOTS)]
    try:
        server.start()
        check_malformed_requests(server, checks)
        check_mutated_requests(server, checks)
        check_stalled_clients(server, checks)
        check_slow_reader(server, checks)
        check_vanishing_clients(server, checks)
        check_broken_multipart(server, checks)
        check_random_templates(server, checks)
        check_slots_released(server, checks)
        checks.equal("exit status", server.stop(), 0)
        output = server.output()
        checks.true("no sanitizer report", "Sanitizer" not in output and "runtime error" not in output,
                    output[-2000:])
    finally:
        server.cleanup()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
