#!/bin/sh
# Runs a Windows program under Wine for ctest and test discovery.
# The prefix lives below the build folder (never ~/.wine); a wineserver that
# outlives single runs keeps each start fast and exits by itself when idle.
set -e
build_dir=${WINE_RUN_BUILD_DIR:-$(pwd)}
while [ ! -f "$build_dir/CMakeCache.txt" ] && [ "$build_dir" != / ]; do
    build_dir=$(dirname "$build_dir")
done
[ -f "$build_dir/CMakeCache.txt" ] || build_dir=$(pwd)

export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
            /usr/lib/wine/wineserver64 -w
        fi
    ) 9>"$build_dir/wineprefix.lock"
fi
# A server that persists 30 s after the last program makes each start cheap.
# Wine's own services are started here, away from the caller's output: started
# by the test program instead, they would hold ctest's output pipe open (and
# ctest waiting) until the idle server exits.
/usr/lib/wine/wineserver64 -p30 </dev/null >/dev/null 2>&1 || true
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true

# A test program always prints something. Once in a long while Wine ends one at
# start, before it has run, with no output and a failing status (seen once, on a
# busy CI machine, and never in many hundreds of starts here); such a start is
# said on stderr and tried once more. A run that printed anything, or a second
# silent failure, gives its output and status as they are.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
child=
trap 'rm -f "$out" "$err"' EXIT
# Stopped from outside (a test's time limit): the program goes too, and what it
# had printed is still shown.
trap '[ -z "$child" ] || kill "$child" 2>/dev/null; cat "$out"; cat "$err" >&2; exit 143' TERM INT HUP

# The program runs in the background so that the traps work; it keeps stdin.
exec 3<&0
run() {
    /usr/lib/wine/wine64 "$@" <&3 >"$out" 2>"$err" 3<&- &
    child=$!
    status=0
    wait "$child" || status=$?
    child=
}
run "$@"
if [ "$status" -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
    echo "wine-run.sh: $1 ended with status $status before printing anything; starting it once more" >&2
    run "$@"
fi
cat "$out"
cat "$err" >&2
exit "$status"
