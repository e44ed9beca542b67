#!/usr/bin/env python3
"""The release packages, checked the way their users meet them, inside the test network
(scripts/testnet) as `make test` runs it: python3 tests/dist_test.py [CHECK...]

With CHECK names only those checks run; a name that is no check gets the list. Each check
says in its docstring what it covers, prints "dist_test: ok: CHECK: ..." for what it found
right and "dist_test: FAIL: CHECK: ..." for what it found wrong, and fails with any error it
stops on. The run ends with the count, and exits 1 on any failure.
"""

import collections
import difflib
import filecmp
import functools
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import uuid
import xml.etree.ElementTree as ET
import zipfile
import zlib
from pathlib import Path

import check_binary

TOP = Path(__file__).resolve().parent.parent
CONSUMER_C = TOP / "tests" / "dist" / "consumer.c"
# The README shows the CMake consumer's lines after this line, indented as code; the
# find_package consumers are built from exactly those lines.
README_MARKER = "<!-- The CMake consumer of tests/dist_test.py -->"

# A Windows architecture: its zip's name, PE machine (check_binary), clang's MSVC target,
# MinGW's triple, llvm-dlltool's machine, the test preset of its bitness, CMake's processor
# name, and the Kernel32 names the consumer imports (x86 adds stdcall's argument bytes).
Arch = collections.namedtuple(
    "Arch", "name machine target mingw dlltool preset processor kernel32")
ARCHES = [
    Arch("x86", "i386", "i686-pc-windows-msvc", "i686-w64-mingw32", "i386", "win32", "X86",
         ("GetStdHandle@4", "WriteFile@20", "ExitProcess@4")),
    Arch("x64", "x86-64", "x86_64-pc-windows-msvc", "x86_64-w64-mingw32", "i386:x86-64",
         "win64", "AMD64", ("GetStdHandle", "WriteFile", "ExitProcess")),
]
ARCH = {arch.name: arch for arch in ARCHES}

ZIP_MEMBERS = sorted([
    "CHANGELOG.md", "LICENSE", "README.md", "bin/kesta-login.exe", "bin/kesta-login.pdb",
    "bin/kesta.dll", "bin/kesta.pdb", "debug/kesta.dll.debug", "include/kesta.h",
    "lib/cmake/kesta/kestaConfig.cmake", "lib/cmake/kesta/kestaConfigVersion.cmake",
    "lib/kesta.def", "lib/kesta.lib", "lib/libkesta.dll.a", "lib/pkgconfig/kesta.pc",
])
# Stripped, kesta.dll is well under this; with its DWARF symbols it is over twice this.
STRIPPED_DLL_BYTES = 102400

# Each shipped binary, its PDB, a function in it, that function's source file, and whether
# its code must call the stack guard.
PDBS = [("kesta.dll", "kesta.pdb", "_KESTA_LOGIN", "login.cpp", True),
        ("kesta-login.exe", "kesta-login.pdb", "main", "kesta-login.cpp", False)]

# What tests/dist/consumer.c prints after its login to the test server.
LOGGED_IN = "session ID: KelpinUA:abc123\nuser agent: KelpinUA"

# A Visual Studio platform name, and the zip whose DLL and kesta.lib it must get.
Platform = collections.namedtuple("Platform", "name arch")
NUGET_PLATFORMS = [Platform("Win32", "x86"), Platform("x86", "x86"), Platform("x64", "x64")]

DEBS = ["libkesta1", "libkesta-dev", "kesta-login", "libkesta1-dbgsym"]
# A Debian package, what dpkg-deb shows of it (-f FIELD: a control field, -I FILE: a
# control file, -c: its files), and what that must hold (VERSION is the release's).
DEB_FIELDS = [
    ("libkesta1", "-f Depends", "libcurl4"),
    ("libkesta1", "-f Depends", "libssl3"),
    ("libkesta1", "-I shlibs", "libkesta 1 libkesta1 (>= VERSION)"),
    ("libkesta1", "-I triggers", "activate-noawait ldconfig"),
    ("libkesta1", "-c", "./usr/lib/x86_64-linux-gnu/libkesta.so.VERSION"),
    ("libkesta-dev", "-f Depends", "libkesta1 (= VERSION)"),
    ("libkesta-dev", "-c", "./usr/lib/x86_64-linux-gnu/pkgconfig/kesta.pc"),
    ("libkesta-dev", "-c", "./usr/lib/x86_64-linux-gnu/cmake/kesta/kestaConfig.cmake"),
    ("libkesta-dev", "-c", "./usr/include/kesta.h"),
    ("kesta-login", "-f Depends", "libkesta1 (>= VERSION)"),
    ("kesta-login", "-c", "./usr/share/man/man1/kesta-login.1.gz"),
    ("kesta-login", "-c", "./usr/bin/kesta-login"),
    ("libkesta1-dbgsym", "-f Depends", "libkesta1 (= VERSION)"),
    ("libkesta1-dbgsym", "-f Section", "debug"),
    ("libkesta1-dbgsym", "-f Auto-Built-Package", "debug-symbols"),
    ("libkesta1-dbgsym", "-c", "./usr/lib/debug/.build-id/"),
]
MULTIARCH_LIB = "usr/lib/x86_64-linux-gnu"


class Failed(Exception):
    """A step that a check needs went wrong: the check fails with this message."""


class Report:
    """Prints each finding under the check (and row) that made it, and counts them."""
    label, passed, failed = "scripts/dist", 0, 0

    def ok(self, message):
        self.passed += 1
        print(f"dist_test: ok: {self.label}: {message}", flush=True)

    def fail(self, message, details=""):
        self.failed += 1
        print(f"dist_test: FAIL: {self.label}: {message}\n{details}".rstrip(), file=sys.stderr,
              flush=True)

    def expect(self, good, ok, bad, details=""):
        """OK when GOOD, else a failure saying BAD, with DETAILS below it."""
        if good:
            self.ok(ok)
        else:
            self.fail(bad, details)


report = Report()


def run(*args, check=True, **options):
    """Runs a program and returns it finished, with its stdout and stderr as text; with
    check, a failure raises Failed with all it said."""
    args = [str(a) for a in args]
    done = subprocess.run(args, **{"stdout": subprocess.PIPE, "stderr": subprocess.PIPE,
                                   "text": True, **options})
    if check and done.returncode != 0:
        raise Failed(f"{' '.join(args)} exited with {done.returncode}:\n"
                     f"{done.stdout}{done.stderr or ''}")
    return done


def attempt(*args, **options):
    """Runs a program that may fail: whether it exited 0, and all it printed."""
    done = run(*args, check=False, stderr=subprocess.STDOUT, **options)
    return done.returncode == 0, done.stdout


def env(**names):
    """This process's environment with NAMES set."""
    return {**os.environ, **{name: str(value) for name, value in names.items()}}


def first(pattern, text):
    """The first group of PATTERN's first match in TEXT, or ""."""
    found = re.search(pattern, text, re.M)
    return found[1] if found else ""


def dist(out, build, top=TOP, **signing):
    """scripts/dist of the checkout at TOP into OUT, built in BUILD."""
    run(top / "scripts" / "dist", out, env=env(KESTA_DIST_BUILD=build, **signing))


class Release:
    """The release built from this checkout into a scratch folder, and what the checks make
    of it, each made once, when a check first needs it."""

    def __init__(self, work):
        self.work = Path(work)
        self.folder = self.work / "a"
        dist(self.folder, TOP / "build" / "dist")
        cache = (TOP / "build" / "dist" / "deb" / "CMakeCache.txt").read_text()
        self.version = first(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache)

    def zip(self, arch, folder=None, suffix="-unsigned"):
        return (folder or self.folder) / f"kesta-{self.version}-windows-{arch.name}{suffix}.zip"

    def deb(self, package):
        return self.folder / f"{package}_{self.version}_amd64.deb"

    @functools.cache
    def unpacked(self, arch):
        """The unsigned zip of ARCH, unpacked as a user unpacks it."""
        with zipfile.ZipFile(self.zip(arch)) as z:
            z.extractall(self.work / f"unpacked-{arch.name}")
        return self.work / f"unpacked-{arch.name}"

    @functools.cache
    def elsewhere(self):
        """The release from a copy of this checkout (without its build and dist folders) in
        another folder, built in another build folder outside it."""
        copy = self.work / "elsewhere" / "kesta-copy"
        shutil.copytree(TOP, copy, symlinks=True, ignore=lambda folder, names:
                        {"build", "dist"} if folder == str(TOP) else ())
        dist(self.work / "b", self.work / "elsewhere" / "out-of-tree", top=copy)
        return self.work / "b"

    @functools.cache
    def kernel32(self, arch):
        """An import library of the Kernel32 functions the consumer calls, made from a .def
        as kesta.lib is: there is no C runtime for the MSVC target here."""
        definition, library = (self.work / f"kernel32-{arch.name}.{e}" for e in ("def", "lib"))
        definition.write_text("LIBRARY KERNEL32.dll\nEXPORTS\n" + "\n".join(arch.kernel32) + "\n")
        run("llvm-dlltool", "-m", arch.dlltool, "-k", "-d", definition, "-l", library)
        return library

    @functools.cache
    def msvc_toolchain(self, arch):
        """A CMake toolchain file for clang-cl and lld-link, Visual Studio's kind of build."""
        path = self.work / f"msvc-{arch.name}.cmake"
        path.write_text("".join(f"set({line})\n" for line in [
            "CMAKE_SYSTEM_NAME Windows", f"CMAKE_SYSTEM_PROCESSOR {arch.processor}",
            "CMAKE_C_COMPILER clang-cl-14", f"CMAKE_C_COMPILER_TARGET {arch.target}",
            "CMAKE_LINKER lld-link", "CMAKE_AR llvm-lib", "CMAKE_RC_COMPILER llvm-rc",
            "CMAKE_MT llvm-mt", "CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY",
            'CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING ""',
            "CMAKE_EXE_LINKER_FLAGS_INIT /MANIFEST:NO"]))
        return path

    @functools.cache
    def cmake_consumer(self):
        """A CMake project of consumer.c around the README's lines for find_package(kesta):
        those after its marker, indented as code, up to the first line of text."""
        block = first(re.escape(README_MARKER) + r"\n((?: {4}.*\n|\n)*)",
                      (TOP / "README.md").read_text())
        shown = [line[4:] for line in block.splitlines()]
        if not any("find_package(kesta" in line for line in shown):
            raise Failed(f"README.md shows no CMake consumer after its marker {README_MARKER!r}")
        folder = self.work / "cmake-consumer"
        folder.mkdir()
        shutil.copy(CONSUMER_C, folder / "app.c")
        # Without a C runtime for the MSVC target here: the start and Kernel32 of the
        # hand-linked program.
        (folder / "CMakeLists.txt").write_text(
            "cmake_minimum_required(VERSION 3.25)\nproject(app LANGUAGES C)\n"
            + "\n".join(shown) + "\nif(CONSUMER_NO_CRT)\n"
            "  target_compile_definitions(app PRIVATE CONSUMER_NO_CRT)\n"
            "  target_compile_options(app PRIVATE /GS-)\n"
            "  target_link_options(app PRIVATE /entry:start /nodefaultlib /subsystem:console)\n"
            "  target_link_libraries(app PRIVATE ${CONSUMER_NO_CRT})\nendif()\n")
        return folder

    @functools.cache
    def nuget_package(self):
        """The NuGet package as nuget installs it from the release folder."""
        run("nuget", "install", "kesta", "-Version", self.version, "-Source", self.folder,
            "-OutputDirectory", self.work / "packages", "-NonInteractive")
        return self.work / "packages" / f"kesta.{self.version}"

    @functools.cache
    def pki(self):
        """A throwaway root with a code-signing leaf under it, and another root."""
        pki = self.work / "pki"
        pki.mkdir(exist_ok=True)
        root = ["-addext", "basicConstraints=critical,CA:true",
                "-addext", "keyUsage=critical,keyCertSign"]
        leaf = ["-CA", pki / "root.pem", "-CAkey", pki / "root.key",
                "-addext", "basicConstraints=CA:false", "-addext",
                "keyUsage=critical,digitalSignature", "-addext", "extendedKeyUsage=codeSigning"]
        for name, options in [("root", root), ("other-root", root), ("leaf", leaf)]:
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", f"/CN=kesta test {name}", "-keyout", pki / f"{name}.key",
                "-out", pki / f"{name}.pem", *options)
        return pki

    @functools.cache
    def signed(self):
        """The release signed with the throwaway leaf, built in this checkout's build folder."""
        pki = self.pki()
        dist(self.work / "signed", TOP / "build" / "dist",
             SIGN_CERT=pki / "leaf.pem", SIGN_KEY=pki / "leaf.key")
        return self.work / "signed"

    @functools.cache
    def deb_root(self):
        """The four Debian packages unpacked into one scratch root."""
        for package in DEBS:
            run("dpkg-deb", "-x", self.deb(package), self.work / "root")
        return self.work / "root"


def same_sums(r):
    """scripts/dist gives the same bytes whatever folder the source and build are in."""
    here = (r.folder / "SHA256SUMS").read_text().splitlines()
    there = (r.elsewhere() / "SHA256SUMS").read_text().splitlines()
    report.expect(here == there, f"two folders, the same SHA256SUMS ({len(here)} packages)",
                  "the packages differ between two folders:", "\n".join(difflib.unified_diff(
                      here, there, "this checkout", "elsewhere", lineterm="")))


def sums_match(r):
    """The release's SHA256SUMS lists sums only, at least one, and each is its file's."""
    matches, said = attempt("sha256sum", "--quiet", "--strict", "-c", "SHA256SUMS", cwd=r.folder)
    report.expect(matches, "SHA256SUMS matches the release's files",
                  "SHA256SUMS does not match the files:", said)


def zip_members(r, arch):
    """The zip holds exactly its files, in order, each with the release's time."""
    when = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))
    with zipfile.ZipFile(r.zip(arch)) as z:
        infos = z.infolist()
    names = [i.filename for i in infos]
    problems = [] if names == ZIP_MEMBERS else [f"members {names}, want {ZIP_MEMBERS}"]
    # DOS times have two-second steps.
    problems += [f"{i.filename} has time {i.date_time}, not the release's {tuple(when[:6])}"
                 for i in infos
                 if i.date_time[:5] != tuple(when[:5]) or abs(i.date_time[5] - when[5]) > 1]
    report.expect(not problems, f"the zip holds exactly its {len(names)} files, with the "
                  "release's time", "zip members: " + "; ".join(problems))


def zip_binaries(r, arch):
    """kesta.dll and kesta-login.exe pass check_binary: the DLL's boundary and imports, the
    program's imports, each one's version resource of this release, and hardening."""
    for name, kind, what in [("kesta.dll", "dll", "the library's boundary"),
                             ("kesta-login.exe", "exe", "its imports")]:
        problems = check_binary.check(kind, r.unpacked(arch) / "bin" / name, arch.machine,
                                      r.version)
        report.expect(not problems, f"{name} has {what} for {arch.machine}, the version "
                      f"resource of {r.version}, hardened", f"{name}: " + "; ".join(problems))


def pdb_problems(binary, pdb, function, source, stack_guard):
    """What keeps BINARY and PDB from belonging together for a debugger (see zip_pdbs), and
    what was found where they do."""
    problems, found = [], []
    pe = check_binary.PE(binary.read_bytes())
    headers = run("llvm-readobj", "--file-headers", "--coff-debug-directory", binary).stdout
    dump = run("llvm-pdbutil", "dump", "--summary", "--publics", pdb, check=False).stdout
    guid, name = first(r"PDBGUID: \(([0-9A-F ]+)\)", headers), first(r"PDBFileName: (.*)", headers)
    identity = first(r"GUID: \{([0-9A-F-]+)\}", dump), first(r"^\s*Age: (\d+)", dump)
    if not guid:
        problems.append(f"{binary} has no CodeView record in its debug directory")
    else:
        # llvm-readobj shows the GUID's bytes, llvm-pdbutil the GUID.
        guid = str(uuid.UUID(bytes_le=bytes.fromhex(guid.replace(" ", "")))).upper()
        age, name = first(r"PDBAge: (\d+)", headers), name.strip()
        if name != pdb.name:
            problems.append(f"the debug directory names {name!r}, not the file name "
                            f"{pdb.name!r} alone")
        if (guid, age) != identity:
            problems.append(f"the binary wants PDB {guid} age {age}; {pdb} is {identity[0]} "
                            f"age {identity[1]}")
        if not problems:
            found.append(f"names {name} with its GUID and age")

    publics = {symbol: pe.sections[int(section) - 1][0] + int(offset)
               for symbol, section, offset in re.findall(
                   r"S_PUB32 \[size = \d+\] `([^`]+)`\s*\n\s*flags = function, addr = (\d+):(\d+)",
                   dump)}
    # x86 decorates C names with a leading underscore.
    rva = pe.exports()[2].get(function) or publics.get(function) or publics.get("_" + function)
    if rva is None:
        problems.append(f"{function} is neither exported nor a public symbol of the PDB")
    else:
        with tempfile.TemporaryDirectory() as scratch:
            def symbolize():
                # Past the function's first bytes, inside its body; the PDB is looked for
                # beside the binary.
                out = run("llvm-symbolizer", "--obj=" + binary.name, "--relative-address",
                          hex(rva + 16), cwd=scratch, check=False).stdout
                return (out.strip().splitlines() + ["", ""])[:2]
            shutil.copy(binary, scratch)
            shutil.copy(pdb, scratch)
            symbol, where = symbolize()
            line = re.fullmatch(r"(.*)[\\/]([^\\/]+):(\d+):\d+", where)
            if symbol != function or not line or line[2] != source or int(line[3]) == 0:
                problems.append(f"through the PDB, {function}+16 resolves to {symbol!r} at "
                                f"{where!r}; want {function} in {source}, with a line")
            else:
                found.append(f"{function}+16 is {source}:{line[3]} through the PDB alone")
            os.remove(os.path.join(scratch, pdb.name))
            symbol, where = symbolize()
            if symbol != "??":
                problems.append(f"without its PDB {function} still resolves to {symbol!r} at "
                                f"{where!r}: the lines do not come from the PDB")

    guard = publics.get("__stack_chk_fail") or publics.get("___stack_chk_fail")
    if stack_guard and guard is None:
        problems.append(f"no __stack_chk_fail in {pdb}")
    elif stack_guard:
        target = int(first(r"ImageBase: (0x[0-9A-F]+)", headers), 16) + guard
        code = run("llvm-objdump", "-d", "--no-show-raw-insn", binary).stdout
        calls = re.findall(r"\bcall[lq]?\s+0x0*%x\b" % target, code)
        if calls:
            found.append(f"{len(calls)} calls to __stack_chk_fail")
        else:
            problems.append(f"no call to __stack_chk_fail ({target:#x}) in {binary}")
    return problems, found


def zip_pdbs(r, arch):
    """Each binary and its PDB belong together for Visual Studio and WinDbg: the debug
    directory names the PDB by file name, with the PDB's GUID and age; through the PDB alone
    a function resolves to its source line, and without it to nothing; the DLL's code calls
    __stack_chk_fail, found by its address in the PDB."""
    for binary, pdb, function, source, stack_guard in PDBS:
        folder = r.unpacked(arch) / "bin"
        problems, found = pdb_problems(folder / binary, folder / pdb, function, source,
                                       stack_guard)
        report.expect(not problems, f"{binary} " + "; ".join(found),
                      f"{binary} and {pdb}: " + "; ".join(problems))


def debuglink(r, arch):
    """The stripped kesta.dll names its DWARF symbols for gdb by .gnu_debuglink: the file
    name debug/kesta.dll.debug and that file's CRC."""
    root, link = r.unpacked(arch), r.work / f"debuglink-{arch.name}"
    run(arch.mingw + "-objcopy", "--dump-section", f".gnu_debuglink={link}",
        root / "bin" / "kesta.dll", r.work / f"debuglink-scratch-{arch.name}")
    data = link.read_bytes()
    name, crc = data[:data.index(b"\0")].decode(), int.from_bytes(data[-4:], "little")
    want = zlib.crc32((root / "debug" / "kesta.dll.debug").read_bytes())
    report.expect(name == "kesta.dll.debug" and crc == want,
                  f"kesta.dll names kesta.dll.debug by .gnu_debuglink, CRC {crc:08x}",
                  f".gnu_debuglink names {name} with CRC {crc:08x}; want kesta.dll.debug, "
                  f"{want:08x}")


def dll_stripped(r, arch):
    """The shipped kesta.dll carries no DWARF symbols: they are in debug/."""
    size = (r.unpacked(arch) / "bin" / "kesta.dll").stat().st_size
    report.expect(size < STRIPPED_DLL_BYTES, f"kesta.dll is stripped ({size} bytes)",
                  f"kesta.dll is not stripped ({size} bytes)")


def header_cl_mode(r, arch):
    """The header as Visual Studio's compiler sees it, as C and as C++17, warnings as
    errors (clang in cl mode; after --, a path that starts with / is no option)."""
    for language in ("/TC", "/TP /std:c++17"):
        passed, said = attempt("clang", "--driver-mode=cl", "--target=" + arch.target, "/W4",
                               "/WX", "/Zs", *language.split(), "-DCONSUMER_NO_CRT",
                               "-I", r.unpacked(arch) / "include", "--", CONSUMER_C)
        report.expect(passed, f"kesta.h passes clang-cl /W4 /WX {language}",
                      f"kesta.h under clang-cl /W4 /WX {language}", said)


def logs_in(kind, program):
    """PROGRAM, a build of consumer.c, logs in to the test server under Wine."""
    said = attempt(TOP / "scripts" / "wine-run", program)[1].replace("\r", "").rstrip("\n")
    report.expect(said == LOGGED_IN, f"a {kind}-linked program logs in through the zip's "
                  "kesta.dll", f"the {kind}-linked program said: {said}")


def msvc_consumer(r, arch):
    """consumer.c built as Visual Studio builds it: clang for the MSVC target, linked by
    lld-link with lib/kesta.lib and no C runtime."""
    root, obj = r.unpacked(arch), r.work / f"consumer-{arch.name}.obj"
    run("clang", "-target", arch.target, "-DCONSUMER_NO_CRT", "-fno-stack-protector", "-O1",
        "-Wall", "-Wextra", "-Werror", "-I", root / "include", "-c", CONSUMER_C, "-o", obj)
    run("lld-link", "/nologo", "/entry:start", "/subsystem:console", "/nodefaultlib",
        f"/out:{root}/bin/msvc-consumer.exe", obj, root / "lib" / "kesta.lib", r.kernel32(arch))
    logs_in("msvc", root / "bin" / "msvc-consumer.exe")


def mingw_consumer(r, arch):
    """consumer.c built by MinGW's GCC with lib/libkesta.dll.a."""
    root = r.unpacked(arch)
    run(arch.mingw + "-gcc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-I", root / "include",
        CONSUMER_C, "-o", root / "bin" / "mingw-consumer.exe", "-L", root / "lib", "-lkesta",
        "-static")
    logs_in("mingw", root / "bin" / "mingw-consumer.exe")


def pc_consumer(r, arch):
    """consumer.c built by MinGW's GCC with the flags of the zip's kesta.pc, and nothing of
    the host's."""
    root = r.unpacked(arch)
    flags = run("pkg-config", "--cflags", "--libs", "kesta", env=env(
        PKG_CONFIG_LIBDIR=root / "lib" / "pkgconfig", PKG_CONFIG_PATH="")).stdout.split()
    built, said = attempt(arch.mingw + "-gcc", "-std=c99", "-Wall", "-Wextra", "-Werror",
                          CONSUMER_C, "-o", root / "bin" / "pc-consumer.exe", "-static", *flags)
    if built:
        logs_in("pc", root / "bin" / "pc-consumer.exe")
    else:
        report.fail("the pkg-config consumer does not build", said)


def cmake_consumers(r, arch):
    """find_package(kesta) with the README's lines under clang-cl with lld-link and under
    MinGW's GCC links their import library, copies kesta.dll, and the program logs in."""
    root = r.unpacked(arch)
    mingw_toolchain = TOP / "cmake" / f"mingw-w64-{arch.mingw.split('-')[0]}.cmake"
    for kind, library, toolchain, extra in [
        ("msvc", "kesta.lib", r.msvc_toolchain(arch), [f"-DCONSUMER_NO_CRT={r.kernel32(arch)}"]),
        ("mingw", "libkesta.dll.a", mingw_toolchain, []),
    ]:
        build = r.work / f"cmake-{kind}-{arch.name}"
        built, log = attempt("cmake", "-S", r.cmake_consumer(), "-B", build, *extra,
                             f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", f"-DCMAKE_PREFIX_PATH={root}")
        if built:
            built, said = attempt("cmake", "--build", build)
            log += said
        dll = build / "kesta.dll"
        if not (built and dll.is_file() and filecmp.cmp(dll, root / "bin" / "kesta.dll", False)):
            report.fail(f"the find_package consumer with {kind} did not build or copy "
                        "kesta.dll:", log)
            continue
        # lld's libkesta.dll.a links under lld-link too, so which one kesta::kesta gave
        # shows only on the link line.
        app = build / "CMakeFiles" / "app.dir"
        link_line = "".join(p.read_text() for p in [*app.glob("link.txt"), *app.glob("*.rsp")])
        report.expect(str(root / "lib" / library) in link_line,
                      f"find_package(kesta) gives {kind} lib/{library} and copies kesta.dll",
                      f"find_package(kesta) did not give {kind} lib/{library}")
        shutil.copy(build / "app.exe", root / "bin" / f"cmake-{kind}-consumer.exe")
        logs_in("cmake-" + kind, root / "bin" / f"cmake-{kind}-consumer.exe")


def other_bitness_refused(r, arch):
    """A program of one bitness cannot load the other's DLL: find_package(kesta) refuses
    ARCH's zip to a project of the other bitness, and says why."""
    other = ARCH["x64" if arch.name == "x86" else "x86"]
    passed, said = attempt("cmake", "-S", r.cmake_consumer(), "-B", r.work / f"cross-{arch.name}",
                           f"-DCMAKE_TOOLCHAIN_FILE={r.msvc_toolchain(other)}",
                           f"-DCMAKE_PREFIX_PATH={r.unpacked(arch)}")
    if passed:
        report.fail(f"find_package(kesta) takes the {arch.name} zip for a {other.name} program")
    else:
        report.expect("bitness" in said, f"find_package(kesta) refuses the {arch.name} zip for "
                      f"a {other.name} program, saying why", f"find_package(kesta) refuses the "
                      f"{arch.name} zip for {other.name} without a reason:", said)


def scenario_rows(r, arch):
    """Every scenario row against the DLL that ships, which another compiler builds than the
    test presets' DLLs: the scenario program of that bitness loads the kesta.dll beside it."""
    rows = r.work / f"scenarios-{arch.name}"
    rows.mkdir()
    shutil.copy(TOP / "build" / arch.preset / "scenario_test.exe", rows)
    shutil.copy(r.unpacked(arch) / "bin" / "kesta.dll", rows)
    passed, said = attempt(TOP / "scripts" / "wine-run", rows / "scenario_test.exe")
    failures = [line for line in said.splitlines()
                if re.search(r"^\[  FAILED|Failure|Which is", line)]
    report.expect(passed, "every scenario row through the zip's kesta.dll (%d passed)"
                  % len(re.findall(r"^\[       OK \]", said, re.M)),
                  "scenario rows through the zip's kesta.dll:", "\n".join(failures[:40]))


def nuget_install(r):
    """nuget installs the package from the release folder."""
    r.nuget_package()
    report.ok(f"nuget installs kesta {r.version} from the release folder")


def xbuild(r, platform, out, *targets):
    """xbuild of tests/dist/nuget-consumer.proj for PLATFORM with the installed package."""
    return attempt("xbuild", "/nologo", "/v:minimal", "/p:Platform=" + platform,
                   f"/p:KestaPackage={r.nuget_package()}", f"/p:OutDir={out}/", *targets,
                   TOP / "tests" / "dist" / "nuget-consumer.proj")


def nuget_targets(r, platform):
    """A project of PLATFORM gets the package's include folder, its zip's kesta.lib, and its
    zip's kesta.dll and PDB copied to the output folder."""
    unpacked, out = r.unpacked(ARCH[platform.arch]), r.work / f"nuget-out-{platform.name}"
    built, said = xbuild(r, platform.name, out, "/t:KestaShow;Build")
    if not built:
        report.fail(f"xbuild of a {platform.name} project with kesta's targets:", said)
        return
    # xbuild evaluates no ItemDefinitionGroup: its metadata, with the properties xbuild
    # evaluated put in, is what Visual Studio's MSBuild sees.
    props = dict(re.findall(r"kesta property (\w+)=(.*)", said))
    ns = {"m": "http://schemas.microsoft.com/developer/msbuild/2003"}
    targets = ET.parse(r.nuget_package() / "build" / "native" / "kesta.targets")
    group = targets.getroot().find("m:ItemDefinitionGroup", ns)

    def metadata(item, name):
        value = group.find(f"m:{item}/m:{name}", ns).text
        return re.sub(r"\$\((\w+)\)", lambda m: props.get(m[1], ""), value).replace("\\", "/")

    def same(path, shipped):
        return os.path.isfile(path) and filecmp.cmp(path, shipped, False)

    include = metadata("ClCompile", "AdditionalIncludeDirectories").split(";")
    library = metadata("Link", "AdditionalDependencies").split(";")
    copy = first(r"kesta copy: (.*)", said).strip().split(";")
    problems = [f"the output folder has no {name} of this platform" for name in
                ("kesta.dll", "kesta.pdb") if not same(out / name, unpacked / "bin" / name)]
    if (include[-1] != "%(AdditionalIncludeDirectories)"
            or library[-1] != "%(AdditionalDependencies)"):
        problems.append("the targets drop the project's own include folders or libraries")
    if not same(os.path.join(include[0], "kesta.h"), unpacked / "include" / "kesta.h"):
        problems.append(f"include folder {include[0]} has another kesta.h")
    if not same(library[0], unpacked / "lib" / "kesta.lib"):
        problems.append(f"links {library[0]}, not this platform's kesta.lib")
    if sorted(os.path.basename(c) for c in copy) != ["kesta.dll", "kesta.pdb"]:
        problems.append(f"copies {copy}")
    report.expect(not problems, f"gets {platform.arch}'s kesta.lib, DLL and PDB",
                  "; ".join(problems))


def nuget_other_platform(r):
    """An ARM64 project stops: the package has no ARM64 DLL, and says which it has."""
    built, said = xbuild(r, "ARM64", r.work / "nuget-out-ARM64")
    if built:
        report.fail("an ARM64 project builds against a package without an ARM64 DLL")
    else:
        report.expect("Win32 (x86) and x64 builds only" in said,
                      "an ARM64 project stops, saying which platforms the package has",
                      "the ARM64 project failed for another reason:", said)


def sboms(r):
    """{package: its SBOM} for every package of the release: zips, NuGet, Debian."""
    return {p: p.with_suffix(".cdx.json") for pattern in ("*.zip", "*.nupkg", "*.deb")
            for p in sorted(r.folder.glob(pattern))}


def sbom_files(r):
    """Every package has an SBOM beside it, and SHA256SUMS lists it."""
    sums, problems = (r.folder / "SHA256SUMS").read_text(), []
    for package, sbom in sboms(r).items():
        if not sbom.is_file():
            problems.append(f"no SBOM for {package.name}")
        elif f" {sbom.name}\n" not in sums:
            problems.append(f"SHA256SUMS does not list {sbom.name}")
    report.expect(not problems, f"each of the {len(sboms(r))} packages has its SBOM, listed "
                  "in SHA256SUMS", "; ".join(problems))


def sbom_schema(r):
    """Every SBOM is valid CycloneDX 1.5, with SPDX licences, as the schema validator says."""
    files = [sbom for sbom in sboms(r).values() if sbom.is_file()]
    valid, said = attempt("node", TOP / "tests" / "dist" / "sbom" / "validate.mjs", *files,
                          env=env(KESTA_SBOM_TOOLS=TOP / "build" / "sbom-tools"))
    report.expect(valid, f"{len(files)} SBOMs are valid CycloneDX 1.5",
                  "an SBOM is not valid CycloneDX 1.5:", said)


def sbom_contents(r):
    """Each SBOM names kesta's version and the Debian parts at their installed versions; a
    Debian package's, exactly its dependencies; a Windows package's, its binaries by hash and
    what was linked in (MinGW-w64's runtime, libgcc; libstdc++ where kesta-login.exe is)."""
    problems, files = [], [(p, s) for p, s in sboms(r).items() if s.is_file()]
    for package, sbom in files:
        bom, name = json.loads(sbom.read_text()), package.stem
        parts = bom["components"]
        names = {p["name"].split(" ")[0] for p in parts}
        if bom["metadata"]["component"]["version"] != r.version:
            problems.append(f"{name}: kesta's version is not {r.version}")
        for p in parts:
            if p.get("purl", "").startswith("pkg:deb/debian/"):
                debian = p["purl"].split("/")[2].split("@")[0]
                installed = run("dpkg-query", "-W", "-f=${Version}\n", debian, check=False)
                if p["version"] not in installed.stdout.split():
                    problems.append(f"{name}: {debian} is version {p['version']}, not the "
                                    "installed one")
        if package.suffix == ".deb":
            depends = run("dpkg-deb", "-f", package, "Depends").stdout.split(",")
            want = {c.split()[0].split(":")[0] for c in depends if c.strip()}
            if names != want:
                problems.append(f"{name}: lists {sorted(names)}; the package depends on "
                                f"{sorted(want)}")
            continue
        # The parts that are shipped files: their name, path in the package and hash.
        shipped = [(p["name"], q["value"], p["hashes"][0]["content"]) for p in parts
                   for q in p.get("properties", []) if q["name"] == "kesta:path"]
        with zipfile.ZipFile(package) as z:
            problems += [f"{name}: {path} has another SHA-256 than the shipped file"
                         for _, path, digest in shipped
                         if hashlib.sha256(z.read(path)).hexdigest() != digest]
        nuget = package.suffix == ".nupkg"
        binaries = {"kesta.dll"} if nuget else {"kesta.dll", "kesta-login.exe"}
        problems += [f"{name}: {binary} is not listed"
                     for binary in sorted(binaries - {part for part, _, _ in shipped})]
        linked = ["libgcc.a", "libmingwex.a", "libmingw32.a"] + ([] if nuget else ["libstdc++.a"])
        problems += [f"{name}: {lib}, linked in, is not listed" for lib in linked
                     if lib not in names]
    report.expect(not problems, f"{len(files)} SBOMs list the shipped files and what went "
                  "into them", "the SBOMs do not say what the packages hold:",
                  "\n".join(problems))


def signed_binaries(r, arch):
    """With a throwaway certificate, kesta.dll and kesta-login.exe are signed (SHA-256) so
    that its root verifies them and another does not, those of the unsigned zip are not, and
    the signed DLL keeps its boundary and its PDB (signing leaves the debug directory)."""
    pki, folder = r.pki(), r.work / f"signed-{arch.name}"
    with zipfile.ZipFile(r.zip(arch, r.signed(), suffix="")) as z:
        z.extractall(folder)

    def verifies(path, root):
        return attempt("osslsigncode", "verify", "-CAfile", pki / root, "-in", path)

    for binary in ("kesta.dll", "kesta-login.exe"):
        verified, said = verifies(folder / "bin" / binary, "root.pem")
        report.expect(verified and re.search(r"digest algorithm *: *sha256", said, re.I),
                      f"{binary} is signed (SHA-256) and its root verifies it",
                      f"{binary} does not verify with its root:", said)
        report.expect(not verifies(folder / "bin" / binary, "other-root.pem")[0],
                      f"{binary} does not verify with another root",
                      f"{binary} verifies with a root that never signed it")
        report.expect(not verifies(r.unpacked(arch) / "bin" / binary, "root.pem")[0],
                      f"the unsigned package's {binary} has no signature",
                      f"the unsigned package's {binary} has a signature")
    dll = folder / "bin" / "kesta.dll"
    problems = check_binary.check("dll", dll, arch.machine, r.version) + pdb_problems(
        dll, folder / "bin" / "kesta.pdb", "_KESTA_LOGIN", "login.cpp", False)[0]
    report.expect(not problems, "the signed kesta.dll keeps its boundary and its PDB",
                  "the signed kesta.dll: " + "; ".join(problems))


def signed_sums(r):
    """The signed release's SHA256SUMS.p7s verifies with the signing root, not with another
    root nor once SHA256SUMS changes; the unsigned release has none."""
    signed, changed = r.signed(), r.work / "changed"

    def verifies(folder, root):
        return attempt("openssl", "cms", "-verify", "-binary", "-inform", "DER",
                       "-in", folder / "SHA256SUMS.p7s", "-content", folder / "SHA256SUMS",
                       "-CAfile", r.pki() / root, "-purpose", "any", "-out", os.devnull)

    verified, said = verifies(signed, "root.pem")
    report.expect(verified, "SHA256SUMS.p7s verifies with the signing root",
                  "SHA256SUMS.p7s does not verify:", said)
    if verified:
        matches, said = attempt("sha256sum", "--quiet", "--strict", "-c", "SHA256SUMS",
                                cwd=signed)
        report.expect(matches, "the signed SHA256SUMS matches the signed release",
                      "the signed SHA256SUMS does not match the signed release:", said)
        report.expect(not verifies(signed, "other-root.pem")[0],
                      "SHA256SUMS.p7s does not verify with another root",
                      "SHA256SUMS.p7s verifies with a root that never signed it")
        changed.mkdir()
        shutil.copy(signed / "SHA256SUMS.p7s", changed)
        sums = (signed / "SHA256SUMS").read_bytes()
        # One digit of the first hash, turned into another digit: the file differs whatever
        # that digit was.
        (changed / "SHA256SUMS").write_bytes((b"1" if sums[:1] == b"0" else b"0") + sums[1:])
        report.expect(not verifies(changed, "root.pem")[0],
                      "SHA256SUMS.p7s does not verify a changed SHA256SUMS",
                      "SHA256SUMS.p7s verifies a changed SHA256SUMS")
    report.expect(not (r.folder / "SHA256SUMS.p7s").exists(),
                  "the unsigned release has no SHA256SUMS.p7s",
                  "the unsigned release has a SHA256SUMS.p7s")


def lintian(r):
    """lintian finds no error in the Debian packages."""
    clean, said = attempt("lintian", "--fail-on", "error", *[r.deb(p) for p in DEBS])
    report.expect(clean, "no errors (%d warnings)" % len(re.findall(r"^W:", said, re.M)),
                  "errors:", said)


def deb_fields(r):
    """The Debian packages have their dependencies, shlibs, ldconfig trigger, man page and
    files."""
    problems = []
    for package, show, want in DEB_FIELDS:
        option, *name = show.split()
        got = run("dpkg-deb", option, r.deb(package), *name, check=False).stdout
        if option == "-c":
            got = "\n".join(line.split()[5] for line in got.splitlines())
        want = want.replace("VERSION", r.version)
        if want not in got:
            problems.append(f"{package}: dpkg-deb {show} lacks '{want}' (has: %s)"
                            % " ".join(got.split("\n")).strip())
    report.expect(not problems, f"the Debian packages hold their {len(DEB_FIELDS)} fields and "
                  "files", "; ".join(problems))


def deb_pkg_config(r):
    """kesta.pc of the unpacked packages gives their own prefix and the release's version,
    and a program built with its flags runs against the unpacked library."""
    root = r.deb_root()

    def pkg_config(*args):
        return run("pkg-config", *args, "kesta", env=env(
            PKG_CONFIG_PATH=root / MULTIARCH_LIB / "pkgconfig")).stdout.strip()

    prefix = pkg_config("--variable=prefix")
    report.expect(os.path.isdir(prefix) and Path(os.path.normpath(prefix)) == root / "usr",
                  "kesta.pc's prefix is where the packages were unpacked",
                  f"kesta.pc's prefix {prefix} is not {root}/usr")
    got = pkg_config("--modversion")
    report.expect(got == r.version, f"kesta.pc says version {got}",
                  f"kesta.pc says version {got}, not {r.version}")
    program = r.work / "deb-pc-consumer"
    run("cc", "-std=c99", "-Wall", "-Werror", "-o", program, TOP / "tests" / "consumer" / "main.c",
        *pkg_config("--cflags", "--libs").split())
    passed, said = attempt(program, env=env(LD_LIBRARY_PATH=root / MULTIARCH_LIB))
    report.expect(passed, "pkg-config consumer on the .deb contents",
                  "the pkg-config consumer:", said)


def deb_find_package(r):
    """find_package(kesta) finds the unpacked packages, and its program runs."""
    root, build = r.deb_root(), r.work / "deb-cmake-consumer"
    run("cmake", "-S", TOP / "tests" / "consumer", "-B", build, f"-DCMAKE_PREFIX_PATH={root}/usr")
    run("cmake", "--build", build)
    passed, said = attempt(build / "consumer", env=env(LD_LIBRARY_PATH=root / MULTIARCH_LIB))
    report.expect(passed, "find_package(kesta) consumer on the .deb contents",
                  "the find_package consumer:", said)


def dbgsym(r):
    """libkesta1-dbgsym holds the shipped library's symbols under its build ID, where gdb
    looks, with source lines for _KESTA_LOGIN."""
    root = r.deb_root()
    notes = run("readelf", "-n", root / MULTIARCH_LIB / f"libkesta.so.{r.version}").stdout
    build_id = first(r"^ *Build ID: *(\S*)", notes)
    symbols = root / "usr/lib/debug/.build-id" / build_id[:2] / f"{build_id[2:]}.debug"
    if not build_id or not symbols.is_file():
        report.fail(f"libkesta1-dbgsym has no symbols for libkesta1's build ID '{build_id}'")
        return
    address = first(r"^([0-9a-f]*) T _KESTA_LOGIN$", run("nm", symbols, check=False).stdout)
    where = run("addr2line", "-e", symbols, "0x" + address, check=False).stdout.strip()
    report.expect(re.search(r"login\.cpp:[1-9]", where),
                  f"libkesta1-dbgsym: _KESTA_LOGIN is at {os.path.basename(where)} by build ID",
                  f"libkesta1-dbgsym: _KESTA_LOGIN at '{address}' resolves to '{where}'")


def deb_kesta_login(r):
    """The packaged kesta-login runs against the packaged library and says its version."""
    root = r.deb_root()
    got = run(root / "usr" / "bin" / "kesta-login", "--version",
              env=env(LD_LIBRARY_PATH=root / MULTIARCH_LIB)).stdout.rstrip("\n")
    report.expect(got == f"kesta-login {r.version}", f"the packaged kesta-login says '{got}'",
                  f"the packaged kesta-login says '{got}'")


# Every check in the order it runs, and what it runs for: each arch, each NuGet platform,
# or once.
ONCE = [None]
CHECKS = [
    (same_sums, ONCE), (sums_match, ONCE),
    (zip_members, ARCHES), (zip_binaries, ARCHES), (zip_pdbs, ARCHES), (debuglink, ARCHES),
    (dll_stripped, ARCHES),
    (header_cl_mode, ARCHES), (msvc_consumer, ARCHES), (mingw_consumer, ARCHES),
    (pc_consumer, ARCHES), (cmake_consumers, ARCHES), (other_bitness_refused, ARCHES),
    (scenario_rows, ARCHES),
    (nuget_install, ONCE), (nuget_targets, NUGET_PLATFORMS), (nuget_other_platform, ONCE),
    (sbom_files, ONCE), (sbom_schema, ONCE), (sbom_contents, ONCE),
    (signed_binaries, ARCHES), (signed_sums, ONCE),
    (lintian, ONCE), (deb_fields, ONCE), (deb_pkg_config, ONCE), (deb_find_package, ONCE),
    (dbgsym, ONCE), (deb_kesta_login, ONCE),
]


def guarded(function, *args):
    """FUNCTION(ARGS), or None when it stopped on an error, which fails the running check
    with the error's message (a traceback where the error is not Failed)."""
    try:
        return function(*args)
    except Failed as e:
        report.fail(str(e))
    except Exception:
        report.fail("stopped:", traceback.format_exc())
    return None


def main():
    names = [check.__name__ for check, _ in CHECKS]
    chosen = sys.argv[1:] or names
    unknown = [name for name in chosen if name not in names]
    if unknown:
        print(f"dist_test: no check {' '.join(unknown)}; the checks are", *names, file=sys.stderr)
        return 2
    os.environ["SOURCE_DATE_EPOCH"] = run("git", "-C", TOP, "log", "-1",
                                          "--format=%ct").stdout.strip()
    with tempfile.TemporaryDirectory(prefix="kesta-dist.") as work:
        release = guarded(Release, work)
        if release is not None:
            for check, rows in CHECKS:
                if check.__name__ not in chosen:
                    continue
                for row in rows:
                    report.label = check.__name__ + (f": {row.name}" if row else "")
                    guarded(check, release, *([row] if row else []))
    print(f"dist_test: {report.passed} passed, {report.failed} failed", flush=True)
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main())
