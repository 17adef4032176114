#!/usr/bin/env python3
"""End-to-end tests of uploads: starts the real vekserver binary (argv[1])
in a scratch directory on a free port, sends multipart and raw uploads and
checks the files it writes and the console lines it prints."""
import os
import random
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = None
BOUNDARY = "----vekTestBoundary7MA4YWxk"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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


class UploadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="vek-upload-")
        cls.www = os.path.join(cls.dir, "www")
        os.mkdir(cls.www)
        with open(os.path.join(cls.www, "done.html"), "w") as f:
            f.write("upload done")
        cls.port = free_port()
        cls.log = open(os.path.join(cls.dir, "console.txt"), "wb")
        cls.server = subprocess.Popen([BINARY, "-p", str(cls.port), "-d", "www"], cwd=cls.dir,
                                      stdout=cls.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("server did not start")

    @classmethod
    def tearDownClass(cls):
        cls.server.send_signal(signal.SIGTERM)
        cls.server.wait(timeout=30)
        cls.log.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def exchange(self, data, half_close=False):
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as conn:
            conn.sendall(data)
            if half_close:
                conn.shutdown(socket.SHUT_WR)
            answer = b""
            while True:
                block = conn.recv(65536)
                if not block:
                    return answer
                answer += block

    def www_file(self, name):
        with open(os.path.join(self.www, name), "rb") as f:
            return f.read()

    def console(self):
        self.server.send_signal(signal.SIGTERM)
        self.server.wait(timeout=30)
        with open(os.path.join(self.dir, "console.txt"), "rb") as f:
            return f.read().decode("latin-1")

    def test_1_field_and_300k_binary_file(self):
        data = bytearray(random.Random(7).randbytes(300 * 1024))
        # A delimiter look-alike inside the data must not end the part.
        lookalike = ("\r\n--" + BOUNDARY[:-1]).encode()
        data[70000:70000 + len(lookalike)] = lookalike
        data = bytes(data)
        answer = self.exchange(multipart_request("done.html", [field_part("title", "holiday"),
                                                               file_part("photo", "big.bin", data)]))
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK"), answer[:100])
        self.assertTrue(answer.endswith(b"upload done"))
        self.assertEqual(self.www_file("big.bin"), data)
        mode = stat.S_IMODE(os.stat(os.path.join(self.www, "big.bin")).st_mode)
        self.assertEqual(mode, 0o400)

    def test_2_names_leading_out_are_refused(self):
        parts = [file_part("a", "../outside.txt", b"x"), file_part("b", "dir/inner.txt", b"x"),
                 file_part("c", "..\\win.txt", b"x"), file_part("d", "", b"x"),
                 file_part("e", "kept.txt", b"kept")]
        answer = self.exchange(multipart_request("done.html", parts))
        self.assertTrue(answer.endswith(b"upload done"))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "outside.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.www, "dir")))
        self.assertFalse(os.path.exists(os.path.join(self.www, "..\\win.txt")))
        self.assertEqual(self.www_file("kept.txt"), b"kept")

    def test_3_raw_upload_gets_no_answer(self):
        data = bytes(range(256)) * 1000
        request = (b"POST /any HTTP/1.1\r\nContent-Type: application/octet-stream; filename=raw.bin\r\n\r\n"
                   + data)
        self.assertEqual(self.exchange(request, half_close=True), b"")
        self.assertEqual(self.www_file("raw.bin"), data)
        request = b"POST /any HTTP/1.1\r\nContent-Type: text/plain; filename=../raw-out.bin\r\n\r\nx"
        self.assertEqual(self.exchange(request, half_close=True), b"")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "raw-out.bin")))

    def test_9_console_line_per_piece(self):
        console = self.console()
        self.assertEqual(self.server.returncode, 0, console[-2000:])
        lines = re.findall(r"Received (\d+) bytes for upload file big\.bin", console)
        sizes = [int(size) for size in lines]
        self.assertEqual(sum(sizes), 300 * 1024)
        self.assertGreater(len(sizes), 1)
        self.assertTrue(all(size == 65536 for size in sizes[:-1]), sizes)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
