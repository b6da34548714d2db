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
exec /usr/lib/wine/wine64 "$@"
