#!/usr/bin/env python3
"""The release packages, checked the way their users meet them. Runs inside
the test network (scripts/testnet), as `make test` does:

  python3 tests/dist_test.py [CHECK...]

With CHECK names, only those checks run (--list names them all, in order);
the release is built for any of them, its copy in another folder only for
same_sums.

- scripts/dist from this checkout and from a copy in another folder give
  the same SHA256SUMS (and so the same DLLs and PDBs, bit for bit);
- each zip holds exactly its files, all with the release's time, and its
  DLL and EXE pass check_binary (boundary, imports, hardening, version
  resource); the DLL names its symbol file by .gnu_debuglink with the
  right CRC;
- each binary's debug directory names its PDB by file name, with the
  PDB's GUID and age, and through that PDB alone llvm-symbolizer finds
  _KESTA_LOGIN in login.cpp (main in kesta-login.cpp) at a line; the
  DLL's code calls the stack guard's __stack_chk_fail;
- programs linked against the unpacked zip log in to the test server
  under Wine: clang for the MSVC target with lld-link and lib/kesta.lib,
  and MinGW with lib/libkesta.dll.a, for x86 and x64, by hand, through
  the zip's kesta.pc, and through find_package(kesta) with the lines the
  README shows (clang-cl and lld-link, and MinGW's GCC), which copies
  kesta.dll beside the program; the package refuses a consumer of the
  other bitness; the header passes clang in cl mode with /W4 /WX as C
  and as C++17; every scenario row passes through the zip's DLL, which
  is built by another compiler than the test presets' DLLs;
- nuget installs the NuGet package from the release folder, and xbuild
  evaluates its targets for Win32 and x64 to the package's include
  folder, the platform's kesta.lib, and the platform's kesta.dll and PDB
  copied to the output folder, and stops for another platform;
- every package has an SBOM that the CycloneDX 1.5 schema accepts, whose
  hashes are the shipped files' and which lists the MinGW-w64 runtime,
  libgcc (and libstdc++ where linked) at their installed versions, or
  the Debian package's dependencies;
- with a throwaway code-signing certificate, scripts/dist signs every
  Windows binary so that its root verifies it and another root does not,
  and SHA256SUMS with a detached signature that fails once the file
  changes;
- lintian finds no error in the Debian packages, which have their
  dependencies, shlibs, ldconfig trigger and man page, and whose contents,
  unpacked into a scratch root, serve a pkg-config and a find_package
  consumer; libkesta1-dbgsym holds the symbols of libkesta1's library
  under its build ID, with source lines.

Each check prints "dist_test: ok: CHECK: ..." for what it found right and
"dist_test: FAIL: CHECK: ..." for what it found wrong; a check that stops
on an error fails with it. The run ends with the count, and exits 1 on
any failure.
"""

import collections
import difflib
import filecmp
import functools
import glob
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
import xml.etree.ElementTree as ET
import zipfile
import zlib

import check_binary

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONSUMER_C = os.path.join(TOP, "tests", "dist", "consumer.c")
# The README shows the CMake consumer's lines after this line, indented as code; the
# find_package consumers are built from exactly those lines.
README_MARKER = "<!-- The CMake consumer of tests/dist_test.py -->"

# One Windows architecture of the release: its name in the zip's file name, its PE machine
# for check_binary, clang's MSVC target, MinGW's triple, llvm-dlltool's machine, the test
# preset whose scenario program has this bitness, CMake's processor name for the MSVC
# target, and the Kernel32 functions the consumer imports as the import library names them
# (x86 decorates stdcall names with their argument bytes).
Arch = collections.namedtuple(
    "Arch", "name machine target mingw dlltool preset processor kernel32")
ARCHES = [
    Arch("x86", "i386", "i686-pc-windows-msvc", "i686-w64-mingw32", "i386", "win32", "X86",
         ("GetStdHandle@4", "WriteFile@20", "ExitProcess@4")),
    Arch("x64", "x86-64", "x86_64-pc-windows-msvc", "x86_64-w64-mingw32", "i386:x86-64",
         "win64", "AMD64", ("GetStdHandle", "WriteFile", "ExitProcess")),
]
ARCH = {arch.name: arch for arch in ARCHES}

ZIP_MEMBERS = [
    "CHANGELOG.md", "LICENSE", "README.md", "bin/kesta-login.exe", "bin/kesta-login.pdb",
    "bin/kesta.dll", "bin/kesta.pdb", "debug/kesta.dll.debug", "include/kesta.h",
    "lib/cmake/kesta/kestaConfig.cmake", "lib/cmake/kesta/kestaConfigVersion.cmake",
    "lib/kesta.def", "lib/kesta.lib", "lib/libkesta.dll.a", "lib/pkgconfig/kesta.pc",
]
# Stripped, kesta.dll is well under this; with its DWARF symbols it is over twice this.
STRIPPED_DLL_BYTES = 102400

# Each shipped binary, its PDB, a function in it, that function's source file, and whether
# its code must call the stack guard.
PDBS = [
    ("kesta.dll", "kesta.pdb", "_KESTA_LOGIN", "login.cpp", True),
    ("kesta-login.exe", "kesta-login.pdb", "main", "kesta-login.cpp", False),
]

# What tests/dist/consumer.c prints after its login to the test server.
LOGGED_IN = "session ID: KelpinUA:abc123\nuser agent: KelpinUA"

# A Visual Studio platform name, and the zip whose DLL and kesta.lib it must get.
Platform = collections.namedtuple("Platform", "name arch")
NUGET_PLATFORMS = [Platform("Win32", "x86"), Platform("x86", "x86"), Platform("x64", "x64")]

DEBS = ["libkesta1", "libkesta-dev", "kesta-login", "libkesta1-dbgsym"]
# Debian package, a control field, a control file or its contents, and what that must
# hold (VERSION is the release's).
DEB_FIELDS = [
    ("libkesta1", "control:Depends", "libcurl4"),
    ("libkesta1", "control:Depends", "libssl3"),
    ("libkesta1", "file:shlibs", "libkesta 1 libkesta1 (>= VERSION)"),
    ("libkesta1", "file:triggers", "activate-noawait ldconfig"),
    ("libkesta1", "contents", "./usr/lib/x86_64-linux-gnu/libkesta.so.VERSION"),
    ("libkesta-dev", "control:Depends", "libkesta1 (= VERSION)"),
    ("libkesta-dev", "contents", "./usr/lib/x86_64-linux-gnu/pkgconfig/kesta.pc"),
    ("libkesta-dev", "contents", "./usr/lib/x86_64-linux-gnu/cmake/kesta/kestaConfig.cmake"),
    ("libkesta-dev", "contents", "./usr/include/kesta.h"),
    ("kesta-login", "control:Depends", "libkesta1 (>= VERSION)"),
    ("kesta-login", "contents", "./usr/share/man/man1/kesta-login.1.gz"),
    ("kesta-login", "contents", "./usr/bin/kesta-login"),
    ("libkesta1-dbgsym", "control:Depends", "libkesta1 (= VERSION)"),
    ("libkesta1-dbgsym", "control:Section", "debug"),
    ("libkesta1-dbgsym", "control:Auto-Built-Package", "debug-symbols"),
    ("libkesta1-dbgsym", "contents", "./usr/lib/debug/.build-id/"),
]
MULTIARCH_LIB = "usr/lib/x86_64-linux-gnu"


class Failed(Exception):
    """A step that a check needs went wrong: the check fails with this message."""


class Report:
    """Prints each finding under the name of the check that made it, and counts them."""

    def __init__(self):
        self.check = ""
        self.passed = 0
        self.failed = 0

    def ok(self, message):
        self.passed += 1
        print("dist_test: ok: %s: %s" % (self.check, message), flush=True)

    def fail(self, message, details=""):
        self.failed += 1
        sys.stdout.flush()
        print("dist_test: FAIL: %s: %s" % (self.check, message), file=sys.stderr)
        if details:
            print(details.rstrip("\n"), file=sys.stderr)
        sys.stderr.flush()


report = Report()


def run(*args, check=True, **options):
    """Runs a program and returns it finished, with what it printed as text (stdout and
    stderr apart unless options say otherwise). With check, a program that fails raises
    Failed with its command line and all it said."""
    args = [str(a) for a in args]
    options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, **options}
    done = subprocess.run(args, **options)
    if check and done.returncode != 0:
        raise Failed("%s exited with %d:\n%s%s" % (" ".join(args), done.returncode,
                                                    done.stdout or "", done.stderr or ""))
    return done


def environment(**names):
    """This process's environment with NAMES set."""
    return {**os.environ, **names}


def dist(out, build, top=TOP, **signing):
    """scripts/dist of the checkout at TOP into OUT, built in BUILD."""
    run(os.path.join(top, "scripts", "dist"), out,
        env=environment(KESTA_DIST_BUILD=build, **signing))


def sums_problems(folder):
    """Where FOLDER's files differ from what its SHA256SUMS says of them."""
    problems = []
    with open(os.path.join(folder, "SHA256SUMS")) as f:
        lines = f.read().splitlines()
    if not lines:
        problems.append("SHA256SUMS lists nothing")
    for line in lines:
        row = re.fullmatch(r"([0-9a-f]{64}) [ *](.+)", line)
        if not row:
            problems.append("SHA256SUMS has a line %r that is no sum" % line)
            continue
        path = os.path.join(folder, row.group(2))
        if not os.path.isfile(path):
            problems.append("%s is listed but missing" % row.group(2))
            continue
        with open(path, "rb") as f:
            if hashlib.sha256(f.read()).hexdigest() != row.group(1):
                problems.append("%s has another SHA-256 than listed" % row.group(2))
    return problems


def readme_consumer():
    """The lines of the CMake consumer that README.md shows after its marker: the code
    block's lines up to the first line that starts with text, without their indent."""
    with open(os.path.join(TOP, "README.md")) as f:
        lines = f.read().splitlines()
    if README_MARKER not in lines:
        return []
    shown = []
    for line in lines[lines.index(README_MARKER) + 1:]:
        if re.match(r"[^ ]", line):
            break
        if line.startswith("    "):
            shown.append(line[4:])
    return shown


def pe_of(path):
    with open(path, "rb") as f:
        return check_binary.PE(f.read())


class Release:
    """The release built from this checkout into a scratch folder, and what the checks make
    of it, each made once, when a check first needs it."""

    def __init__(self, work):
        self.work = work
        self.folder = self.path("a")
        dist(self.folder, os.path.join(TOP, "build", "dist"))
        with open(os.path.join(TOP, "build", "dist", "deb", "CMakeCache.txt")) as f:
            self.version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", f.read(),
                                     re.M).group(1)

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def zip(self, arch, folder=None, suffix="-unsigned"):
        path = os.path.join(folder or self.folder,
                            "kesta-%s-windows-%s%s.zip" % (self.version, arch.name, suffix))
        if not os.path.isfile(path):
            raise Failed("no %s" % path)
        return path

    @functools.cache
    def unpacked(self, arch):
        """The unsigned zip of ARCH, unpacked as a user unpacks it."""
        folder = self.path("unpacked-" + arch.name)
        with zipfile.ZipFile(self.zip(arch)) as z:
            z.extractall(folder)
        return folder

    @functools.cache
    def elsewhere(self):
        """The release from a copy of this checkout (without its build and dist folders) in
        another folder, built in another build folder outside it."""
        copy = self.path("elsewhere", "kesta-copy")
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(TOP, copy, symlinks=True,
                        ignore=lambda folder, names: {"build", "dist"} if folder == TOP else ())
        out = self.path("b")
        dist(out, self.path("elsewhere", "out-of-tree"), top=copy)
        return out

    @functools.cache
    def kernel32(self, arch):
        """An import library of the Kernel32 functions the consumer calls, made from a .def
        as kesta.lib is: there is no C runtime for the MSVC target here."""
        definition = self.path("kernel32-%s.def" % arch.name)
        with open(definition, "w") as f:
            f.write("LIBRARY KERNEL32.dll\nEXPORTS\n" + "".join(n + "\n" for n in arch.kernel32))
        library = self.path("kernel32-%s.lib" % arch.name)
        run("llvm-dlltool", "-m", arch.dlltool, "-k", "-d", definition, "-l", library)
        return library

    @functools.cache
    def msvc_toolchain(self, arch):
        """A CMake toolchain file for clang-cl and lld-link, the Visual Studio kind of
        build, for ARCH."""
        path = self.path("msvc-%s.cmake" % arch.name)
        with open(path, "w") as f:
            f.write("set(CMAKE_SYSTEM_NAME Windows)\n"
                    "set(CMAKE_SYSTEM_PROCESSOR %s)\n"
                    "set(CMAKE_C_COMPILER clang-cl-14)\n"
                    "set(CMAKE_C_COMPILER_TARGET %s)\n"
                    "set(CMAKE_LINKER lld-link)\n"
                    "set(CMAKE_AR llvm-lib)\n"
                    "set(CMAKE_RC_COMPILER llvm-rc)\n"
                    "set(CMAKE_MT llvm-mt)\n"
                    "set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)\n"
                    "set(CMAKE_C_STANDARD_LIBRARIES \"\" CACHE STRING \"\")\n"
                    "set(CMAKE_EXE_LINKER_FLAGS_INIT /MANIFEST:NO)\n"
                    % (arch.processor, arch.target))
        return path

    @functools.cache
    def cmake_consumer(self):
        """A CMake project of consumer.c around the README's lines for find_package(kesta)."""
        shown = readme_consumer()
        if not any("find_package(kesta" in line for line in shown):
            raise Failed("README.md shows no CMake consumer after its marker %r" % README_MARKER)
        folder = self.path("cmake-consumer")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(CONSUMER_C, os.path.join(folder, "app.c"))
        with open(os.path.join(folder, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.25)\nproject(app LANGUAGES C)\n")
            f.write("".join(line + "\n" for line in shown))
            # Without a C runtime for the MSVC target here: start and Kernel32 as for the
            # hand-linked program.
            f.write("if(CONSUMER_NO_CRT)\n"
                    "  target_compile_definitions(app PRIVATE CONSUMER_NO_CRT)\n"
                    "  target_compile_options(app PRIVATE /GS-)\n"
                    "  target_link_options(app PRIVATE /entry:start /nodefaultlib"
                    " /subsystem:console)\n"
                    "  target_link_libraries(app PRIVATE ${CONSUMER_NO_CRT})\n"
                    "endif()\n")
        return folder

    @functools.cache
    def nuget_package(self):
        """The NuGet package as nuget installs it from the release folder."""
        packages = self.path("packages")
        run("nuget", "install", "kesta", "-Version", self.version, "-Source", self.folder,
            "-OutputDirectory", packages, "-NonInteractive")
        return os.path.join(packages, "kesta." + self.version)

    @functools.cache
    def pki(self):
        """A throwaway root with a code-signing leaf under it, and another root."""
        pki = self.path("pki")
        os.makedirs(pki, exist_ok=True)
        for name in ("root", "other-root"):
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=" + name, "-keyout", os.path.join(pki, name + ".key"),
                "-out", os.path.join(pki, name + ".pem"),
                "-addext", "basicConstraints=critical,CA:true",
                "-addext", "keyUsage=critical,keyCertSign")
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=kesta test signer",
            "-keyout", os.path.join(pki, "leaf.key"), "-out", os.path.join(pki, "leaf.csr"))
        with open(os.path.join(pki, "leaf.ext"), "w") as f:
            f.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=codeSigning\n")
        run("openssl", "x509", "-req", "-in", os.path.join(pki, "leaf.csr"),
            "-CA", os.path.join(pki, "root.pem"), "-CAkey", os.path.join(pki, "root.key"),
            "-CAcreateserial", "-days", "2", "-extfile", os.path.join(pki, "leaf.ext"),
            "-out", os.path.join(pki, "leaf.pem"))
        return pki

    @functools.cache
    def signed(self):
        """The release signed with the throwaway leaf, built in this checkout's build folder."""
        out = self.path("signed")
        pki = self.pki()
        dist(out, os.path.join(TOP, "build", "dist"), SIGN_CERT=os.path.join(pki, "leaf.pem"),
             SIGN_KEY=os.path.join(pki, "leaf.key"))
        return out

    @functools.cache
    def deb_root(self):
        """The four Debian packages unpacked into one scratch root."""
        root = self.path("root")
        for package in DEBS:
            run("dpkg-deb", "-x", self.deb(package), root)
        return root

    def deb(self, package):
        return os.path.join(self.folder, "%s_%s_amd64.deb" % (package, self.version))


# --- The two builds and their comparison -------------------------------------------------

def same_sums(r):
    """scripts/dist gives the same bytes whatever folder the source and build are in."""
    with open(os.path.join(r.folder, "SHA256SUMS")) as f:
        here = f.read()
    with open(os.path.join(r.elsewhere(), "SHA256SUMS")) as f:
        there = f.read()
    if here == there:
        report.ok("two folders, the same SHA256SUMS (%d packages)" % len(here.splitlines()))
    else:
        report.fail("the packages differ between two folders:", "\n".join(difflib.unified_diff(
            here.splitlines(), there.splitlines(), "this checkout", "elsewhere", lineterm="")))


def sums_match(r):
    """The release's SHA256SUMS are its files' sums."""
    problems = sums_problems(r.folder)
    if problems:
        report.fail("SHA256SUMS does not match the files: " + "; ".join(problems))
    else:
        report.ok("SHA256SUMS matches the release's files")


# --- The zips ------------------------------------------------------------------------------

def zip_members(r, arch):
    """The zip holds exactly its files, in order, each with the release's time."""
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    when = time.gmtime(epoch)
    problems = []
    with zipfile.ZipFile(r.zip(arch)) as z:
        infos = z.infolist()
    names = [i.filename for i in infos]
    if names != sorted(ZIP_MEMBERS):
        problems.append("members %s, want %s" % (names, sorted(ZIP_MEMBERS)))
    for i in infos:
        # DOS times have two-second steps.
        if i.date_time[:5] != tuple(when[:5]) or abs(i.date_time[5] - when[5]) > 1:
            problems.append("%s has time %s, not the release's %s" % (
                i.filename, i.date_time, tuple(when[:6])))
    if problems:
        report.fail("%s: zip members: %s" % (arch.name, "; ".join(problems)))
    else:
        report.ok("%s: the zip holds exactly its %d files, with the release's time"
                  % (arch.name, len(names)))


def zip_binaries(r, arch):
    """kesta.dll and kesta-login.exe pass check_binary: the DLL's boundary and imports, the
    program's imports, each one's version resource of this release, and hardening."""
    folder = os.path.join(r.unpacked(arch), "bin")
    for name, check, what in [
        ("kesta.dll", check_binary.check_dll, "the library's boundary"),
        ("kesta-login.exe", check_binary.check_exe, "its imports"),
    ]:
        problems = check(os.path.join(folder, name), arch.machine, r.version)
        if problems:
            report.fail("%s: %s: %s" % (arch.name, name, "; ".join(problems)))
        else:
            report.ok("%s: %s has %s for %s, the version resource of %s, hardened"
                      % (arch.name, name, what, arch.machine, r.version))


def debug_directory(binary):
    """(GUID, age, PDB file name) of the binary's CodeView record, or None."""
    out = run("llvm-readobj", "--coff-debug-directory", binary, check=False).stdout
    guid = re.search(r"PDBGUID: \(([0-9A-F ]+)\)", out)
    age = re.search(r"PDBAge: (\d+)", out)
    name = re.search(r"PDBFileName: (.*)", out)
    if not (guid and age and name):
        return None
    raw = bytes.fromhex(guid.group(1).replace(" ", ""))
    # The GUID as llvm-pdbutil prints it: the first three fields are little-endian.
    text = "%s-%s-%s-%s-%s" % (raw[3::-1].hex(), raw[5:3:-1].hex(), raw[7:5:-1].hex(),
                               raw[8:10].hex(), raw[10:].hex())
    return text.upper(), int(age.group(1)), name.group(1).strip()


def pdb_identity(pdb):
    """(GUID, age) that the PDB itself records, or None."""
    out = run("llvm-pdbutil", "dump", "--summary", pdb, check=False).stdout
    guid = re.search(r"GUID: \{([0-9A-F-]+)\}", out)
    age = re.search(r"^\s*Age: (\d+)", out, re.M)
    return (guid.group(1), int(age.group(1))) if guid and age else None


def pdb_publics(pdb):
    """{name: (section, offset)} of the PDB's public function symbols."""
    out = run("llvm-pdbutil", "dump", "--publics", pdb, check=False).stdout
    found = {}
    for name, section, offset in re.findall(
            r"S_PUB32 \[size = \d+\] `([^`]+)`\s*\n\s*flags = function, addr = (\d+):(\d+)", out):
        found[name] = (int(section), int(offset))
    return found


def section_rva(pe, section, offset):
    return pe.sections[section - 1][0] + offset


def function_rva(pe, pdb, function):
    """Where FUNCTION starts: by the export table where it is exported, else by the PDB's
    public symbols."""
    rva = pe.export_rva(function)
    if rva is not None:
        return rva
    table = pdb_publics(pdb)
    # x86 decorates C names with a leading underscore.
    for name in (function, "_" + function):
        if name in table:
            return section_rva(pe, *table[name])
    return None


def symbolize(folder, binary, rva):
    """(function, file:line:column) that llvm-symbolizer gives for RVA of BINARY in FOLDER,
    where it looks for the PDB beside the binary."""
    out = run("llvm-symbolizer", "--obj=" + binary, "--relative-address", hex(rva), cwd=folder,
              check=False).stdout
    return (out.strip().splitlines() + ["", ""])[:2]


def pdb_problems(binary, pdb, function, source, stack_guard):
    """What keeps BINARY and the PDB beside it from belonging together the way a debugger
    sees them, and what was found where they do:

    - the binary's debug directory names the PDB by its file name alone, with the GUID and
      age that the PDB itself records;
    - through the PDB alone (the binary and its PDB in a scratch folder) llvm-symbolizer
      resolves an address inside FUNCTION to that function, a source file named SOURCE and a
      line; without the PDB it resolves nothing;
    - with stack_guard: the binary's code calls __stack_chk_fail, found by its address in the
      PDB, so the stack protector is in the shipped code."""
    problems, found = [], []
    pe = pe_of(binary)
    directory = debug_directory(binary)
    identity = pdb_identity(pdb)
    if directory is None:
        problems.append("%s has no CodeView record in its debug directory" % binary)
    elif identity is None:
        problems.append("llvm-pdbutil reads no GUID and age from %s" % pdb)
    else:
        guid, age, name = directory
        if name != os.path.basename(pdb):
            problems.append("the debug directory names %r, not the file name %r alone"
                            % (name, os.path.basename(pdb)))
        if (guid, age) != identity:
            problems.append("the binary wants PDB %s age %d; %s is %s age %d"
                            % (guid, age, pdb, identity[0], identity[1]))
        if not problems:
            found.append("names %s with its GUID and age" % name)

    rva = function_rva(pe, pdb, function)
    if rva is None:
        problems.append("%s is neither exported nor a public symbol of the PDB" % function)
    else:
        with tempfile.TemporaryDirectory() as scratch:
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
                found.append("%s+16 is %s:%s through the PDB alone"
                             % (function, source, line.group(3)))
            os.remove(os.path.join(scratch, os.path.basename(pdb)))
            name, where = symbolize(scratch, local, rva + 16)
            if name != "??":
                problems.append("without its PDB %s still resolves to %r at %r: the lines do "
                                "not come from the PDB" % (function, name, where))

    if stack_guard:
        table = pdb_publics(pdb)
        guard = table.get("__stack_chk_fail") or table.get("___stack_chk_fail")
        if guard is None:
            problems.append("no __stack_chk_fail in %s" % pdb)
        else:
            headers = run("llvm-readobj", "--file-headers", binary).stdout
            base = int(re.search(r"ImageBase: (0x[0-9A-F]+)", headers).group(1), 16)
            target = base + section_rva(pe, *guard)
            code = run("llvm-objdump", "-d", "--no-show-raw-insn", binary).stdout
            calls = re.findall(r"\bcall[lq]?\s+0x0*%x\b" % target, code)
            if not calls:
                problems.append("no call to __stack_chk_fail (%#x) in %s" % (target, binary))
            else:
                found.append("%d calls to __stack_chk_fail" % len(calls))
    return problems, found


def zip_pdbs(r, arch):
    """Each binary and its PDB belong together for Visual Studio and WinDbg."""
    folder = os.path.join(r.unpacked(arch), "bin")
    for binary, pdb, function, source, stack_guard in PDBS:
        problems, found = pdb_problems(os.path.join(folder, binary), os.path.join(folder, pdb),
                                       function, source, stack_guard)
        if problems:
            report.fail("%s: %s and %s: %s" % (arch.name, binary, pdb, "; ".join(problems)))
        else:
            report.ok("%s: %s %s" % (arch.name, binary, "; ".join(found)))


def debuglink(r, arch):
    """The stripped kesta.dll names its DWARF symbols for gdb by .gnu_debuglink: the file
    name debug/kesta.dll.debug and that file's CRC."""
    root = r.unpacked(arch)
    link = r.path("debuglink-" + arch.name)
    run(arch.mingw + "-objcopy", "--dump-section", ".gnu_debuglink=" + link,
        os.path.join(root, "bin", "kesta.dll"), r.path("debuglink-scratch-" + arch.name))
    with open(link, "rb") as f:
        data = f.read()
    name, crc = data[: data.index(b"\0")].decode(), int.from_bytes(data[-4:], "little")
    with open(os.path.join(root, "debug", "kesta.dll.debug"), "rb") as f:
        want = zlib.crc32(f.read())
    if name != "kesta.dll.debug" or crc != want:
        report.fail("%s: .gnu_debuglink names %s with CRC %08x; want kesta.dll.debug, %08x"
                    % (arch.name, name, crc, want))
    else:
        report.ok("%s: kesta.dll names kesta.dll.debug by .gnu_debuglink, CRC %08x"
                  % (arch.name, crc))


def dll_stripped(r, arch):
    """The shipped kesta.dll carries no DWARF symbols: they are in debug/."""
    size = os.path.getsize(os.path.join(r.unpacked(arch), "bin", "kesta.dll"))
    if size < STRIPPED_DLL_BYTES:
        report.ok("%s: kesta.dll is stripped (%d bytes)" % (arch.name, size))
    else:
        report.fail("%s: kesta.dll is not stripped (%d bytes)" % (arch.name, size))


# --- The consumers --------------------------------------------------------------------------

def header_cl_mode(r, arch):
    """The header as Visual Studio's compiler sees it, as C and as C++17, warnings as
    errors (clang in cl mode; after --, a path that starts with / is no option)."""
    include = os.path.join(r.unpacked(arch), "include")
    for language in (["/TC"], ["/TP", "/std:c++17"]):
        done = run("clang", "--driver-mode=cl", "--target=" + arch.target, "/W4", "/WX", "/Zs",
                   *language, "-DCONSUMER_NO_CRT", "-I", include, "--", CONSUMER_C,
                   check=False, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            report.fail("%s: kesta.h under clang-cl /W4 /WX %s" % (arch.name, " ".join(language)),
                        done.stdout)
        else:
            report.ok("%s: kesta.h passes clang-cl /W4 /WX %s" % (arch.name, " ".join(language)))


def logs_in(arch, kind, program):
    """PROGRAM, a build of consumer.c, logs in to the test server under Wine."""
    done = run(os.path.join(TOP, "scripts", "wine-run"), program, check=False,
               stderr=subprocess.STDOUT)
    said = done.stdout.replace("\r", "").rstrip("\n")
    if said == LOGGED_IN:
        report.ok("%s: a %s-linked program logs in through the zip's kesta.dll" % (arch.name, kind))
    else:
        report.fail("%s: the %s-linked program said: %s" % (arch.name, kind, said))


def msvc_consumer(r, arch):
    """consumer.c built as Visual Studio builds it: clang for the MSVC target, linked by
    lld-link with lib/kesta.lib and no C runtime."""
    root = r.unpacked(arch)
    obj = r.path("consumer-%s.obj" % arch.name)
    program = os.path.join(root, "bin", "msvc-consumer.exe")
    run("clang", "-target", arch.target, "-DCONSUMER_NO_CRT", "-fno-stack-protector", "-O1",
        "-Wall", "-Wextra", "-Werror", "-I", os.path.join(root, "include"), "-c", CONSUMER_C,
        "-o", obj)
    run("lld-link", "/nologo", "/entry:start", "/subsystem:console", "/nodefaultlib",
        "/out:" + program, obj, os.path.join(root, "lib", "kesta.lib"), r.kernel32(arch))
    logs_in(arch, "msvc", program)


def mingw_consumer(r, arch):
    """consumer.c built by MinGW's GCC with lib/libkesta.dll.a."""
    root = r.unpacked(arch)
    program = os.path.join(root, "bin", "mingw-consumer.exe")
    run(arch.mingw + "-gcc", "-std=c99", "-Wall", "-Wextra", "-Werror",
        "-I", os.path.join(root, "include"), CONSUMER_C, "-o", program,
        "-L", os.path.join(root, "lib"), "-lkesta", "-static")
    logs_in(arch, "mingw", program)


def pc_consumer(r, arch):
    """consumer.c built by MinGW's GCC with the flags of the zip's kesta.pc, and nothing of
    the host's."""
    root = r.unpacked(arch)
    program = os.path.join(root, "bin", "pc-consumer.exe")
    flags = run("pkg-config", "--cflags", "--libs", "kesta",
                env=environment(PKG_CONFIG_LIBDIR=os.path.join(root, "lib", "pkgconfig"),
                                PKG_CONFIG_PATH="")).stdout.split()
    done = run(arch.mingw + "-gcc", "-std=c99", "-Wall", "-Wextra", "-Werror", CONSUMER_C,
               "-o", program, "-static", *flags, check=False, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        report.fail("%s: the pkg-config consumer does not build" % arch.name, done.stdout)
        return
    logs_in(arch, "pc", program)


def cmake_consumers(r, arch):
    """find_package(kesta) with the README's lines, built by clang-cl with lld-link and by
    MinGW's GCC: each gets its import library (kesta.lib, libkesta.dll.a), copies kesta.dll
    beside its program, and the program logs in."""
    root = r.unpacked(arch)
    mingw_toolchain = os.path.join(TOP, "cmake", "mingw-w64-%s.cmake"
                                   % arch.mingw.split("-")[0])
    # kind, the import library it must link, its toolchain, more for CMake
    for kind, library, toolchain, extra in [
        ("msvc", "kesta.lib", r.msvc_toolchain(arch), ["-DCONSUMER_NO_CRT=" + r.kernel32(arch)]),
        ("mingw", "libkesta.dll.a", mingw_toolchain, []),
    ]:
        build = r.path("cmake-%s-%s" % (kind, arch.name))
        done = run("cmake", "-S", r.cmake_consumer(), "-B", build,
                   "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_PREFIX_PATH=" + root,
                   *extra, check=False, stderr=subprocess.STDOUT)
        log = done.stdout
        if done.returncode == 0:
            done = run("cmake", "--build", build, check=False, stderr=subprocess.STDOUT)
            log += done.stdout
        dll = os.path.join(build, "kesta.dll")
        if (done.returncode != 0 or not os.path.isfile(dll)
                or not filecmp.cmp(dll, os.path.join(root, "bin", "kesta.dll"), shallow=False)):
            report.fail("%s: the find_package consumer with %s did not build or copy kesta.dll:"
                        % (arch.name, kind), log)
            continue
        # lld's libkesta.dll.a links under lld-link too, so which one kesta::kesta gave
        # shows only on the link line.
        app = os.path.join(build, "CMakeFiles", "app.dir")
        link_line = ""
        for path in glob.glob(os.path.join(app, "link.txt")) + glob.glob(app + "/*.rsp"):
            with open(path) as f:
                link_line += f.read()
        if os.path.join(root, "lib", library) not in link_line:
            report.fail("%s: find_package(kesta) did not give %s lib/%s"
                        % (arch.name, kind, library))
        else:
            report.ok("%s: find_package(kesta) gives %s lib/%s and copies kesta.dll"
                      % (arch.name, kind, library))
        program = os.path.join(root, "bin", "cmake-%s-consumer.exe" % kind)
        shutil.copy(os.path.join(build, "app.exe"), program)
        logs_in(arch, "cmake-" + kind, program)


def other_bitness_refused(r, arch):
    """A program of one bitness cannot load the other's DLL: find_package(kesta) refuses
    ARCH's zip to a project of the other bitness, and says why."""
    other = ARCH["x64" if arch.name == "x86" else "x86"]
    build = r.path("cmake-cross-" + arch.name)
    done = run("cmake", "-S", r.cmake_consumer(), "-B", build,
               "-DCMAKE_TOOLCHAIN_FILE=" + r.msvc_toolchain(other),
               "-DCMAKE_PREFIX_PATH=" + r.unpacked(arch), check=False, stderr=subprocess.STDOUT)
    if done.returncode == 0:
        report.fail("find_package(kesta) takes the %s zip for a %s program"
                    % (arch.name, other.name))
    elif "bitness" in done.stdout:
        report.ok("find_package(kesta) refuses the %s zip for a %s program, saying why"
                  % (arch.name, other.name))
    else:
        report.fail("find_package(kesta) refuses the %s zip for %s without a reason:"
                    % (arch.name, other.name), done.stdout)


def scenario_rows(r, arch):
    """Every scenario row against the DLL that ships, which another compiler builds than the
    one the test presets' DLLs come from: the scenario program of that bitness loads the
    kesta.dll beside it."""
    rows = r.path("scenarios-" + arch.name)
    os.makedirs(rows)
    shutil.copy(os.path.join(TOP, "build", arch.preset, "scenario_test.exe"), rows)
    shutil.copy(os.path.join(r.unpacked(arch), "bin", "kesta.dll"), rows)
    done = run(os.path.join(TOP, "scripts", "wine-run"), os.path.join(rows, "scenario_test.exe"),
               check=False, stderr=subprocess.STDOUT)
    if done.returncode == 0:
        passed = len(re.findall(r"^\[       OK \]", done.stdout, re.M))
        report.ok("%s: every scenario row through the zip's kesta.dll (%d passed)"
                  % (arch.name, passed))
    else:
        failures = [line for line in done.stdout.splitlines()
                    if re.search(r"^\[  FAILED|Failure|Which is", line)]
        report.fail("%s: scenario rows through the zip's kesta.dll:" % arch.name,
                    "\n".join(failures[:40]))


# --- NuGet ---------------------------------------------------------------------------------

def nuget_install(r):
    """nuget installs the package from the release folder."""
    name = "kesta.%s.nupkg" % r.version
    if not os.path.isfile(os.path.join(r.folder, name)):
        report.fail("no %s in the release" % name)
    r.nuget_package()
    report.ok("nuget installs kesta %s from the release folder" % r.version)


def xbuild(r, platform, out, *targets):
    return run("xbuild", "/nologo", "/v:minimal", "/p:Platform=" + platform,
               "/p:KestaPackage=" + r.nuget_package(), "/p:OutDir=%s/" % out, *targets,
               os.path.join(TOP, "tests", "dist", "nuget-consumer.proj"),
               check=False, stderr=subprocess.STDOUT)


def nuget_targets(r, platform):
    """A project of PLATFORM gets the package's include folder, its zip's kesta.lib, and its
    zip's kesta.dll and PDB copied to the output folder."""
    unpacked = r.unpacked(ARCH[platform.arch])
    out = r.path("nuget-out-" + platform.name)
    done = xbuild(r, platform.name, out, "/t:KestaShow;Build")
    if done.returncode != 0:
        report.fail("xbuild of a %s project with kesta's targets:" % platform.name, done.stdout)
        return
    props = dict(re.findall(r"kesta property (\w+)=(.*)", done.stdout))
    copy = re.search(r"kesta copy: (.*)", done.stdout).group(1).strip().split(";")
    problems = []
    # xbuild evaluates no ItemDefinitionGroup: its metadata, with the properties xbuild
    # evaluated put in, is what Visual Studio's MSBuild sees.
    ns = {"m": "http://schemas.microsoft.com/developer/msbuild/2003"}
    targets = os.path.join(r.nuget_package(), "build", "native", "kesta.targets")
    group = ET.parse(targets).getroot().find("m:ItemDefinitionGroup", ns)

    def metadata(item, name):
        value = group.find("m:%s/m:%s" % (item, name), ns).text
        return re.sub(r"\$\((\w+)\)", lambda m: props.get(m.group(1), ""),
                      value).replace("\\", "/")

    include = metadata("ClCompile", "AdditionalIncludeDirectories").split(";")
    library = metadata("Link", "AdditionalDependencies").split(";")
    if (include[-1] != "%(AdditionalIncludeDirectories)"
            or library[-1] != "%(AdditionalDependencies)"):
        problems.append("the targets drop the project's own include folders or libraries")
    if not filecmp.cmp(os.path.join(include[0], "kesta.h"),
                       os.path.join(unpacked, "include", "kesta.h"), False):
        problems.append("include folder %s has another kesta.h" % include[0])
    if not os.path.isfile(library[0]) or not filecmp.cmp(
            library[0], os.path.join(unpacked, "lib", "kesta.lib"), False):
        problems.append("links %s, not this platform's kesta.lib" % library[0])
    for name in ("kesta.dll", "kesta.pdb"):
        if not os.path.isfile(os.path.join(out, name)) or not filecmp.cmp(
                os.path.join(out, name), os.path.join(unpacked, "bin", name), False):
            problems.append("the output folder has no %s of this platform" % name)
    if sorted(os.path.basename(c) for c in copy) != ["kesta.dll", "kesta.pdb"]:
        problems.append("copies %s" % copy)
    if problems:
        report.fail("%s: %s" % (platform.name, "; ".join(problems)))
    else:
        report.ok("a %s project gets %s's kesta.lib, DLL and PDB"
                  % (platform.name, platform.arch))


def nuget_other_platform(r):
    """An ARM64 project stops: the package has no ARM64 DLL, and says which it has."""
    done = xbuild(r, "ARM64", r.path("nuget-out-ARM64"))
    if done.returncode == 0:
        report.fail("an ARM64 project builds against a package without an ARM64 DLL")
    elif "Win32 (x86) and x64 builds only" in done.stdout:
        report.ok("an ARM64 project stops, saying which platforms the package has")
    else:
        report.fail("the ARM64 project failed for another reason:", done.stdout)


# --- SBOMs ---------------------------------------------------------------------------------

def release_packages(r):
    """Every package of the release: the zips, the NuGet package, the Debian packages."""
    return [path for pattern in ("*.zip", "*.nupkg", "*.deb")
            for path in sorted(glob.glob(os.path.join(r.folder, pattern)))]


def sbom_of(package):
    return os.path.splitext(package)[0] + ".cdx.json"


def sbom_files(r):
    """Every package has an SBOM beside it, and SHA256SUMS lists it."""
    with open(os.path.join(r.folder, "SHA256SUMS")) as f:
        sums = f.read().splitlines()
    packages = release_packages(r)
    problems = []
    for package in packages:
        sbom = sbom_of(package)
        if not os.path.isfile(sbom):
            problems.append("no SBOM for %s" % os.path.basename(package))
        elif not any(line.endswith(" " + os.path.basename(sbom)) for line in sums):
            problems.append("SHA256SUMS does not list %s" % os.path.basename(sbom))
    if problems:
        report.fail("; ".join(problems))
    else:
        report.ok("each of the %d packages has its SBOM, listed in SHA256SUMS" % len(packages))


def sbom_schema(r):
    """Every SBOM is valid CycloneDX 1.5, with SPDX licences, as the schema validator says."""
    sboms = [sbom_of(p) for p in release_packages(r) if os.path.isfile(sbom_of(p))]
    done = run("node", os.path.join(TOP, "tests", "dist", "sbom", "validate.mjs"), *sboms,
               check=False, stderr=subprocess.STDOUT,
               env=environment(KESTA_SBOM_TOOLS=os.path.join(TOP, "build", "sbom-tools")))
    if done.returncode != 0:
        report.fail("an SBOM is not valid CycloneDX 1.5:", done.stdout)
    else:
        report.ok("%d SBOMs are valid CycloneDX 1.5" % len(sboms))


def installed_versions(package):
    out = run("dpkg-query", "-W", "-f=${Version}\n", package, check=False).stdout
    return set(out.split())


def sbom_contents(r):
    """Each SBOM says what its package holds: kesta's version; the Debian parts at their
    installed versions; for a Debian package, exactly its dependencies; for a Windows
    package, its binaries by their hashes, and what was linked into them (MinGW-w64's
    runtime, libgcc, and libstdc++ in a zip, where kesta-login.exe links it)."""
    problems = []
    sboms = [sbom_of(p) for p in release_packages(r) if os.path.isfile(sbom_of(p))]
    for path in sboms:
        with open(path) as f:
            bom = json.load(f)
        package = os.path.basename(path)[: -len(".cdx.json")]
        parts = bom["components"]
        names = {p["name"].split(" ")[0] for p in parts}
        if bom["metadata"]["component"]["version"] != r.version:
            problems.append("%s: kesta's version is not %s" % (package, r.version))
        for p in parts:
            if p.get("purl", "").startswith("pkg:deb/debian/"):
                debian = p["purl"].split("/")[2].split("@")[0]
                if p["version"] not in installed_versions(debian):
                    problems.append("%s: %s is version %s, not the installed one"
                                    % (package, debian, p["version"]))
        if "_" in package:
            depends = run("dpkg-deb", "-f", os.path.join(r.folder, package + ".deb"),
                          "Depends").stdout
            want = {c.strip().split(" ")[0].split(":")[0] for c in depends.split(",")
                    if c.strip()}
            if names != want:
                problems.append("%s: lists %s; the package depends on %s"
                                % (package, sorted(names), sorted(want)))
            continue
        nuget = package.startswith("kesta.")
        shipped = os.path.join(r.folder, package + (".nupkg" if nuget else ".zip"))
        with zipfile.ZipFile(shipped) as z:
            for p in parts:
                inside = [q["value"] for q in p.get("properties", []) if q["name"] == "kesta:path"]
                if inside:
                    digest = hashlib.sha256(z.read(inside[0])).hexdigest()
                    if p["hashes"][0]["content"] != digest:
                        problems.append("%s: %s has another SHA-256 than the shipped file"
                                        % (package, inside[0]))
        binaries = {p["name"] for p in parts
                    if any(q["name"] == "kesta:path" for q in p.get("properties", []))}
        want_binaries = {"kesta.dll"} if nuget else {"kesta.dll", "kesta-login.exe"}
        for name in sorted(want_binaries - binaries):
            problems.append("%s: %s is not listed" % (package, name))
        linked = ["libgcc.a", "libmingwex.a", "libmingw32.a"] + ([] if nuget else ["libstdc++.a"])
        for name in linked:
            if name not in names:
                problems.append("%s: %s, linked in, is not listed" % (package, name))
    if problems:
        report.fail("the SBOMs do not say what the packages hold: " + "; ".join(problems))
    else:
        report.ok("%d SBOMs list the shipped files and what went into them" % len(sboms))


# --- Signing -------------------------------------------------------------------------------

def signature_verifies(path, root):
    """osslsigncode's verdict on PATH's Authenticode signature against ROOT, and its words."""
    done = run("osslsigncode", "verify", "-CAfile", root, "-in", path, check=False,
               stderr=subprocess.STDOUT)
    return done.returncode == 0, done.stdout


def signed_binaries(r, arch):
    """scripts/dist with a throwaway certificate signs kesta.dll and kesta-login.exe with
    SHA-256 so that its root verifies them and another root does not, leaves the unsigned
    package's binaries without a signature, and keeps the signed DLL's boundary and its
    PDB's match (signing leaves the debug directory as it was)."""
    pki = r.pki()
    root, other_root = os.path.join(pki, "root.pem"), os.path.join(pki, "other-root.pem")
    folder = r.path("signed-" + arch.name)
    with zipfile.ZipFile(r.zip(arch, r.signed(), suffix="")) as z:
        z.extractall(folder)
    for binary in ("kesta.dll", "kesta-login.exe"):
        signed = os.path.join(folder, "bin", binary)
        verified, said = signature_verifies(signed, root)
        if verified and re.search(r"digest algorithm *: *sha256", said, re.I):
            report.ok("%s: %s is signed (SHA-256) and its root verifies it" % (arch.name, binary))
        else:
            report.fail("%s: %s does not verify with its root:" % (arch.name, binary), said)
        if signature_verifies(signed, other_root)[0]:
            report.fail("%s: %s verifies with a root that never signed it" % (arch.name, binary))
        else:
            report.ok("%s: %s does not verify with another root" % (arch.name, binary))
        unsigned = os.path.join(r.unpacked(arch), "bin", binary)
        if signature_verifies(unsigned, root)[0]:
            report.fail("%s: the unsigned package's %s has a signature" % (arch.name, binary))
        else:
            report.ok("%s: the unsigned package's %s has no signature" % (arch.name, binary))
    dll = os.path.join(folder, "bin", "kesta.dll")
    problems = check_binary.check_dll(dll, arch.machine, r.version)
    problems += pdb_problems(dll, os.path.join(folder, "bin", "kesta.pdb"), "_KESTA_LOGIN",
                             "login.cpp", False)[0]
    if problems:
        report.fail("%s: the signed kesta.dll: %s" % (arch.name, "; ".join(problems)))
    else:
        report.ok("%s: the signed kesta.dll keeps its boundary and its PDB" % arch.name)


def sums_signature(folder, root):
    """openssl's verdict on FOLDER's detached signature of SHA256SUMS against ROOT."""
    done = run("openssl", "cms", "-verify", "-binary", "-inform", "DER",
               "-in", os.path.join(folder, "SHA256SUMS.p7s"),
               "-content", os.path.join(folder, "SHA256SUMS"), "-CAfile", root,
               "-purpose", "any", "-out", os.devnull, check=False)
    return done.returncode == 0, done.stderr


def signed_sums(r):
    """The signed release's SHA256SUMS.p7s verifies with the signing root, not with another
    root nor once SHA256SUMS changes; the unsigned release has none."""
    signed, pki = r.signed(), r.pki()
    if not os.path.isfile(os.path.join(signed, "SHA256SUMS.p7s")):
        report.fail("the signed release has no SHA256SUMS.p7s")
    else:
        verified, said = sums_signature(signed, os.path.join(pki, "root.pem"))
        if not verified:
            report.fail("SHA256SUMS.p7s does not verify:", said)
        else:
            report.ok("SHA256SUMS.p7s verifies with the signing root")
            problems = sums_problems(signed)
            if problems:
                report.fail("the signed SHA256SUMS does not match the signed release: "
                            + "; ".join(problems))
            else:
                report.ok("the signed SHA256SUMS matches the signed release")
            if sums_signature(signed, os.path.join(pki, "other-root.pem"))[0]:
                report.fail("SHA256SUMS.p7s verifies with a root that never signed it")
            else:
                report.ok("SHA256SUMS.p7s does not verify with another root")
            changed = r.path("changed")
            os.makedirs(changed)
            shutil.copy(os.path.join(signed, "SHA256SUMS.p7s"), changed)
            with open(os.path.join(signed, "SHA256SUMS"), "rb") as f:
                sums = f.read()
            # One digit of the first hash, turned into another digit: the file differs
            # whatever that digit was.
            with open(os.path.join(changed, "SHA256SUMS"), "wb") as f:
                f.write((b"1" if sums[:1] == b"0" else b"0") + sums[1:])
            if sums_signature(changed, os.path.join(pki, "root.pem"))[0]:
                report.fail("SHA256SUMS.p7s verifies a changed SHA256SUMS")
            else:
                report.ok("SHA256SUMS.p7s does not verify a changed SHA256SUMS")
    if os.path.exists(os.path.join(r.folder, "SHA256SUMS.p7s")):
        report.fail("the unsigned release has a SHA256SUMS.p7s")
    else:
        report.ok("the unsigned release has no SHA256SUMS.p7s")


# --- The Debian packages -------------------------------------------------------------------

def lintian(r):
    """lintian finds no error in the Debian packages."""
    done = run("lintian", "--fail-on", "error", *[r.deb(p) for p in DEBS], check=False,
               stderr=subprocess.STDOUT)
    if done.returncode == 0:
        warnings = len(re.findall(r"^W:", done.stdout, re.M))
        report.ok("no errors (%d warnings)" % warnings)
    else:
        report.fail("errors:", done.stdout)


def deb_field(r, package, what):
    """A control field ("control:NAME"), a control file ("file:NAME") or the list of files
    ("contents") of PACKAGE, as text."""
    deb = r.deb(package)
    if what.startswith("control:"):
        return run("dpkg-deb", "-f", deb, what[len("control:"):]).stdout.rstrip("\n")
    if what.startswith("file:"):
        control = r.path("control-" + package)
        shutil.rmtree(control, ignore_errors=True)
        run("dpkg-deb", "-e", deb, control)
        path = os.path.join(control, what[len("file:"):])
        if not os.path.isfile(path):
            return ""
        with open(path) as f:
            return f.read()
    listing = run("dpkg-deb", "-c", deb).stdout.splitlines()
    return "\n".join(line.split()[5] for line in listing if len(line.split()) > 5)


def deb_fields(r):
    """The Debian packages have their dependencies, shlibs, ldconfig trigger, man page and
    files."""
    problems = []
    for package, what, want in DEB_FIELDS:
        want = want.replace("VERSION", r.version)
        got = deb_field(r, package, what)
        if want not in got:
            problems.append("%s: %s lacks '%s' (has: %s)"
                            % (package, what, want, got.replace("\n", " ")))
    if problems:
        report.fail("; ".join(problems))
    else:
        report.ok("the Debian packages hold their %d fields and files" % len(DEB_FIELDS))


def deb_pkg_config(r):
    """kesta.pc of the unpacked packages gives their own prefix and the release's version,
    and a program built with its flags runs against the unpacked library."""
    root = r.deb_root()
    libdir = os.path.join(root, MULTIARCH_LIB)
    env = environment(PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"))
    prefix = run("pkg-config", "--variable=prefix", "kesta", env=env).stdout.strip()
    if os.path.isdir(prefix) and os.path.normpath(prefix) == os.path.join(root, "usr"):
        report.ok("kesta.pc's prefix is where the packages were unpacked")
    else:
        report.fail("kesta.pc's prefix %s is not %s/usr" % (prefix, root))
    got = run("pkg-config", "--modversion", "kesta", env=env).stdout.strip()
    if got == r.version:
        report.ok("kesta.pc says version %s" % got)
    else:
        report.fail("kesta.pc says version %s, not %s" % (got, r.version))
    flags = run("pkg-config", "--cflags", "--libs", "kesta", env=env).stdout.split()
    program = r.path("deb-pc-consumer")
    run("cc", "-std=c99", "-Wall", "-Werror", "-o", program,
        os.path.join(TOP, "tests", "consumer", "main.c"), *flags)
    done = run(program, check=False, env=environment(LD_LIBRARY_PATH=libdir))
    if done.returncode == 0:
        report.ok("pkg-config consumer on the .deb contents")
    else:
        report.fail("the pkg-config consumer:", done.stdout + done.stderr)


def deb_find_package(r):
    """find_package(kesta) finds the unpacked packages, and its program runs."""
    root = r.deb_root()
    build = r.path("deb-cmake-consumer")
    run("cmake", "-S", os.path.join(TOP, "tests", "consumer"), "-B", build,
        "-DCMAKE_PREFIX_PATH=" + os.path.join(root, "usr"))
    run("cmake", "--build", build)
    done = run(os.path.join(build, "consumer"), check=False,
               env=environment(LD_LIBRARY_PATH=os.path.join(root, MULTIARCH_LIB)))
    if done.returncode == 0:
        report.ok("find_package(kesta) consumer on the .deb contents")
    else:
        report.fail("the find_package consumer:", done.stdout + done.stderr)


def dbgsym(r):
    """libkesta1-dbgsym holds the shipped library's symbols under its build ID, where gdb
    looks, with source lines for _KESTA_LOGIN."""
    root = r.deb_root()
    library = os.path.join(root, MULTIARCH_LIB, "libkesta.so." + r.version)
    notes = run("readelf", "-n", library).stdout
    build_id = re.search(r"^ *Build ID: *(\S*)", notes, re.M)
    build_id = build_id.group(1) if build_id else ""
    symbols = os.path.join(root, "usr", "lib", "debug", ".build-id", build_id[:2],
                           build_id[2:] + ".debug")
    if not build_id or not os.path.isfile(symbols):
        report.fail("libkesta1-dbgsym has no symbols for libkesta1's build ID '%s'" % build_id)
        return
    address = re.search(r"^([0-9a-f]*) T _KESTA_LOGIN$", run("nm", symbols, check=False).stdout,
                        re.M)
    address = address.group(1) if address else ""
    where = run("addr2line", "-e", symbols, "0x" + address, check=False).stdout.strip()
    if re.search(r"login\.cpp:[1-9]", where):
        report.ok("libkesta1-dbgsym: _KESTA_LOGIN is at %s by build ID" % os.path.basename(where))
    else:
        report.fail("libkesta1-dbgsym: _KESTA_LOGIN at '%s' resolves to '%s'" % (address, where))


def deb_kesta_login(r):
    """The packaged kesta-login runs against the packaged library and says its version."""
    root = r.deb_root()
    got = run(os.path.join(root, "usr", "bin", "kesta-login"), "--version",
              env=environment(LD_LIBRARY_PATH=os.path.join(root, MULTIARCH_LIB))).stdout
    got = got.rstrip("\n")
    if got == "kesta-login " + r.version:
        report.ok("the packaged kesta-login says '%s'" % got)
    else:
        report.fail("the packaged kesta-login says '%s'" % got)


# Every check in the order it runs, and what it runs for: each arch, each NuGet platform,
# or once.
ONCE = [None]
CHECKS = [
    # The two builds and their comparison.
    (same_sums, ONCE),
    (sums_match, ONCE),
    # The zips.
    (zip_members, ARCHES),
    (zip_binaries, ARCHES),
    (zip_pdbs, ARCHES),
    (debuglink, ARCHES),
    (dll_stripped, ARCHES),
    # The consumers.
    (header_cl_mode, ARCHES),
    (msvc_consumer, ARCHES),
    (mingw_consumer, ARCHES),
    (pc_consumer, ARCHES),
    (cmake_consumers, ARCHES),
    (other_bitness_refused, ARCHES),
    (scenario_rows, ARCHES),
    # NuGet.
    (nuget_install, ONCE),
    (nuget_targets, NUGET_PLATFORMS),
    (nuget_other_platform, ONCE),
    # SBOMs.
    (sbom_files, ONCE),
    (sbom_schema, ONCE),
    (sbom_contents, ONCE),
    # Signing.
    (signed_binaries, ARCHES),
    (signed_sums, ONCE),
    # The Debian packages.
    (lintian, ONCE),
    (deb_fields, ONCE),
    (deb_pkg_config, ONCE),
    (deb_find_package, ONCE),
    (dbgsym, ONCE),
    (deb_kesta_login, ONCE),
]


def guarded(label, function, *args):
    """FUNCTION(ARGS), or None when it stopped on an error, which fails the check that ran
    it, the error's message after LABEL (a traceback where the error is not Failed)."""
    try:
        return function(*args)
    except Failed as e:
        report.fail(label + str(e))
    except Exception:
        report.fail(label + "stopped:", traceback.format_exc())
    return None


def main():
    names = [check.__name__ for check, _ in CHECKS]
    args = sys.argv[1:]
    if args == ["--list"]:
        print("\n".join(names))
        return 0
    unknown = [a for a in args if a not in names]
    if unknown:
        print("dist_test: no check %s; --list names them" % ", ".join(unknown), file=sys.stderr)
        return 2
    os.environ["SOURCE_DATE_EPOCH"] = run("git", "-C", TOP, "log", "-1",
                                          "--format=%ct").stdout.strip()
    with tempfile.TemporaryDirectory(prefix="kesta-dist.") as work:
        report.check = "scripts/dist"
        release = guarded("", Release, work)
        if release is not None:
            for check, rows in CHECKS:
                if args and check.__name__ not in args:
                    continue
                report.check = check.__name__
                for row in rows:
                    if row is None:
                        guarded("", check, release)
                    else:
                        guarded(row.name + ": ", check, release, row)
    print("dist_test: %d passed, %d failed" % (report.passed, report.failed), flush=True)
    if report.failed:
        return 1
    print("dist_test: all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
