#!/usr/bin/env bash
# Photographs the dialog of the built uninst.exe under Wine on a private Xvfb display, with a
# small margin of the desktop, for the README.
#   tests/screenshot.sh [BUILD-DIR [PNG]]     defaults: build and docs/dialog.png
# The dialog is only shown and closed, never answered: nothing is uninstalled. Needs ImageMagick.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
output=${2:-$(dirname "$here")/docs/dialog.png}
for file in uninst.exe tests/dialog_shot.exe; do
    [ -f "$build/$file" ] || { echo "screenshot.sh: no $build/$file; build first" >&2; exit 2; }
done

# A prefix and display of its own: an empty desktop, whatever the tests have left on theirs.
state=$build/screenshot
export WINEPREFIX="$state/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. "$here/../cmake/wine-env.sh"
wine_settings "$build"
wine_env_ready "$state"
stop() {
    wineserver -k 2>/dev/null || true
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid" "$state/xvfb.display" "$state/dialog.bmp"
}
trap stop EXIT

windows() { printf 'Z:%s' "$1" | tr / '\\'; }
wine "$build/tests/dialog_shot.exe" "$(windows "$build/uninst.exe")" "$(windows "$state/dialog.bmp")" </dev/null
convert "$state/dialog.bmp" -strip "$output"
echo "$output: $(convert "$output" -format '%wx%h' info:)"
