"""The layout `make run` serves from (argv[1] is the built server): make's
"site" target prepares a directory, and the server runs in it with the
options make run gives it. Nothing of the project but the site and the manual may be
reachable there, uploads and bases must stay in that directory, and the
site's files must be the project's own, so that edits show at once."""
import os
import shlex
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "http", "tests"))
from e2e_support import Checks, Server, split_response, wait_for  # noqa: E402

# (path, status); the project's own files answer as missing files do.
PATHS = [
    ("~Makefile", "404"),
    ("~README.md", "404"),
    ("~CMakeLists.txt", "404"),
    ("~.gitignore", "404"),
    ("~http/ServerMain.cpp", "404"),
    ("~docs/tests/make_run_e2e.py", "404"),
    ("~www/../Makefile", "404"),
    ("", "200"),
    ("guestbook.ttm", "200"),
    ("~docs/words.md", "200"),
]


def make(*words):
    done = subprocess.run(["make", "-s", "--no-print-directory", "-C", ROOT] + list(words),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return done.returncode, done.stdout.decode(errors="replace")


def prepare(server, checks):
    """Prepares the server's directory as make run does and gives the server
    the options make run starts it with (the last command make run prints)."""
    directory = server.dir
    checks.equal("make site", make("site", "RUN_DIR=" + directory), (0, ""))
    words = shlex.split(make("-n", "run", "RUN_DIR=" + directory)[1].strip().split("\n")[-1])
    checks.equal("make run starts the server in the run directory", words[:2], ["cd", directory])
    options = words[words.index("&&") + 3:] if "&&" in words else words[1:]
    port = options.index("-p") + 1
    server.args = options[:port] + [str(server.port)] + options[port + 1:]


def check_paths(server, checks):
    for path, status in PATHS:
        line = split_response(server.get(path))[0]
        checks.equal("GET /" + path, line.split(" ")[1:2], [status])


def check_site_is_the_projects(server, checks):
    for name in sorted(os.listdir(os.path.join(ROOT, "www"))):
        linked = os.path.join(server.dir, "www", name)
        checks.true("www/%s is the project's" % name,
                    os.path.exists(linked) and os.path.samefile(linked, os.path.join(ROOT, "www", name)))
    body = split_response(server.post("manual.ttm", b"page=words",
                                      "Content-Type: application/x-www-form-urlencoded\r\n"))[2]
    checks.true("manual page reads the manual", body.startswith(b"# Words"))


def check_data_stays(server, checks):
    """The guestbook's base (made by the visit above) and an upload land in
    the run directory, never among the project's files."""
    checks.true("base in the run directory", os.path.exists(os.path.join(server.dir, "guestbook1")))
    name = "make-run-upload-%d.txt" % os.getpid()
    with server.connect() as conn:
        conn.sendall(("POST /x HTTP/1.1\r\nContent-Type: text/plain; filename=%s\r\n"
                      "Content-Length: 5\r\n\r\nhello" % name).encode())
        conn.recv(1)  # the server closes once the body is stored
    uploaded = os.path.join(server.dir, "www", name)
    wait_for(lambda: os.path.exists(uploaded), "upload stored")
    checks.true("upload is a file of the run directory", not os.path.islink(uploaded))
    checks.true("upload not among the sources", not os.path.exists(os.path.join(ROOT, "www", name)))


def main():
    checks = Checks()
    server = Server(sys.argv[1])
    try:
        prepare(server, checks)
        server.start()
        check_paths(server, checks)
        check_site_is_the_projects(server, checks)
        check_data_stays(server, checks)
        server.stop()
    finally:
        server.cleanup()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
