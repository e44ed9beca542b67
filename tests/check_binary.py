#!/usr/bin/env python3
"""Checks the built library's boundary: exactly the seven exports (at their ordinals, in the
DLL), the DLL's machine type, imports and version resource (kesta-login.exe has one too),
and the shared object's soname. The 32-bit DLL (PE32, i386) and the 64-bit one (PE32+,
x86-64) are held to the same boundary, and `same` compares two DLLs with each other: the
same exports at the same ordinals, the same imported DLLs, and the same WinINet calls.

Every Windows binary that ships (the DLL, and kesta-login.exe with `exe`) must also be
hardened: ASLR (DYNAMIC_BASE, with relocations to move it), DEP (NX_COMPAT),
HIGH_ENTROPY_VA on x64, no section both writable and executable, and on x86 NO_SEH, as long
as no code registers an SEH handler.

  check_binary.py dll PATH i386|x86-64 [VERSION]
  check_binary.py exe PATH i386|x86-64 [VERSION]
  check_binary.py same DLL DLL
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
VERSION = 0x00010000
# What each kind of shipped binary imports (the static runtime: nothing from MinGW's runtime
# DLLs), its VS_FIXEDFILEINFO.dwFileType, and its file name.
KINDS = {
    "dll": ({"kernel32.dll", "wininet.dll", "msvcrt.dll"}, 2, "kesta.dll"),
    "exe": ({"kernel32.dll", "msvcrt.dll", "kesta.dll"}, 1, "kesta-login.exe"),
}
# IMAGE_FILE_HEADER.Machine, and the optional header's magic that goes with
# it: PE32 for i386, PE32+ (64-bit fields) for x86-64.
MACHINES = {"i386": (0x14C, 0x10B), "x86-64": (0x8664, 0x20B)}

# IMAGE_DLLCHARACTERISTICS_* and IMAGE_SCN_* bits.
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x20, 0x40, 0x100, 0x400
SCN_CODE, SCN_EXECUTE, SCN_WRITE = 0x20, 0x20000000, 0x80000000
# x86 code that writes fs:[0], the head of the thread's SEH chain: "mov
# fs:[0], eax" (64 A3 00000000) and "mov fs:[0], reg" (64 89 /r with a
# 32-bit displacement and no base, ModRM 05, 0D, ... 3D).
SEH_REGISTRATIONS = [b"\x64\xa3\x00\x00\x00\x00"] + [
    b"\x64\x89" + bytes([0x05 | reg << 3]) + b"\x00\x00\x00\x00" for reg in range(8)
]


class PE:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe : pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine, sections = struct.unpack_from("<HH", data, pe + 4)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        # At the same offset in PE32 and PE32+.
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        # PE32+ widens ImageBase and the four stack and heap sizes to 8 bytes
        # and drops BaseOfData: the data directories start 16 bytes later.
        if self.magic not in (0x10B, 0x20B):
            raise ValueError("optional header magic %#x is neither PE32 nor PE32+" % self.magic)
        self.thunk = 4 if self.magic == 0x10B else 8
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.directories = [
            struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)
        ]
        # (RVA, size, file offset, characteristics, raw bytes) of each section
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.sections.append((va, max(vsize, rawsize), raw, flags, data[raw : raw + rawsize]))

    def offset(self, rva):
        for va, size, raw, _, _ in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %x outside every section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start : self.data.index(b"\0", start)].decode()

    def exports(self):
        """({name: ordinal}, number of functions, {name: RVA where it starts})"""
        rva, _ = self.directories[0]
        if rva == 0:
            return {}, 0, {}
        d = self.offset(rva)
        base, functions, names, functions_rva, names_rva, ordinals_rva = struct.unpack_from(
            "<IIIIII", self.data, d + 16
        )
        ordinals, starts = {}, {}
        for i in range(names):
            name_rva = struct.unpack_from("<I", self.data, self.offset(names_rva) + 4 * i)[0]
            index = struct.unpack_from("<H", self.data, self.offset(ordinals_rva) + 2 * i)[0]
            name = self.cstring(name_rva)
            ordinals[name] = base + index
            starts[name] = struct.unpack_from("<I", self.data,
                                              self.offset(functions_rva) + 4 * index)[0]
        return ordinals, functions, starts

    def imports(self):
        """{dll name, lower case: set of imported names (or "#ordinal")}"""
        rva, _ = self.directories[1]
        d = self.offset(rva)
        out = {}
        by_ordinal = 1 << (8 * self.thunk - 1)
        thunk_format = "<I" if self.thunk == 4 else "<Q"
        while True:
            entry = struct.unpack_from("<IIIII", self.data, d)
            if entry == (0, 0, 0, 0, 0):
                return out
            names = out.setdefault(self.cstring(entry[3]).lower(), set())
            # The lookup table, or the address table where there is none.
            at = self.offset(entry[0] or entry[4])
            while True:
                thunk = struct.unpack_from(thunk_format, self.data, at)[0]
                if thunk == 0:
                    break
                if thunk & by_ordinal:
                    names.add("#%d" % (thunk & 0xFFFF))
                else:
                    names.add(self.cstring((thunk & 0x7FFFFFFF) + 2))  # past the hint
                at += self.thunk
            d += 20

    def fixed_file_info(self):
        """(file version, dwFileType) of VS_FIXEDFILEINFO, found by its signature, or None."""
        at = self.data.find(struct.pack("<I", 0xFEEF04BD))
        if at < 0:
            return None
        ms, ls = struct.unpack_from("<II", self.data, at + 8)
        file_type = struct.unpack_from("<I", self.data, at + 36)[0]
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), file_type

    def version_string(self, key):
        """A value of the StringFileInfo block (UTF-16, after the key, its
        NUL and padding to four bytes), or None."""
        name = (key + "\0").encode("utf-16-le")
        at = self.data.find(name)
        if at < 0:
            return None
        at += len(name)
        at += (4 - at % 4) % 4
        end = at
        while self.data[end : end + 2] != b"\0\0":
            end += 2
        return self.data[at:end].decode("utf-16-le")


def hardening_problems(pe):
    """What a shipped binary lacks. NO_SEH is required on x86 exactly when no code
    registers an SEH handler (with one, it would be a lie); x64 unwinds through .pdata,
    where the flag has no place."""
    wide = pe.magic == 0x20B
    bits = [("DYNAMIC_BASE", DYNAMIC_BASE), ("NX_COMPAT", NX_COMPAT)]
    if wide:
        bits.append(("HIGH_ENTROPY_VA", HIGH_ENTROPY_VA))
    problems = [name for name, bit in bits if not pe.dll_characteristics & bit]
    if not (pe.directories[5][0] and pe.directories[5][1]):
        problems.append("relocations")
    if any(f & SCN_WRITE and f & SCN_EXECUTE for _, _, _, f, _ in pe.sections):
        problems.append("no W+X section")
    if not wide:
        code = b"".join(raw for _, _, _, f, raw in pe.sections if f & (SCN_CODE | SCN_EXECUTE))
        seh = any(pattern in code for pattern in SEH_REGISTRATIONS)
        no_seh = bool(pe.dll_characteristics & NO_SEH)
        if no_seh == seh:
            problems.append("NO_SEH is %s but an SEH handler is %s" % (
                "set" if no_seh else "not set", "registered" if seh else "not"))
    return ["not hardened: " + p for p in problems]


def check(kind, path, machine, release=None):
    """What keeps the binary at PATH, a "dll" or an "exe", from being what ships for MACHINE:
    its machine, exports (the DLL's), imports, version resource (the version constant's
    major and minor, the release's full version when given, the file type and name) and
    hardening."""
    imports_wanted, file_type, name = KINDS[kind]
    problems = []
    pe = PE(open(path, "rb").read())
    want_machine, want_magic = MACHINES[machine]
    if pe.machine != want_machine:
        problems.append("machine %#x is not %s (%#x)" % (pe.machine, machine, want_machine))
    if pe.magic != want_magic:
        problems.append("optional header magic %#x, want %#x for %s"
                        % (pe.magic, want_magic, machine))
    exports, functions, _ = pe.exports()
    if kind == "dll" and (exports != EXPORTS or functions != len(EXPORTS)):
        problems.append("exports %s, %d functions; want %s" % (exports, functions, EXPORTS))
    imports = set(pe.imports())
    if imports != imports_wanted:
        problems.append("imports %s; want %s" % (sorted(imports), sorted(imports_wanted)))
    info = pe.fixed_file_info()
    if info is None:
        return problems + ["no VERSIONINFO resource"] + hardening_problems(pe)
    version = info[0]
    if version[:2] != (VERSION >> 16, VERSION & 0xFFFF):
        problems.append("file version %s does not match the version constant" % (version,))
    elif release is not None and version != tuple(map(int, release.split("."))) + (0,):
        problems.append("file version %s is not the release's, %s" % (version, release))
    if info[1] != file_type:
        problems.append("file type %s in the version resource, want %d" % (info[1], file_type))
    if pe.version_string("OriginalFilename") != name:
        problems.append("OriginalFilename %r, want %r"
                        % (pe.version_string("OriginalFilename"), name))
    return problems + hardening_problems(pe)


def check_same(first, second):
    """What the library's own code decides must not depend on the
    architecture: exports and ordinals, the DLLs imported, and the WinINet
    calls. Kernel32 and msvcrt imports also come from the static runtime,
    which differs between the two toolchains, so those are only shown."""
    problems = []
    a, b = PE(open(first, "rb").read()), PE(open(second, "rb").read())
    if a.exports()[:2] != b.exports()[:2]:
        problems.append("exports differ: %s against %s" % (a.exports()[:2], b.exports()[:2]))
    ia, ib = a.imports(), b.imports()
    if set(ia) != set(ib):
        problems.append("imported DLLs differ: %s against %s" % (sorted(ia), sorted(ib)))
    wa, wb = ia.get("wininet.dll", set()), ib.get("wininet.dll", set())
    if wa != wb or not wa:
        problems.append("WinINet imports differ: %s against %s" % (sorted(wa), sorted(wb)))
    for dll in sorted(set(ia) & set(ib) - {"wininet.dll"}):
        only_a, only_b = sorted(ia[dll] - ib[dll]), sorted(ib[dll] - ia[dll])
        if only_a or only_b:
            print("check_binary: runtime imports from %s only in the first: %s; only in the "
                  "second: %s" % (dll, ", ".join(only_a) or "-", ", ".join(only_b) or "-"))
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
    args = sys.argv[1:]
    if args[:1] in (["dll"], ["exe"]) and len(args) in (3, 4) and args[2] in MACHINES:
        problems = check(*args)
        ok = "%s is what ships as %s for %s: boundary, version resource, hardened" % (
            args[1], KINDS[args[0]][2], args[2])
    elif args[:1] == ["same"] and len(args) == 3:
        problems = check_same(args[1], args[2])
        ok = "%s and %s export and import the same names" % (args[1], args[2])
    elif args[:1] == ["so"] and len(args) == 2:
        problems = check_so(args[1])
        ok = "%s has exactly the library's boundary" % args[1]
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for p in problems:
        print("check_binary: " + p, file=sys.stderr)
    if not problems:
        print("check_binary: " + ok)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
