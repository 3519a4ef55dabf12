#!/usr/bin/env bash
# tests/kit_check.sh SOURCE BUILD, run by CTest: makes this tree's kit for Windows, copies it out
# of the tree into a folder whose name holds a space, "&", "(" and ")", and runs its run-tests.cmd
# from another folder under "wine cmd /c call" in a fresh prefix, with the source and build trees
# hidden, so that any reference to them fails. Every test must pass or be skipped
# by name, and "real" entries put there first must come out as they went in, with settings in the
# environment that would change what runs, and a second run started meanwhile. Then the early
# stops: a kit that lacks a file, and one in a folder the ANSI code page cannot spell.
set -euo pipefail
source=$1 build=$2
. "$source/cmake/report.sh"

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# As root, the trees are hidden by mounts in a namespace of this script's own; otherwise by
# taking away the permission to read them, given back when the check ends.
if [ -z "${UNINST_KIT_WORK:-}" ]; then
    work=$(mktemp -d /tmp/uninst-kit.XXXXXX)
    trap 'chmod u+rwx "$build" 2>/dev/null; rm -rf "$work"' EXIT
    "$source/tools/kit.sh" "$build" "$work/made/windows-tests"
    mkdir "$work/R&D (copy) of"
    cp -r "$work/made/windows-tests" "$work/R&D (copy) of/kit"
    cp "$source/cmake/wine-env.sh" "$source/cmake/report.sh" "$work/"
    . "$work/wine-env.sh"
    wine_settings "$build"  # read before the tree is hidden; exported to the hidden run
    if [ "$(id -u)" -eq 0 ]; then
        unshare --mount true 2>/dev/null || fail "cannot hide the trees: this machine gives root no mount namespaces"
        UNINST_KIT_WORK=$work unshare --mount --propagation private "$0" "$@"
    else
        chmod 000 "$build"
        UNINST_KIT_WORK=$work "$0" "$@"
    fi
    exit
fi

work=$UNINST_KIT_WORK
kit="$work/R&D (copy) of/kit"
if [ "$(id -u)" -eq 0 ]; then
    mount -t tmpfs -o ro,size=1k hidden "$source"
    [ "$build" = "${build#"$source"/}" ] && mount -t tmpfs -o ro,size=1k hidden "$build"
fi
[ -z "$(ls -A "$build" 2>/dev/null)" ] || fail "the build tree can still be read"

. "$work/wine-env.sh"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stop() {
    wineserver -k 2>/dev/null || true
    kill "$(cat "$work/xvfb.pid")" 2>/dev/null || true
}
trap stop EXIT
wine_env_ready "$work"

# Entries a real installation would hold, which the kit must put back as they were.
host='HKCU\Software\Tovaslin' uninstall='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine'
command_processor='HKCU\Software\Microsoft\Command Processor'
retried --tries 3 wine reg add "$host" /v Func0 /d 'C:\Real\real.dll' /f
retried --tries 3 wine reg add "$uninstall" /v DisplayName /d 'A real 32-bit product' /reg:32 /f
retried --tries 3 wine reg add "$uninstall" /v DisplayName /d 'A real 64-bit product' /reg:64 /f
retried --tries 3 wine reg add "$command_processor" /v AutoRun /d 'rem the user'"'"'s own' /f
shared='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs'
retried --tries 3 wine reg add "$shared" /v 'C:\Real\real.dll' /t REG_DWORD /d 3 /reg:32 /f
retried --tries 3 wine reg add "$shared" /v 'C:\Real\real.dll' /t REG_DWORD /d 3 /reg:64 /f
real() {
    wine reg query "$host" 2>&1
    wine reg query "$uninstall" /reg:32 2>&1
    wine reg query "$uninstall" /reg:64 2>&1
    wine reg query "$command_processor" /v AutoRun 2>&1
    # Nothing may stay of what the benchmark stages either: other products' counts, keys, folders.
    for view in /reg:32 /reg:64; do
        wine reg query "${uninstall%\\*}" $view 2>&1
        wine reg query "$shared" $view 2>&1
    done
    ls -d "$WINEPREFIX/drive_c/"Program\ Files*/Tovaslin 2>&1 || true
}
# Each read of them starts eight Wine programs, any of which Wine may now and then fail to start: the
# entries are read again until two reads agree. A change that happened shows in every read.
settled() {
    local read again
    read=$(real)
    for _ in 1 2 3; do
        again=$(real)
        [ "$again" = "$read" ] && break
        read=$again
    done
    printf '%s\n' "$read"
}
before=$(settled)

# run_kit FORM KIT OUTPUT [VARIABLES...]: runs KIT's run-tests.cmd as CI does ("cmd /c call": cmd /c
# alone would take the quotes off the path and read "&" and the parentheses), or as Explorer does
# for a double-click. Windows' cmd gives its own command line as CMDCMDLINE; Wine's gives none, so
# it is set here as Windows would. The tests must not run twice: cmd is started again only if it
# printed nothing, that is, never started. (Wine's cmd reports any non-zero exit code as 1.)
run_kit() {
    local form=$1 folder=$2 output=$3 script
    shift 3
    script="Z:$(echo "$folder/run-tests.cmd" | tr / '\\')"
    [ "$form" = ci ] && set -- CMDCMDLINE="cmd /c call \"$script\"" "$@"
    [ "$form" = explorer ] && set -- CMDCMDLINE="C:\\windows\\system32\\cmd.exe /c \"\"$script\" \"" "$@"
    retried --tries 3 --if-silent --output "$output" env "$@" "$UNINST_WINE_LOADER" cmd /c call "$script"
}

# Settings that would change what runs, set as a user or a CI's environment might have them: the
# kit must clear them, or pe_tests.exe runs none of its tests and the others test no uninst.exe.
status=0
run_kit ci "$kit" "$work/output" GTEST_FILTER=Nothing.Matches GTEST_TOTAL_SHARDS=3 GTEST_SHARD_INDEX=2 \
    GTEST_FAIL_FAST=1 UNINST_EXE='C:\nowhere\uninst.exe' &
first=$!
# A second run, started from Explorer, while the first holds its lock: it must say so, change
# nothing and wait for a key before its window would close.
wait_for "the first run to start its tests" 300 test -e "$kit/results/engine_tests.log"
second=0
run_kit explorer "$kit" "$work/second" || second=$?
wait "$first" || status=$?
tr -d '\r' <"$work/output"
echo "(run-tests.cmd exit code $status)"
after=$(settled)
tr -d '\r' <"$work/second" | grep -q "^Another run of these tests holds" && grep -q "Press any key" "$work/second" \
    && [ "$second" -ne 0 ] || fail "a second run, while the first ran, printed (exit code $second):
$(tr -d '\r' <"$work/second")"

if [ "$status" -ne 0 ]; then
    tr -d '\r' <"$kit/results/ui_tests.log" | grep -B3 -A12 'Failure' || true
    tr -d '\r' <"$kit/results/engine_tests.log" | grep -B3 -A12 'Failure' || true
    fail "run-tests.cmd exit code $status"
fi
last=$(tr -d '\r' <"$work/output" | tail -n 1)
[[ $last =~ ^[1-9][0-9]*\ passed,\ 0\ failed ]] || fail "last line: $last"
for program in pe_tests engine_tests ui_tests; do
    [ -s "$kit/results/$program.xml" ] || fail "no results/$program.xml"
done
grep -q 'start to dialog visible' "$kit/results/bench.txt" || fail "no benchmark table in results/bench.txt"
# Only the checks that Wine cannot show at all may be skipped, and under WOW64 the WOW64 case runs.
# The permissions check runs here for the part Wine shows; the forced-relocation check runs its
# uninstall and is skipped on the addresses, since Wine loads a program where its header says.
# The trail-byte case needs a double-byte code page, and runs in one of its own in ./run test.
allowed='Script.AutoRunCommandsDoNotRunFirst Uninstall.NoConsoleWindowComesWithTheScript'
allowed="$allowed Accounts.TheSignedInUsersEntryGoesWhenAnotherAdministratorRunsTheUninstall"
allowed="$allowed Uninstall.RunsWhereStrippedImagesAreRefusedAndLoadsAtAnotherAddressEachStart"
allowed="$allowed Paths/Names.ScriptRemovesExactlyTheProgramItsFolderAndItself/TrailByteBackslash"
[ "$UNINST_WINE_LOADER" = /usr/lib/wine/wine64 ] && allowed="$allowed Uninstall.UnderWow64EverythingOfThe32BitViewGoesAndA64BitProductsKeyStays"
skipped=$(tr -d '\r' <"$work/output" | sed -n 's/^  skipped: \([^ ]*\).*/\1/p' | tr '\n' ' ')
for name in $skipped; do
    [[ " $allowed " == *" $name "* ]] || fail "$name was skipped"
done
for name in Script.AutoRunCommandsDoNotRunFirst Uninstall.NoConsoleWindowComesWithTheScript; do
    [[ " $skipped " == *" $name "* ]] || fail "$name was not named as skipped"
done
[ "$after" = "$before" ] || fail "the real entries changed: before
$before
after
$after"
! grep -q "Press any key" "$work/output" || fail "the run from \"cmd /c call\" waited for a key"

# Early stops, before anything is changed: a kit without all its files, and one in a folder whose
# name the ANSI code page cannot spell (no code page holds both letters).
stops() {
    local folder=$1 expected=$2 status=0
    cp -r "$kit" "$folder"
    rm -rf "$folder/results"
    "${@:3}"
    run_kit ci "$folder" "$work/stop" || status=$?
    tr -d '\r' <"$work/stop" | grep -q "$expected" && [ "$status" -ne 0 ] && [ ! -e "$folder/results" ] \
        || fail "run-tests.cmd in $folder, exit code $status, printed:
$(tr -d '\r' <"$work/stop")"
}
stops "$work/lacking" "^This folder lacks planted.dll: unpack the whole zip" rm "$work/lacking/planted.dll"
stops "$work/Łก kit" "cannot spell the name of the kit's folder" true
stopped=$(settled)
[ "$stopped" = "$before" ] || fail "an early stop changed the real entries: before
$before
after
$stopped"
echo "The kit ran from $kit with the build tree hidden: $last"
