#!/bin/sh
# The layer test, which rewrites the trust bundle, the CA directory and the
# hosts file, started where those are not the test network's own: without
# the network's mark, and with another hosts file mounted over the
# network's in a mount namespace of this test. Each time it must refuse to
# start, say why, and leave the file it would have written as it was.
#   tests/outside_test.sh LAYER_TEST
set -eu
layer_test=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '127.0.0.1 localhost\n' >"$dir/hosts"
cp "$dir/hosts" "$dir/before"

refuses() { # what: the test's output and status are in $dir/out and $status
    if [ "$status" -ne 2 ] || ! grep -q "runs only inside the test network" "$dir/out"; then
        echo "outside_test: $1: exit status $status, want 2 and the refusal:" >&2
        cat "$dir/out" >&2
        exit 1
    fi
}

status=0
env -u KESTA_TESTNET "$layer_test" >"$dir/out" 2>&1 || status=$?
refuses "without the test network's mark"

status=0
unshare --mount sh -c 'mount --bind "$1" /etc/hosts && exec "$2"' - "$dir/hosts" "$layer_test" \
    >"$dir/out" 2>&1 || status=$?
refuses "with a hosts file not the network's"
cmp -s "$dir/hosts" "$dir/before" || { echo "outside_test: the hosts file was written" >&2; exit 1; }
echo "outside_test: refused both times, nothing written"
