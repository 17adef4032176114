#!/usr/bin/env python3
"""End-to-end tests of the command-line sort mode: runs the real vekserver
binary (argv[1]) in a scratch directory and checks the files it writes."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class SortModeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vek-sort-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_sort(self, *args):
        done = subprocess.run([BINARY, *args], cwd=self.dir, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
        return done

    def sort(self, data, *args, base="temp_t"):
        self.write("in.txt", data)
        done = self.run_sort("-sort", "in.txt", "-sortsave", "out.txt", "-sortbase", base, *args)
        self.assertEqual(done.returncode, 0, done.stderr)
        return self.read("out.txt")

    def test_ascending_and_descending_with_repeats(self):
        self.assertEqual(self.sort(b"b\na\nb\n"), b"a\nb\nb\n")
        self.assertEqual(self.sort(b"b\na\nb\n", "-sortdesc"), b"b\nb\na\n")

    def test_many_repeats_of_one_record(self):
        self.assertEqual(self.sort(b"x\n" * 1000 + b"w\n"), b"w\n" + b"x\n" * 1000)

    def test_last_line_without_line_feed_is_counted(self):
        self.assertEqual(self.sort(b"b\na"), b"a\nb\n")

    def test_empty_lines_and_runs_of_dividers_make_nothing(self):
        self.assertEqual(self.sort(b"\n\nb\n\n\n\na\n\n"), b"a\nb\n")
        self.assertEqual(self.sort(b"\n\n\n"), b"")

    def test_nul_byte_always_divides(self):
        self.assertEqual(self.sort(b"b\x00a\n"), b"a\nb\n")
        self.write("div.txt", b",")
        self.assertEqual(self.sort(b"d,c\x00b", "-sortdiv", "div.txt"), b"b\nc\nd\n")

    def test_keys_are_ordered_as_unsigned_bytes(self):
        data = b"\xff\nab\na\n\x01\nB\n"
        self.assertEqual(self.sort(data), b"\x01\nB\na\nab\n\xff\n")

    def test_fixed_length_records_drop_the_short_tail(self):
        self.assertEqual(self.sort(b"zzzzaaaaxy", "-sortlen", "4"), b"aaaazzzz")
        # Dividers mean nothing to fixed-length records.
        self.assertEqual(self.sort(b"b\nb\na\na\n", "-sortlen", "2", "-sortdesc"), b"b\nb\na\na\n")

    def test_divider_file_with_comma_and_line_feed(self):
        self.write("div.txt", b",\n")
        self.assertEqual(self.sort(b"x,y\ny,,x\n", "-sortdiv", "div.txt"), b"x\nx\ny\ny\n")

    def test_file_base_counts_across_runs_until_sortinit(self):
        self.assertEqual(self.sort(b"b\na\n", base="s.vek"), b"a\nb\n")
        self.assertEqual(self.sort(b"b\na\nb\n", base="s.vek"), b"a\na\nb\nb\nb\n")
        self.assertEqual(self.sort(b"c\n", "-sortinit", base="s.vek"), b"c\n")

    def test_sortinit_alone_deletes_the_base(self):
        self.sort(b"a\n", base="s.vek")
        self.assertTrue(os.path.exists(self.path("s.vek")))
        done = self.run_sort("-sortinit", "-sortbase", "s.vek", "-sortsave", "out.txt")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(self.read("out.txt"), b"")

    def test_only_output_writes_existing_keys_and_ends(self):
        self.sort(b"q\np\nq\n", base="s.vek")
        done = self.run_sort("-sortbase", "s.vek", "-sortsave", "again.txt", "-sortdesc")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(self.read("again.txt"), b"q\nq\np\n")

    def test_output_is_written_afresh(self):
        self.write("out.txt", b"a much longer old content that must vanish\n")
        self.assertEqual(self.sort(b"z\n"), b"z\n")

    def test_memory_base_leaves_no_file_and_no_counts(self):
        self.sort(b"a\n", base="temp_m")
        self.sort(b"a\n", base="memory_m")
        self.assertFalse(os.path.exists(self.path("temp_m")))
        self.assertFalse(os.path.exists(self.path("memory_m")))
        self.assertEqual(self.sort(b"a\n", base="temp_m"), b"a\n")

    def test_missing_input_with_output_still_writes(self):
        done = self.run_sort("-sort", "nothing.txt", "-sortbase", "temp_q", "-sortsave", "out.txt")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(self.read("out.txt"), b"")

    def test_base_that_cannot_be_opened_fails_clearly(self):
        self.write("in.txt", b"a\n")
        base = os.path.join("no-such-dir", "x.vek")
        done = self.run_sort("-sort", "in.txt", "-sortbase", base, "-sortsave", "out.txt")
        self.assertNotEqual(done.returncode, 0)
        self.assertIn(b"cannot open the base", done.stderr)
        self.assertFalse(os.path.exists(self.path("out.txt")))

    def test_missing_input_and_no_output_serves(self):
        port = free_port()
        os.mkdir(self.path("www"))
        server = subprocess.Popen([BINARY, "-sort", "nothing.txt", "-p", str(port), "-d", "www"],
                                  cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(self.wait_listening(port, server))
        finally:
            server.send_signal(signal.SIGTERM)
            self.assertEqual(server.wait(timeout=30), 0)

    def wait_listening(self, port, server):
        for _ in range(300):
            if server.poll() is not None:
                return False
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        return False


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
