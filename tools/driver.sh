#!/usr/bin/env bash
# Runs the demo or the benchmark in a Wine prefix of its own inside the build tree (demo-prefix),
# so that neither touches the tests' prefix: tools/driver.sh demo|bench BUILD-DIR
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../cmake/report.sh"

export WINEPREFIX="$build/demo-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. "$here/../cmake/wine-env.sh"
wine_settings "$build"
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# The build tree's program, and the shipped 32-bit one: the same file, except in the x86-64 tree,
# which keeps the 32-bit program it builds in win32/.
UNINST_EXE=$(windows_path "$build/uninst.exe")
export UNINST_EXE
shipped=$build/uninst.exe
[ -f "$build/win32/uninst.exe" ] && shipped=$build/win32/uninst.exe

stop_wine() {
    wineserver -k 2>/dev/null || true
    if [ -f "$WINEPREFIX/xvfb.pid" ]; then
        kill "$(cat "$WINEPREFIX/xvfb.pid")" 2>/dev/null || true
        rm -f "$WINEPREFIX/xvfb.pid" "$WINEPREFIX/xvfb.display"
    fi
}
trap stop_wine EXIT

# With a display of their own, people answer the dialog themselves; otherwise Xvfb and Enter.
interactive=
if [ "$mode" = demo ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then interactive=1; fi
echo "Starting Wine in $WINEPREFIX" >&2
stop_wine
if [ -n "$interactive" ]; then
    mkdir -p "$WINEPREFIX"
    wine_prefix_ready
else
    wine_env_ready "$WINEPREFIX"
fi
driver=$(windows_path "$build/tools/driver.exe")

status=0
case "$mode" in
demo)
    if [ -n "$interactive" ]; then
        wine "$driver" demo || status=$?
    else
        shot="$build/demo-dialog"
        rm -f "$shot.bmp" "$shot.png"
        wine "$driver" demo "$(windows_path "$shot.bmp")" || status=$?
        if [ -f "$shot.bmp" ]; then
            convert "$shot.bmp" "$shot.png" && rm -f "$shot.bmp"
            echo "The dialog as it was confirmed: $shot.png"
        fi
    fi
    ;;
bench)
    commit=$(git -C "$here" describe --always --dirty 2>/dev/null || true)
    wine "$driver" bench 7 "$(windows_path "$build/bench.json")" "$commit" "$(windows_path "$shipped")" || status=$?
    echo "Written to $build/bench.json"
    ;;
esac
exit $status
