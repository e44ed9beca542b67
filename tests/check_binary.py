#!/usr/bin/env python3
"""Checks the built library's boundary: exactly the seven exports (at their
ordinals, in the DLL), the DLL's machine type, imports and version
resource (kesta-login.exe has one too), and the shared object's soname. The 32-bit DLL (PE32, i386) and
the 64-bit one (PE32+, x86-64) are held to the same boundary, and `same`
compares two DLLs with each other: the same exports at the same ordinals,
the same imported DLLs, and the same WinINet calls.

Every Windows binary that ships (the DLL, and kesta-login.exe with `exe`)
must also be hardened: ASLR (DYNAMIC_BASE, with relocations to move it),
DEP (NX_COMPAT), HIGH_ENTROPY_VA on x64, no section both writable and
executable, and on x86 NO_SEH, as long as no code registers an SEH handler.
`hardening` prints these as a table.

  check_binary.py dll PATH i386|x86-64 [VERSION]
  check_binary.py exe PATH i386|x86-64 [VERSION]
  check_binary.py hardening PATH...
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
# Static libgcc and libstdc++: nothing from MinGW's runtime DLLs.
IMPORTS = {"kernel32.dll", "wininet.dll", "msvcrt.dll"}
VERSION = 0x00010000
# VS_FIXEDFILEINFO.dwFileType.
VFT_APP, VFT_DLL = 1, 2
# kesta-login.exe: the static runtime and the library.
EXE_IMPORTS = {"kernel32.dll", "msvcrt.dll", "kesta.dll"}
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
        if self.magic == 0x10B:
            directories, self.thunk = optional + 96, 4
        elif self.magic == 0x20B:
            directories, self.thunk = optional + 112, 8
        else:
            raise ValueError("optional header magic %#x is neither PE32 nor PE32+" % self.magic)
        self.directories = [
            struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)
        ]
        self.sections = []
        self.section_flags = []  # (name, characteristics, raw bytes)
        table = optional + optional_size
        for i in range(sections):
            name, vsize, va, rawsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((va, max(vsize, rawsize), raw))
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.section_flags.append((name.rstrip(b"\0").decode(errors="replace"), flags,
                                       data[raw : raw + rawsize]))

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

    def export_rva(self, name):
        """Where the exported function NAME starts (an RVA), or None when it is not
        exported."""
        exports, _ = self.exports()
        if name not in exports:
            return None
        d = self.offset(self.directories[0][0])
        base = struct.unpack_from("<I", self.data, d + 16)[0]
        functions_rva = struct.unpack_from("<I", self.data, d + 28)[0]
        return struct.unpack_from("<I", self.data,
                                  self.offset(functions_rva) + 4 * (exports[name] - base))[0]

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

    def file_version(self):
        # VS_FIXEDFILEINFO starts with its signature, then the struct version.
        at = self.data.find(struct.pack("<I", 0xFEEF04BD))
        if at < 0:
            return None
        ms, ls = struct.unpack_from("<II", self.data, at + 8)
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    def file_type(self):
        """VS_FIXEDFILEINFO.dwFileType: 1 for a program, 2 for a DLL."""
        at = self.data.find(struct.pack("<I", 0xFEEF04BD))
        return None if at < 0 else struct.unpack_from("<I", self.data, at + 36)[0]

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


    def hardening(self):
        """{property: True/False, or None where it does not apply}"""
        wide = self.magic == 0x20B
        flags = self.dll_characteristics
        code = b"".join(raw for _, f, raw in self.section_flags if f & (SCN_CODE | SCN_EXECUTE))
        seh = None if wide else any(pattern in code for pattern in SEH_REGISTRATIONS)
        return {
            "DYNAMIC_BASE": bool(flags & DYNAMIC_BASE),
            "NX_COMPAT": bool(flags & NX_COMPAT),
            "HIGH_ENTROPY_VA": bool(flags & HIGH_ENTROPY_VA) if wide else None,
            "relocations": self.directories[5][0] != 0 and self.directories[5][1] > 0,
            "no W+X section": not any(
                f & SCN_WRITE and f & SCN_EXECUTE for _, f, _ in self.section_flags
            ),
            # x64 unwinds through .pdata, where the flag has no place.
            "NO_SEH": bool(flags & NO_SEH) if not wide else None,
            "SEH handler": seh,
        }


def hardening_problems(pe):
    """What a shipped binary lacks. NO_SEH is required on x86 exactly when
    no code registers an SEH handler (with one, it would be a lie)."""
    h = pe.hardening()
    problems = [name for name in ("DYNAMIC_BASE", "NX_COMPAT", "relocations", "no W+X section")
                if not h[name]]
    if h["HIGH_ENTROPY_VA"] is False:
        problems.append("HIGH_ENTROPY_VA")
    if h["NO_SEH"] is not None and h["NO_SEH"] == h["SEH handler"]:
        problems.append("NO_SEH is %s but an SEH handler is %s" % (
            "set" if h["NO_SEH"] else "not set", "registered" if h["SEH handler"] else "not"))
    return ["not hardened: " + p for p in problems]


def version_problems(pe, release, file_type, name):
    """The version resource: the version constant's major and minor, the
    release's full version when given, the file type and the file name."""
    problems = []
    version = pe.file_version()
    if version is None:
        return ["no VERSIONINFO resource"]
    if version[:2] != (VERSION >> 16, VERSION & 0xFFFF):
        problems.append("file version %s does not match the version constant" % (version,))
    elif release is not None and version != tuple(map(int, release.split("."))) + (0,):
        problems.append("file version %s is not the release's, %s" % (version, release))
    if pe.file_type() != file_type:
        problems.append("file type %s in the version resource, want %d" % (pe.file_type(), file_type))
    if pe.version_string("OriginalFilename") != name:
        problems.append("OriginalFilename %r, want %r" % (pe.version_string("OriginalFilename"), name))
    return problems


def check_exe(path, machine, release=None):
    problems = []
    pe = PE(open(path, "rb").read())
    want_machine, want_magic = MACHINES[machine]
    if (pe.machine, pe.magic) != (want_machine, want_magic):
        problems.append("machine %#x, magic %#x: not %s" % (pe.machine, pe.magic, machine))
    imports = set(pe.imports())
    if imports != EXE_IMPORTS:
        problems.append("imports %s; want %s" % (sorted(imports), sorted(EXE_IMPORTS)))
    problems += version_problems(pe, release, VFT_APP, "kesta-login.exe")
    return problems + hardening_problems(pe)


def hardening_table(paths):
    rows = [(path, PE(open(path, "rb").read()).hardening()) for path in paths]
    names = list(rows[0][1])
    show = {True: "yes", False: "no", None: "-"}
    print("| file | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    for path, h in rows:
        print("| %s | %s |" % (path, " | ".join(show[h[n]] for n in names)))
    return []


def check_dll(path, machine, release=None):
    problems = []
    pe = PE(open(path, "rb").read())
    want_machine, want_magic = MACHINES[machine]
    if pe.machine != want_machine:
        problems.append("machine %#x is not %s (%#x)" % (pe.machine, machine, want_machine))
    if pe.magic != want_magic:
        problems.append("optional header magic %#x, want %#x for %s" % (pe.magic, want_magic, machine))
    exports, functions = pe.exports()
    if exports != EXPORTS or functions != len(EXPORTS):
        problems.append("exports %s, %d functions; want %s" % (exports, functions, EXPORTS))
    imports = set(pe.imports())
    if imports != IMPORTS:
        problems.append("imports %s; want %s" % (sorted(imports), sorted(IMPORTS)))
    problems += version_problems(pe, release, VFT_DLL, "kesta.dll")
    return problems + hardening_problems(pe)


def check_same(first, second):
    """What the library's own code decides must not depend on the
    architecture: exports and ordinals, the DLLs imported, and the WinINet
    calls. Kernel32 and msvcrt imports also come from the static runtime,
    which differs between the two toolchains, so those are only shown."""
    problems = []
    a, b = PE(open(first, "rb").read()), PE(open(second, "rb").read())
    if a.exports() != b.exports():
        problems.append("exports differ: %s against %s" % (a.exports(), b.exports()))
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
    if args[:1] == ["dll"] and len(args) in (3, 4) and args[2] in MACHINES:
        problems = check_dll(*args[1:])
        ok = "%s has exactly the library's boundary for %s, hardened" % (args[1], args[2])
    elif args[:1] == ["exe"] and len(args) in (3, 4) and args[2] in MACHINES:
        problems = check_exe(*args[1:])
        ok = "%s imports what it should for %s, has its version resource, hardened" % (
            args[1], args[2])
    elif args[:1] == ["hardening"] and len(args) >= 2:
        problems = hardening_table(args[1:])
        ok = "(table only)"
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
