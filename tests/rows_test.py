#!/usr/bin/env python3
"""The reader of the scenario rows (tests/rows.py) against a table of
broken rows files: it must refuse each, naming the line where it breaks the
rules, and so must the test server and the build's run of the reader, before
they serve or write anything. Then what a row gives the tests, the C++
literals of its bytes, and the real file: taken, and every row and every
reply the same when the file's blocks come in reverse.

  tests/rows_test.py
"""

import codecs
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import rows  # noqa: E402

# A row that defines "ok", for the files below that need one.
OK = "row: success\ndefines: ok\nreply: SESSION-ID=UA:x\\n\nsession: UA:x\nagent: UA\n"

# Name, file, the line the refusal names, words the refusal has. Each file
# breaks one rule and keeps the others.
BROKEN = [
    ("an unknown key", "row: a\nuses: ok\ncolour: red\n\n" + OK, 3, "unknown key colour"),
    ("a Wine key that does not exist", "row: a\nuses: ok\nwine-cod: 13\n\n" + OK, 3,
     "unknown key wine-cod"),
    ("a key given twice in a row", "row: a\nuses: ok\ncode: 13\ncode: 0\n\n" + OK, 4,
     "key code given twice (first at line 3)"),
    ("a line that is not a key", "row: a\nuses: ok\njust words\n\n" + OK, 3,
     "not a key: just words"),
    ("a code that is not a number", "row: a\nuses: ok\ncode: 13a\n\n" + OK, 3,
     "code takes a number, not 13a"),
    ("a yes or no that is neither", "row: a\nuses: ok\nseen: No\n\n" + OK, 3,
     "seen takes yes or no, not No"),
    ("a proxy without its port", "row: a\nuses: ok\nproxy: proxy.test\n\n" + OK, 3,
     "proxy takes HOST:PORT, not proxy.test"),
    ("a block without a row key", OK + "\nuses: ok\ncode: 13\n", 7, "a row without a row key"),
    ("two rows of one name", OK + "\nrow: success\nuses: ok\n", 7,
     'row "success": a second row of this name (the first at line 1)'),
    ("a scenario defined twice", OK + "\nrow: b\ndefines: ok\nreply: other\n", 7,
     'row "b": scenario ok is defined twice (also at line 1)'),
    ("a row whose scenario is defined nowhere (its defining row taken out)",
     "row: a 301 through the proxy\nuses: redirect-301\nproxy: proxy.test:3128\ncode: 13\n\n"
     + OK, 1, 'row "a 301 through the proxy": uses scenario redirect-301, which no row defines'),
    ("a location whose scenario is defined nowhere",
     "row: r\ndefines: redirect\nstatus: 302\nlocation: https://other.test/stolen/\ncode: 13\n\n"
     + OK, 1, 'row "r": its location leads to scenario stolen, which no row defines'),
    ("a row that names no scenario", OK + "\nrow: b\ncode: 87\n", 7,
     'row "b": give defines (the scenario it defines) or uses'),
    ("a row that both defines and uses", OK + "\nrow: b\ndefines: mine\nuses: ok\nreply: x\n", 7,
     'row "b": give defines (the scenario it defines) or uses'),
    ("a row that uses a scenario and gives a reply too", OK + "\nrow: b\nuses: ok\nstatus: 500\n",
     7, 'row "b": uses ok but gives a reply (status)'),
    ("a row that defines a scenario without a reply",
     OK + "\nrow: b\ndefines: quiet\ncode: 13\n", 7,
     'row "b": defines quiet without a reply, status, location or send'),
]

# Files that keep the rules in ways a careless reader might refuse: name,
# file, each row's name and scenario in order, the scenarios defined.
ACCEPTED = [
    ("a use before the row that defines it", "row: b\nuses: ok\ncode: 13\n\n" + OK,
     [(b"b", b"ok"), (b"success", b"ok")], ["ok"]),
    ("comments between keys and CR LF line ends",
     ("# head\n\nrow: b\n# a note\nuses: ok\n\n" + OK).replace("\n", "\r\n"),
     [(b"b", b"ok"), (b"success", b"ok")], ["ok"]),
]

# What a row gives the tests where it leaves keys out or a Wine key starts
# from the Linux record: name, the row (beside OK), the fields it must give.
FINISHED = [
    ("a row of defaults",
     "row: d\nuses: ok\n",
     {"server": b"login.test", "tail": b"", "id": b"user", "password": b"secret",
      "proxy_host": None, "proxy_port": 0, "body": b"ID=user&PW=secret", "seen": True,
      "wine_seen": True, "connects": True, "wine_skip": False, "short_timeouts": False,
      "soak": False,
      "native_record": {"code": 0, "text": False, "session": None, "agent": None, "race": 0}}),
    ("a failure has a text unless it says not, and Wine's record is Linux's",
     "row: f\nuses: ok\ncode: 13\nsession: S\nseen: no\n",
     {"native_record": {"code": 13, "text": True, "session": b"S", "agent": None, "race": 0},
      "wine_record": {"code": 13, "text": True, "session": b"S", "agent": None, "race": 0},
      "seen": False, "wine_seen": False}),
    ("a Wine code sets Wine's text by itself; the rest stays Linux's",
     "row: w\nuses: ok\ncode: 12030\ntext: no\nagent: A\nwine-code: 0\nwine-session: S\n"
     "wine-race: 13\n",
     {"native_record": {"code": 12030, "text": False, "session": None, "agent": b"A",
                        "race": 0},
      "wine_record": {"code": 0, "text": False, "session": b"S", "agent": b"A", "race": 13}}),
    ("(none) is a null, escapes and repeats are bytes, a proxy splits at its last colon",
     "row: n\nuses: ok\nid: (none)\npassword: \\x83{a*3}\\r\\n\nproxy: [::1]:-1\n"
     "wine-session: (none)\nwine: skip\ntimeouts: short\nsoak: yes\n",
     {"id": None, "password": b"\x83aaa\r\n", "proxy_host": b"[::1]", "proxy_port": -1,
      "wine_skip": True, "short_timeouts": True, "soak": True}),
]


def reversed_blocks(text):
    """The file with its blocks (runs of lines between blank lines) in
    reverse order."""
    blocks = re.split(r"\n\n+", text.strip("\n"))
    return "\n\n".join(reversed(blocks)) + "\n"


def refusal(path):
    try:
        rows.read(path)
    except rows.RowsError as e:
        return str(e)
    return None


def main():
    if len(sys.argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="kesta-rows.")
    files = {}

    def write(name, text):
        path = os.path.join(work, "%d.rows" % len(files))
        with open(path, "w", encoding="latin-1", newline="") as f:
            f.write(text)
        files[name] = path
        return path

    failures = []
    passed = 0

    def check(name, problems):
        nonlocal passed
        if problems:
            failures.append(name)
            print("FAIL %s: %s" % (name, "; ".join(problems)))
        else:
            passed += 1
            print("ok   %s" % name)

    for name, text, line, words in BROKEN:
        path = write(name, text)
        want = "%s:%d: " % (path, line)
        said = refusal(path)
        if said is None:
            check("refused: " + name, ["it took it"])
        elif not said.startswith(want) or words not in said:
            check("refused: " + name, ["it said %r, wanted %r... %r" % (said, want, words)])
        else:
            check("refused: " + name, [])

    for name, text, want_rows, want_scenarios in ACCEPTED:
        path = write(name, text)
        problems = []
        if refusal(path) is not None:
            problems.append("refused: " + refusal(path))
        else:
            table, scenarios = rows.read(path)
            if [(r["name"], r["scenario"]) for r in table] != want_rows:
                problems.append("read %r" % [(r["name"], r["scenario"]) for r in table])
            if sorted(scenarios) != want_scenarios:
                problems.append("scenarios %r" % sorted(scenarios))
        check("accepted: " + name, problems)

    for name, text, want in FINISHED:
        path = write(name, text + "\n" + OK)
        problems = []
        if refusal(path) is not None:
            problems.append("refused: " + refusal(path))
        else:
            row = rows.read(path)[0][0]
            problems = ["%s is %r, want %r" % (k, row[k], v) for k, v in want.items()
                        if row[k] != v]
        check("gives: " + name, problems)

    # Every byte comes out of the C++ literal as printable ASCII, and a C
    # reading of its escapes gives the bytes back (a NUL included).
    every_byte = bytes(range(256)) + b"\x0012??(\x837"
    literal = rows.cpp_string(every_byte)
    problems = []
    if not re.fullmatch(r'"[\x20-\x7e]*"s', literal) or "??" in literal:
        problems.append("not printable ASCII without ??: %r" % literal)
    elif codecs.escape_decode(literal[1:-2].encode("ascii"))[0] != every_byte:
        problems.append("read back as %r" % codecs.escape_decode(literal[1:-2].encode())[0])
    check("every byte as a C++ literal", problems)

    # The real file: taken, and the same in any order of its blocks.
    with open(rows.ROWS, encoding="latin-1", newline="") as f:
        real = f.read()
    forward = write("the real file", real)
    backward = write("the real file, blocks reversed", reversed_blocks(real))
    problems = []
    for path in (forward, backward):
        if refusal(path) is not None:
            problems.append("refused: " + refusal(path))
    if not problems:
        table, scenarios = rows.read(forward)
        table_back, scenarios_back = rows.read(backward)

        def unplaced(table):
            return sorted(repr(dict(r, line=0)) for r in table)

        if unplaced(table) != unplaced(table_back):
            changed = set(unplaced(table)) ^ set(unplaced(table_back))
            problems.append("rows changed: %s" % sorted(changed)[:2])
        if scenarios != scenarios_back:
            problems.append("replies changed")
    check("the real file, blocks reversed: every row and every reply the same", problems)

    # Neither the server nor the build's run of the reader goes on with a
    # broken file: both stop, naming the row.
    broken = files["a row whose scenario is defined nowhere (its defining row taken out)"]
    ready = os.path.join(work, "ready")
    problems = []
    try:
        out = subprocess.run([sys.executable, os.path.join(HERE, "login_server.py"), "--rows",
                              broken, "--listen", "127.0.0.1:0:http", "--records",
                              os.path.join(work, "records"), "--ready", ready],
                             capture_output=True, timeout=30, check=False)
        said = out.stderr.decode("latin-1")
        if out.returncode == 0 or broken + ":1: " not in said or "redirect-301" not in said:
            problems.append("exit %d, said %r" % (out.returncode, said))
    except subprocess.TimeoutExpired:
        problems.append("it started and served")
    if os.path.exists(ready):
        problems.append("it listened")
    check("the server refuses to start on a broken file", problems)

    table = os.path.join(work, "rows.cpp")
    out = subprocess.run([sys.executable, os.path.join(HERE, "rows.py"), broken, table],
                         capture_output=True, timeout=30, check=False)
    said = out.stderr.decode("latin-1")
    problems = []
    if out.returncode == 0 or not said.startswith(broken + ":1: ") or "redirect-301" not in said:
        problems.append("exit %d, said %r" % (out.returncode, said))
    for path in (table, table + ".new"):
        if os.path.exists(path):
            problems.append("it wrote " + path)
    check("the build's run of the reader writes no table from a broken file", problems)

    print("%d passed, %d failed" % (passed, len(failures)))
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
