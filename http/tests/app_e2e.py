"""End-to-end: a small guestbook application served by the real binary, used
the way its users use it. Its start-up script defines the helper forms that
the pages call; the pages keep the entries in a file base, take the writer
slot in turn, list the entries through readers, share an in-memory base
between requests, and fetch another server's output through a remote
request. The server is also killed while a page holds an uncommitted writer
and started again in the same directory."""
import os
import re
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Checks, PendingRequest, Server, form_body, split_response, wait_for  # noqa: E402

# The start-up script. Page-facing helpers:
#   gb_sign;FORM;TIMEOUT  takes the writer (waiting up to TIMEOUT seconds),
#                         adds the text held by form FORM, commits; answers
#                         "signed <seq> <put result>" or "busy".
#   gb_add;FORM           adds an entry as entries\<seq>\<text> with the
#                         writer id in gb_w; seq counts from 10000001 so keys
#                         sort in the order of signing.
#   gb_list_page          answers "<ul><li>text</li>...</ul>" from a reader.
#   ctl_set;KEY, ctl_has;KEY, ctl_wait;KEY
#                         flags in the in-memory base memory_ctl, which the
#                         script keeps open for the server's life; the tests
#                         use them to see where a slow page has got to and
#                         to let it go on.
VEKINIT = r"""#[=;vek_prog;[{PROGRAM}]]#[=.;vek_prog;{PROGRAM}]
#[=;gb_open;[#[~~+;guestbook]]]
#[=;gb_close;[#[~~-;guestbook]]]
#[=;gb_add;[#[~~+...;guestbook;##[gb_w];#[~~///...;entries;/]]#[.=;gb_seq;#[+;10000001;#[~~^n;guestbook;##[gb_w]];0]]#[~~+...;guestbook;##[gb_w];#[~~///...;entries/##[gb_seq];/]]#[~~>v;guestbook;##[gb_w]]#[.=;gb_added;#[~~+.;guestbook;##[gb_w];##[{FORM}]]]]]
#[=.;gb_add;{FORM}]
#[=;gb_sign;[#[gb_open]#[.=;gb_w;#[~~v;guestbook;{TIMEOUT}]]#[==;##[gb_w];;[#[out;busy]];[#[gb_add;{FORM}]#[~~.;guestbook;##[gb_w]]#[out;signed ##[gb_seq] ##[gb_added]]]]#[gb_close]]]
#[=.;gb_sign;{FORM};{TIMEOUT}]
#[=;gb_walk;[#[~~>v;guestbook;##[gb_r]]#[.=;gb_list;##[gb_list]<li>##[~~^.;guestbook;##[gb_r]]</li>]#[~~>^;guestbook;##[gb_r]]#[==;#[~~>+.;guestbook;##[gb_r]];true;[#[gb_walk]];]]]
#[=;gb_list_page;[#[gb_open]#[.=;gb_r;#[~~^;guestbook]]#[.=;gb_list;]#[==;#[~~>...;guestbook;##[gb_r];#[~~///...;entries;/]];true;[#[~~>v;guestbook;##[gb_r]]#[gb_walk]];]#[~~.;guestbook;##[gb_r]]#[gb_close]#[out;<ul>##[gb_list]</ul>]]]
#[~~+;memory_ctl]
#[~~+;memory_notes]
#[=;ctl_set;[#[.=;ctl_w;#[~~v;memory_ctl;30]]#[~~+.;memory_ctl;##[ctl_w];{KEY}]#[~~.;memory_ctl;##[ctl_w]]]]
#[=.;ctl_set;{KEY}]
#[=;ctl_has;[#[.=;ctl_r;#[~~^;memory_ctl]]#[.=;ctl_seen;#[~~?.;memory_ctl;##[ctl_r];{KEY}]]#[~~.;memory_ctl;##[ctl_r]]]]
#[=.;ctl_has;{KEY}]
#[=;ctl_wait;[#[ctl_has;{KEY}]#[==;##[ctl_seen];true;;[#[ctl_wait;{KEY}]]]]]
#[=.;ctl_wait;{KEY}]
"""

PAGES = {
    # POST msg, timeout, tag: a non-empty tag first raises the flag waiting_<tag>.
    "www/sign.ttm": """#[==;##[HTTP_PARAM_tag];;;[#[ctl_set;waiting_##[HTTP_PARAM_tag]]]]
#[==;##[HTTP_PARAM_msg];;[#[out;empty]];[#[gb_sign;HTTP_PARAM_msg;##[HTTP_PARAM_timeout]]]]""",
    # POST msg, tag: adds msg, raises holding_<tag>, and keeps the writer
    # (uncommitted) until release_<tag> is raised.
    "www/hold.ttm": """#[gb_open]#[.=;gb_w;#[~~v;guestbook;10]]#[gb_add;HTTP_PARAM_msg]
#[ctl_set;holding_##[HTTP_PARAM_tag]]#[ctl_wait;release_##[HTTP_PARAM_tag]]
#[~~.;guestbook;##[gb_w]]#[gb_close]#[out;signed ##[gb_seq] ##[gb_added]]""",
    # POST count, prefix: adds prefix1 .. prefix<count> in one writer session.
    "www/bulk.ttm": """#[gb_open]#[.=;gb_w;#[~~v;guestbook;10]]#[.=;i;0]
#[.=;bulk_step;[#[.=;i;#[+;##[i];1;0]]#[.=;item;##[HTTP_PARAM_prefix]##[i]]#[gb_add;item]#[==;##[i];##[HTTP_PARAM_count];;[#[bulk_step]]]]]
#[bulk_step]#[~~.;guestbook;##[gb_w]]#[gb_close]#[out;bulk ##[i]]""",
    # Adds msg and then fails ("chr" of a surrogate), still holding the writer.
    "www/fail.ttm": "#[gb_open]#[.=;gb_w;#[~~v;guestbook;10]]#[gb_add;HTTP_PARAM_msg]#[chr;55296]#[out;not reached]",
    "www/list.ttm": "#[gb_list_page]",
    # POST op (set or has), key.
    "www/control.ttm": "#[==;##[HTTP_PARAM_op];set;[#[ctl_set;##[HTTP_PARAM_key]]#[out;set]];"
                       "[#[ctl_has;##[HTTP_PARAM_key]]#[out;##[ctl_seen]]]]",
    # The in-memory notes: POST note adds one; notes.ttm lists them in key order.
    "www/note.ttm": "#[~~+;memory_notes]#[.=;w;#[~~v;memory_notes;10]]#[.=;ok;#[~~+.;memory_notes;##[w];##[HTTP_PARAM_note]]]"
                    "#[~~.;memory_notes;##[w]]#[~~-;memory_notes]#[out;##[ok]]",
    "www/notes.ttm": """#[~~+;memory_notes]#[.=;r;#[~~^;memory_notes]]#[.=;notes;]
#[.=;walk;[#[.=;notes;##[notes]<p>##[~~^.;memory_notes;##[r]]</p>]#[==;#[~~>+.;memory_notes;##[r]];true;[#[walk]];]]]
#[==;#[~~>(.;memory_notes;##[r]];true;[#[walk]];]#[~~.;memory_notes;##[r]]#[~~-;memory_notes]#[out;[notes:]##[notes]]""",
    # POST port: the guestbook list of the server on that port, fetched as a raw template request.
    "www/remote.ttm": "#[~+;127.0.0.1;##[HTTP_PARAM_port]]"
                      "#[.=;reply;##[~>;127.0.0.1;##[HTTP_PARAM_port];10;[#[gb_list_page]]]]"
                      "#[~-;127.0.0.1;##[HTTP_PARAM_port]]#[out;[remote:]##[reply]]",
}

AWKWARD = [
    "plain",
    "a]b",
    "[open",
    "semi;colon",
    "#[out;PWNED]",
    "##[gb_w]",
    "]]#[out;X]#[",
    "{FORM}",
    "\u00fcn\u00efc\u00f6d\u00e9 \u2603 \U0001F600",
    "line\nbreak\ttab\rcr",
    "nul\0byte",
    "%41+plus&amp=x",
    "plain",
    "x" * 3000 + "]",
]


class ShortChecks(Checks):
    """Checks whose failure lines cut long values (the entries hold a 3000-byte text)."""

    def equal(self, what, got, expected):
        if got == expected:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL %s: got %.600r, expected %.600r" % (what, got, expected))


def app(binary):
    files = dict(PAGES)
    files["vekinit.ttm"] = VEKINIT
    return Server(binary, files)


def request(page, params):
    body = form_body(params)
    head = "POST /%s HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (page, len(body))
    return head.encode() + body


def post(server, page, *params):
    status, _, body = split_response(server.exchange(request(page, params)))
    if status != "HTTP/1.1 200 OK":
        raise RuntimeError("%s answered %r" % (page, status))
    return body.decode("utf-8", errors="surrogateescape")


def sign(server, message, timeout="10", tag=""):
    return post(server, "sign.ttm", ("msg", message), ("timeout", timeout), ("tag", tag))


def entries(server):
    body = split_response(server.get("list.ttm"))[2].decode("utf-8", errors="surrogateescape")
    return list_items(body)


def list_items(body):
    if not (body.startswith("<ul>") and body.endswith("</ul>")):
        raise RuntimeError("not a list page: %r" % body[:200])
    return re.findall(r"<li>(.*?)</li>", body, re.S)


def flag_raised(server, key):
    return post(server, "control.ttm", ("op", "has"), ("key", key)) == "true"


def wait_flag(server, key):
    wait_for(lambda: flag_raised(server, key), "flag " + key)


def signed_seq(answer):
    """The sequence number of a "signed <seq> true" answer, None otherwise."""
    match = re.fullmatch(r"signed (\d+) true", answer)
    return int(match.group(1)) if match else None


def check_round_trip(server, checks):
    answers = [sign(server, message) for message in AWKWARD]
    checks.equal("every entry signed in turn", [signed_seq(a) for a in answers],
                 list(range(10000001, 10000001 + len(AWKWARD))))
    checks.equal("an empty entry is refused", sign(server, ""), "empty")
    checks.equal("awkward entries come back byte for byte", entries(server), AWKWARD)


def run_together(jobs):
    """Runs each job on its own thread; their results in order."""
    results = [None] * len(jobs)

    def run(n):
        results[n] = jobs[n]()

    threads = [threading.Thread(target=run, args=(n,)) for n in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def check_parallel_signers_and_readers(server, checks):
    before = entries(server)
    messages = ["parallel %d ]#[" % n for n in range(8)]
    signers = [lambda m=m: sign(server, m) for m in messages]
    listers = [lambda: [entries(server) for _ in range(4)] for _ in range(3)]
    results = run_together(signers + listers)
    seqs = sorted(signed_seq(answer) for answer in results[:len(messages)] if signed_seq(answer))
    first = 10000001 + len(before)
    checks.equal("parallel signers each got their own place", seqs, list(range(first, first + len(messages))))
    after = entries(server)
    checks.equal("parallel signers keep what was there", after[:len(before)], before)
    checks.equal("parallel signers all listed", sorted(after[len(before):]), sorted(messages))
    seen = [listing for lister in results[len(messages):] for listing in lister]
    checks.true("readers during the commits saw whole committed states",
                all(before == listing[:len(before)] and after[:len(listing)] == listing for listing in seen))


def check_slow_writer(server, checks):
    committed = entries(server)
    slow = PendingRequest(server, request("hold.ttm", [("msg", "slow ]entry"), ("tag", "A")]))
    wait_flag(server, "holding_A")
    checks.equal("a reader sees only committed entries", entries(server), committed)

    second = PendingRequest(server, request("sign.ttm", [("msg", "second"), ("timeout", "30"), ("tag", "B")]))
    wait_flag(server, "waiting_B")
    checks.equal("a writer that cannot wait gives up", sign(server, "late", timeout="1"), "busy")
    checks.true("the waiting writer has no answer while the slot is held", not second.answered())

    post(server, "control.ttm", ("op", "set"), ("key", "release_A"))
    slow_seq = signed_seq(split_response(slow.result())[2].decode())
    second_seq = signed_seq(split_response(second.result())[2].decode())
    checks.equal("the slow writer commits", slow_seq, 10000001 + len(committed))
    checks.equal("the waiting writer goes after it", second_seq, 10000002 + len(committed))
    checks.equal("both entries listed, the timed-out one not",
                 entries(server), committed + ["slow ]entry", "second"])


def check_dropped_runs(server, checks):
    committed = entries(server)
    checks.equal("a failing page closes without an answer", server.exchange(request("fail.ttm", [("msg", "failed")])),
                 b"")
    checks.equal("a failed page's writer is rolled back and the slot freed",
                 signed_seq(sign(server, "after failure", timeout="5")), 10000001 + len(committed))
    checks.equal("the failed entry is not listed", entries(server), committed + ["after failure"])


def check_memory_base(server, checks):
    checks.equal("no notes at first", post(server, "notes.ttm"), "notes:")
    checks.equal("first note", post(server, "note.ttm", ("note", "b note ;]")), "true")
    checks.equal("second note", post(server, "note.ttm", ("note", "a note [")), "true")
    checks.equal("notes shared between requests", post(server, "notes.ttm"), "notes:<p>a note [</p><p>b note ;]</p>")
    checks.equal("a memory base leaves no file", sorted(n for n in os.listdir(server.dir) if "memory" in n), [])


def check_remote(server, other, checks):
    sign(other, "from the other ]server[")
    expected = split_response(other.get("list.ttm"))[2].decode()
    checks.equal("a page fetches another server's output", post(server, "remote.ttm", ("port", str(other.port))),
                 "remote:" + expected)
    own = split_response(server.get("list.ttm"))[2].decode()
    checks.equal("a page fetches its own server's output", post(server, "remote.ttm", ("port", str(server.port))),
                 "remote:" + own)
    together = run_together([lambda port=port: post(server, "remote.ttm", ("port", str(port)))
                             for port in [server.port, other.port] * 3])
    checks.equal("remote requests of several pages at once",
                 together, ["remote:" + own, "remote:" + expected] * 3)
    checks.equal("nobody listening gives an empty reply", post(server, "remote.ttm", ("port", "1")), "remote:")


def check_restart_after_kill(server, checks):
    checks.equal("a bulk session", post(server, "bulk.ttm", ("count", "300"), ("prefix", "bulk ")), "bulk 300")
    committed = entries(server)
    hold = PendingRequest(server, request("hold.ttm", [("msg", "never committed"), ("tag", "K")]))
    wait_flag(server, "holding_K")
    server.kill()
    checks.equal("the killed page gets no answer", hold.result(), b"")

    server.restart()
    checks.equal("every committed entry survives the kill, the uncommitted one does not",
                 entries(server), committed)
    checks.equal("the writer can be taken again", signed_seq(sign(server, "after restart")),
                 10000001 + len(committed))
    checks.equal("the new entry is listed", entries(server)[-1], "after restart")
    checks.equal("memory bases are gone after a restart", post(server, "notes.ttm"), "notes:")
    checks.equal("flags are gone after a restart", flag_raised(server, "holding_K"), False)

    committed = entries(server)
    hold = PendingRequest(server, request("hold.ttm", [("msg", "stopped uncommitted"), ("tag", "T")]))
    wait_flag(server, "holding_T")
    checks.equal("a stop while a page holds the writer exits cleanly", server.stop(), 0)
    hold.result()
    server.restart()
    checks.equal("a stop rolls the uncommitted entry back", entries(server), committed)
    checks.equal("the writer can be taken after a stop", signed_seq(sign(server, "after stop")),
                 10000001 + len(committed))


def main():
    checks = ShortChecks()
    server, other = app(sys.argv[1]), app(sys.argv[1])
    try:
        server.start()
        other.start()
        check_round_trip(server, checks)
        check_parallel_signers_and_readers(server, checks)
        check_slow_writer(server, checks)
        check_dropped_runs(server, checks)
        check_memory_base(server, checks)
        check_remote(server, other, checks)
        check_restart_after_kill(server, checks)
        checks.equal("exit status", server.stop(), 0)
        checks.equal("other exit status", other.stop(), 0)
    finally:
        server.cleanup()
        other.cleanup()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
