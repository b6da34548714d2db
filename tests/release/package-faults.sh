#!/bin/sh
# Puts the release zip's toolchain record, and check-package.sh's checks of it,
# to the test.
#
#   package-faults.sh SOURCE_DIR CLEAN_BUILD VERSION
#
# CLEAN_BUILD is where release.reproducible-build left its release build and
# zip. Fails unless:
#   - cmake/ToolchainRecord.cmake, with a stand-in dpkg-query, records the
#     version of an installed package and "none" for one that is only
#     configured or unknown, and "none" for each with no dpkg-query at all;
#   - check-package.sh refuses, each for its own reason, copies of the zip
#     (zipped as Package.cmake zips) without TOOLCHAIN.txt, with a line of it
#     that gives no version and, given the build as EXE, with a version that
#     dpkg-query does not report here.
set -eu

if [ $# -ne 3 ]; then
    echo "usage: $0 SOURCE_DIR CLEAN_BUILD VERSION" >&2
    exit 2
fi
source_dir=$(cd "$1" && pwd)
clean=$(cd "$2" && pwd)
version=$3
here=$(cd "$(dirname "$0")" && pwd)
name="ReginDetector-$version-win64.zip"
# The time Package.cmake gives every file in the zip.
file_time=1767225600

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/regin-package-faults.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The record, with a stand-in dpkg-query that answers as dpkg-query does, and
# with none: only cmake itself on PATH.
mkdir "$work/bin"
ln -s "$(command -v cmake)" "$work/bin/cmake"
cat >"$work/bin/dpkg-query" <<'STANDIN'
#!/bin/sh
for package; do :; done
case $package in
g++-mingw-w64-x86-64-posix) printf 'installed 12.2.0-14+deb12u1+25.2+b1' ;;
binutils-mingw-w64-x86-64) printf 'config-files 2.40-2+10.4' ;;
cmake) printf 'installed 3.25.1-1' ;;
*) echo "dpkg-query: no packages found matching $package" >&2 && exit 1 ;;
esac
STANDIN
chmod +x "$work/bin/dpkg-query"
PATH="$work/bin" cmake -DOUTPUT="$work/stand-in.txt" -P "$source_dir/cmake/ToolchainRecord.cmake" ||
    fail "ToolchainRecord.cmake fails with a stand-in dpkg-query"
printf '%s\n' "g++-mingw-w64-x86-64-posix 12.2.0-14+deb12u1+25.2+b1" "binutils-mingw-w64-x86-64 none" \
    "mingw-w64-x86-64-dev none" "cmake 3.25.1-1" >"$work/stand-in-wanted.txt"
cmp -s "$work/stand-in.txt" "$work/stand-in-wanted.txt" ||
    fail "the record with a stand-in dpkg-query is not as it says: $(cat "$work/stand-in.txt")"
rm "$work/bin/dpkg-query"
PATH="$work/bin" cmake -DOUTPUT="$work/none.txt" -P "$source_dir/cmake/ToolchainRecord.cmake" ||
    fail "ToolchainRecord.cmake fails without dpkg-query"
sed 's/ .*/ none/' "$work/stand-in-wanted.txt" >"$work/none-wanted.txt"
cmp -s "$work/none.txt" "$work/none-wanted.txt" ||
    fail "the record without dpkg-query does not say none for each: $(cat "$work/none.txt")"
echo "the record: a version for each installed package, none for the others"

mkdir "$work/release"
(cd "$work/release" && cmake -E tar xf "$clean/$name") || fail "cannot unpack $clean/$name"
# repack CASE FILE...: the release's FILEs, as CASE changed them in
# $work/CASE, zipped as Package.cmake zips, as $work/CASE/zip/<the zip's name>.
repack() {
    rp_case=$1
    shift
    mkdir -p "$work/$rp_case/zip"
    (
        cd "$work/$rp_case"
        touch -d "@$file_time" "$@"
        TZ=UTC zip -X -D -q -9 "zip/$name" "$@"
    ) || fail "could not zip $rp_case"
}
# refused CASE TEXT [EXE]: fails unless check-package.sh refuses the zip of CASE saying TEXT.
refused() {
    if sh "$here/check-package.sh" "$work/$1/zip/$name" "$version" ${3:+"$3"} >"$work/$1.log" 2>&1; then
        fail "check-package.sh passes the zip $1: $(cat "$work/$1.log")"
    fi
    grep -qF -- "$2" "$work/$1.log" || fail "check-package.sh refuses the zip $1, not for '$2': $(cat "$work/$1.log")"
    echo "$1: $(grep -F -- "$2" "$work/$1.log" | head -n 1)"
}

mkdir "$work/same"
cp "$work/release"/* "$work/same/"
repack same ReginDetector.exe README.txt SHA256SUMS TOOLCHAIN.txt
cmp -s "$work/same/zip/$name" "$clean/$name" || fail "repack does not zip as Package.cmake does"

mkdir "$work/missing"
cp "$work/release"/* "$work/missing/"
repack missing ReginDetector.exe README.txt SHA256SUMS
refused missing "not ReginDetector.exe, README.txt, SHA256SUMS, TOOLCHAIN.txt"

mkdir "$work/no-version"
cp "$work/release"/* "$work/no-version/"
sed 's/^cmake .*/cmake/' "$work/release/TOOLCHAIN.txt" >"$work/no-version/TOOLCHAIN.txt"
repack no-version ReginDetector.exe README.txt SHA256SUMS TOOLCHAIN.txt
refused no-version "TOOLCHAIN.txt does not name the versions of"

mkdir "$work/other-version"
cp "$work/release"/* "$work/other-version/"
sed 's/^cmake .*/cmake 0.1-other/' "$work/release/TOOLCHAIN.txt" >"$work/other-version/TOOLCHAIN.txt"
repack other-version ReginDetector.exe README.txt SHA256SUMS TOOLCHAIN.txt
if ! sh "$here/check-package.sh" "$work/other-version/zip/$name" "$version" >"$work/other-version-alone.log" 2>&1; then
    fail "check-package.sh refuses another machine's versions without EXE: $(cat "$work/other-version-alone.log")"
fi
refused other-version "TOOLCHAIN.txt does not give cmake " "$clean/ReginDetector.exe"
echo "package faults ok"
