#!/bin/sh
# Starts the scenario test's environment case in a process whose environment,
# from its first instruction on, names another trust bundle and CA directory
# (the untrusted CA's), dead proxies for every scheme, no proxy for anything,
# and a file for TLS secrets: $1 is scenario_test, run in the test network.
set -eu
test -n "${KESTA_TESTNET:-}" || { echo "environment_test: runs in the test network (KESTA_TESTNET)" >&2; exit 2; }
certs=$KESTA_TESTNET/certs
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$certs/rogue-ca.pem" "$dir/"
openssl rehash "$dir"
dead=http://127.0.3.1:3999
env SSL_CERT_FILE="$certs/rogue-ca.pem" SSL_CERT_DIR="$dir" CURL_CA_BUNDLE="$certs/rogue-ca.pem" \
    http_proxy=$dead https_proxy=$dead all_proxy=$dead HTTP_PROXY=$dead HTTPS_PROXY=$dead ALL_PROXY=$dead \
    no_proxy='*' NO_PROXY='*' SSLKEYLOGFILE="$dir/keys" \
    "$1" --gtest_filter='NativeEnvironment.AnEnvironmentSetBeforeTheFirstLoginChangesNothing'
