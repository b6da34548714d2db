#!/bin/sh
# Runs the ReginDetector end-to-end suite inside private mount and network namespaces:
# only loopback exists, /etc/hosts maps the report host to 127.0.0.1 (bind mount, the real
# file is untouched), and tmux, wineserver and the program all start in there.
#
# Usage: tests/e2e/run.sh [pytest args...]     (as root)
# Env:   REGIN_EXE           the program (default: build/mingw/ReginDetector.exe)
#        REGIN_FIXTURE_EXE   the build whose digest table knows the test fixture
#                            (default: build/mingw/tests/ReginDetectorFixture.exe if present)
#        REGIN_E2E_WORK      template prefix + scratch (default: build/mingw/e2e)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)

if [ "${REGIN_E2E_IN_NS:-}" != 1 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "run.sh: needs root (unshare -mn, mount --bind, port 80)" >&2
        exit 2
    fi
    for tool in unshare ip tmux mount /usr/lib/wine/wine64 /usr/lib/wine/wineserver64; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "run.sh: $tool not found (apt-get install wine wine64 tmux iproute2 util-linux)" >&2
            exit 2
        fi
    done
    if ! /usr/bin/python3 -c 'import pytest' 2>/dev/null; then
        echo "run.sh: /usr/bin/python3 has no pytest (apt-get install python3-pytest)" >&2
        exit 2
    fi
    REGIN_E2E_IN_NS=1 exec unshare --mount --net --propagation private -- /bin/sh "$0" "$@"
fi

ip link set lo up
: "${REGIN_EXE:=$ROOT/build/mingw/ReginDetector.exe}"
: "${REGIN_E2E_WORK:=$ROOT/build/mingw/e2e}"
# Wine wants an absolute prefix path.
mkdir -p "$REGIN_E2E_WORK" && REGIN_E2E_WORK=$(cd "$REGIN_E2E_WORK" && pwd)
export REGIN_EXE REGIN_E2E_WORK
if [ -z "${REGIN_FIXTURE_EXE:-}" ] && [ -f "$ROOT/build/mingw/tests/ReginDetectorFixture.exe" ]; then
    export REGIN_FIXTURE_EXE="$ROOT/build/mingw/tests/ReginDetectorFixture.exe"
fi
mkdir -p "$REGIN_E2E_WORK/runs"
RUN="$REGIN_E2E_WORK/runs/run-$$"
rm -rf "$RUN"
mkdir -p "$RUN"
export REGIN_E2E_RUN="$RUN" REGIN_E2E_HOSTS="$RUN/hosts"
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n127.0.0.1\treport.velmora.example\n' > "$RUN/hosts"
mount --bind "$RUN/hosts" /etc/hosts
# No name server but loopback: an unmapped name fails at once instead of waiting on DNS.
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' > "$RUN/resolv.conf"
if [ -e /etc/resolv.conf ]; then mount --bind "$RUN/resolv.conf" /etc/resolv.conf; fi

# Test paths given on the command line are taken as they are; without any, the whole folder.
has_path=0
for a in "$@"; do
    case "$a" in -*) ;; *) if [ -e "${a%%::*}" ]; then has_path=1; fi ;; esac
done
rc=0
if [ "$has_path" = 1 ]; then
    PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -c "$HERE/pytest.ini" --rootdir "$HERE" "$@" || rc=$?
else
    PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -c "$HERE/pytest.ini" --rootdir "$HERE" "$@" "$HERE" || rc=$?
fi
# Mounts vanish with this namespace, but sandboxes a failed test left mounted must go first.
awk -v run="$RUN/" 'index($2, run) == 1 {print $2}' /proc/self/mounts | sort -r | while read -r m; do
    umount -l "$m" || true
done
rm -rf "$RUN"
if [ "$rc" = 5 ]; then
    echo "run.sh: no tests were collected" >&2
    rc=1
fi
exit "$rc"
