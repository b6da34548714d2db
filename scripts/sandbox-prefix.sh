#!/bin/sh
# make_sandbox_prefix DIR: a Wine prefix whose only drive is C:.
# A new prefix maps Z: to the host's root and links the user's folders to the
# host's home; a walk over every drive would then reach the whole host (and
# /proc, /dev: it would never end). Both are removed.
make_sandbox_prefix() {
    prefix=$1
    if [ -f "$prefix/.sandbox-ready" ]; then
        return 0
    fi
    rm -rf "$prefix"
    mkdir -p "$prefix"
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        /usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1
    WINEPREFIX="$prefix" /usr/lib/wine/wineserver64 -w
    rm -f "$prefix/dosdevices/z:"
    find "$prefix/drive_c" -type l | while read -r link; do
        rm -f "$link"
        mkdir -p "$link"
    done
    touch "$prefix/.sandbox-ready"
}
