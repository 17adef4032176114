"""End-to-end: text sent by a client (raw template requests, "#[" paths)
cannot change the global forms that the start-up script defined for every
visitor: a raw request rewriting the wrapper and a path moving its pointer
stay inside the request that did it (the unit tests hold the other
changes)."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "http", "tests"))
from e2e_support import serve_and_check, split_response  # noqa: E402

FILES = {
    "vekinit.ttm": "#[=;vek_prog;[{PROGRAM}]]#[=.;vek_prog;{PROGRAM}]"
                   "#[=;layout;[<body>{C}</body>]]#[=.;layout;{C}]",
    "www/page.ttm": "#[out;#[layout;agree=##[HTTP_PARAM_agree]]]",
}
VISITOR = b"<body>agree=</body>"

# (what, how it is sent, text, what the attacking request itself answers)
ATTACKS = [
    ("wrapper rewritten", "raw",
     "#[.=;m;##[^*..);vek_prog]]#[trf;vek_prog;##[m];[#[.=;HTTP_PARAM_agree;stolen]]##[m]]"
     "#[out;#[==;##[^*..);vek_prog];##[m];same;changed]]", b"changed"),
    ("wrapper pointer moved by a path", "path", "%23%5B*v%3Bvek_prog%3B99999%5D%23%5Bout%3Bmoved%5D", b"moved"),
]


def check_attacks(server, checks):
    for what, how, text, answer in ATTACKS:
        if how == "raw":
            got = server.exchange(text.encode() + b"\0").rstrip(b"\0")
        else:
            got = server.get(text).rstrip(b"\0")
        checks.equal(what + ": the request itself", got, answer)
        checks.equal(what + ": a visitor's page", split_response(server.get("page.ttm"))[2], VISITOR)
        checks.equal(what + ": a later raw request", server.exchange(b"#[out;ok]\0").rstrip(b"\0"), b"ok")


if __name__ == "__main__":
    sys.exit(serve_and_check(sys.argv[1], FILES, [], [check_attacks]))
