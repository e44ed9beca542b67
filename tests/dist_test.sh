#!/bin/sh
# The release packages, checked the way their users meet them. Runs inside
# the test network (scripts/testnet), as `make test` does:
#
#   tests/dist_test.sh
#
# - scripts/dist from this checkout and from a copy in another folder give
#   the same SHA256SUMS (and so the same DLLs and PDBs, bit for bit);
# - each zip holds exactly its files, all with the release's time, and its
#   DLL and EXE pass check_binary (boundary, imports, hardening, version
#   resource); the DLL names its symbol file by .gnu_debuglink with the
#   right CRC;
# - each binary's debug directory names its PDB by file name, with the
#   PDB's GUID and age, and through that PDB alone llvm-symbolizer finds
#   _KESTA_LOGIN in login.cpp (main in kesta-login.cpp) at a line; the
#   DLL's code calls the stack guard's __stack_chk_fail (check_pdb.py);
# - programs linked against the unpacked zip log in to the test server
#   under Wine: clang for the MSVC target with lld-link and lib/kesta.lib,
#   and MinGW with lib/libkesta.dll.a, for x86 and x64, by hand, through
#   the zip's kesta.pc, and through find_package(kesta) with the lines the
#   README shows (clang-cl and lld-link, and MinGW's GCC), which copies
#   kesta.dll beside the program; the package refuses a consumer of the
#   other bitness; the header passes clang in cl mode with /W4 /WX as C
#   and as C++17; every scenario row passes through the zip's DLL, which
#   is built by another compiler than the test presets' DLLs;
# - nuget installs the NuGet package from the release folder, and xbuild
#   evaluates its targets for Win32 and x64 to the package's include
#   folder, the platform's kesta.lib, and the platform's kesta.dll and PDB
#   copied to the output folder, and stops for another platform;
# - every package has an SBOM that the CycloneDX 1.5 schema accepts, whose
#   hashes are the shipped files' and which lists the MinGW-w64 runtime,
#   libgcc (and libstdc++ where linked) at their installed versions, or
#   the Debian package's dependencies;
# - with a throwaway code-signing certificate, scripts/dist signs every
#   Windows binary so that its root verifies it and another root does not,
#   and SHA256SUMS with a detached signature that fails once the file
#   changes;
# - lintian finds no error in the Debian packages, which have their
#   dependencies, shlibs, ldconfig trigger and man page, and whose contents,
#   unpacked into a scratch root, serve a pkg-config and a find_package
#   consumer; libkesta1-dbgsym holds the symbols of libkesta1's library
#   under its build ID, with source lines.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kesta-dist.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "dist_test: FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "dist_test: ok: $*"; }

export SOURCE_DATE_EPOCH="$(git -C "$top" log -1 --format=%ct)"

# --- Two builds in two folders --------------------------------------------
KESTA_DIST_BUILD="$top/build/dist" "$top/scripts/dist" "$work/a" >/dev/null
mkdir -p "$work/elsewhere/kesta-copy"
(cd "$top" && tar --exclude=./build --exclude=./dist -cf - .) | tar -xf - -C "$work/elsewhere/kesta-copy"
KESTA_DIST_BUILD="$work/elsewhere/out-of-tree" "$work/elsewhere/kesta-copy/scripts/dist" \
    "$work/b" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$top/build/dist/deb/CMakeCache.txt")
if cmp -s "$work/a/SHA256SUMS" "$work/b/SHA256SUMS"; then
    pass "two folders, the same SHA256SUMS ($(wc -l <"$work/a/SHA256SUMS") packages)"
else
    fail "the packages differ between two folders:"
    diff "$work/a/SHA256SUMS" "$work/b/SHA256SUMS" >&2 || true
fi
(cd "$work/a" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"

# --- The zips --------------------------------------------------------------
members="CHANGELOG.md LICENSE README.md bin/kesta-login.exe bin/kesta-login.pdb bin/kesta.dll
bin/kesta.pdb debug/kesta.dll.debug include/kesta.h lib/cmake/kesta/kestaConfig.cmake
lib/cmake/kesta/kestaConfigVersion.cmake lib/kesta.def lib/kesta.lib lib/libkesta.dll.a
lib/pkgconfig/kesta.pc"
# arch  PE machine  clang target              MinGW compiler          import-library machine
cat >"$work/arches" <<'ROWS'
x86 i386 i686-pc-windows-msvc i686-w64-mingw32-gcc i386
x64 x86-64 x86_64-pc-windows-msvc x86_64-w64-mingw32-gcc i386:x86-64
ROWS
while read -r arch machine target mingw dlltool_machine; do
    zip="$work/a/kesta-$version-windows-$arch-unsigned.zip"
    [ -f "$zip" ] || { fail "no $zip"; continue; }
    python3 - "$zip" "$SOURCE_DATE_EPOCH" $members <<'PY' || fail "$arch: zip members"
import sys, time, zipfile
path, epoch, want = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
z = zipfile.ZipFile(path)
names = [i.filename for i in z.infolist()]
when = time.gmtime(epoch)[:5]
problems = []
if names != sorted(want):
    problems.append("members %s, want %s" % (names, sorted(want)))
for i in z.infolist():
    # DOS times have two-second steps.
    if i.date_time[:5] != when or abs(i.date_time[5] - time.gmtime(epoch)[5]) > 1:
        problems.append("%s has time %s, not the release's %s" % (i.filename, i.date_time, when))
for p in problems:
    print("zip: " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
    unpacked="$work/unpacked-$arch"
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
        "$zip" "$unpacked"
    python3 "$top/tests/check_binary.py" dll "$unpacked/bin/kesta.dll" "$machine" "$version" ||
        fail "$arch: kesta.dll"
    python3 "$top/tests/check_binary.py" exe "$unpacked/bin/kesta-login.exe" "$machine" \
        "$version" || fail "$arch: kesta-login.exe"
    # binary  PDB  a function in it  its source file  more
    while read -r binary pdb function source extra; do
        # shellcheck disable=SC2086
        python3 "$top/tests/dist/check_pdb.py" "$unpacked/bin/$binary" "$unpacked/bin/$pdb" \
            "$function" "$source" $extra || fail "$arch: $binary and $pdb"
    done <<'ROWS'
kesta.dll kesta.pdb _KESTA_LOGIN login.cpp --stack-guard
kesta-login.exe kesta-login.pdb main kesta-login.cpp
ROWS
    python3 - "$unpacked" "$mingw" <<'PY' || fail "$arch: .gnu_debuglink"
import os, subprocess, sys, zlib
root, tool = sys.argv[1], sys.argv[2].replace("-gcc", "-objcopy")
link = os.path.join(root, "link")
subprocess.run([tool, "--dump-section", ".gnu_debuglink=" + link,
                os.path.join(root, "bin", "kesta.dll"), os.path.join(root, "scratch")], check=True)
data = open(link, "rb").read()
name, crc = data[: data.index(b"\0")].decode(), int.from_bytes(data[-4:], "little")
want = zlib.crc32(open(os.path.join(root, "debug", "kesta.dll.debug"), "rb").read())
if name != "kesta.dll.debug" or crc != want:
    sys.exit("debuglink names %s with CRC %08x; want kesta.dll.debug, %08x" % (name, crc, want))
PY
    [ "$(wc -c <"$unpacked/bin/kesta.dll")" -lt 102400 ] || fail "$arch: kesta.dll is not stripped"

    # The header as Visual Studio's compiler sees it, as C and as C++17
    # (clang in cl mode; after --, a path that starts with / is no option).
    for language in /TC "/TP /std:c++17"; do
        # shellcheck disable=SC2086
        clang --driver-mode=cl --target="$target" /W4 /WX /Zs $language -DCONSUMER_NO_CRT \
            -I "$unpacked/include" -- "$top/tests/dist/consumer.c" ||
            fail "$arch: kesta.h under clang-cl /W4 /WX $language"
    done

    # As users link: no C runtime for the MSVC target here, so Kernel32's
    # import library comes from a .def, the way kesta.lib does.
    if [ "$arch" = x86 ]; then
        printf 'LIBRARY KERNEL32.dll\nEXPORTS\nGetStdHandle@4\nWriteFile@20\nExitProcess@4\n'
    else
        printf 'LIBRARY KERNEL32.dll\nEXPORTS\nGetStdHandle\nWriteFile\nExitProcess\n'
    fi >"$work/kernel32-$arch.def"
    llvm-dlltool -m "$dlltool_machine" -k -d "$work/kernel32-$arch.def" -l "$work/kernel32-$arch.lib"
    clang -target "$target" -DCONSUMER_NO_CRT -fno-stack-protector -O1 -Wall -Wextra -Werror \
        -I "$unpacked/include" -c "$top/tests/dist/consumer.c" -o "$work/consumer-$arch.obj"
    lld-link /nologo /entry:start /subsystem:console /nodefaultlib \
        "/out:$unpacked/bin/msvc-consumer.exe" "$work/consumer-$arch.obj" \
        "$unpacked/lib/kesta.lib" "$work/kernel32-$arch.lib"
    "$mingw" -std=c99 -Wall -Wextra -Werror -I "$unpacked/include" "$top/tests/dist/consumer.c" \
        -o "$unpacked/bin/mingw-consumer.exe" -L "$unpacked/lib" -lkesta -static
    # MinGW through the zip's kesta.pc, and nothing of the host's.
    # shellcheck disable=SC2046
    "$mingw" -std=c99 -Wall -Wextra -Werror "$top/tests/dist/consumer.c" \
        -o "$unpacked/bin/pc-consumer.exe" -static \
        $(PKG_CONFIG_LIBDIR="$unpacked/lib/pkgconfig" PKG_CONFIG_PATH="" pkg-config --cflags \
        --libs kesta) || fail "$arch: the pkg-config consumer does not build"

    # find_package(kesta): the README's lines, built by clang-cl with
    # lld-link (kesta.lib) and by MinGW's GCC (libkesta.dll.a); each copies
    # kesta.dll beside its program.
    consumer="$work/cmake-consumer"
    rm -rf "$consumer"
    mkdir -p "$consumer"
    cp "$top/tests/dist/consumer.c" "$consumer/app.c"
    {
        printf 'cmake_minimum_required(VERSION 3.25)\nproject(app LANGUAGES C)\n'
        sed -n '/^<!-- The CMake consumer of tests\/dist_test.sh -->$/,/^[^ ]/s/^    //p' \
            "$top/README.md" | sed '/^<!--/d'
        # Without a C runtime for the MSVC target here: start and Kernel32
        # as for the hand-linked program above.
        printf 'if(CONSUMER_NO_CRT)\n  target_compile_definitions(app PRIVATE CONSUMER_NO_CRT)\n'
        printf '  target_compile_options(app PRIVATE /GS-)\n'
        printf '  target_link_options(app PRIVATE /entry:start /nodefaultlib /subsystem:console)\n'
        printf '  target_link_libraries(app PRIVATE ${CONSUMER_NO_CRT})\nendif()\n'
    } >"$consumer/CMakeLists.txt"
    grep -q 'find_package(kesta' "$consumer/CMakeLists.txt" ||
        fail "README.md shows no CMake consumer after its marker"
    cat >"$work/msvc-$arch.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $(test "$arch" = x86 && echo X86 || echo AMD64))
set(CMAKE_C_COMPILER clang-cl-14)
set(CMAKE_C_COMPILER_TARGET $target)
set(CMAKE_LINKER lld-link)
set(CMAKE_AR llvm-lib)
set(CMAKE_RC_COMPILER llvm-rc)
set(CMAKE_MT llvm-mt)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS_INIT /MANIFEST:NO)
TOOLCHAIN
    mingw_toolchain="$top/cmake/mingw-w64-$(test "$arch" = x86 && echo i686 || echo x86_64).cmake"
    # consumer  import library it must link  toolchain  more
    while read -r kind library toolchain extra; do
        rm -rf "$work/cmake-$kind"
        # shellcheck disable=SC2086
        if cmake -S "$consumer" -B "$work/cmake-$kind" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DCMAKE_PREFIX_PATH="$unpacked" $extra >"$work/cmake-$kind.log" 2>&1 &&
            cmake --build "$work/cmake-$kind" >>"$work/cmake-$kind.log" 2>&1 &&
            cmp -s "$work/cmake-$kind/kesta.dll" "$unpacked/bin/kesta.dll"; then
            cp "$work/cmake-$kind/app.exe" "$unpacked/bin/cmake-$kind-consumer.exe"
            # lld's libkesta.dll.a links under lld-link too, so which one
            # kesta::kesta gave shows only on the link line.
            cat "$work/cmake-$kind/CMakeFiles/app.dir/link.txt" \
                "$work/cmake-$kind/CMakeFiles/app.dir/"*.rsp 2>/dev/null |
                grep -q "$unpacked/lib/$library" ||
                fail "$arch: find_package(kesta) did not give $kind lib/$library"
        else
            fail "$arch: the find_package consumer with $kind did not build or copy kesta.dll:"
            cat "$work/cmake-$kind.log" >&2
        fi
    done <<ROWS
msvc kesta.lib $work/msvc-$arch.cmake -DCONSUMER_NO_CRT=$work/kernel32-$arch.lib
mingw libkesta.dll.a $mingw_toolchain
ROWS
    for consumer in msvc mingw pc cmake-msvc cmake-mingw; do
        got=$("$top/scripts/wine-run" "$unpacked/bin/$consumer-consumer.exe" 2>&1 | tr -d '\r') ||
            true
        if [ "$got" = "$(printf 'session ID: KelpinUA:abc123\nuser agent: KelpinUA')" ]; then
            pass "$arch: a $consumer-linked program logs in through the zip's kesta.dll"
        else
            fail "$arch: the $consumer-linked program said: $got"
        fi
    done

    # Every scenario row against the DLL that ships, which another compiler
    # builds than the one the test presets' DLLs come from: the scenario
    # program of that bitness loads the kesta.dll beside it.
    preset=win32
    [ "$arch" = x64 ] && preset=win64
    rows="$work/scenarios-$arch"
    mkdir -p "$rows"
    cp "$top/build/$preset/scenario_test.exe" "$unpacked/bin/kesta.dll" "$rows/"
    if "$top/scripts/wine-run" "$rows/scenario_test.exe" >"$rows/log" 2>&1; then
        pass "$arch: every scenario row through the zip's kesta.dll ($(grep -c '^\[       OK \]' "$rows/log") passed)"
    else
        fail "$arch: scenario rows through the zip's kesta.dll:"
        grep -E '^\[  FAILED|Failure|Which is' "$rows/log" | head -n 40 >&2
    fi
done <"$work/arches"

# A program of one bitness cannot load the other's DLL: the package says so.
for pair in x86:x64 x64:x86; do
    zip_arch=${pair%:*} consumer_arch=${pair#*:}
    rm -rf "$work/cmake-cross"
    if cmake -S "$work/cmake-consumer" -B "$work/cmake-cross" \
        -DCMAKE_TOOLCHAIN_FILE="$work/msvc-$consumer_arch.cmake" \
        -DCMAKE_PREFIX_PATH="$work/unpacked-$zip_arch" >"$work/cmake-cross.log" 2>&1; then
        fail "find_package(kesta) takes the $zip_arch zip for a $consumer_arch program"
    elif grep -q "bitness" "$work/cmake-cross.log"; then
        pass "find_package(kesta) refuses the $zip_arch zip for a $consumer_arch program, saying why"
    else
        fail "find_package(kesta) refuses the $zip_arch zip for $consumer_arch without a reason:"
        cat "$work/cmake-cross.log" >&2
    fi
done

# --- NuGet -----------------------------------------------------------------
[ -f "$work/a/kesta.$version.nupkg" ] || fail "no kesta.$version.nupkg in the release"
if nuget install kesta -Version "$version" -Source "$work/a" -OutputDirectory "$work/packages" \
    -NonInteractive >"$work/nuget.log" 2>&1; then
    pass "nuget installs kesta $version from the release folder"
else
    fail "nuget install:"
    cat "$work/nuget.log" >&2
fi
package="$work/packages/kesta.$version"
# Platform  zip  what the package must give: include folder, kesta.lib, the
# DLL and PDB in the output folder
while read -r platform arch; do
    out="$work/nuget-out-$platform"
    rm -rf "$out"
    if ! xbuild /nologo /v:minimal "/p:Platform=$platform" "/p:KestaPackage=$package" \
        "/p:OutDir=$out/" /t:KestaShow\;Build "$top/tests/dist/nuget-consumer.proj" \
        >"$work/xbuild-$platform.log" 2>&1; then
        fail "xbuild of a $platform project with kesta's targets:"
        cat "$work/xbuild-$platform.log" >&2
        continue
    fi
    python3 - "$work/xbuild-$platform.log" "$package/build/native/kesta.targets" \
        "$work/unpacked-$arch" "$out" <<'PY' && pass "NuGet: a $platform project gets $arch's kesta.lib, DLL and PDB" || fail "NuGet: $platform"
import filecmp, os, re, sys
import xml.etree.ElementTree as ET
log, targets, unpacked, out = sys.argv[1:]
text = open(log).read()
props = dict(re.findall(r"kesta property (\w+)=(.*)", text))
copy = re.search(r"kesta copy: (.*)", text).group(1).strip().split(";")
problems = []
# xbuild evaluates no ItemDefinitionGroup: its metadata, with the
# properties xbuild evaluated put in, is what Visual Studio's MSBuild sees.
ns = {"m": "http://schemas.microsoft.com/developer/msbuild/2003"}
group = ET.parse(targets).getroot().find("m:ItemDefinitionGroup", ns)
def metadata(item, name):
    value = group.find("m:%s/m:%s" % (item, name), ns).text
    return re.sub(r"\$\((\w+)\)", lambda m: props.get(m.group(1), ""), value).replace("\\", "/")
include = metadata("ClCompile", "AdditionalIncludeDirectories").split(";")
library = metadata("Link", "AdditionalDependencies").split(";")
if include[-1] != "%(AdditionalIncludeDirectories)" or library[-1] != "%(AdditionalDependencies)":
    problems.append("the targets drop the project's own include folders or libraries")
if not filecmp.cmp(os.path.join(include[0], "kesta.h"), os.path.join(unpacked, "include", "kesta.h"), False):
    problems.append("include folder %s has another kesta.h" % include[0])
if not os.path.isfile(library[0]) or not filecmp.cmp(library[0], os.path.join(unpacked, "lib", "kesta.lib"), False):
    problems.append("links %s, not this platform's kesta.lib" % library[0])
for name in ("kesta.dll", "kesta.pdb"):
    if not os.path.isfile(os.path.join(out, name)) or not filecmp.cmp(os.path.join(out, name), os.path.join(unpacked, "bin", name), False):
        problems.append("the output folder has no %s of this platform" % name)
if sorted(os.path.basename(c) for c in copy) != ["kesta.dll", "kesta.pdb"]:
    problems.append("copies %s" % copy)
for p in problems:
    print("nuget: " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
done <<'ROWS'
Win32 x86
x86 x86
x64 x64
ROWS
if xbuild /nologo /v:minimal /p:Platform=ARM64 "/p:KestaPackage=$package" \
    "/p:OutDir=$work/nuget-out-ARM64/" "$top/tests/dist/nuget-consumer.proj" \
    >"$work/xbuild-ARM64.log" 2>&1; then
    fail "NuGet: an ARM64 project builds against a package without an ARM64 DLL"
elif grep -q "Win32 (x86) and x64 builds only" "$work/xbuild-ARM64.log"; then
    pass "NuGet: an ARM64 project stops, saying which platforms the package has"
else
    fail "NuGet: the ARM64 project failed for another reason:"
    cat "$work/xbuild-ARM64.log" >&2
fi

# --- SBOMs -----------------------------------------------------------------
sboms=""
for package in "$work"/a/*.zip "$work"/a/*.nupkg "$work"/a/*.deb; do
    sbom="${package%.*}.cdx.json"
    [ -f "$sbom" ] || { fail "no SBOM for $(basename "$package")"; continue; }
    grep -q " $(basename "$sbom")\$" "$work/a/SHA256SUMS" ||
        fail "SHA256SUMS does not list $(basename "$sbom")"
    sboms="$sboms $sbom"
done
# shellcheck disable=SC2086
KESTA_SBOM_TOOLS="$top/build/sbom-tools" node "$top/tests/dist/sbom/validate.mjs" $sboms ||
    fail "an SBOM is not valid CycloneDX 1.5"
# shellcheck disable=SC2086
python3 - "$work" "$version" $sboms <<'PY' || fail "the SBOMs do not say what the packages hold"
import hashlib, json, os, subprocess, sys, zipfile
work, version, paths = sys.argv[1], sys.argv[2], sys.argv[3:]
problems = []
def installed(package):
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}\n", package], capture_output=True, text=True).stdout
    return set(out.split())
for path in paths:
    bom = json.load(open(path))
    package = os.path.basename(path)[: -len(".cdx.json")]
    parts = bom["components"]
    names = {p["name"].split(" ")[0] for p in parts}
    if bom["metadata"]["component"]["version"] != version:
        problems.append("%s: kesta's version is not %s" % (package, version))
    for p in parts:
        if p.get("purl", "").startswith("pkg:deb/debian/"):
            debian = p["purl"].split("/")[2].split("@")[0]
            if p["version"] not in installed(debian):
                problems.append("%s: %s is version %s, not the installed one" % (package, debian, p["version"]))
    if package.endswith(".deb") or "_" in package:
        deb = os.path.join(work, "a", package + ".deb")
        depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True).stdout
        want = {c.strip().split(" ")[0].split(":")[0] for c in depends.split(",") if c.strip()}
        if names != want:
            problems.append("%s: lists %s; the package depends on %s" % (package, sorted(names), sorted(want)))
        continue
    # A Windows package: its binaries by hash, and what was linked into them.
    with zipfile.ZipFile(os.path.join(work, "a", package + (".nupkg" if package.startswith("kesta.") else ".zip"))) as z:
        for p in parts:
            inside = [q["value"] for q in p.get("properties", []) if q["name"] == "kesta:path"]
            if inside:
                digest = hashlib.sha256(z.read(inside[0])).hexdigest()
                if p["hashes"][0]["content"] != digest:
                    problems.append("%s: %s has another SHA-256 than the shipped file" % (package, inside[0]))
    binaries = {p["name"] for p in parts if any(q["name"] == "kesta:path" for q in p.get("properties", []))}
    want_binaries = {"kesta.dll"} if package.startswith("kesta.") else {"kesta.dll", "kesta-login.exe"}
    for name in want_binaries - binaries:
        problems.append("%s: %s is not listed" % (package, name))
    for name in ["libgcc.a", "libmingwex.a", "libmingw32.a"] + ([] if package.startswith("kesta.") else ["libstdc++.a"]):
        if name not in names:
            problems.append("%s: %s, linked in, is not listed" % (package, name))
for p in problems:
    print("sbom: " + p, file=sys.stderr)
if not problems:
    print("dist_test: ok: %d SBOMs list the shipped files and what went into them" % len(paths))
sys.exit(1 if problems else 0)
PY

# --- Signing ---------------------------------------------------------------
pki="$work/pki"
mkdir -p "$pki"
# make_ca NAME: a throwaway root; make_leaf: a code-signing leaf under it.
make_ca() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" -keyout "$pki/$1.key" \
        -out "$pki/$1.pem" -addext basicConstraints=critical,CA:true \
        -addext keyUsage=critical,keyCertSign 2>/dev/null
}
make_ca root
make_ca other-root
openssl req -newkey rsa:2048 -nodes -subj "/CN=kesta test signer" -keyout "$pki/leaf.key" \
    -out "$pki/leaf.csr" 2>/dev/null
printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
    >"$pki/leaf.ext"
openssl x509 -req -in "$pki/leaf.csr" -CA "$pki/root.pem" -CAkey "$pki/root.key" -CAcreateserial \
    -days 2 -extfile "$pki/leaf.ext" -out "$pki/leaf.pem" 2>/dev/null
SIGN_CERT="$pki/leaf.pem" SIGN_KEY="$pki/leaf.key" KESTA_DIST_BUILD="$top/build/dist" \
    "$top/scripts/dist" "$work/signed" >/dev/null
for arch in x86 x64; do
    zip="$work/signed/kesta-$version-windows-$arch.zip"
    [ -f "$zip" ] || { fail "signed: no $zip"; continue; }
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
        "$zip" "$work/signed-$arch"
    for binary in kesta.dll kesta-login.exe; do
        signed="$work/signed-$arch/bin/$binary"
        if osslsigncode verify -CAfile "$pki/root.pem" -in "$signed" >"$work/verify.log" 2>&1 &&
            grep -qi "digest algorithm *: *sha256" "$work/verify.log"; then
            pass "$arch: $binary is signed (SHA-256) and its root verifies it"
        else
            fail "$arch: $binary does not verify with its root:"
            cat "$work/verify.log" >&2
        fi
        osslsigncode verify -CAfile "$pki/other-root.pem" -in "$signed" >/dev/null 2>&1 &&
            fail "$arch: $binary verifies with a root that never signed it"
        osslsigncode verify -CAfile "$pki/root.pem" -in "$work/unpacked-$arch/bin/$binary" \
            >/dev/null 2>&1 && fail "$arch: the unsigned package's $binary has a signature"
    done
    python3 "$top/tests/check_binary.py" dll "$work/signed-$arch/bin/kesta.dll" \
        "$(sed -n "s/^$arch \([^ ]*\) .*/\1/p" "$work/arches")" "$version" >/dev/null ||
        fail "$arch: the signed kesta.dll"
    # Signing leaves the debug directory as it was: the PDB still belongs.
    python3 "$top/tests/dist/check_pdb.py" "$work/signed-$arch/bin/kesta.dll" \
        "$work/signed-$arch/bin/kesta.pdb" _KESTA_LOGIN login.cpp >/dev/null ||
        fail "$arch: the signed kesta.dll and its PDB"
done
# verify_sums DIR ROOT: the detached signature of DIR's SHA256SUMS.
verify_sums() {
    openssl cms -verify -binary -inform DER -in "$1/SHA256SUMS.p7s" -content "$1/SHA256SUMS" \
        -CAfile "$2" -purpose any -out /dev/null 2>"$work/cms.log"
}
if [ ! -f "$work/signed/SHA256SUMS.p7s" ]; then
    fail "the signed release has no SHA256SUMS.p7s"
elif verify_sums "$work/signed" "$pki/root.pem"; then
    pass "SHA256SUMS.p7s verifies with the signing root"
    (cd "$work/signed" && sha256sum --quiet -c SHA256SUMS) ||
        fail "the signed SHA256SUMS does not match the signed release"
    verify_sums "$work/signed" "$pki/other-root.pem" &&
        fail "SHA256SUMS.p7s verifies with a root that never signed it"
    cp -r "$work/signed" "$work/changed"
    # One digit of the first hash, turned into another digit: the file must differ
    # whatever that digit was.
    sed -i '1{s/^0/1/;t;s/^./0/}' "$work/changed/SHA256SUMS"
    cmp -s "$work/signed/SHA256SUMS" "$work/changed/SHA256SUMS" && fail "the changed SHA256SUMS is not changed"
    verify_sums "$work/changed" "$pki/root.pem" && fail "SHA256SUMS.p7s verifies a changed SHA256SUMS"
else
    fail "SHA256SUMS.p7s does not verify:"
    cat "$work/cms.log" >&2
fi
[ -e "$work/a/SHA256SUMS.p7s" ] && fail "the unsigned release has a SHA256SUMS.p7s"

# --- The Debian packages ---------------------------------------------------
debs="$work/a/libkesta1_${version}_amd64.deb $work/a/libkesta-dev_${version}_amd64.deb
$work/a/kesta-login_${version}_amd64.deb $work/a/libkesta1-dbgsym_${version}_amd64.deb"
# shellcheck disable=SC2086
if lintian --fail-on error $debs >"$work/lintian.log" 2>&1; then
    pass "lintian: no errors ($(grep -c '^W:' "$work/lintian.log" || true) warnings)"
else
    fail "lintian:"
    cat "$work/lintian.log" >&2
fi
# package  control field or file  what it must hold
while read -r package what want; do
    deb="$work/a/${package}_${version}_amd64.deb"
    case $what in
    control:*) got=$(dpkg-deb -f "$deb" "${what#control:}") ;;
    file:*)
        rm -rf "$work/control"
        dpkg-deb -e "$deb" "$work/control"
        got=$(cat "$work/control/${what#file:}" 2>/dev/null || true)
        ;;
    contents) got=$(dpkg-deb -c "$deb" | awk '{print $6}') ;;
    esac
    want=$(echo "$want" | sed "s/VERSION/$version/g")
    case "$got" in
    *"$want"*) ;;
    *) fail "$package: $what lacks '$want' (has: $(echo "$got" | tr '\n' ' '))" ;;
    esac
done <<'ROWS'
libkesta1 control:Depends libcurl4
libkesta1 control:Depends libssl3
libkesta1 file:shlibs libkesta 1 libkesta1 (>= VERSION)
libkesta1 file:triggers activate-noawait ldconfig
libkesta1 contents ./usr/lib/x86_64-linux-gnu/libkesta.so.VERSION
libkesta-dev control:Depends libkesta1 (= VERSION)
libkesta-dev contents ./usr/lib/x86_64-linux-gnu/pkgconfig/kesta.pc
libkesta-dev contents ./usr/lib/x86_64-linux-gnu/cmake/kesta/kestaConfig.cmake
libkesta-dev contents ./usr/include/kesta.h
kesta-login control:Depends libkesta1 (>= VERSION)
kesta-login contents ./usr/share/man/man1/kesta-login.1.gz
kesta-login contents ./usr/bin/kesta-login
libkesta1-dbgsym control:Depends libkesta1 (= VERSION)
libkesta1-dbgsym control:Section debug
libkesta1-dbgsym control:Auto-Built-Package debug-symbols
libkesta1-dbgsym contents ./usr/lib/debug/.build-id/
ROWS

root="$work/root"
for deb in $debs; do dpkg-deb -x "$deb" "$root"; done
libdir="$root/usr/lib/x86_64-linux-gnu"
prefix=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --variable=prefix kesta)
[ "$(cd "$prefix" && pwd)" = "$root/usr" ] || fail "kesta.pc's prefix $prefix is not $root/usr"
got=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion kesta)
[ "$got" = "$version" ] || fail "kesta.pc says version $got, not $version"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/pc-consumer" "$top/tests/consumer/main.c" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs kesta)
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" >/dev/null && pass "pkg-config consumer on the .deb contents" ||
    fail "the pkg-config consumer"
cmake -S "$top/tests/consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$root/usr" \
    >/dev/null && cmake --build "$work/cmake-consumer" >/dev/null &&
    LD_LIBRARY_PATH="$libdir" "$work/cmake-consumer/consumer" >/dev/null &&
    pass "find_package(kesta) consumer on the .deb contents" || fail "the find_package consumer"
# The symbols package holds the shipped library's symbols under its build
# ID, where gdb looks, with source lines for _KESTA_LOGIN.
build_id=$(readelf -n "$libdir/libkesta.so.$version" | sed -n 's/^ *Build ID: *//p')
symbols="$root/usr/lib/debug/.build-id/$(echo "$build_id" | cut -c1-2)/$(echo "$build_id" | cut -c3-).debug"
if [ -z "$build_id" ] || [ ! -f "$symbols" ]; then
    fail "libkesta1-dbgsym has no symbols for libkesta1's build ID '$build_id'"
else
    address=$(nm "$symbols" | sed -n 's/^\([0-9a-f]*\) T _KESTA_LOGIN$/\1/p')
    where=$(addr2line -e "$symbols" "0x$address" 2>/dev/null || true)
    case "$where" in
    *login.cpp:[1-9]*) pass "libkesta1-dbgsym: _KESTA_LOGIN is at $(basename "$where") by build ID" ;;
    *) fail "libkesta1-dbgsym: _KESTA_LOGIN at '$address' resolves to '$where'" ;;
    esac
fi
got=$(LD_LIBRARY_PATH="$libdir" "$root/usr/bin/kesta-login" --version)
[ "$got" = "kesta-login $version" ] || fail "the packaged kesta-login says '$got'"

if [ "$failures" -ne 0 ]; then
    echo "dist_test: $failures failed" >&2
    exit 1
fi
echo "dist_test: all passed"
