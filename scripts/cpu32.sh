# shellcheck shell=sh
# Sourced by scripts/setup and scripts/testnet: can this machine run 32-bit
# x86 programs, and if not, is there a qemu that runs them for us?
#
# The answer comes from running a real 32-bit program, never from a setting:
# some x86-64 kernels boot with their IA-32 emulation off, and then every
# i386 program fails with "Exec format error" although the packages install.

# The i386 dynamic loader, a 32-bit program that libc6:i386 installs.
KESTA_LOADER32=${KESTA_LOADER32:-/lib/ld-linux.so.2}
# qemu's user-mode emulator for i386 programs. Bookworm's own 7.2 spins or
# hangs under Wine; 10 from bookworm-backports runs it correctly.
KESTA_QEMU_I386=${KESTA_QEMU_I386:-/usr/bin/qemu-i386-static}
KESTA_QEMU_MIN_MAJOR=10

# Prints nothing; returns 0 when 32-bit programs run here, 1 when they
# don't, 2 when it cannot tell yet (no 32-bit loader installed).
cpu32_status() {
    [ -e "$KESTA_LOADER32" ] || return 2
    "$KESTA_LOADER32" --version >/dev/null 2>&1 && return 0
    return 1
}

# Why the loader failed, in the shell's own words ("Exec format error").
cpu32_failure() {
    "$KESTA_LOADER32" --version 2>&1 >/dev/null | head -n 1 || :
}

# The emulator's version ("10.0.2"), or nothing when it is missing.
qemu_version() {
    [ -x "$KESTA_QEMU_I386" ] || return 0
    "$KESTA_QEMU_I386" --version 2>/dev/null |
        sed -n '1s/^qemu-[a-z0-9_]* version \([0-9][0-9.]*\).*/\1/p'
}

# Returns 0 when the emulator is there and new enough to run Wine.
qemu_usable() {
    version=$(qemu_version)
    [ -n "$version" ] && [ "${version%%.*}" -ge "$KESTA_QEMU_MIN_MAJOR" ]
}
