"""End-to-end: the memory bases of all runs together hold at most the text
budget (-tb, in MiB). A run whose writes would take them past it fails as a
failed write does, with an error line in the log, and gives its writer
back; the server goes on serving. A memory base that the start-up
script keeps open takes committed keys only up to the same limit."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "http", "tests"))
from e2e_support import Checks, Server  # noqa: E402

FILES = {
    "www/small.txt": "hello world",
    "vekinit.ttm": "#[=;vek_prog;[{PROGRAM}]]#[=.;vek_prog;{PROGRAM}]#[~~+;memory_keep]",
}
FORM = b"#[.=;n;x]" + b"#[.=;n;##[n]##[n]]" * 16


def writes(count, base=b"temp_q", prefix=b""):
    """Puts count keys of 64 KiB each into base, then commits."""
    keys = b"".join(b"#[~~+.;%s;##[w];%s%d##[n]]" % (base, prefix, i) for i in range(count))
    return (b"#[~~+;%s]#[.=;w;#[~~v;%s;5]]" % (base, base) + FORM + keys +
            b"#[~~.;%s;##[w]]#[out;done]\0" % base)


def main(binary):
    checks = Checks()
    with Server(binary, FILES) as server:
        server.args += ["-tb", "8"]
        server.start()
        checks.equal("16 MiB of keys fail the run", server.exchange(writes(256)), b"")
        checks.true("its error line names the limit", "the memory bases' limit of 8388608 bytes" in server.output(),
                    server.output()[-300:])
        raw = server.get("small.txt")
        checks.true("a bystander is answered", raw.endswith(b"hello world"), repr(raw[-60:]))
        checks.equal("a run within the limit takes the writer after it", server.exchange(writes(16)), b"done")
        kept = [server.exchange(writes(8, b"memory_keep", b"%d." % run)) for run in range(24)]
        checks.true("commits into a kept memory base stop at the limit", kept[0] == b"done" and kept[-1] == b"",
                    repr(kept))
        checks.equal("SIGTERM ends the server", server.stop(), 0)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
