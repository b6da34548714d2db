#!/bin/sh
# Sets up, builds and runs the scanner under Wine, in a sandbox prefix whose
# only drive is C:. As on Windows, it waits for Enter at the end.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup-debian.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target ReginDetector >/dev/null

. scripts/sandbox-prefix.sh
prefix="$PWD/build/mingw/sandbox"
echo "Preparing the sandbox Wine prefix (the first time takes about 20 s)..."
make_sandbox_prefix "$prefix"

exe="$PWD/build/mingw/ReginDetector.exe"
run="cd '$prefix/drive_c' && WINEPREFIX='$prefix' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' /usr/lib/wine/wine64 '$exe'"
if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
    # As root, in a private network namespace: the report cannot leave the machine.
    exec unshare -n sh -c "ip link set lo up; $run"
fi
exec sh -c "$run"
