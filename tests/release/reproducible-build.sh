#!/bin/sh
# Builds the release program and its zip twice from the sources under test and
# fails unless the two builds are identical byte for byte.
#
#   reproducible-build.sh SOURCE_DIR OUT_DIR [TESTED_EXE]
#
# The sources are the work tree as git sees it: tracked files as they are now
# (uncommitted changes included) and untracked files that are not ignored, i.e.
# what the build under test was made from, not the last commit. They are copied
# into two fresh folders whose paths differ, also in length, and each copy is
# configured with the mingw preset and builds ReginDetector and package_zip, one
# after the other (so at different times), each in its own time zone (UTC+14 and
# UTC-12, so that every local date and time differs between the two), locale and
# umask. Then:
#   - both ReginDetector.exe and both zips must have the same SHA-256;
#   - neither program may hold the build folders' paths or today's date;
#   - with TESTED_EXE (the Release build under test), it must be the same file.
# The first copy's program and zip are left in OUT_DIR for the package test.
# Each step is bounded in time; the copies are removed in every case.
set -eu

if [ $# -lt 2 ]; then
    echo "usage: $0 SOURCE_DIR OUT_DIR [TESTED_EXE]" >&2
    exit 2
fi
source_dir=$(cd "$1" && pwd)
out_dir=$2
tested_exe=${3:-}
# Seconds allowed for one configure or one build (each takes ~3-25 s here).
step_limit=${RELEASE_STEP_LIMIT:-120}

if ! command -v git >/dev/null; then
    echo "SKIP: no git: cannot tell which files are sources"
    exit 77
fi
. "$(dirname "$0")/release-build.sh"
# Unsigned builds: a certificate in the caller's environment is not used here.
unset REGIN_SIGN_PKCS12 REGIN_SIGN_PASSWORD_FILE 2>/dev/null || true

work=$(mktemp -d "${TMPDIR:-/tmp}/regin-release.XXXXXX")
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

digest() { sha256sum "$1" | cut -d' ' -f1; }

if ! release_sources "$source_dir" "$work/sources.tar"; then
    echo "SKIP: $source_dir is not a git work tree: cannot tell which files are sources"
    exit 77
fi

copy_a="$work/a"
copy_b="$work/second-copy-with-a-much-longer-path/sources"

# build COPY TZ LOCALE UMASK: configures and builds one copy, and says how long it took.
build() {
    copy=$1
    mkdir -p "$copy"
    tar -C "$copy" -xf "$work/sources.tar"
    started=$(date +%s)
    (
        umask "$4"
        export TZ="$2" LC_ALL="$3" LANG="$3"
        release_build "$copy" "$step_limit" ReginDetector package_zip
    ) || exit 1
    echo "built in $(($(date +%s) - started)) s: $copy (TZ=$2, LC_ALL=$3, umask $4)"
}

build "$copy_a" "AAA-14" C 022
build "$copy_b" "BBB+12" C.UTF-8 077

exe_a="$copy_a/build/mingw/ReginDetector.exe"
exe_b="$copy_b/build/mingw/ReginDetector.exe"
# the_zip COPY: the one release zip that the copy's build made.
the_zip() {
    set -- "$1"/build/mingw/ReginDetector-*-win64.zip
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        fail "not one release zip in $(dirname "$1")"
    fi
    echo "$1"
}
zip_a=$(the_zip "$copy_a") || exit 1
zip_b=$(the_zip "$copy_b") || exit 1

status=0
if [ "$(digest "$exe_a")" != "$(digest "$exe_b")" ]; then
    echo "FAIL: the two builds of ReginDetector.exe differ:" >&2
    sha256sum "$exe_a" "$exe_b" >&2
    echo "first differing bytes (offset, octal a, octal b):" >&2
    cmp -l "$exe_a" "$exe_b" 2>&1 | head -n 10 >&2 || true
    for exe in "$exe_a" "$exe_b"; do
        x86_64-w64-mingw32-objdump -p "$exe" 2>/dev/null | grep -m1 'Time/Date' >&2 || true
    done
    status=1
else
    echo "ReginDetector.exe: $(digest "$exe_a") in both builds"
fi

if [ "$(basename "$zip_a")" != "$(basename "$zip_b")" ] ||
    [ "$(digest "$zip_a")" != "$(digest "$zip_b")" ]; then
    echo "FAIL: the two release zips differ:" >&2
    sha256sum "$zip_a" "$zip_b" >&2
    status=1
else
    echo "$(basename "$zip_a"): $(digest "$zip_a") in both builds"
fi

# Even what the two builds share must not hold a build path or today's date
# (as __DATE__ or ISO writes it, in the builds' time zones and in UTC).
for zone in AAA-14 BBB+12 UTC; do
    for format in '%b %e %Y' '%Y-%m-%d' '%Y%m%d'; do
        LC_ALL=C TZ=$zone date "+$format"
    done
done | sort -u >"$work/texts"
echo "$work" >>"$work/texts"
for exe in "$exe_a" "$exe_b"; do
    while IFS= read -r text; do
        if LC_ALL=C grep -qaF "$text" "$exe" ||
            x86_64-w64-mingw32-strings -a -el "$exe" | LC_ALL=C grep -qF "$text"; then
            echo "FAIL: $exe holds \"$text\"" >&2
            status=1
        fi
    done <"$work/texts"
done

if [ -n "$tested_exe" ]; then
    if [ ! -f "$tested_exe" ]; then
        echo "note: $tested_exe is not built; not compared"
    elif [ "$(digest "$tested_exe")" != "$(digest "$exe_a")" ]; then
        echo "FAIL: the program under test is not what a clean release build of these" \
            "sources gives (a stale build, or other build options):" >&2
        sha256sum "$tested_exe" "$exe_a" >&2
        status=1
    else
        echo "the program under test is the same file: $tested_exe"
    fi
fi

mkdir -p "$out_dir"
rm -f "$out_dir"/ReginDetector.exe "$out_dir"/ReginDetector-*-win64.zip
cp "$exe_a" "$zip_a" "$out_dir/"

if [ "$status" -ne 0 ]; then
    exit 1
fi
echo "reproducible: two builds in two folders give the same program and the same zip"
