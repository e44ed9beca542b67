#!/usr/bin/env python3
"""Checks that a shipped Windows binary and the PDB beside it belong
together the way a debugger sees them, with LLVM's tools:

- the binary's debug directory names the PDB by its file name alone, with
  the GUID and age that the PDB itself records;
- through the PDB alone (the binary and its PDB in a scratch folder)
  llvm-symbolizer resolves an address inside FUNCTION to that function, a
  source file named SOURCE and a line; without the PDB it resolves nothing;
- with --stack-guard: the binary's code calls __stack_chk_fail, found by
  its address in the PDB, so the stack protector is in the shipped code.

FUNCTION is found by the DLL's export table where it is exported, else by
the PDB's public symbols.

  check_pdb.py BINARY PDB FUNCTION SOURCE [--stack-guard]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from check_binary import PE  # noqa: E402


def run(*args, cwd=None):
    return subprocess.run(args, capture_output=True, text=True, cwd=cwd).stdout


def debug_directory(binary):
    out = run("llvm-readobj", "--coff-debug-directory", binary)
    guid = re.search(r"PDBGUID: \(([0-9A-F ]+)\)", out)
    age = re.search(r"PDBAge: (\d+)", out)
    name = re.search(r"PDBFileName: (.*)", out)
    if not (guid and age and name):
        return None
    raw = bytes.fromhex(guid.group(1).replace(" ", ""))
    # The GUID as llvm-pdbutil prints it: the first three fields are
    # little-endian.
    text = "%s-%s-%s-%s-%s" % (raw[3::-1].hex(), raw[5:3:-1].hex(), raw[7:5:-1].hex(),
                               raw[8:10].hex(), raw[10:].hex())
    return text.upper(), int(age.group(1)), name.group(1).strip()


def pdb_summary(pdb):
    out = run("llvm-pdbutil", "dump", "--summary", pdb)
    guid = re.search(r"GUID: \{([0-9A-F-]+)\}", out)
    age = re.search(r"^\s*Age: (\d+)", out, re.M)
    return (guid.group(1), int(age.group(1))) if guid and age else None


def publics(pdb):
    """{name: (section, offset)} of the PDB's public function symbols."""
    out = run("llvm-pdbutil", "dump", "--publics", pdb)
    found = {}
    for name, section, offset in re.findall(
            r"S_PUB32 \[size = \d+\] `([^`]+)`\s*\n\s*flags = function, addr = (\d+):(\d+)", out):
        found[name] = (int(section), int(offset))
    return found


def rva_of(pe, section, offset):
    return pe.sections[section - 1][0] + offset


def function_rva(pe, pdb, function):
    exports, _ = pe.exports()
    if function in exports:
        directory = pe.offset(pe.directories[0][0])
        functions_rva = int.from_bytes(pe.data[directory + 28: directory + 32], "little")
        base = int.from_bytes(pe.data[directory + 16: directory + 20], "little")
        at = pe.offset(functions_rva) + 4 * (exports[function] - base)
        return int.from_bytes(pe.data[at: at + 4], "little")
    table = publics(pdb)
    # x86 decorates C names with a leading underscore.
    for name in (function, "_" + function):
        if name in table:
            return rva_of(pe, *table[name])
    return None


def symbolize(folder, binary, rva):
    out = run("llvm-symbolizer", "--obj=" + binary, "--relative-address", hex(rva), cwd=folder)
    lines = out.strip().splitlines()
    return (lines + ["", ""])[:2]


def main():
    args = sys.argv[1:]
    guard = "--stack-guard" in args
    args = [a for a in args if a != "--stack-guard"]
    if len(args) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    binary, pdb, function, source = args
    problems = []
    pe = PE(open(binary, "rb").read())

    directory = debug_directory(binary)
    summary = pdb_summary(pdb)
    if directory is None:
        problems.append("%s has no CodeView record in its debug directory" % binary)
    elif summary is None:
        problems.append("llvm-pdbutil reads no GUID and age from %s" % pdb)
    else:
        guid, age, name = directory
        if name != os.path.basename(pdb):
            problems.append("the debug directory names %r, not the file name %r alone" %
                            (name, os.path.basename(pdb)))
        if (guid, age) != summary:
            problems.append("the binary wants PDB %s age %d; %s is %s age %d" %
                            (guid, age, pdb, summary[0], summary[1]))

    rva = function_rva(pe, pdb, function)
    if rva is None:
        problems.append("%s is neither exported nor a public symbol of the PDB" % function)
    else:
        scratch = tempfile.mkdtemp()
        try:
            shutil.copy(binary, scratch)
            shutil.copy(pdb, scratch)
            local = os.path.basename(binary)
            # Past the function's first bytes, inside its body.
            name, where = symbolize(scratch, local, rva + 16)
            line = re.fullmatch(r"(.*)[\\/]([^\\/]+):(\d+):\d+", where)
            if name != function or not line or line.group(2) != source or int(line.group(3)) == 0:
                problems.append("through the PDB, %s+16 resolves to %r at %r; want %s in %s, "
                                "with a line" % (function, name, where, function, source))
            else:
                print("check_pdb: %s+16 is %s:%s through %s" % (function, source, line.group(3),
                                                              os.path.basename(pdb)))
            os.remove(os.path.join(scratch, os.path.basename(pdb)))
            name, where = symbolize(scratch, local, rva + 16)
            if name != "??":
                problems.append("without its PDB %s still resolves to %r at %r: the lines do "
                                "not come from the PDB" % (function, name, where))
        finally:
            shutil.rmtree(scratch)

    if guard:
        table = publics(pdb)
        fail = table.get("__stack_chk_fail") or table.get("___stack_chk_fail")
        if fail is None:
            problems.append("no __stack_chk_fail in %s" % pdb)
        else:
            target = rva_of(pe, *fail)
            base = int(re.search(r"ImageBase: (0x[0-9A-F]+)",
                                 run("llvm-readobj", "--file-headers", binary)).group(1), 16)
            code = run("llvm-objdump", "-d", "--no-show-raw-insn", binary)
            calls = re.findall(r"\bcall[lq]?\s+0x0*%x\b" % (base + target), code)
            if not calls:
                problems.append("no call to __stack_chk_fail (%#x) in %s" % (base + target, binary))
            else:
                print("check_pdb: %d calls to __stack_chk_fail in %s" % (len(calls), binary))

    for p in problems:
        print("check_pdb: " + p, file=sys.stderr)
    if not problems:
        print("check_pdb: %s and %s belong together" % (binary, pdb))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
