"""End-to-end: console sessions of the Forth processor through build/forth_console
(found beside the vekserver binary given as the argument). Each session feeds
standard input and compares standard output byte for byte: prompts, errors
between <<< and >>> with emptied stacks, numbers in BASE, compiled words and
their listings, files and program arguments, and the checks that keep wild
addresses, stale file ids and runaway recursion from crashing the console."""
import os
import re
import resource
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "http", "tests"))
from e2e_support import Checks  # noqa: E402

WELCOME = 'forth 1.0\nType "about" for more information.  Type "bye" to exit.\n'
OK = "  ok\n"


def err(message):
    return "<<< %s >>>\n" % message + OK


# (name, standard input, expected output after the welcome lines; the final
# newline is what the end of input writes).
SESSIONS = [
    ("numbers and BASE",
     "1 2 + . -1 u.\nhex ff . 1aF . -1 . decimal 10 .\n7 base ! 10 . decimal\n",
     "318446744073709551615" + OK + "ff1afffffffffffffffff10" + OK + "7" + OK + "\n"),
    ("words that look like numbers",
     "5 3 - . -5 .\n--5\n12a\n1 2 foo 3\n.s\n",
     "2-5" + OK + err("unrecognized word: --5") + err("unrecognized word: 12a") +
     err("unrecognized word: foo") + "<0> " + OK + "\n"),
    ("division and shifts never trap",
     "7 2 /mod . . -7 2 /mod . .\n-9223372036854775808 -1 / .\n"
     "-9223372036854775808 -1 /mod . .\n1 64 lshift . -1 1 rshift . 1 0 /\n5 0 /mod\n",
     "31-3-1" + OK + "-9223372036854775808" + OK + "-92233720368547758080" + OK +
     "19223372036854775807" + err("/: zero divisor") + err("/MOD: zero divisor") + "\n"),
    ("pick and roll bounds",
     "5 0 pick .s drop drop\n1 pick\n3 -1 pick\n3 9223372036854775807 roll\n1 2 3 2 roll .s\n4 0 roll .s\n",
     "<2> 5 5 " + OK + err("PICK: stack underflow") + err("PICK: stack underflow") +
     err("ROLL: stack underflow") + "<3> 2 3 1 " + OK + "<4> 2 3 1 4 " + OK + "\n"),
    ("STATE across lines and errors inside definitions",
     ": sq\ndup\n* ;\n5 sq .\n: bad 1 2 drop drop drop drop ;\n7 bad\n.s\n",
     OK + "25" + OK + OK + err("DROP: stack underflow") + "<0> " + OK + "\n"),
    ("stack limits",
     "1 " * 256 + "depth\n1 2 3 .s .rs 4 >r .rs r> .s\nr>\n" + "1 " * 255 + "depth .\n",
     err("DEPTH: stack overflow") + "<3> 1 2 3 <<0>> <<1>> 4 <4> 1 2 3 4 " + OK +
     err("R>: return stack underflow") + "255" + OK + "\n"),
    ("redefinition and case",
     ": a 1 ; : b a ; : a 2 ; b . a . 3 DUP Dup . . here 1+ c@ .\n",
     "12330" + OK + "\n"),
    ("stack words of the bootstrap",
     "1 2 3 rot .s nip .s 4 tuck .s 2drop 2drop\n1 2 3 4 2over .s 2swap .s 2drop 2drop 2drop\n5 6 2>r .rs 2r@ .s 2r> .s\n",
     "<3> 2 3 1 <2> 2 1 <4> 2 4 1 4 " + OK + "<6> 1 2 3 4 1 2 <6> 1 2 1 2 3 4 " + OK +
     "<<2>> 5 6 <2> 5 6 <4> 5 6 5 6 " + OK + "\n"),
    ("memory, conversion and dictionary words",
     "create m 8 allot s\" abcd\" m swap cmove m m 1+ 3 cmove> m 4 type m 1+ m 3 cmove m 4 type\n"
     "0 s\" 12x\" >unum . drop . 0 s\" -7\" >num 2drop . hex 0 s\" fF\" >unum 2drop . decimal\n"
     "' dup xt>name type variable w ' w >body w = . : q ; latest xt>name type\n"
     ": fd bl word find ; fd if . drop fd dup . drop fd zzz . drop\n"
     "char , parse ab, type s\" 1 2\" evaluate + .\n",
     "aabcabcc" + OK + "112-7ff" + OK + "dup-1q" + OK + "1-10" + OK + "ab3" + OK + "\n"),
    ("colon words, does>, :noname, values and defers",
     ": c create , does> @ ; 5 c five five .\n:noname 3 4 + ; execute .\n"
     "5 value x 9 to x x . : setx to x ; 11 setx x .\n"
     "defer d ' five is d d . action-of d ' five = .\n"
     "1 2 2constant two two .s\n",
     "5" + OK + "7" + OK + "911" + OK + "5-1" + OK + "<2> 1 2 " + OK + "\n"),
    ("control flow and strings",
     ": t 0= if 1 else 2 then ; 0 t . 5 t .\n: sum 0 swap begin dup while tuck + swap 1- repeat drop ;"
     " 10 sum .\n: hi .\" hi\" ; hi cr\ns\" abc\" s\" abcd\" compare . : abd s\" abd\" ; abd s\" abc\" compare .\n"
     ": a s\" abc\" ; a a compare .\nchar A . s\" 1 2 +\" evaluate .\n1 ( skip ) 2 + . \\ rest\n"
     ".( now) 10 3 .r -5 5 .r\n: t2 1 abort\" boom\" ; t2\ns\" abc\n",
     "12" + OK + "55" + OK + "hi\n" + OK + "-11" + OK + "0" + OK + "653" + OK + "3" + OK +
     "now 10   -5" + OK + err("boom") + err("PARSE: Did not find expected delimiter '\"'") + "\n"),
    ("see and words",
     ": f 5 0= if 1 then ; see f\n: i ; immediate see i\nsee nothing\n' (;) execute\n:\nquit\n",
     ": f (lit) 5 0= (zbranch) 24 (lit) 1 exit ;" + OK + ": i exit ; immediate" + OK +
     err("SEE: undefined word") + err("(;) should never be executed") +
     err("CREATE: could not parse name") + OK + "\n"),
    ("wild addresses",
     "0 @\nhere 1+ @\n-1 c@\n7 -8 !\n0 10 type\n0 0 type\ncreate b 4 allot b 8 -1 fill\n"
     "b 1 b 1000000 cmove\n1 2 3 4 compare\n0 count\n0 1 evaluate\n0 find\n5 execute\n: h [ 5 , ] ; h\n0 5 included\n0 5 accept\n",
     err("@: invalid address") + err("@: unaligned address") + err("C@: invalid address") +
     err("!: invalid address") + err("TYPE: invalid address") + OK + OK +
     err("CMOVE: invalid address") + err("COMPARE: invalid address") +
     err("COUNT: invalid address") + err("EVALUATE: invalid address") +
     err("FIND: invalid address") + err("EXECUTE: invalid execution token") +
     err("h: invalid execution token") + err("OPEN-FILE: invalid address") +
     err("ACCEPT: invalid address") + "\n"),
    ("allocated blocks",
     "-1 allocate . .\n100 allocate . dup 65 swap c! dup c@ . dup 200 resize . dup c@ . dup free . c@\n"
     "123 free\n16 allocate drop 16 + 9 swap c!\n",
     "-10" + OK + "065" + "065" + "0" + err("C@: invalid address") +
     err("FREE: invalid address") + err("C!: invalid address") + "\n"),
    ("file ids",
     "0 close-file\n12345 read-char\n0 include-file\ncreate lb 9 allot\nlb 8 0 read-line\n"
     "lb 8 99 write-line\n",
     err("CLOSE-FILE: not a valid file ID") + err("READ-CHAR: not a valid file ID") +
     err("INCLUDE-FILE: invalid file ID") + OK + err("READ-FILE: not a valid file ID") +
     err("WRITE-FILE: not a valid file ID") + "\n"),
    ("deep recursion",
     ": f recurse ; f\n: g 1 + dup 100 < if recurse then ; 0 g .\n",
     err("f: nesting too deep") + "100" + OK + "\n"),
    ("system words",
     "s\" exit 3\" system $? . r/o bin . w/o . r/w .\n#args .\n1 arg\ntime&date depth . 2000 > .\n",
     "768121624" + OK + "1" + OK + err("ARG: invalid index") + "6-1" + OK + "\n"),
    ("reading standard input",
     "create b 10 allot b 5 accept\nhello world\n. b 5 type key . key .\nAB\nrefill\n1 2 + .\n.s\n",
     OK + "5hello6566" + OK + OK + "3" + OK + "<1> -1 " + OK + "\n"),
    ("data space full", "unused 8 - allot : x ;\n", err(",: data space overflow") + "\n"),
    ("HERE past the data space", "unused 8 + allot : y ;\n", err(",: HERE outside data space") + "\n"),
]

FILE_SESSION = (
    "variable fid create lb 100 allot\n"
    ": in s\" in.txt\" ; : out s\" out.txt\" ; : moved s\" moved.txt\" ;\n"
    "in r/o open-file . fid ! : rl lb 80 fid @ read-line ;\n"
    "rl . . lb swap type rl . . lb swap type rl . . lb swap type\n"
    "rl . . . fid @ read-char . . fid @ close-file . fid @ close-file\n"
    "out w/o create-file . fid ! s\" line one\" fid @ write-line . 65 fid @ write-char . fid @ close-file .\n"
    "out r/o open-file . fid ! lb 100 fid @ read-file . . lb 10 type fid @ close-file .\n"
    "out w/o create-file . close-file . out r/o open-file . dup lb 5 rot read-file . . close-file .\n"
    "out moved rename-file . moved delete-file . moved delete-file .\n"
)
FILE_EXPECTED = (
    OK + OK + "0" + OK + "0-1first0-1second0-1last" + OK +
    "0000255" + "0" + err("CLOSE-FILE: not a valid file ID") +
    "0000" + OK + "0010line one\nA" + "0" + OK + "000000" + OK + "00-1" + OK + "\n")


def run(binary, args, stdin_text, cwd, env=None, preexec_fn=None):
    result = subprocess.run([binary] + args, input=stdin_text.encode(), cwd=cwd,
                            capture_output=True, timeout=60, env=env, preexec_fn=preexec_fn)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def check_sessions(binary, checks, cwd):
    for name, stdin_text, expected in SESSIONS:
        code, out, errors = run(binary, [], stdin_text, cwd)
        checks.equal(name, out, WELCOME + expected)
        checks.equal(name + ": exit code", (code, errors), (0, ""))


def check_kernel_listing(binary, checks, cwd):
    """Addresses vary from run to run, so they are replaced by N."""
    listings = [("see drop", ": drop <primitive N> ;  ok"),
                ("variable v see v", "CREATE v ( N )  ok"),
                (": k create does> 1 ; k kk see kk", "CREATE kk ( N ) DOES> (lit) 1 exit ;  ok"),
                (": g s\" ab\" ; see g", ": g (branch) 16 N (lit) N (lit) 2 exit ;  ok"),
                (":noname ; drop : sq foo", "<<< unrecognized word: foo >>>\n  ok")]
    _, out, _ = run(binary, [], "".join(line + "\n" for line, _ in listings) + "words\n", cwd)
    out = re.sub(r"\d{5,}", "N", out[len(WELCOME):])
    expected = "".join(text + "\n" for _, text in listings)
    checks.equal("listings", out[:len(expected)], expected)
    words = out[len(expected):]
    checks.true("words: newest first", words.startswith("g kk k v main process-args "))
    checks.true("words: oldest last", words.endswith(" interpret immediate does> ;   ok\n\n"))
    checks.true("words: no hidden or nameless word", " sq " not in words and "  " not in words[:-6])


def check_files(binary, checks, cwd):
    with open(os.path.join(cwd, "in.txt"), "w") as f:
        f.write("first\nsecond\nlast")  # the last line has no newline
    code, out, _ = run(binary, [], FILE_SESSION, cwd)
    checks.equal("file words", out, WELCOME + FILE_EXPECTED)
    checks.true("renamed file deleted", not os.path.exists(os.path.join(cwd, "moved.txt")))
    # A file left open is flushed when the program ends.
    # Lines longer than the buffer come in pieces.
    with open(os.path.join(cwd, "long.txt"), "w") as f:
        f.write("abcdefgh\nxy\n")
    _, out, _ = run(binary, [], "create lb 4 allot variable f s\" long.txt\" r/o open-file drop f !\n"
                    ": rl lb 3 f @ read-line . . lb swap type ; rl rl rl rl lb 3 f @ read-line . . .\n", cwd)
    checks.equal("long lines", out, WELCOME + OK + "0-1abc0-1def0-1gh0-1xy000" + OK + "\n")
    # A command run with "system" inherits no open file.
    run(binary, [], "s\" in.txt\" r/o open-file drop drop s\" ls -l /proc/$$/fd > fds.txt\" system bye\n", cwd)
    with open(os.path.join(cwd, "fds.txt")) as f:
        checks.true("open file kept from the command", "in.txt" not in f.read())
    run(binary, [], "s\" kept.txt\" w/o create-file drop s\" kept\" rot write-file bye\n", cwd)
    with open(os.path.join(cwd, "kept.txt")) as f:
        checks.equal("open file flushed at exit", f.read(), "kept")


def check_allocation_failure(binary, checks, cwd):
    """Blocks the host cannot give: "allocate" and "resize" answer 0 -1, the
    resized block stays as it was and the session goes on. The console runs
    with 600 MB of address space; a sanitizer build (whose shadow memory
    needs far more) is told to refuse blocks above 500 MB instead, and its
    warning about each refused block is passed over."""
    with open(binary, "rb") as f:
        sanitized = b"__asan_init" in f.read()
    env, limit = dict(os.environ), None
    if sanitized:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1:max_allocation_size_mb=500"
    else:
        def limit():
            resource.setrlimit(resource.RLIMIT_AS, (600 << 20, 600 << 20))
    session = ("1000000000 allocate . .\n"
               "100 allocate drop dup 65 swap c! dup 1000000000 resize . . dup c@ . free .\n1 2 + .\n")
    code, out, errors = run(binary, [], session, cwd, env, limit)
    errors = "".join(line for line in errors.splitlines(True) if "AddressSanitizer failed to allocate" not in line)
    checks.equal("allocation that cannot be met", (code, out, errors),
                 (0, WELCOME + "-10" + OK + "-10650" + OK + "3" + OK + "\n", ""))


def check_arguments(binary, checks, cwd):
    for name, text in [("a.fs", ": from-a .\" a\" ;\nfrom-a\n"),
                       ("b.fs", "#args . 2 arg type\n"),
                       ("bad.fs", "1 foo\n")]:
        with open(os.path.join(cwd, name), "w") as f:
            f.write(text)
    checks.equal("arguments included in order", run(binary, ["a.fs", "b.fs"], "from-a\n", cwd),
                 (0, "a\n3b.fs\na" + OK + "\n", ""))
    checks.equal("included at the console", run(binary, [], "s\" a.fs\" included include a.fs\n", cwd),
                 (0, WELCOME + "aa" + OK + "\n", ""))
    checks.equal("missing argument file", run(binary, ["none.fs"], "", cwd),
                 (255, "", "forth: included: unable to open file\n"))
    checks.equal("error in an argument file", run(binary, ["bad.fs"], "", cwd),
                 (255, "", "forth: unrecognized word: foo\n"))
    checks.equal("bye", run(binary, [], "1 . bye\n2 .\n", cwd), (0, WELCOME + "1", ""))


def check_lost_writer(binary, checks, cwd):
    """A writer whose base closed (its last "~~-") or whose files went under
    it has stored nothing: its "~~." fails the program as the Forth words
    fail (exit 255, the word's name first), instead of passing on to the
    next line."""
    open_writer = (': z" [char] " parse tuck here swap cmove here swap allot 0 c, ;\n'
                   'variable w z" lost" ~~+ z" " z" " 0 z" lost" ~~v w !\n'
                   'z" k" w @ z" lost" ~~+. drop\n')
    for how, end in [("base closed", 'z" lost" ~~-\n'),
                     ("files deleted", 's" rm lost1 lost2" system\n')]:
        with open(os.path.join(cwd, "lost.fs"), "w") as f:
            f.write(open_writer + end + 'w @ z" lost" ~~. .( after)\n')
        code, out, errors = run(binary, ["lost.fs"], "", cwd)
        failed = errors.startswith("forth: ~~.: ") and "nothing was stored" in errors
        checks.equal("lost writer, " + how, (code, out, failed), (255, "", True))
        for name in ("lost1", "lost2", "lost1.sw"):
            if os.path.exists(os.path.join(cwd, name)):
                os.remove(os.path.join(cwd, name))


def main():
    binary = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "forth_console")
    checks = Checks()
    with tempfile.TemporaryDirectory() as cwd:
        check_sessions(binary, checks, cwd)
        check_kernel_listing(binary, checks, cwd)
        check_files(binary, checks, cwd)
        check_allocation_failure(binary, checks, cwd)
        check_arguments(binary, checks, cwd)
        check_lost_writer(binary, checks, cwd)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
