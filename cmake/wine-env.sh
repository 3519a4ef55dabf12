# Shared by the scripts that run Wine (bash scripts, which source it).
#
# The loader and the kind of prefix come from the build tree (its CMakeCache.txt, written from the
# toolchain file), never from probing the machine again: wine_settings BUILD. The 32-bit loader in
# a win64 prefix runs 32-bit programs under WOW64; wine64 runs x86-64 ones. Either may be given
# in the environment instead (UNINST_WINE_LOADER, UNINST_WINE_PREFIX_ARCH=win32|win64).
wine_settings() {
    cache=$1/CMakeCache.txt
    : "${UNINST_WINE_LOADER:=$(sed -n 's/^UNINST_WINE_LOADER:[A-Z]*=//p' "$cache" 2>/dev/null)}"
    : "${UNINST_WINE_PREFIX_ARCH:=$(sed -n 's/^UNINST_WINE_PREFIX_ARCH:[A-Z]*=//p' "$cache" 2>/dev/null)}"
    : "${UNINST_WINE_LOADER:=/usr/lib/wine/wine}" "${UNINST_WINE_PREFIX_ARCH:=win64}"
    export UNINST_WINE_LOADER UNINST_WINE_PREFIX_ARCH
}

. "$(dirname "${BASH_SOURCE[0]}")/report.sh"

wine() { "${UNINST_WINE_LOADER:-/usr/lib/wine/wine}" "$@"; }

# wine_env_ready STATE: gives this build tree a private Xvfb display (DISPLAY) and, on first use,
# makes the prefix $WINEPREFIX with every program in a virtual desktop (windows then close in
# milliseconds, and screenshots show title bars).
wine_env_ready() {
    state=$1
    mkdir -p "$state"
    exec 9>"$state/wine-env.lock"
    flock 9
    display=$(cat "$state/xvfb.display" 2>/dev/null || true)
    pid=$(cat "$state/xvfb.pid" 2>/dev/null || true)
    if [ -z "$display" ] || [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
        wineserver -k 2>/dev/null || true
        wait_for "the wineserver of $WINEPREFIX to end" 300 wineserver -w 9>&-
        rm -f "$state/xvfb.display"
        setsid Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp \
            8>"$state/xvfb.display" 9>&- </dev/null >"$state/xvfb.log" 2>&1 &
        echo $! >"$state/xvfb.pid"
        wait_for "Xvfb to open its display" 300 xvfb_started "$state"
        display=$(cat "$state/xvfb.display")
    fi
    export DISPLAY=":$(echo $display)"
    wine_prefix_ready
    # A server that outlives each program saves a second per start; "wineserver -k" ends it.
    retried wineserver_kept 9>&-
    flock -u 9
    exec 9>&-
}

# Whether the Xvfb started in STATE has written its display number: 0 yes, 1 not yet, 2 it ended.
xvfb_started() {
    [ ! -s "$1/xvfb.display" ] || return 0
    kill -0 "$(cat "$1/xvfb.pid")" 2>/dev/null && return 1
    echo "Xvfb ended without opening a display.$(said "$1/xvfb.log")" >&2
    return 2
}

# Starts a wineserver that stays when the last program ends; exit code 2 means one already runs.
wineserver_kept() {
    wineserver -p || [ $? -eq 2 ]
}

# Makes the prefix $WINEPREFIX, of the kind UNINST_WINE_PREFIX_ARCH names, on the current DISPLAY
# if it is not there yet; one of the other kind is made anew.
wine_prefix_ready() {
    arch=${UNINST_WINE_PREFIX_ARCH:-win64}
    if [ -f "$WINEPREFIX/system.reg" ] && ! grep -qx "#arch=$arch" "$WINEPREFIX/system.reg"; then
        echo "The Wine prefix $WINEPREFIX is not a $arch one: making it anew" >&2
        prefix_emptied
    elif [ -f "$WINEPREFIX/system.reg" ] && [ ! -f "$WINEPREFIX/.made" ]; then
        echo "The Wine prefix $WINEPREFIX was never finished: making it anew" >&2
        prefix_emptied
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Making the $arch Wine prefix $WINEPREFIX (once per build tree, takes some seconds)" >&2
        local wineboot=(/usr/lib/wine/wine64 wineboot -i)
        [ "$arch" = win64 ] || wineboot=(env WINEARCH=win32 /usr/lib/wine/wine wineboot -i)
        # Wine's own set-up gives up after 5 minutes and says so; this bound is only for a hang.
        retried --tries 3 timeout 900 "${wineboot[@]}" 9>&-
        retried --tries 3 wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f 9>&-
        retried --tries 3 wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f 9>&-
        wait_for "the Wine processes that made the prefix $WINEPREFIX to end" 600 wineserver -w 9>&-
        touch "$WINEPREFIX/.made"
    fi
    # Debian's 32-bit Wine does not find its own fonts; Marlett draws the title bars' buttons.
    fonts="$WINEPREFIX/drive_c/windows/Fonts"
    if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$fonts/marlett.ttf" ]; then
        mkdir -p "$fonts" && cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
    fi
}

# Ends the prefix's wineserver and removes the prefix, but not the Xvfb files and lock that a
# state folder which is also the prefix (the demo's) keeps there.
prefix_emptied() {
    wineserver -k 2>/dev/null || true
    wait_for "the wineserver of $WINEPREFIX to end" 300 wineserver -w 9>&-
    find "$WINEPREFIX" -mindepth 1 -maxdepth 1 ! -name 'xvfb.*' ! -name wine-env.lock -exec rm -rf {} +
}
