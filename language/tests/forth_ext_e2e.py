#!/usr/bin/env python3
"""Forth extension words through forth_console (beside the server binary
given as the argument): digests, a file base written by one run (its
readers see nothing before the commit) and read back, checked for its users
and deleted by the next, and "~>" exchanging a request with a local socket
server."""
import os
import socket
import subprocess
import sys
import tempfile
import threading

# z" text" leaves the address of a NUL-terminated copy in the data space.
PRELUDE = ': z" [char] " parse tuck here swap cmove here swap allot 0 c, ;\n'


def run_forth(console, folder, program):
    path = os.path.join(folder, "program.fs")
    with open(path, "w") as f:
        f.write(PRELUDE + program)
    done = subprocess.run([console, "program.fs"], cwd=folder, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=30)
    if done.returncode != 0 or done.stderr:  # sanitizer reports land here too
        sys.exit("forth_console failed (%d): %s" % (done.returncode, done.stderr.decode("latin-1")))
    return done.stdout.decode("latin-1").strip()


def check(label, got, expected):
    if got != expected:
        sys.exit("%s: expected %r, got %r" % (label, expected, got))


def serve_once(listener, seen):
    """Accepts one client, keeps its request up to the NUL and answers."""
    conn, _ = listener.accept()
    data = b""
    while not data.endswith(b"\0"):
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    seen.append(data)
    conn.sendall(b"reply:" + data[:-1])
    conn.close()


def main():
    console = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "forth_console")
    with tempfile.TemporaryDirectory() as folder:
        cases = [
            ("digests", 'z" abc" MD5 type space z" " SHA1 type',
             "900150983CD24FB0D6963F7D28E17F72 DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"),
            ("writer commits", 'variable w variable r z" b" ~~+ z" " z" " 0 z" b" ~~v w !\n'
             'z" admin" z" pw" z" ann" w @ z" b" ~~u+ type space\n'
             'z" apple" w @ z" b" ~~+. . space -1 z" 00000001a00000001b" w @ z" b" ~~+... type space\n'
             'z" " z" " z" b" ~~^ r ! z" apple" r @ z" b" ~~?. type\n'  # not committed yet
             'w @ z" b" ~~. z" b" ~~-', "true -1 true false"),
            ("reader sees the commit", 'variable r z" b" ~~+\n'
             'z" wrong" z" ann" z" b" ~~^ . space z" pw" z" ann" z" b" ~~^ r !\n'
             'z" apple" r @ z" b" ~~?. type space -1 z" 00000001a00000001b" r @ z" b" ~~?... type space\n'
             '1 z" 00000001a00000001b" r @ z" b" ~~>...)? . space\n'  # only -1 is a true flag
             'z" x" r @ z" b" ~~x dup . type', "-1 true true 0 0"),
        ]
        for label, program, expected in cases:
            check(label, run_forth(console, folder, program), expected)
        check("files deleted", sorted(n for n in os.listdir(folder) if n.startswith("b")), [])

        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        seen = []
        server = threading.Thread(target=serve_once, args=(listener, seen), daemon=True)
        server.start()
        program = ('z" 127.0.0.1" constant host z"   GET /x \t " constant request\n'
                   '%d host ~+ : ask begin request 5 %d host ~> dup 0= while 2drop repeat ; ask type\n'
                   '%d host ~-' % (port, port, port))
        check("remote request", run_forth(console, folder, program), "reply:GET /x")
        server.join(10)
        check("bytes sent", seen, [b"GET /x\0"])
    print("forth extension words: ok")


if __name__ == "__main__":
    main()
