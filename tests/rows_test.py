#!/usr/bin/env python3
"""Both readers of the scenario rows, the test server's (tests/login_server.py)
and the C++ tests' (tests/support/scenarios.cpp, run as tests/rows_check.cpp),
against a table of broken rows files: each reader must refuse each file,
naming the line where it breaks the rules. Then the real file: both readers
take it, agree on which row defines or uses which scenario, and give every
row and every scenario the same when the file's blocks come in reverse.

  tests/rows_test.py COMMAND...   (the C++ reader: rows_check, or a Wine
                                   runner and rows_check.exe)
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import login_server  # noqa: E402

# A row that defines "ok", for the files below that need one.
OK = "row: success\npath: ok\nreply: SESSION-ID=UA:x\\n\nsession: UA:x\nagent: UA\n"

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
    ("a block without a row key", OK + "\nuses: ok\ncode: 13\n", 7, "a row without a row key"),
    ("two rows of one name", OK + "\nrow: success\nuses: ok\n", 7,
     'row "success": a second row of this name (the first at line 1)'),
    ("a scenario defined twice", OK + "\nrow: b\npath: ok\nreply: other\n", 7,
     'row "b": scenario ok is defined twice (also at line 1)'),
    ("a row whose scenario is defined nowhere (its defining row taken out)",
     "row: a 301 through the proxy\nuses: redirect-301\nproxy: proxy.test:3128\ncode: 13\n\n"
     + OK, 1, 'row "a 301 through the proxy": uses scenario redirect-301, which no row defines'),
    ("a location whose scenario is defined nowhere",
     "row: r\npath: redirect\nstatus: 302\nlocation: https://other.test/stolen/\ncode: 13\n\n"
     + OK, 1, 'row "r": its location leads to scenario stolen, which no row defines'),
    ("a row that names no scenario", OK + "\nrow: b\ncode: 87\n", 7,
     'row "b": give path (the scenario it defines) or uses'),
    ("a row that both defines and uses", OK + "\nrow: b\npath: mine\nuses: ok\nreply: x\n", 7,
     'row "b": give path (the scenario it defines) or uses'),
    ("a row that uses a scenario and gives a reply too", OK + "\nrow: b\nuses: ok\nstatus: 500\n",
     7, 'row "b": uses ok but gives a reply (status)'),
    ("a row that defines a scenario without a reply", OK + "\nrow: b\npath: quiet\ncode: 13\n", 7,
     'row "b": defines quiet without a reply, status, location or send'),
]

# Files that keep the rules in ways a careless reader might refuse: name,
# file, the scenarios each row names (defines or uses), in order.
ACCEPTED = [
    ("a use before the row that defines it", "row: b\nuses: ok\ncode: 13\n\n" + OK,
     [("b", "uses", "ok"), ("success", "defines", "ok")]),
    ("comments between keys and CR LF line ends",
     ("# head\n\nrow: b\n# a note\nuses: ok\n\n" + OK).replace("\n", "\r\n"),
     [("b", "uses", "ok"), ("success", "defines", "ok")]),
]


def shown(data):
    """Bytes as the C++ reader's dump prints them."""
    return "".join(chr(c) if 0x20 <= c < 0x7F and c != 0x5C else "\\x%02x" % c for c in data)


def reversed_blocks(text):
    """The file with its blocks (runs of lines between blank lines) in
    reverse order."""
    blocks = re.split(r"\n\n+", text.strip("\n"))
    return "\n\n".join(reversed(blocks)) + "\n"


def run_cpp(command, files):
    """The C++ reader on every file at once (one Wine start): file -> the
    refusal, or the list of dump lines."""
    out = subprocess.run(command + files, capture_output=True, check=False, timeout=600)
    if out.returncode != 0:
        raise RuntimeError("the C++ reader failed: %r %s" % (out.returncode, out.stderr.decode(
            "latin-1")))
    results = {}
    current = None
    for line in out.stdout.decode("latin-1").splitlines():
        line = line.rstrip("\r")
        if line.startswith("file "):
            current = line[5:]
            results[current] = []
        elif line.startswith("refused "):
            results[current] = line[8:]
        else:
            results[current].append(line)
    return results


def python_refusal(path):
    try:
        login_server.load_scenarios(path)
    except login_server.RowsError as e:
        return str(e)
    return None


def cpp_scenarios(dump):
    """(row, defines or uses, scenario) for each line of the C++ dump."""
    out = []
    for line in dump:
        m = re.match(r'row "(.*?)" server ".*?" (defines|uses) "(.*?)"', line)
        out.append(m.groups() if m else ("unreadable", line, ""))
    return out


def python_scenarios(rows):
    return [(shown(login_server.unescape(r["row"])), "defines" if "path" in r else "uses",
             shown(login_server.unescape(r.get("path", r.get("uses", ""))))) for r in rows]


def main():
    command = sys.argv[1:]
    if not command:
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

    for name, text, _, _ in BROKEN:
        write(name, text)
    for name, text, _ in ACCEPTED:
        write(name, text)
    with open(login_server.ROWS, encoding="latin-1", newline="") as f:
        real = f.read()
    forward = write("the real file", real)
    backward = write("the real file, blocks reversed", reversed_blocks(real))
    cpp = run_cpp(command, list(files.values()))

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

    for name, _, line, words in BROKEN:
        path = files[name]
        want = "%s:%d: " % (path, line)
        problems = []
        for reader, refusal in (("the server's reader", python_refusal(path)),
                                ("the C++ reader", cpp.get(path))):
            if not isinstance(refusal, str):
                problems.append("%s took it" % reader)
            elif not refusal.startswith(want) or words not in refusal:
                problems.append("%s said %r, wanted %r... %r" % (reader, refusal, want, words))
        check("refused: " + name, problems)

    for name, _, want in ACCEPTED:
        path = files[name]
        problems = []
        refusal = python_refusal(path)
        if refusal is not None:
            problems.append("the server's reader refused it: " + refusal)
        elif python_scenarios(login_server.read_rows(path)) != want:
            problems.append("the server's reader read %r" %
                            python_scenarios(login_server.read_rows(path)))
        if isinstance(cpp[path], str):
            problems.append("the C++ reader refused it: " + cpp[path])
        elif cpp_scenarios(cpp[path]) != want:
            problems.append("the C++ reader read %r" % cpp_scenarios(cpp[path]))
        check("accepted: " + name, problems)

    # The real file: taken by both, read alike by both, and order-free.
    problems = []
    for path in (forward, backward):
        if python_refusal(path) is not None:
            problems.append("the server's reader refused it: " + python_refusal(path))
        if isinstance(cpp[path], str):
            problems.append("the C++ reader refused it: " + cpp[path])
    if not problems:
        rows = login_server.read_rows(forward)
        if sorted(python_scenarios(rows)) != sorted(cpp_scenarios(cpp[forward])):
            problems.append("the readers differ on which row defines or uses which scenario")
        if len(rows) < 50:
            problems.append("only %d rows" % len(rows))
    check("the real file: both readers take it and agree", problems)

    problems = []
    if not isinstance(cpp[forward], str) and not isinstance(cpp[backward], str):
        if sorted(cpp[forward]) != sorted(cpp[backward]):
            changed = set(cpp[forward]) ^ set(cpp[backward])
            problems.append("the C++ reader's rows changed: %s" % sorted(changed)[:4])
        if python_refusal(backward) is None:
            strip = lambda rows: sorted(sorted((k, v) for k, v in r.items() if k != "line")
                                        for r in rows)
            if strip(login_server.read_rows(forward)) != strip(login_server.read_rows(backward)):
                problems.append("the server's rows changed")
            if login_server.load_scenarios(forward) != login_server.load_scenarios(backward):
                problems.append("the server's replies changed")
    else:
        problems.append("not read")
    check("the real file, blocks reversed: every row and every reply the same", problems)

    # The server itself stops before it listens, naming the row.
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

    print("%d passed, %d failed" % (passed, len(failures)))
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
