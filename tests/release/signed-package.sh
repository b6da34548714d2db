#!/bin/sh
# Builds the release package signed with a throwaway code-signing certificate
# and checks it as a user and a maintainer would.
#
#   signed-package.sh SOURCE_DIR SANDBOX_PREFIX VERSION      (as root)
#
# In a temporary folder: a throwaway CA and a code-signing certificate it
# issued, made with openssl (throwaway.sh), their PKCS#12 file and a password
# file. The sources under test (as in reproducible-build.sh) are built with the
# mingw preset, package_zip with REGIN_SIGN_PKCS12 and REGIN_SIGN_PASSWORD_FILE
# set (never a time-stamp URL).
# Fails unless:
#   - the build says it signed, and neither its output (commands shown) nor any
#     osslsigncode command line holds the password: osslsigncode reads the file;
#   - the zip checks out as a release zip (check-package.sh), its SHA256SUMS
#     matching the signed exe inside, which is not the unsigned build;
#   - osslsigncode verify passes against the CA (-CAfile), with SHA-256 and the
#     program's name and web address in the signature;
#   - the signed exe runs under Wine (SANDBOX_PREFIX, a prefix whose only drive
#     is C:, in a private network namespace) and run-once.py finds the banner of
#     the project's version, the clean verdict and the prompt, and exit status 0
#     (no console input: the program ends by itself);
#   - check-source.sh, run from a throwaway git repository of the sources under
#     test (committed once, so the developer's own work tree plays no part),
#     finds the exe as unpacked from the zip a fresh build of the commit plus an
#     intact signature, and names its signer and the CA;
#   - built again without a certificate, the package says in one line that it
#     is unsigned and holds the built exe as it is.
# What check-source.sh refuses is tested in source-check.sh.
# Every step is bounded in time; the temporary folder goes in every case.
set -eu

if [ $# -ne 3 ]; then
    echo "usage: $0 SOURCE_DIR SANDBOX_PREFIX VERSION" >&2
    exit 2
fi
source_dir=$(cd "$1" && pwd)
prefix=$2
version=$3
here=$(cd "$(dirname "$0")" && pwd)
step_limit=${RELEASE_STEP_LIMIT:-120}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root: the program runs in a private network namespace (unshare -n)"
for tool in openssl osslsigncode git cmake zip unshare ip timeout "$wine" "$wineserver"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup-debian.sh installs it)"
done
osslsigncode=$(command -v osslsigncode)
. "$here/release-build.sh"
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/regin-signed.XXXXXX")
cleanup() {
    WINEPREFIX="$prefix" timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The throwaway certificates, readable by root only.
key="$work/key"
. "$here/throwaway.sh"
make_signer "$key"
password=$(cat "$key/password")

# osslsigncode as the package step finds it on PATH, noting each command line.
mkdir "$work/bin"
cat >"$work/bin/osslsigncode" <<WRAPPER
#!/bin/sh
printf '%s\n' "osslsigncode \$*" >>"$work/osslsigncode-commands"
exec "$osslsigncode" "\$@"
WRAPPER
chmod +x "$work/bin/osslsigncode"

release_sources "$source_dir" "$work/sources.tar" >/dev/null ||
    fail "$source_dir is not a git work tree: cannot tell which files are sources"
copy="$work/copy"
mkdir "$copy"
tar -C "$copy" -xf "$work/sources.tar"
(
    export PATH="$work/bin:$PATH" VERBOSE=1
    export REGIN_SIGN_PKCS12="$key/signer.p12" REGIN_SIGN_PASSWORD_FILE="$key/password"
    release_build "$copy" "$step_limit" ReginDetector package_zip
) || fail "the signed package build failed"
built="$copy/build/mingw/ReginDetector.exe"
zip="$copy/build/mingw/ReginDetector-$version-win64.zip"
[ -f "$zip" ] || fail "no $zip"

grep -q "ReginDetector.exe (signed with $key/signer.p12)" "$copy.log" ||
    fail "the build does not say that it signed the exe: $(grep -i packag "$copy.log")"
grep -qF -- "-readpass $key/password" "$work/osslsigncode-commands" ||
    fail "osslsigncode was not given the password file: $(cat "$work/osslsigncode-commands")"
for shown in "$copy.log" "$work/osslsigncode-commands"; do
    if grep -qF "$password" "$shown"; then
        fail "the password shows in $(basename "$shown")"
    fi
done
echo "signed in the package step; the password was read from its file, and shown nowhere"

# The zip as a user gets it.
sh "$here/check-package.sh" "$zip" "$version" >"$work/check-package.log" 2>&1 ||
    fail "the signed zip does not check out: $(cat "$work/check-package.log")"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
signed="$work/unpacked/ReginDetector.exe"
if cmp -s "$signed" "$built"; then
    fail "the exe in the zip is the unsigned build"
fi
[ "$(cut -d' ' -f1 "$work/unpacked/SHA256SUMS")" = "$(sha256sum "$signed" | cut -d' ' -f1)" ] ||
    fail "SHA256SUMS does not list the signed exe"

# verify_exe EXE LOG: osslsigncode verify against the throwaway certificate.
verify_exe() {
    timeout 60 osslsigncode verify -CAfile "$key/ca.pem" -in "$1" >"$2" 2>&1
}
verify_exe "$signed" "$work/verify.log" ||
    fail "osslsigncode verify fails for the signed exe: $(cat "$work/verify.log")"
for line in "Message digest algorithm  : SHA256" "Text description: Velmora Regin Detector" \
    "URL description: https://www.velmora.example/" "Signature verification: ok"; do
    grep -qF "$line" "$work/verify.log" || fail "the signature lacks '$line': $(cat "$work/verify.log")"
done
echo "verified against the certificate: SHA-256, with the program's name and web address"

# The signed program under Wine, where nothing leaves the machine.
# shellcheck disable=SC2016 # the inner shell expands its arguments
timeout -k 10 300 unshare -n sh -c '. "$1/scripts/sandbox-prefix.sh" && make_sandbox_prefix "$2"' \
    sh "$source_dir" "$prefix" || fail "could not make the sandbox prefix $prefix"
[ ! -e "$prefix/dosdevices/z:" ] || fail "the sandbox prefix $prefix maps z:"
# run-once.py, as the Windows CI job runs the program: banner, clean verdict,
# prompt at the very end, exit status 0.
# shellcheck disable=SC2016 # the inner shell expands its arguments
timeout -k 10 240 unshare -n sh -c '
    ip link set lo up
    cd "$1/drive_c"
    status=0
    WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        /usr/bin/python3 "$2" --timeout 180 "$3" /usr/lib/wine/wine64 >"$4" 2>&1 || status=$?
    WINEPREFIX="$1" /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    exit "$status"' \
    sh "$prefix" "$here/run-once.py" "$signed" "$work/run.log" ||
    fail "the signed exe does not run as it should under Wine: $(cat "$work/run.log")"
echo "the signed exe runs under Wine: banner, verdict, prompt, exit status 0"

# The source check runs on a throwaway git repository of the sources under test,
# committed once, so that the state of the developer's own work tree (which the
# check refuses when it has uncommitted changes) plays no part.
make_repo "$work/sources.tar"
source_check genuine "$signed"
[ "$status" -eq 0 ] && grep -q "^MATCH: " "$work/genuine-source.log" ||
    fail "check-source.sh (status $status) does not find the signed exe a build of the sources: $(cat "$work/genuine-source.log")"
grep -qxF "signed by: CN=Regin Detector throwaway signer, issued by CN=Regin Detector throwaway CA" \
    "$work/genuine-source.log" ||
    fail "check-source.sh does not name the signer and its CA: $(cat "$work/genuine-source.log")"
echo "check-source.sh: $(grep MATCH "$work/genuine-source.log")"

# Without a certificate: unsigned, and said so in one line.
(
    unset REGIN_SIGN_PKCS12 REGIN_SIGN_PASSWORD_FILE 2>/dev/null || true
    cd "$copy" && timeout -k 10 "$step_limit" cmake --build --preset mingw --target package_zip
) >"$work/unsigned.log" 2>&1 || fail "the unsigned package build failed: $(tail -n 20 "$work/unsigned.log")"
# Beside make's progress lines (and CMake's, should it configure again), the step
# says one thing: that the exe is unsigned.
grep -vE '^\[ *[0-9]+%\] |^-- (Configuring done|Generating done|Build files have been written)' \
    "$work/unsigned.log" >"$work/unsigned-said" || true
[ "$(wc -l <"$work/unsigned-said")" -eq 1 ] && grep -qi "unsigned" "$work/unsigned-said" ||
    fail "the unsigned build does not say so in one line: $(cat "$work/unsigned.log")"
mkdir "$work/unsigned"
(cd "$work/unsigned" && cmake -E tar xf "$zip")
cmp -s "$work/unsigned/ReginDetector.exe" "$built" ||
    fail "without a certificate the zip does not hold the built exe as it is"
echo "without a certificate: unsigned, said in one line: $(cat "$work/unsigned-said")"
echo "signed package ok"
