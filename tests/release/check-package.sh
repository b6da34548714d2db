#!/bin/sh
# Checks a release zip as a user would get it.
#
#   check-package.sh ZIP [VERSION [EXE]]
#
# ZIP may also be a folder holding exactly one ReginDetector-<version>-win64.zip.
# Fails unless:
#   - the zip is named ReginDetector-<version>-win64.zip (VERSION, when given);
#   - it holds exactly ReginDetector.exe, README.txt, SHA256SUMS and
#     TOOLCHAIN.txt, in that order, with no directory entries, no extra fields
#     (no owner, no extra times) and all with the same fixed time: nothing that
#     varies by build;
#   - SHA256SUMS is one line in sha256sum's format and matches the exe inside
#     (sha256sum -c, as a user on Linux would check it);
#   - TOOLCHAIN.txt names, one line each and in this order, the Debian package
#     versions of the MinGW-w64 compiler, binutils and headers and of CMake;
#   - the exe's version resource says <version> (FileVersion, ProductVersion,
#     FILEVERSION), and its manifest asks for administrator rights and gives the
#     same version as its assembly version (four parts: 1.0 is 1.0.0.0);
#   - README.txt has CRLF line ends only, names the version, and quotes the two
#     report addresses and the agent name exactly as the program holds them;
#   - with EXE (a build made here), the exe inside is that very file, and
#     TOOLCHAIN.txt gives the versions dpkg-query reports here.
set -eu

if [ $# -lt 1 ]; then
    echo "usage: $0 ZIP [VERSION [EXE]]" >&2
    exit 2
fi
zip=$1
expected_version=${2:-}
expected_exe=${3:-}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if [ -d "$zip" ]; then
    set -- "$zip"/ReginDetector-*-win64.zip
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        fail "not one ReginDetector-*-win64.zip in $zip"
    fi
    zip=$1
fi
[ -f "$zip" ] || fail "no such file: $zip"
zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")
if [ -n "$expected_exe" ]; then
    [ -f "$expected_exe" ] || fail "no such file: $expected_exe"
    expected_exe=$(cd "$(dirname "$expected_exe")" && pwd)/$(basename "$expected_exe")
fi

name=$(basename "$zip")
version=${name#ReginDetector-}
version=${version%-win64.zip}
case "$version" in
    "" | *[!0-9.]* | .* | *. | *..*) fail "$name is not named ReginDetector-<version>-win64.zip" ;;
esac
if [ -n "$expected_version" ] && [ "$version" != "$expected_version" ]; then
    fail "$name: version $version, the project's is $expected_version"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/regin-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The zip's own records, read with Python's zipfile (unzip need not be there).
/usr/bin/python3 - "$zip" <<'EOF' || fail "$name: its entries are not as a release zip's must be"
import sys, zipfile
problems = []
with zipfile.ZipFile(sys.argv[1]) as archive:
    entries = archive.infolist()
    names = [entry.filename for entry in entries]
    wanted = ["ReginDetector.exe", "README.txt", "SHA256SUMS", "TOOLCHAIN.txt"]
    if names != wanted:
        problems.append("entries %s, not %s" % (names, ", ".join(wanted)))
    times = {entry.date_time for entry in entries}
    if len(times) != 1:
        problems.append("entries with different times: %s" % sorted(times))
    for entry in entries:
        if entry.extra:
            problems.append("%s has extra fields (owner, times): %r" % (entry.filename, entry.extra))
    bad = archive.testzip()
    if bad:
        problems.append("%s is damaged" % bad)
for problem in problems:
    print("  " + problem, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "$name cannot be unpacked"
cd "$work/unpacked"
exe=ReginDetector.exe

# SHA256SUMS: one line, "<64 hex digits>  ReginDetector.exe", and it matches.
[ "$(wc -l <SHA256SUMS)" -eq 1 ] || fail "SHA256SUMS is not one line"
grep -qE '^[0-9a-f]{64}  ReginDetector\.exe$' SHA256SUMS ||
    fail "SHA256SUMS is not in sha256sum's format: $(cat SHA256SUMS)"
sha256sum --check --strict --quiet SHA256SUMS ||
    fail "SHA256SUMS does not match the ReginDetector.exe beside it"

# TOOLCHAIN.txt: "<package> <version>" for each tool, in a fixed order.
toolchain="g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev cmake"
awk -v names="$toolchain" 'BEGIN { count = split(names, wanted, " ") }
    NF != 2 || $1 != wanted[NR] { bad = 1 }
    END { exit bad || NR != count }' TOOLCHAIN.txt ||
    fail "TOOLCHAIN.txt does not name the versions of $toolchain, one line each: $(cat TOOLCHAIN.txt)"

# The version resource and the manifest.
x86_64-w64-mingw32-windres -i "$exe" -O rc >"$work/resources.rc" 2>"$work/windres.err" ||
    fail "cannot read the resources of $exe: $(cat "$work/windres.err")"
major=${version%%.*}
minor=${version#*.}
minor=${minor%%.*}
for line in "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    "FILEVERSION $major, $minor, "; do
    grep -qF "$line" "$work/resources.rc" ||
        fail "the version resource of $exe lacks '$line' (zip version $version)"
done
LC_ALL=C grep -qa 'requestedExecutionLevel level="requireAdministrator"' "$exe" ||
    fail "the manifest of $exe does not ask for administrator rights"
# The manifest's assembly version: the same version in four parts (1.0 is 1.0.0.0).
assembly_version=$version
while [ "$(echo "$assembly_version" | tr -cd . | wc -c)" -lt 3 ]; do
    assembly_version=$assembly_version.0
done
LC_ALL=C grep -qaF "name=\"Velmora.ReginDetector\" version=\"$assembly_version\"" "$exe" ||
    fail "the manifest of $exe does not give the assembly version $assembly_version"

# README.txt: Windows line ends, and what it says about the program is true.
cr=$(printf '\r')
[ -s README.txt ] || fail "README.txt is empty"
if grep -q "[^$cr]\$" README.txt || grep -qx '' README.txt; then
    fail "README.txt has a line that does not end in CRLF"
fi
[ "$(tail -c 2 README.txt | od -An -c | tr -d ' ')" = '\r\n' ] ||
    fail "README.txt does not end with CRLF"
if sed "s/$cr\$//" README.txt | grep -q "$cr"; then
    fail "README.txt has a CR that does not end a line"
fi
grep -qF "Regin Detector $version " README.txt || fail "README.txt does not name version $version"
x86_64-w64-mingw32-strings -a -el "$exe" >"$work/wide-strings"
for text in "http://report.velmora.example/regin.php?clean" \
    "http://report.velmora.example/regin.php?infected" "VelmoraReginDetector"; do
    grep -qF "$text" "$work/wide-strings" || fail "$exe does not hold \"$text\""
    grep -qF "$text" README.txt || fail "README.txt does not mention \"$text\""
done
for text in "certutil -hashfile ReginDetector.exe SHA256" \
    "Get-FileHash .\\ReginDetector.exe -Algorithm SHA256" "administrator" \
    "Get-AuthenticodeSignature .\\ReginDetector.exe" "Digital Signatures"; do
    grep -qF "$text" README.txt || fail "README.txt does not mention \"$text\""
done

if [ -n "$expected_exe" ]; then
    cmp -s "$exe" "$expected_exe" || fail "the exe in $name is not $expected_exe"
    for package in $toolchain; do
        here=$(LC_ALL=C dpkg-query -W -f='${db:Status-Status} ${Version}' "$package" 2>/dev/null |
            sed -n 's/^installed //p')
        grep -qxF "$package ${here:-none}" TOOLCHAIN.txt ||
            fail "TOOLCHAIN.txt does not give $package ${here:-none}, as dpkg-query does here: $(cat TOOLCHAIN.txt)"
    done
fi

echo "$name: $(cat SHA256SUMS)"
echo "package ok: SHA256SUMS matches the exe, version $version, README.txt in CRLF"
