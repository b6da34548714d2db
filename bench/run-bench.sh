#!/bin/sh
# Benchmark of ReginDetector.exe under Wine: walk time per data set mapped as
# drive D:, files/s, MB/s, ms per file, ratios to native md5sum and md5deep,
# and the peak memory of the process running the exe. Run by hand, as root:
#
#   bench/run-bench.sh [--quick] [--runs N] [--sets a,b] [--exe PATH] [--no-console]
#
#   --quick      one timed run per figure (after the warm-up) instead of 3
#   --runs N     timed runs per figure (default 3)
#   --sets LIST  comma-separated data sets (default: small-2k,small-20k,large-512m,sparse-5g)
#   --exe PATH   benchmark this exe instead of building one in build/bench/build
#   --no-console skip the console comparison (small-2k on a tmux console vs a pipe)
#   --compare EARLIER_EXE
#                only time an earlier build against this one on the data sets,
#                runs alternating, and print the change per file
#
# Data sets are made once under build/bench-data (deterministic, seeded), the
# sandbox prefix under build/bench/prefix; reports go to build/bench/report-*.txt.
# The program runs inside a private network namespace with only loopback up:
# the report host fails to resolve at once (no 3 s report wait) and nothing
# leaves the machine. Full run about 6 min on 2 cores (first time +1 min for
# the prefix and data), --quick about 3; more when the machine is busy.
set -eu
cd "$(dirname "$0")/.."
repo=$PWD

runs=3
sets=""
exe=""
console=yes
compare=""
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) runs=1 ;;
        --runs) runs=$2; shift ;;
        --sets) sets=$2; shift ;;
        --exe) exe=$2; shift ;;
        --no-console) console=no ;;
        --compare) compare=$2; shift ;;
        -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: the program runs in a private network namespace (unshare -n)" >&2
    exit 2
fi
for tool in /usr/lib/wine/wine64 /usr/lib/wine/wineserver64 /usr/bin/python3 /usr/bin/time md5deep md5sum unshare ip cmake; do
    command -v "$tool" >/dev/null || {
        echo "missing $tool (Debian packages: wine64, python3, time, hashdeep, coreutils, util-linux, iproute2, cmake)" >&2
        exit 2
    }
done

if [ -z "$exe" ]; then
    echo "building ReginDetector.exe in build/bench/build ..." >&2
    cmake --preset mingw -B build/bench/build >/dev/null
    cmake --build build/bench/build -j2 --target ReginDetector >/dev/null
    exe=build/bench/build/ReginDetector.exe
fi
[ -f "$exe" ] || { echo "no exe at $exe" >&2; exit 2; }

# Wine's memory floor, to set the peak memory figures against.
mkdir -p build/bench
set -- --exe "$exe" --runs "$runs"
if x86_64-w64-mingw32-gcc-posix -O2 -static -o build/bench/floor.exe bench/floor.c \
    -lwininet -ladvapi32 -lpsapi 2>/dev/null; then
    set -- "$@" --floor-exe build/bench/floor.exe
else
    echo "note: bench/floor.c did not build; no memory floor in the report" >&2
fi
[ -n "$sets" ] && set -- "$@" --sets "$sets"
[ "$console" = no ] && set -- "$@" --no-console
[ -n "$compare" ] && set -- "$@" --compare "$compare"
# Bounded as a whole: 40 minutes is far beyond a normal full run.
exec timeout -k 10 2400 unshare -n -- sh -c \
    'ip link set lo up && exec /usr/bin/python3 "$0/bench/bench.py" "$@"' "$repo" "$@"
