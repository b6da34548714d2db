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
# Persist for 30 s after the last program: a later run reuses the server.
/usr/lib/wine/wineserver64 -p30 >/dev/null 2>&1 || true
exec /usr/lib/wine/wine64 "$@"
