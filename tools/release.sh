#!/usr/bin/env bash
# tools/release.sh BUILD DIST: builds uninst.exe from nothing in BUILD and writes it, with
# SHA256SUMS, to DIST; signed when UNINST_SIGN_CERT and UNINST_SIGN_KEY are set.
# ./run release runs it as tools/release.sh build-release dist.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: tools/release.sh BUILD DIST" >&2; exit 2; }
build=$1
dist=$2
cd "$(dirname "$0")/.."
. cmake/report.sh

fail() {
    echo "release: $*" >&2
    exit 1
}

cert=${UNINST_SIGN_CERT:-}
key=${UNINST_SIGN_KEY:-}
timestamp=${UNINST_SIGN_TIMESTAMP_URL:-}
if [ -n "$cert" ] || [ -n "$key" ]; then
    [ -n "$cert" ] || fail "UNINST_SIGN_KEY is set but UNINST_SIGN_CERT is not: set both to sign, or neither"
    [ -n "$key" ] || fail "UNINST_SIGN_CERT is set but UNINST_SIGN_KEY is not: set both to sign, or neither"
    [ -r "$cert" ] || fail "cannot read the file UNINST_SIGN_CERT names"
    [ -r "$key" ] || fail "cannot read the file UNINST_SIGN_KEY names"
elif [ -n "$timestamp" ]; then
    fail "UNINST_SIGN_TIMESTAMP_URL is set, but there is nothing to time-stamp without UNINST_SIGN_CERT and UNINST_SIGN_KEY"
fi

# Only what this writes: a kit for Windows in DIST, say, stays.
rm -rf "$build"
rm -f "$dist/uninst.exe" "$dist/SHA256SUMS"
# Flags from the environment would change the bytes.
env -u CFLAGS -u CXXFLAGS -u LDFLAGS -u RCFLAGS \
    cmake --preset default -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target uninst -j2 >/dev/null
unsigned=$build/uninst.exe
shipped=$unsigned

if [ -n "$cert" ]; then
    shipped=$build/signed/uninst.exe
    mkdir -p "$build/signed"
    stamp=()
    [ -z "$timestamp" ] || stamp=(-ts "$timestamp")
    osslsigncode sign -certs "$cert" -key "$key" -h sha256 "${stamp[@]}" -in "$unsigned" -out "$shipped" >/dev/null \
        || fail "osslsigncode could not sign $unsigned"
    osslsigncode remove-signature -in "$shipped" -out "$build/signed/unsigned-again.exe" >/dev/null
    cmp -s "$unsigned" "$build/signed/unsigned-again.exe" \
        || fail "the signed file without its signature is not the unsigned build"
    # The system's CA certificates first: a signature that chains to one of them is a CA's.
    if osslsigncode verify -in "$shipped" >/dev/null 2>&1; then
        trust="it chains to a CA in the system's certificate store"
    elif osslsigncode verify -CAfile "$cert" -in "$shipped" >/dev/null 2>&1; then
        trust="it chains only to a CA in UNINST_SIGN_CERT, which Windows trusts only if it is a code-signing CA Windows knows"
    else
        fail "the signature does not verify; see: osslsigncode verify -CAfile \"\$UNINST_SIGN_CERT\" -in $shipped"
    fi
fi

mkdir -p "$dist"
cp "$shipped" "$dist/uninst.exe"
(cd "$dist" && sha256sum uninst.exe >SHA256SUMS && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check"

echo "$dist/uninst.exe: $(stat -c %s "$dist/uninst.exe") bytes, SHA-256 $(cut -d' ' -f1 "$dist/SHA256SUMS")"
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$PWD" ]; then
    if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
        echo "Built from $(git rev-parse --short HEAD) WITH UNCOMMITTED CHANGES: no commit rebuilds these bytes."
    else
        echo "Built from commit $(git rev-parse HEAD)."
    fi
fi
if [ -n "$cert" ]; then
    echo "Signed with a SHA-256 digest; the signature verifies: $trust."
    if [ -n "$timestamp" ]; then
        echo "Time-stamped by $timestamp."
    else
        echo "Not time-stamped (UNINST_SIGN_TIMESTAMP_URL is not set): the signature stops verifying when the certificate expires."
    fi
    echo "Without its signature it is the unsigned build: $(stat -c %s "$unsigned") bytes, SHA-256 $(sha256sum "$unsigned" | cut -d' ' -f1)"
else
    echo "UNSIGNED: UNINST_SIGN_CERT and UNINST_SIGN_KEY are not set. Windows will name no publisher."
fi
