"""End-to-end tests of the example application www/guestbook.ttm against the
real binary (argv[1]): what a visitor can send and what the base then holds.
The manual's harness (manual_e2e.py) runs the examples of docs/example.md;
this script covers the cases too long or too slow to show there: the
length limits (a line break counts as one character, as in the browser's
textarea), the text a refused form gives back, line breaks shown, the order
of entries signed within one second, the note under a list cut at 50
entries, a writer that does not come free, and writes the base refuses."""
import html
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "http", "tests"))
from e2e_support import Checks, Server, form_body, split_response  # noqa: E402

FORM_TYPE = "Content-Type: application/x-www-form-urlencoded\r\n"
ENTRY = re.compile(r"<li><b>(.*?)</b>: (.*?)</li>", re.DOTALL)
NOTICE = re.compile(r"<p><strong>(.*?)</strong></p>")
NAME_FIELD = re.compile(r'<input name="name"[^>]*?(?: value="([^"]*)")?>')
# The browser drops one line feed right after the opening tag.
MESSAGE_FIELD = re.compile(r"<textarea[^>]*>\n?(.*?)</textarea>", re.DOTALL)
MORE = re.compile(r"<p>(The newest \d+ of \d+ entries are shown\.)</p>")
LONG_NAME = "Your name is longer than 100 characters. Nothing was stored."
LONG_MESSAGE = "Your message is longer than 4000 characters. Nothing was stored."
NOT_STORED = "The entry could not be stored. Nothing was kept: please try again."
BUSY = "The guestbook is busy. Nothing was stored: please send your entry again."


def token(n):
    return "6F1C0D2E-0000-4000-8000-%012d" % n


class Guestbook:
    """The server in a scratch directory with a copy of www/."""

    def __init__(self, binary):
        self.server = Server(binary)
        shutil.copytree(os.path.join(ROOT, "www"), os.path.join(self.server.dir, "www"))
        self.tokens = 0

    def sign(self, name, message):
        """Posts a new form; (status line, notice or None, entries newest first)."""
        return self.sign_page(name, message)[:3]

    def sign_page(self, name, message):
        """sign's three and the page's HTML."""
        self.tokens += 1
        return self.post_page([("name", name), ("message", message), ("token", token(self.tokens))])

    def post(self, params):
        return self.post_page(params)[:3]

    def post_page(self, params):
        status, _, body = split_response(self.server.post("guestbook.ttm", form_body(params), FORM_TYPE))
        text = body.decode()
        notice = NOTICE.search(text)
        return status, notice.group(1) if notice else None, ENTRY.findall(text), text


def given_back(page):
    """The form's name and message as the browser shows them; None when a
    field holds something not escaped."""
    name, message = NAME_FIELD.search(page).group(1) or "", MESSAGE_FIELD.search(page).group(1)
    if any(c in name for c in '<>"') or any(c in message for c in "<>"):
        return None
    return html.unescape(name), html.unescape(message)


def shown(text):
    """How the page shows text in its list: escaped, line breaks as <br>."""
    return html.escape(text.replace("\r\n", "\n"), quote=False).replace("\n", "<br>")


def lines(count, length):
    """count lines of length characters, each ended by a line break sent as
    CR LF, as a browser sends a textarea's line breaks."""
    return ("<&>" + "m" * (length - 3) + "\r\n") * count


# (what, name, message, notice); characters are counted, not bytes, and a
# line break (CR LF as sent) as one. A refused form gives its text back.
LIMITS = [
    ("name of 100 characters", "\u00e9" * 100, "m", None),
    ("name of 101 characters", "n<\"" * 33 + "nn", "m", LONG_NAME),
    ("message of 4000 characters", "a", "\u00fc" * 4000, None),
    ("4000 characters in 40 lines", "a", lines(40, 99), None),
    ("message of 4001 characters", "a", "m" * 4001, LONG_MESSAGE),
    ("4001 characters in 40 lines", "a&b", lines(40, 99) + "m", LONG_MESSAGE),
    ("message of 16 MiB", "a", "m" * (16 << 20), LONG_MESSAGE),
]


def check_limits(book, checks):
    stored = []
    for what, name, message, notice in LIMITS:
        status, got_notice, entries, page = book.sign_page(name, message)
        if notice is None:
            stored.insert(0, (shown(name), shown(message)))
        checks.equal(what + ": status", status, "HTTP/1.1 200 OK")
        checks.equal(what + ": notice", got_notice, notice)
        checks.equal(what + ": entries", entries, stored)
        back = ("", "") if notice is None else (name, message.replace("\r\n", "\n"))
        checks.true(what + ": form given back", given_back(page) == back)


def check_more_entries(book, checks):
    """A list cut at 50 entries says how many there are."""
    total = len(book.post([])[2])
    while total < 50:
        total = len(book.sign("n", "more")[2])
    checks.equal("50 entries: no note", MORE.search(book.post_page([])[3]), None)
    book.sign("n", "the 51st")
    page = book.post_page([])[3]
    checks.equal("51 entries: shown", len(ENTRY.findall(page)), 50)
    checks.equal("51 entries: note", MORE.findall(page), ["The newest 50 of 51 entries are shown."])


def check_order_within_a_second(book, checks):
    """More entries than getTime has distinct values in one second."""
    for i in range(12):
        book.sign("n", "order %d" % i)
    _, _, entries = book.post([])
    checks.equal("newest first", [m for _, m in entries[:12]], ["order %d" % i for i in range(11, -1, -1)])


def check_busy_writer(book, checks):
    """A writer that another page left open: the post waits its 5 seconds,
    is answered 503 and stores nothing."""
    _, _, before = book.post([])
    book.server.write("www/hold.ttm", "#[~~+;guestbook]#[.=;w;#[~~v;guestbook;5]]#[out;##[w]]")
    held = split_response(book.server.get("hold.ttm"))[2]
    checks.true("writer held", held.isdigit())
    status, notice, _, page = book.sign_page("late", "waits")
    checks.equal("busy: status", status, "HTTP/1.1 503 Service Unavailable")
    checks.equal("busy: notice", notice, BUSY)
    checks.equal("busy: form given back", given_back(page), ("late", "waits"))
    book.server.write("www/release.ttm", "#[~~+;guestbook]#[~~vx;guestbook]")
    book.server.get("release.ttm")
    checks.equal("busy: nothing stored", book.post([])[2], before)


def check_refused_writes(book, checks):
    """With "-ban base write" the writer session is a reader: every write
    fails, the session is rolled back and the visitor is told."""
    _, _, before = book.post([])
    book.server.stop()
    book.server.args = book.server.args + ["-ban", "base", "write"]
    book.server.start()
    status, notice, entries = book.sign("refused", "not kept")
    checks.equal("refused: notice", (status, notice), ("HTTP/1.1 200 OK", NOT_STORED))
    checks.equal("refused: nothing stored", entries, before)


def main():
    checks = Checks()
    book = Guestbook(sys.argv[1])
    try:
        book.server.start()
        check_limits(book, checks)
        check_order_within_a_second(book, checks)
        check_more_entries(book, checks)
        check_busy_writer(book, checks)
        check_refused_writes(book, checks)
        book.server.stop()
    finally:
        book.server.cleanup()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
