"""End-to-end: template pages run by the real binary: POST parameters and
what they may hold, the status and MIME forms, raw requests, "#[" paths,
other methods, the remote address and failing pages."""
import os
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Checks, Server, split_response  # noqa: E402

FILES = {
    "www/params.ttm": "#[out;##[HTTP_PARAM_a]|##[HTTP_PARAM_b]|##[HTTP_PARAM_a(1)]]",
    "www/echo.ttm": "#[out;##[HTTP_PARAM_v]]",
    "www/path.ttm": "#[out;##[VEKSERVER_FILE_PATH]]",
    "www/addr.ttm": "#[out;##[VEKSERVER_REMOTE_ADDR]]",
    "www/root.ttm": "#[out;##[VEKSERVER_ROOT_PATH]|##[VEKSERVER_VERSION_MINOR]|##[VEKSERVER_STATUS_CODE]]",
    "www/gone.ttm": "#[.=;VEKSERVER_STATUS_CODE;404]#[out;gone]",
    "www/moved.ttm": "#[.=;VEKSERVER_STATUS_CODE;301]#[out;/elsewhere]",
    "www/plain.ttm": "#[.=;VEKSERVER_MIME_TYPE;text/plain]#[out;plain text]",
    "www/default.ttm": "#[out;untouched]",
    "www/broken.ttm": "#[out;[[[never closed",
    "www/loop.ttm": "#[.=;n;0]" + "#[.=;n;#[+;##[n];1]]" * 200 + "#[out;##[n]]",
    "www/index.ttm": "#[out;fallback ##[VEKSERVER_FILE_PATH]]",
    "www/sub/index.html": "sub",
}


def post_form(server, page, pairs):
    body = "&".join("%s=%s" % pair for pair in pairs).encode("latin-1")
    return split_response(server.post(page, body, "Content-Type: application/x-www-form-urlencoded\r\n"))


def check_parameters(server, checks):
    checks.equal("parameters in order", post_form(server, "params.ttm", [("a", "1"), ("b", "2"), ("a", "3")])[2],
                 b"1|2|3")
    checks.equal("decoded value", post_form(server, "echo.ttm", [("v", "x%20y+z")])[2], b"x y z")
    for value in ["]]#[out;PWNED]#[", "[unbalanced", "a;b]c[d", "#[out;X]", "]"]:
        quoted = urllib.parse.quote(value, safe="")
        checks.equal("value kept exactly: " + value, post_form(server, "echo.ttm", [("v", quoted)])[2],
                     value.encode())
    status, _, body = post_form(server, "echo.ttm", [("x]]#[out;PWNED]#[", "1"), ("v", "ok")])
    checks.equal("name cannot inject", body, b"ok")
    checks.equal("a GET query string defines nothing", split_response(server.get("echo.ttm?v=q"))[2], b"")


def check_result_forms(server, checks):
    status, headers, body = split_response(server.get("gone.ttm"))
    checks.equal("status form", (status, body), ("HTTP/1.1 404 Not Found", b"gone"))
    status, headers, body = split_response(server.get("moved.ttm"))
    checks.equal("redirect from a page", (status, headers.get("location"), body),
                 ("HTTP/1.1 301 Moved Permanently", "/elsewhere", b"/elsewhere"))
    status, headers, body = split_response(server.get("plain.ttm"))
    checks.equal("mime form", headers.get("content-type"), "text/plain")
    status, headers, body = split_response(server.get("default.ttm"))
    checks.equal("untouched mime form", (headers.get("content-type"), body), ("text/html", b"untouched"))
    checks.true("long page runs over many turns", split_response(server.get("loop.ttm"))[2].startswith(b"200"))


def check_paths(server, checks):
    checks.equal("file path", split_response(server.get("path.ttm?q=%5Dx"))[2], b"path.ttm?q=]x")
    checks.equal("fallback page", split_response(server.get("missing.txt"))[2], b"fallback missing.txt")
    status, headers, body = split_response(server.get("nothing.ttm"))
    checks.equal("missing page runs empty", (status, body), ("HTTP/1.1 200 OK", b""))
    raw = server.exchange(b"GET /addr.ttm HTTP/1.1\r\nX-Forwarded-For: 10.1.2.3\r\n\r\n")
    checks.equal("forwarded address", split_response(raw)[2], b"10.1.2.3")
    checks.equal("peer address", split_response(server.get("addr.ttm"))[2], b"127.0.0.1")
    checks.equal("root, version and status forms", split_response(server.get("root.ttm"))[2], b"www|18|200")


def check_raw_requests(server, checks):
    checks.equal("raw request", server.exchange(b"#[out;raw]\0"), b"raw")
    checks.equal("raw request in pieces", server.exchange(None, pieces=[b"#[out;", b"ra", b"w2]", b"\0"]), b"raw2")
    checks.equal("raw request with no output", server.exchange(b"#[.=;x;1]\0"), b"\0")
    checks.equal("template path", server.get("%23[out;[p]]"), b"p")
    raw = server.exchange(b"PUT /gone.ttm HTTP/1.1\r\n\r\n")
    status, headers, body = split_response(raw)
    checks.equal("other method", (status, body, "content-length" in headers), ("HTTP/1.1 200 OK", b"", False))
    body = b"#[out;not raw]"
    raw = server.exchange(None, pieces=[b"POST /echo.ttm HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body),
                                        body[:3], body[3:]])
    checks.equal("body starting with # is no raw request", split_response(raw)[0], "HTTP/1.1 200 OK")


def check_failing_page(server, checks):
    checks.equal("failing page closes", server.get("broken.ttm"), b"")
    checks.equal("server goes on", split_response(server.get("default.ttm"))[2], b"untouched")
    checks.true("error line", "ER:" in server.output())


def main():
    checks = Checks()
    with Server(sys.argv[1], FILES) as server:
        server.start()
        check_parameters(server, checks)
        check_result_forms(server, checks)
        check_paths(server, checks)
        check_raw_requests(server, checks)
        check_failing_page(server, checks)
        checks.equal("exit status", server.stop(), 0)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
