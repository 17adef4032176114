"""End-to-end: what only the real binary shows of the file, system and binary
words: a binary body with NUL bytes reaches the client whole, and the "-write"
and "-system" options switch the guarded words on (the words themselves are
tested beside the processor)."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "http", "tests"))
from e2e_support import Checks, Server, split_response  # noqa: E402

DATA = bytes(i * 7 % 256 for i in range(2500))  # NUL bytes inside, none at the end

PAGES = {
    "www/data.bin": DATA,
    "www/victim.txt": "delete me",
    "www/binary.ttm": "#[outLoadBinary;www/data.bin;failed]",
    "www/guarded.ttm": "#[out;#[df;www/victim.txt;refused]|#[system;[touch www/made]]|"
                       "#[base64SaveBinary;www/saved.bin;YWJj]]",
}


def body_of(server, page):
    return split_response(server.get(page))[2]


def check_without_switches(binary, checks):
    with Server(binary, PAGES) as server:
        server.start()
        checks.equal("binary body", body_of(server, "binary.ttm"), DATA)
        checks.equal("refusals", body_of(server, "guarded.ttm"), b"refused|-1|")
        checks.true("not deleted", os.path.exists(os.path.join(server.dir, "www/victim.txt")))
        for name in ["www/made", "www/saved.bin"]:
            checks.true("not made: " + name, not os.path.exists(os.path.join(server.dir, name)))
        checks.equal("exit status", server.stop(), 0)


def check_with_switches(binary, checks):
    with Server(binary, PAGES) as server:
        server.args += ["-write", "-system"]
        server.start()
        checks.equal("allowed", body_of(server, "guarded.ttm"), b"|0|")
        checks.true("deleted", not os.path.exists(os.path.join(server.dir, "www/victim.txt")))
        checks.true("command ran", os.path.exists(os.path.join(server.dir, "www/made")))
        with open(os.path.join(server.dir, "www/saved.bin"), "rb") as saved:
            checks.equal("saved bytes", saved.read(), b"abc")
        checks.equal("exit status", server.stop(), 0)


def main():
    checks = Checks()
    check_without_switches(sys.argv[1], checks)
    check_with_switches(sys.argv[1], checks)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
