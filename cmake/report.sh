# Sourced by every bash script of the test bed and by ./run, so that none of them ends without
# saying why:
#   - a command that stops the script (set -e) is named, with its exit code, script and line, and
#     the calls that led there;
#   - retried [--tries N] [--pause S] [--if-silent] [--output FILE] COMMAND...  runs a command that
#     talks a lot (Wine's wineboot, reg and cmd; apt-get) quietly, shows what it said only when it
#     fails, and runs it again a bounded number of times, saying so each time;
#   - wait_for DESCRIPTION SECONDS COMMAND...  waits for a condition that depends on the machine's
#     speed, with a generous bound, and names the condition when it runs out.

set -E
trap 'report_error $? "$BASH_COMMAND"' ERR

report_error() {
    local status=$1 command=$2 i
    # Inside a command substitution set -e is off and the failure may be expected; the script
    # reports the substitution itself if it stops on it.
    [[ $- == *e* ]] || return 0
    local file=${BASH_SOURCE[1]:-$0} line=${BASH_LINENO[0]}
    local where="$file line $line"
    # A function that failed by returning its command's exit code: the line that called it says more.
    if [[ $command == return* ]]; then
        command=$(sed -n "${line}{s/^ *//;p;q}" "$file" 2>/dev/null) || true
        [ -n "$command" ] || command=${failed_command:-$2}
    fi
    [ "$BASH_SUBSHELL" -eq 0 ] || where="$where (in a subshell)"
    echo "FAILED: $where: $command (exit code $status)" >&2
    for ((i = 1; i < ${#FUNCNAME[@]} - 1; i++)); do
        echo "  in ${FUNCNAME[i]}, called from ${BASH_SOURCE[i + 1]} line ${BASH_LINENO[i]}" >&2
    done
}

# retried [--tries N] [--pause S] [--if-silent] [--output FILE] COMMAND...
# Runs COMMAND with its output in a file and no input. On success it says nothing (the output stays
# in FILE if one is given). On failure it runs COMMAND again, up to N times in all (default 1),
# after S seconds (default 2), printing each failure and its output; with --if-silent only while
# the failed run printed nothing at all, that is, when the command never got going (for commands
# that must not run twice). The last failure's output is shown, or left in FILE, and its exit code
# returned.
retried() {
    local tries=1 pause=2 if_silent= output= keep= attempt status
    failed_command=
    while :; do
        case "$1" in
        --tries) tries=$2 && shift 2 ;;
        --pause) pause=$2 && shift 2 ;;
        --if-silent) if_silent=1 && shift ;;
        --output) output=$2 keep=1 && shift 2 ;;
        *) break ;;
        esac
    done
    [ -n "$output" ] || output=$(mktemp)
    for ((attempt = 1; ; attempt++)); do
        status=0
        "$@" >"$output" 2>&1 </dev/null || status=$?
        [ "$status" -ne 0 ] || break
        local why="exit code $status"
        [ "$1 $status" != "timeout 124" ] || why="still running after $2 s, so stopped"
        if [ "$attempt" -lt "$tries" ] && { [ -z "$if_silent" ] || [ ! -s "$output" ]; }; then
            echo "\"$*\" failed ($why, attempt $attempt of $tries); running it again in $pause s.$(said "$output")" >&2
            sleep "$pause"
            continue
        fi
        [ -n "$keep" ] || echo "\"$*\" failed ($why, attempt $attempt of $tries).$(said "$output")" >&2
        break
    done
    [ -n "$keep" ] || rm -f "$output"
    failed_command="retried $*"
    return "$status"
}

# What a command printed, indented, for the messages above.
said() {
    if [ -s "$1" ]; then
        printf ' Its output:\n'
        tr -d '\r' <"$1" | tail -n 40 | sed 's/^/    /'
    else
        printf ' It printed nothing.'
    fi
}

# wait_for DESCRIPTION SECONDS COMMAND...
# Waits at most SECONDS seconds for a condition. COMMAND either checks it (a shell function, or
# test: exit code 0 it holds, 1 not yet, any other it never will and COMMAND says why), and is run
# every 0.2 s; or it is a program that blocks until the condition holds (wineserver -w), stopped
# when the time is up, whose failure ends the wait at once. Returns 1 when the condition did not
# come, naming it.
wait_for() {
    local description=$1 seconds=$2 status
    shift 2
    failed_command=
    local end=$((SECONDS + seconds))
    if [ "$(type -t "$1")" = file ]; then
        status=0
        timeout "$seconds" "$@" || status=$?
        [ "$status" -ne 0 ] || return 0
        if [ "$status" -eq 124 ]; then
            echo "Gave up waiting for $description after $seconds s (\"$*\" was still waiting)." >&2
        else
            echo "Stopped waiting for $description: \"$*\" failed with exit code $status." >&2
        fi
        failed_command="wait_for $description"
        return 1
    fi
    while :; do
        status=0
        "$@" || status=$?
        [ "$status" -ne 0 ] || return 0
        if [ "$status" -ne 1 ]; then
            echo "Stopped waiting for $description: \"$*\" gave exit code $status." >&2
            failed_command="wait_for $description"
            return 1
        fi
        if [ "$SECONDS" -ge "$end" ]; then
            echo "Gave up waiting for $description after $seconds s (\"$*\" never succeeded)." >&2
            failed_command="wait_for $description"
            return 1
        fi
        sleep 0.2
    done
}
