#!/usr/bin/env python3
"""The reader of the scenario rows (tests/scenarios.rows), the only one.

The test login server imports it for the scenarios' replies. The build runs

  tests/rows.py ROWS OUT.cpp

to write every row, with everything the tests take from it, as the C++
table that scenarios::rows() returns (tests/support/scenarios.h). A file
that breaks its rules is refused as FILE:LINE: what, and nothing is written.
"""

import os
import re
import sys

ROWS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios.rows")

# Every key a row may have (the file's head says what each means), with the
# values it takes where not any text: their words, and a pattern.
YES_NO = ("yes or no", "yes|no")
NUMBER = ("a number", r"\d+")
KEYS = {
    "row": None, "server": None, "defines": None, "uses": None, "tail": None, "id": None,
    "password": None, "proxy": ("HOST:PORT", r".*:-?\d+"),
    "reply": None, "status": NUMBER, "location": None, "send": None,
    "code": NUMBER, "text": YES_NO, "session": None, "agent": None,
    "wine-code": NUMBER, "wine-text": YES_NO, "wine-session": None, "wine-agent": None,
    "wine-race": NUMBER, "wine": ("skip", "skip"), "why": None,
    "seen": YES_NO, "wine-seen": YES_NO, "host": None, "body": None, "connects": YES_NO,
    "proxy-seen": None, "waits": ("connect, receive or exchange", "connect|receive|exchange"),
    "timeouts": ("short", "short"), "soak": YES_NO,
}
# The keys that make up the reply of the scenario a row defines.
REPLY_KEYS = ("reply", "status", "location", "send")


class RowsError(Exception):
    """A rows file that breaks the file's rules, as FILE:LINE: what."""


def unescape(value):
    """The rows file's values: C's escapes and {c*N}, as bytes."""
    out = bytearray()
    i = 0
    while i < len(value):
        c = value[i]
        repeat = re.match(r"\{(.)\*(\d+)\}", value[i:])
        if repeat:
            out += repeat.group(1).encode("latin-1") * int(repeat.group(2))
            i += repeat.end()
        elif c == "\\" and i + 1 < len(value):
            e = value[i + 1]
            if e == "x":
                out.append(int(value[i + 2 : i + 4], 16))
                i += 4
                continue
            out += {"n": b"\n", "r": b"\r", "t": b"\t"}.get(e, e.encode("latin-1"))
            i += 2
        else:
            out += c.encode("latin-1")
            i += 1
    return bytes(out)


def location_scenario(url):
    """The scenario a Location leads to: its path's first segment."""
    rest = url.partition("://")[2]
    return rest.partition("/")[2].partition("/")[0]


def finish(keys, line):
    """Everything the tests take from a row, from its keys' raw values: the
    fields of scenarios::Row in its order, bytes for its texts, None for a
    null. The Wine record starts from the finished Linux one."""
    value = {k: unescape(v) for k, v in keys.items()}

    def text(key, default=None):
        got = value.get(key, default)
        return None if got == b"(none)" else got

    def record(prefix, start):
        out = dict(start)
        code_key, text_key = prefix + "code", prefix + "text"
        if code_key in value:
            out["code"] = int(value[code_key])
        if text_key in value:
            out["text"] = value[text_key] == b"yes"
        elif code_key in value:
            # A failure has a message text unless the row says otherwise.
            out["text"] = out["code"] != 0
        for field in ("session", "agent"):
            if prefix + field in value:
                out[field] = text(prefix + field)
        if prefix + "race" in value:
            out["race"] = int(value[prefix + "race"])
        return out

    native = record("", {"code": 0, "text": False, "session": None, "agent": None, "race": 0})
    proxy_host, proxy_port = None, 0
    if "proxy" in value:
        proxy_host, _, port = value["proxy"].rpartition(b":")
        proxy_port = int(port)
    seen = value.get("seen", b"yes") == b"yes"
    return {
        "line": line,
        "name": value["row"],
        "server": value.get("server", b"login.test"),
        "scenario": value.get("defines", value.get("uses")),
        "tail": value.get("tail", b""),
        "id": text("id", b"user"),
        "password": text("password", b"secret"),
        "proxy_host": proxy_host,
        "proxy_port": proxy_port,
        "native_record": native,
        "wine_record": record("wine-", native),
        "wine_skip": "wine" in value,
        "why": value.get("why", b""),
        "seen": seen,
        "wine_seen": value.get("wine-seen", b"yes" if seen else b"no") == b"yes",
        "host": value.get("host", b""),
        "body": value.get("body", b"ID=user&PW=secret"),
        "connects": value.get("connects", b"yes") == b"yes",
        "proxy_seen": value.get("proxy-seen", b""),
        "waits": value.get("waits", b""),
        "short_timeouts": "timeouts" in value,
        "soak": value.get("soak", b"no") == b"yes",
    }


def read(path=ROWS):
    """The file's rows, once it keeps its rules: (every row finished, in
    order; scenario name -> (how its reply is sent, status, body, Location
    or None), from the row that defines each)."""

    def refuse(line, what):
        raise RowsError(f"{path}:{line}: {what}")

    rows, scenarios = [], {}
    names, defined = {}, {}
    taken = []  # each row's line, name in messages, uses and location

    def end_of_block(block):
        start = min(line for _, line in block.values())
        keys = {k: v for k, (v, _) in block.items()}
        if "row" not in keys:
            refuse(start, "a row without a row key")
        where = f'row "{keys["row"]}"'
        name = unescape(keys["row"])
        if name in names:
            refuse(start, f"{where}: a second row of this name (the first at line {names[name]})")
        names[name] = start
        if ("defines" in keys) == ("uses" in keys):
            refuse(start, f"{where}: give defines (the scenario it defines) or uses (one "
                          "defined elsewhere), one of the two")
        reply = [k for k in REPLY_KEYS if k in keys]
        if "uses" in keys and reply:
            refuse(start, f"{where}: uses {keys['uses']} but gives a reply ({reply[0]}): only "
                          "the row that defines a scenario gives its reply")
        if "defines" in keys:
            scenario = keys["defines"]
            if not reply:
                refuse(start, f"{where}: defines {scenario} without a reply, status, location "
                              "or send")
            if scenario in defined:
                refuse(start, f"{where}: scenario {scenario} is defined twice (also at line "
                              f"{defined[scenario]})")
            defined[scenario] = start
            scenarios[scenario] = (keys.get("send", "whole"), int(keys.get("status", "200")),
                                   unescape(keys.get("reply", "")), keys.get("location"))
        taken.append((start, where, keys.get("uses"), keys.get("location")))
        rows.append(finish(keys, start))

    block = {}
    with open(path, encoding="latin-1") as f:
        lines = f.read().split("\n")
    for number, text in enumerate(lines + [""], 1):
        text = text.rstrip("\r")
        if text.startswith("#"):
            continue
        if not text:
            if block:
                end_of_block(block)
            block = {}
            continue
        key, colon, value = text.partition(":")
        value = value.lstrip(" ")
        if not colon:
            refuse(number, "not a key: " + text)
        if key not in KEYS:
            refuse(number, "unknown key " + key)
        if key in block:
            refuse(number, f"key {key} given twice (first at line {block[key][1]})")
        if KEYS[key] and not re.fullmatch(KEYS[key][1], value):
            refuse(number, f"{key} takes {KEYS[key][0]}, not {value}")
        block[key] = (value, number)

    # Once every row is in: what each takes from another is defined somewhere.
    for line, where, uses, location in taken:
        if uses is not None and uses not in defined:
            refuse(line, f"{where}: uses scenario {uses}, which no row defines")
        if location is not None and location_scenario(location) not in defined:
            refuse(line, f"{where}: its location leads to scenario "
                         f"{location_scenario(location)}, which no row defines")
    return rows, scenarios


def cpp_string(data):
    """Bytes as a C++ std::string literal: printable ASCII as it is, other
    bytes (and the quote, the backslash and the question mark, which could
    start a trigraph) as three-digit octal escapes, which no digit after them
    can lengthen. The literal's own length keeps any NUL."""
    escaped = "".join(chr(b) if 0x20 <= b < 0x7F and chr(b) not in '"\\?' else "\\%03o" % b
                      for b in data)
    return '"' + escaped + '"s'


def cpp_value(value):
    """A field of a finished row as a C++ initializer."""
    if value is None:
        return "std::nullopt"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, bytes):
        return cpp_string(value)
    return "{" + ", ".join(cpp_value(v) for v in value.values()) + "}"


def cpp_source(rows_path, rows):
    """The C++ source of scenarios::rows(), returning these rows."""
    table = "".join("        " + cpp_value(row) + ",\n" for row in rows)
    return (f"// Every row of {rows_path}, written by tests/rows.py for this build:\n"
            "// change the rows, not this file.\n"
            '#include "scenarios.h"\n\n'
            "namespace scenarios {\n\n"
            "using namespace std::string_literals;\n\n"
            "const std::vector<Row> &rows()\n{\n"
            "    static const std::vector<Row> table = {\n"
            f"{table}"
            "    };\n"
            "    return table;\n}\n\n"
            "} // namespace scenarios\n")


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    rows_path, out = argv[1], argv[2]
    try:
        rows, _ = read(rows_path)
    except RowsError as e:
        print(e, file=sys.stderr)
        return 1
    # Whole or not at all: a build stopped halfway leaves no half table.
    with open(out + ".new", "w", encoding="ascii") as f:
        f.write(cpp_source(rows_path, rows))
    os.replace(out + ".new", out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
