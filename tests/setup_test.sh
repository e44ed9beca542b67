#!/bin/sh
# scripts/setup's decisions, without root and without touching the machine:
# apt-get, dpkg and dpkg-query are stand-ins on PATH that play a mirror (one
# index broken mid-sync, an install that resolves only with it held back)
# and a CPU (a 32-bit loader that runs or fails with "Exec format error").
# Each row runs the real script and checks what it asked apt to do and what
# it told the user.
#
#   tests/setup_test.sh SOURCE_DIR
set -eu
source=$(cd "${1:-$(dirname "$0")/..}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/bin"

# apt-get: logs each call; behaves as FAKE_UPDATE, FAKE_INSTALL and
# FAKE_QEMU (the version the backports install brings) say. Its messages
# come in the caller's language, as apt's do: English or German here.
cat >"$work/bin/apt-get" <<'FAKE'
#!/bin/sh
log="$FAKE_DIR/apt.log"
echo "apt-get $*" >>"$log"
# The language as gettext picks it (checked against the real apt-get on
# Debian 12): none under the C or POSIX locale, whatever LANGUAGE says, else
# LANGUAGE's first, else the locale's own. C.UTF-8 is not C here.
locale=${LC_ALL:-${LC_MESSAGES:-${LANG:-}}}
case "$locale" in
"" | C | POSIX) language=en ;;
*)
    language=${LANGUAGE:-$locale}
    language=${language%%[:_.@]*}
    ;;
esac
prefs=""
sources=""
for a in "$@"; do
    case "$a" in
    Dir::Etc::Preferences=*) prefs=${a#*=} ;;
    Dir::Etc::SourceList=*) sources=${a#*=} ;;
    esac
done
[ -n "$prefs" ] && sed 's/^/  prefs: /' "$prefs" >>"$log"
[ -n "$sources" ] && sed 's/^/  sources: /' "$sources" >>"$log"
case " $* " in
*" indextargets "*)
    printf '%s\n' "http://mirror.example/debian-security/ bookworm-security Debian-Security" \
        "http://mirror.example/debian/ bookworm-updates Debian" \
        "http://mirror.example/debian/ bookworm Debian"
    ;;
*" update "*)
    if [ -z "$sources" ] && [ "$FAKE_UPDATE" = broken ]; then
        url=http://mirror.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
        if [ "$language" = de ]; then
            # apt's own German texts (its de catalogue).
            echo "E: Fehlschlag beim Holen von $url Datei hat eine unerwartete Größe (374820 != 376004). Eventuell läuft gerade eine Spiegel-Synchronisierung? [IP: 127.0.0.1 80]"
            echo "E: Einige Indexdateien konnten nicht heruntergeladen werden. Sie wurden ignoriert oder alte an ihrer Stelle benutzt."
        else
            echo "E: Failed to fetch $url  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 127.0.0.1 80]"
            echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        fi
        exit 100
    fi
    ;;
*" install "*)
    if [ -n "$sources" ]; then
        printf '#!/bin/sh\necho "qemu-i386 version %s (Debian)"\n' "$FAKE_QEMU" >"$FAKE_DIR/qemu-i386-static"
        chmod +x "$FAKE_DIR/qemu-i386-static"
        exit 0
    fi
    case "$FAKE_INSTALL" in
    ok) ;;
    needs-pin) [ -n "$prefs" ] || { echo "E: Unable to correct problems, you have held broken packages."; exit 100; } ;;
    *) echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
    esac
    : >"$FAKE_DIR/installed"
    ;;
esac
exit 0
FAKE

# dpkg-query: a package is installed once an install has run, or from the
# start when FAKE_HAVE_ALL is set.
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/bin/sh
if [ -n "${FAKE_HAVE_ALL:-}" ] || [ -e "$FAKE_DIR/installed" ]; then
    echo "install ok installed"
else
    exit 1
fi
FAKE

cat >"$work/bin/dpkg" <<'FAKE'
#!/bin/sh
case "$1" in
--print-foreign-architectures) echo i386 ;;
*) echo "dpkg $*" >>"$FAKE_DIR/apt.log" ;;
esac
FAKE

# sudo, for a run as an ordinary user: the stand-ins need no root.
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"

# The two CPUs: a 32-bit loader that runs, and one that cannot execute.
printf '#!/bin/sh\necho "ld.so (Debian GLIBC 2.36) stable release version 2.36."\n' >"$work/runs"
printf '#!/bin/sh\necho "$0: cannot execute binary file: Exec format error" >&2\nexit 126\n' >"$work/fails"
chmod +x "$work/bin/"* "$work/runs" "$work/fails"

failures=0
run=0

# row NAME LOADER UPDATE INSTALL HAVE_ALL QEMU_BEFORE QEMU_AFTER EXPECT_STATUS [VAR=VALUE...]
#     then lines of checks on stdin: "+ TEXT" must appear in the output or
#     apt's log, "- TEXT" must not. The script runs with no locale settings
#     but the VAR=VALUE given (LANG, LANGUAGE, LC_ALL, ...).
row() {
    name=$1 loader=$2 update=$3 install=$4 have_all=$5 qemu_before=$6 qemu_after=$7 want=$8
    shift 8
    run=$((run + 1))
    dir="$work/$run"
    mkdir -p "$dir"
    : >"$dir/apt.log"
    if [ "$qemu_before" != none ]; then
        printf '#!/bin/sh\necho "qemu-i386 version %s (Debian)"\n' "$qemu_before" >"$dir/qemu-i386-static"
        chmod +x "$dir/qemu-i386-static"
    fi
    status=0
    PATH="$work/bin:$PATH" FAKE_DIR="$dir" FAKE_UPDATE="$update" FAKE_INSTALL="$install" \
        FAKE_HAVE_ALL="$([ "$have_all" = yes ] && echo 1)" FAKE_QEMU="$qemu_after" \
        KESTA_LOADER32="$work/$loader" KESTA_QEMU_I386="$dir/qemu-i386-static" \
        KESTA_SETUP_RETRY_PAUSE=0 TMPDIR="$dir" \
        env -u LANG -u LANGUAGE -u LC_ALL -u LC_MESSAGES "$@" \
        sh "$source/scripts/setup" >"$dir/out" 2>&1 || status=$?
    cat "$dir/out" "$dir/apt.log" >"$dir/all"
    problem=""
    [ "$status" -eq "$want" ] || problem="exit status $status, wanted $want"
    while IFS= read -r check; do
        text=${check#? }
        case "$check" in
        "+ "*) grep -qF -- "$text" "$dir/all" || problem="$problem; missing: $text" ;;
        "- "*) ! grep -qF -- "$text" "$dir/all" || problem="$problem; unwanted: $text" ;;
        esac
    done
    if [ -n "$problem" ]; then
        failures=$((failures + 1))
        echo "FAIL $name: ${problem#; }"
        sed 's/^/    | /' "$dir/all"
    else
        echo "ok   $name"
    fi
}

row "32-bit runs, all installed: nothing to do" runs ok ok yes none none 0 <<'C'
- apt-get
- qemu
C
row "32-bit runs, packages missing: plain install, no qemu" runs ok ok no none none 0 <<'C'
+ apt-get update
+ install -y -q --no-install-recommends cmake
- backports
- Preferences
C
row "no 32-bit, no qemu: qemu-user-static from the machine's mirror's backports" fails ok ok yes none 10.0.2 0 <<'C'
+ this CPU runs no 32-bit programs
+ Exec format error
+ sources: deb http://mirror.example/debian/ bookworm-backports main
+ -t bookworm-backports qemu-user-static
- Preferences
C
row "no 32-bit, qemu 10 there: nothing to do" fails ok ok yes 10.0.2 none 0 <<'C'
- apt-get
C
row "no 32-bit, bookworm's qemu 7.2: the backports one instead" fails ok ok yes 7.2.0 10.0.2 0 <<'C'
+ -t bookworm-backports qemu-user-static
C
row "no 32-bit, backports brings too old a qemu: a clear failure" fails ok ok yes none 7.2.0 1 <<'C'
+ the 32-bit tests need qemu 10 or later
C
row "broken index, plain install resolves: no pin" runs broken ok no none none 0 <<'C'
+ try 1 of 3
+ try 2 of 3
+ still fails after 3 tries
+ dists/bookworm-security/main/binary-i386/Packages.xz
+ going on with the indexes apt has
- Preferences
C
row "broken index, plain install fails: retried with that suite held back" runs broken needs-pin no none none 0 <<'C'
+ prefs: Pin: release n=bookworm-security
+ prefs: Pin-Priority: 100
+ installed with bookworm-security held back
C
row "broken index, nothing resolves: says what failed and what to do" runs broken fail no none none 1 <<'C'
+ setup: could not install: cmake
+ run scripts/setup again
C
# A machine that speaks German: apt's messages come translated unless setup
# asks for them in C. LANGUAGE goes over LANG, and over LC_ALL=C.UTF-8 too;
# LC_ALL goes over LANG, LC_MESSAGES and LANGUAGE.
row "German (LANG, LANGUAGE), broken index: still found, suite held back" runs broken needs-pin no none none 0 \
    LANG=de_DE.UTF-8 LANGUAGE=de:en <<'C'
+ dists/bookworm-security/main/binary-i386/Packages.xz
+ prefs: Pin: release n=bookworm-security
+ installed with bookworm-security held back
C
row "German (LC_ALL), broken index: still found, suite held back" runs broken needs-pin no none none 0 \
    LC_ALL=de_DE.UTF-8 <<'C'
+ prefs: Pin: release n=bookworm-security
+ installed with bookworm-security held back
C
row "indexes fine, install fails: no pin, a clear failure" runs ok fail no none none 1 <<'C'
+ setup: could not install:
- Preferences
- tries
C

echo "$((run - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
