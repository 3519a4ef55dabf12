#!/usr/bin/env bash
# tests/release_check.sh SOURCE UNINST PE_TESTS UI_TESTS WORK POINTER-SIZE, run by CTest from the
# build tree: the release made from a copy of the sources in another folder, unsigned and then
# signed with a throwaway CA made here, in WORK, which is removed afterwards. UNINST is the shipped
# 32-bit program as the build tree made it; the x86-64 build (pointer size 8) does not run it.
set -euo pipefail
. "$(dirname "$0")/../cmake/report.sh"
source=$1 uninst=$2 pe_tests=$3 ui_tests=$4 work=$5 pointer_size=$6
wine_run=$source/cmake/wine-run
unset UNINST_SIGN_CERT UNINST_SIGN_KEY UNINST_SIGN_TIMESTAMP_URL UNINST_EXE

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work/src" "$work/ca"
trap 'rm -rf "$work"' EXIT
cp -r "$source"/{CMakeLists.txt,CMakePresets.json,cmake,resources,ui,uninstall,tools} "$work/src/"
release() { "$work/src/tools/release.sh" "$work/build" "$work/dist"; }

if UNINST_SIGN_CERT=$work/ca/chain.pem release 2>"$work/error"; then
    fail "released with a certificate but no key"
fi
grep UNINST_SIGN_KEY "$work/error" || fail "no word of the missing UNINST_SIGN_KEY: $(cat "$work/error")"

release || fail "the unsigned release"
cmp "$uninst" "$work/dist/uninst.exe" || fail "built in another folder, the program differs from $uninst"

cd "$work/ca"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Throwaway test CA" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Throwaway test signer" >/dev/null 2>&1
printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -set_serial 1 -days 2 -extfile signer.ext \
    -out signer.pem >/dev/null 2>&1
cat signer.pem ca.pem >chain.pem
cd - >/dev/null

UNINST_SIGN_CERT=$work/ca/chain.pem UNINST_SIGN_KEY=$work/ca/signer.key release || fail "the signed release"
signed=$work/dist/uninst.exe
(cd "$work/dist" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS does not name the signed program"
osslsigncode verify -CAfile "$work/ca/ca.pem" -in "$signed" >"$work/verify" 2>&1 \
    || fail "the signature does not verify against the CA: $(cat "$work/verify")"
osslsigncode remove-signature -in "$signed" -out "$work/unsigned.exe" >/dev/null
cmp "$uninst" "$work/unsigned.exe" || fail "without its signature the program is not the unsigned build"

# One byte of code changed, at the start of .text.
cp "$signed" "$work/tampered.exe"
byte=$(od -An -tu1 -j1024 -N1 "$work/tampered.exe" | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$work/tampered.exe" bs=1 seek=1024 conv=notrunc status=none
cmp -s "$signed" "$work/tampered.exe" && fail "the byte was not changed"
if osslsigncode verify -CAfile "$work/ca/ca.pem" -in "$work/tampered.exe" >/dev/null 2>&1; then
    fail "a program with one byte changed still verifies"
fi

windows=Z:$(echo "$signed" | tr / '\\')
if UNINST_EXE='Z:\no such folder\uninst.exe' "$wine_run" "$pe_tests" --gtest_filter=Executable.FitsTheSizeBudget >/dev/null; then
    fail "the test programs do not take the program to test from UNINST_EXE"
fi
if [ "$pointer_size" = 4 ]; then
    UNINST_EXE=$windows "$wine_run" "$ui_tests" --gtest_filter=Uninstall.EnterRightAfterStartRemovesEverythingAndTheProgramItself \
        || fail "the signed program did not uninstall"
else
    echo "Not run in the x86-64 build: the signed 32-bit program's uninstall under Wine"
fi

# No server listens there: a release that ignored the variable would succeed.
if UNINST_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/ UNINST_SIGN_CERT=$work/ca/chain.pem UNINST_SIGN_KEY=$work/ca/signer.key \
    release >/dev/null 2>&1; then
    fail "signed and released although the time-stamp server could not be reached"
fi
