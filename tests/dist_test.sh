#!/bin/sh
# The release packages, checked the way their users meet them. Runs inside
# the test network (scripts/testnet), as `make test` does:
#
#   tests/dist_test.sh
#
# - scripts/dist from this checkout and from a copy in another folder give
#   the same SHA256SUMS (and so the same DLLs, bit for bit);
# - each zip holds exactly its files, all with the release's time, and its
#   DLL and EXE pass check_binary (boundary, imports, hardening); the DLL
#   names its symbol file by .gnu_debuglink with the right CRC;
# - programs linked against the unpacked zip log in to the test server
#   under Wine: clang for the MSVC target with lld-link and lib/kesta.lib,
#   and MinGW with lib/libkesta.dll.a, for x86 and x64; the header passes
#   clang in cl mode with /W4 /WX as C and as C++17;
# - with a throwaway code-signing certificate, scripts/dist signs every
#   Windows binary so that its root verifies it and another root does not;
# - lintian finds no error in the Debian packages, which have their
#   dependencies, shlibs, ldconfig trigger and man page, and whose contents,
#   unpacked into a scratch root, serve a pkg-config and a find_package
#   consumer.
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
members="CHANGELOG.md LICENSE README.md bin/kesta-login.exe bin/kesta.dll
debug/kesta.dll.debug include/kesta.h lib/kesta.def lib/kesta.lib lib/libkesta.dll.a"
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
    python3 "$top/tests/check_binary.py" exe "$unpacked/bin/kesta-login.exe" "$machine" ||
        fail "$arch: kesta-login.exe"
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
    for consumer in msvc mingw; do
        got=$("$top/scripts/wine-run" "$unpacked/bin/$consumer-consumer.exe" 2>&1 | tr -d '\r') ||
            true
        if [ "$got" = "$(printf 'session ID: KelpinUA:abc123\nuser agent: KelpinUA')" ]; then
            pass "$arch: a $consumer-linked program logs in through the zip's kesta.dll"
        else
            fail "$arch: the $consumer-linked program said: $got"
        fi
    done
done <"$work/arches"

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
done

# --- The Debian packages ---------------------------------------------------
debs="$work/a/libkesta1_${version}_amd64.deb $work/a/libkesta-dev_${version}_amd64.deb
$work/a/kesta-login_${version}_amd64.deb"
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
got=$(LD_LIBRARY_PATH="$libdir" "$root/usr/bin/kesta-login" --version)
[ "$got" = "kesta-login $version" ] || fail "the packaged kesta-login says '$got'"

if [ "$failures" -ne 0 ]; then
    echo "dist_test: $failures failed" >&2
    exit 1
fi
echo "dist_test: all passed"
