#!/usr/bin/env bash
# tools/kit.sh BUILD KIT: the tests for real Windows, from a build tree's test programs and their
# companions, into the folder KIT and the zip file KIT.zip beside it. ./run kit makes
# dist/windows-tests from build/, the 32-bit tree; the kit check in ./run test makes one of its
# own mode's tree.
set -euo pipefail
. "$(dirname "$0")/../cmake/report.sh"
[ $# -eq 2 ] || { echo "usage: tools/kit.sh BUILD KIT" >&2; exit 2; }
build=$1
kit=$2
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$kit" "$kit.zip"
mkdir -p "$kit"
for file in uninst.exe engine_host.exe ui_probe.dll planted.dll pe_tests.exe engine_tests.exe ui_tests.exe; do
    [ -f "$build/tests/$file" ] || { echo "kit: no $build/tests/$file; build first" >&2; exit 1; }
    cp "$build/tests/$file" "$kit/"
done
# The benchmark's driver, which times the uninst.exe beside it.
[ -f "$build/tools/driver.exe" ] || { echo "kit: no $build/tools/driver.exe; build first" >&2; exit 1; }
cp "$build/tools/driver.exe" "$kit/"
# The x86-64 tree's tests check the file of the 32-bit program there.
if [ -f "$build/tests/win32/uninst.exe" ]; then
    mkdir "$kit/win32"
    cp "$build/tests/win32/uninst.exe" "$kit/win32/"
fi
# Windows' cmd.exe needs CRLF line ends to find a batch file's labels reliably, and
# Notepad on Windows 7 and 8 too. The kit's README.txt is docs/testing-on-windows.md: one text for both.
crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }
crlf "$here/../tests/kit/run-tests.cmd" "$kit/run-tests.cmd"
crlf "$here/../docs/testing-on-windows.md" "$kit/README.txt"
(cd "$(dirname "$kit")" && zip -qrX "$(basename "$kit").zip" "$(basename "$kit")")
echo "$kit/ and $kit.zip: $(ls "$kit" | wc -l) files, uninst.exe SHA-256 $(sha256sum "$kit/uninst.exe" | cut -d' ' -f1)"
