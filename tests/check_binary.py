#!/usr/bin/env python3
"""Checks the built library's boundary: exactly the seven exports (at their
ordinals, in the DLL), the DLL's imports and version resource, and the
shared object's soname.

  check_binary.py dll PATH
  check_binary.py so PATH
"""

import struct
import subprocess
import sys

EXPORTS = {
    "_KESTA_GETERRORCODE": 1,
    "_KESTA_GETERRORSTRING": 2,
    "_KESTA_GETSESSIONID": 3,
    "_KESTA_GETUSERAGENT": 4,
    "_KESTA_GETVERSION": 5,
    "_KESTA_LOGIN": 6,
    "_KESTA_RELEASE": 7,
}
# Static libgcc and libstdc++: nothing from MinGW's runtime DLLs.
IMPORTS = {"kernel32.dll", "wininet.dll", "msvcrt.dll"}
VERSION = 0x00010000


class PE:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe : pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine, sections = struct.unpack_from("<HH", data, pe + 4)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic != 0x10B:
            raise ValueError("not a 32-bit image")
        self.directories = [
            struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(16)
        ]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, va, rawsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((va, max(vsize, rawsize), raw))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %x outside every section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start : self.data.index(b"\0", start)].decode()

    def exports(self):
        rva, _ = self.directories[0]
        if rva == 0:
            return {}, 0
        d = self.offset(rva)
        base, functions, names, functions_rva, names_rva, ordinals_rva = struct.unpack_from(
            "<IIIIII", self.data, d + 16
        )
        out = {}
        for i in range(names):
            name_rva = struct.unpack_from("<I", self.data, self.offset(names_rva) + 4 * i)[0]
            index = struct.unpack_from("<H", self.data, self.offset(ordinals_rva) + 2 * i)[0]
            out[self.cstring(name_rva)] = base + index
        return out, functions

    def imports(self):
        rva, _ = self.directories[1]
        d = self.offset(rva)
        out = set()
        while True:
            entry = struct.unpack_from("<IIIII", self.data, d)
            if entry == (0, 0, 0, 0, 0):
                return out
            out.add(self.cstring(entry[3]).lower())
            d += 20

    def file_version(self):
        # VS_FIXEDFILEINFO starts with its signature, then the struct version.
        at = self.data.find(struct.pack("<I", 0xFEEF04BD))
        if at < 0:
            return None
        ms, ls = struct.unpack_from("<II", self.data, at + 8)
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def check_dll(path):
    problems = []
    pe = PE(open(path, "rb").read())
    if pe.machine != 0x14C:
        problems.append("machine %#x is not i386" % pe.machine)
    exports, functions = pe.exports()
    if exports != EXPORTS or functions != len(EXPORTS):
        problems.append("exports %s, %d functions; want %s" % (exports, functions, EXPORTS))
    imports = pe.imports()
    if imports != IMPORTS:
        problems.append("imports %s; want %s" % (sorted(imports), sorted(IMPORTS)))
    version = pe.file_version()
    if version is None:
        problems.append("no VERSIONINFO resource")
    elif version != (VERSION >> 16, VERSION & 0xFFFF, 0, 0):
        problems.append("file version %s does not match the version constant" % (version,))
    return problems


def check_so(path):
    problems = []
    out = subprocess.run(
        ["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    if symbols != set(EXPORTS):
        problems.append("exports %s; want %s" % (sorted(symbols), sorted(EXPORTS)))
    dynamic = subprocess.run(
        ["objdump", "-p", path], capture_output=True, text=True, check=True
    ).stdout
    if "SONAME               libkesta.so.1" not in dynamic:
        problems.append("soname is not libkesta.so.1")
    return problems


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("dll", "so"):
        print(__doc__, file=sys.stderr)
        return 2
    problems = (check_dll if sys.argv[1] == "dll" else check_so)(sys.argv[2])
    for p in problems:
        print("check_binary: " + p, file=sys.stderr)
    if not problems:
        print("check_binary: %s has exactly the library's boundary" % sys.argv[2])
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
