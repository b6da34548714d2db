#!/bin/sh
# Builds the release package signed with a throwaway code-signing certificate
# and checks it as a user and a maintainer would.
#
#   signed-package.sh SOURCE_DIR SANDBOX_PREFIX VERSION      (as root)
#
# In a temporary folder: a self-signed code-signing certificate made with
# openssl, its PKCS#12 file and a password file. The sources under test (as in
# reproducible-build.sh) are built with the mingw preset, package_zip with
# REGIN_SIGN_PKCS12 and REGIN_SIGN_PASSWORD_FILE set (never a time-stamp URL).
# Fails unless:
#   - the build says it signed, and neither its output (commands shown) nor any
#     osslsigncode command line holds the password: osslsigncode reads the file;
#   - the zip checks out as a release zip (check-package.sh), its SHA256SUMS
#     matching the signed exe inside, which is not the unsigned build;
#   - osslsigncode verify passes against the certificate (-CAfile), with SHA-256
#     and the program's name and web address in the signature;
#   - the signed exe runs under Wine (SANDBOX_PREFIX, a prefix whose only drive
#     is C:, in a private network namespace) and run-once.py finds the banner of
#     the project's version, the clean verdict and the prompt, and exit status 0
#     (no console input: the program ends by itself);
#   - check-source.sh, run from a throwaway git repository of the sources under
#     test (committed once, so the developer's own work tree plays no part),
#     finds it a fresh build of the sources plus an intact signature;
#   - check-source.sh rejects each of these with its own message and status:
#     a copy with one byte of the program changed (verify fails too); the build
#     with that byte changed and signed anew with the same certificate (not a
#     fresh build; verify passes); the unsigned build; a copy with one byte of
#     the signer's encrypted digest changed (a damaged signature; verify fails);
#     a copy with bytes added to its certificate table, its sizes and PE checksum
#     set to match (verify passes, and without its signature it is the build);
#     and, as not checkable (status 2), the repository with a tracked file
#     changed, then staged;
#   - built again without a certificate, the package says in one line that it
#     is unsigned and holds the built exe as it is.
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

# The throwaway certificate, readable by root only.
mkdir -m 700 "$work/key"
key="$work/key"
timeout 60 openssl rand -hex 16 >"$key/password"
timeout 60 openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes \
    -subj "/CN=Regin Detector throwaway test signer" \
    -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$key/key.pem" -out "$key/cert.pem" >"$work/openssl.log" 2>&1 ||
    fail "openssl could not make a certificate: $(cat "$work/openssl.log")"
timeout 60 openssl pkcs12 -export -inkey "$key/key.pem" -in "$key/cert.pem" \
    -out "$key/signer.p12" -passout "file:$key/password" >"$work/openssl.log" 2>&1 ||
    fail "openssl could not make the PKCS#12 file: $(cat "$work/openssl.log")"
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
    timeout 60 osslsigncode verify -CAfile "$key/cert.pem" -in "$1" >"$2" 2>&1
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
# check refuses when it has uncommitted changes) plays no part. Its own config
# only: no hook, template or setting of the developer's.
repo="$work/repo"
mkdir "$repo"
tar -C "$repo" -xf "$work/sources.tar"
in_repo() {
    GIT_CONFIG_GLOBAL=/dev/null GIT_CONFIG_NOSYSTEM=1 timeout 60 git -C "$repo" \
        -c init.defaultBranch=main -c user.name="Velmora Dev" -c user.email=dev@velmora.example \
        -c commit.gpgsign=false "$@"
}
{
    in_repo init -q --template= && in_repo add -A && in_repo commit -q -m "sources under test"
} >"$work/repo.log" 2>&1 || fail "could not commit the sources under test: $(cat "$work/repo.log")"
[ -z "$(in_repo status --porcelain)" ] || fail "the committed sources are not clean: $(in_repo status --porcelain)"

# source_check NAME EXE: runs the repository's check-source.sh on EXE into
# NAME-source.log, bounded; sets status to its exit status.
source_check() {
    status=0
    timeout -k 10 600 sh "$repo/tests/release/check-source.sh" "$2" >"$work/$1-source.log" 2>&1 ||
        status=$?
}
# expect_rejection NAME STATUS TEXT WHAT: fails unless the last source_check NAME
# ended with STATUS and said TEXT (each rejection has a message of its own).
expect_rejection() {
    [ "$status" -eq "$2" ] && grep -qF -- "$3" "$work/$1-source.log" ||
        fail "check-source.sh (status $status, not $2 with '$3') does not reject $4: $(cat "$work/$1-source.log")"
}

source_check genuine "$signed"
[ "$status" -eq 0 ] && grep -q "^MATCH: " "$work/genuine-source.log" ||
    fail "check-source.sh (status $status) does not find the signed exe a build of the sources: $(cat "$work/genuine-source.log")"
echo "check-source.sh: $(grep MATCH "$work/genuine-source.log")"

# flip_byte FILE [OFFSET]: adds one to the byte at OFFSET, by default halfway
# into the file (in the program, far from the signature at its end).
flip_byte() {
    offset=${2:-$(($(stat -c %s "$1") / 2))}
    old=$(od -An -tu1 -j "$offset" -N 1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $(((old + 1) % 256)))" |
        dd of="$1" bs=1 seek="$offset" count=1 conv=notrunc 2>/dev/null
}
cp "$signed" "$work/altered.exe"
flip_byte "$work/altered.exe"
cmp -s "$signed" "$work/altered.exe" && fail "flip_byte changed nothing"
if verify_exe "$work/altered.exe" "$work/altered-verify.log"; then
    fail "osslsigncode verify passes for a signed exe with one byte changed"
fi
source_check altered "$work/altered.exe"
expect_rejection altered 1 "was changed after it was signed" "a signed exe with one byte changed"
echo "one byte changed: verify fails, check-source.sh fails"

cp "$built" "$work/other-build.exe"
flip_byte "$work/other-build.exe"
timeout 60 "$osslsigncode" sign -pkcs12 "$key/signer.p12" -readpass "$key/password" -h sha256 \
    -in "$work/other-build.exe" -out "$work/other-signed.exe" >"$work/resign.log" 2>&1 ||
    fail "could not sign the altered build: $(cat "$work/resign.log")"
verify_exe "$work/other-signed.exe" "$work/other-verify.log" ||
    fail "the altered build signed anew does not verify: $(cat "$work/other-verify.log")"
source_check other "$work/other-signed.exe"
expect_rejection other 1 "is not a fresh build of" "a validly signed exe that is not this build"
echo "one byte changed, then signed anew: verify passes, check-source.sh fails"

source_check unsigned "$built"
expect_rejection unsigned 1 "carries no Authenticode signature" "the unsigned build"
echo "the unsigned build: check-source.sh fails"

# The PE fields the copies below change, read and written little-endian
# byte by byte. The program is PE32+ (optional header magic 0x20b), whose
# checksum is 64 bytes into the optional header and whose certificate table's
# entry (offset, size) is the fifth data directory, 144 bytes into it.
u32() {
    od -An -tu1 -j "$2" -N 4 "$1" | awk '{ print $1 + 256 * ($2 + 256 * ($3 + 256 * $4)) }'
}
put32() {
    p32_value=$3
    p32_bytes=
    for _ in 1 2 3 4; do
        p32_bytes="$p32_bytes\\$(printf '%03o' $((p32_value % 256)))"
        p32_value=$((p32_value / 256))
    done
    printf "$p32_bytes" | dd of="$1" bs=1 seek="$2" count=4 conv=notrunc 2>/dev/null
}
# pe_fields FILE: sets checksum_at, entry_at (the certificate table's entry),
# table_at and table_size.
pe_fields() {
    pf_header=$(u32 "$1" 60)
    [ "$(od -An -tx1 -j $((pf_header + 24)) -N 2 "$1" | tr -d ' ')" = 0b02 ] ||
        fail "$1 is not a PE32+ file"
    checksum_at=$((pf_header + 24 + 64))
    entry_at=$((pf_header + 24 + 144))
    table_at=$(u32 "$1" "$entry_at")
    table_size=$(u32 "$1" $((entry_at + 4)))
}
# set_checksum FILE: writes the PE checksum Windows computes: the file's 16-bit
# little-endian words (the checksum field left out) summed with end-around
# carry, plus the file's length. So a changed copy is still a well-formed file.
# Every copy here has the signed exe's headers: checksum_at is theirs.
set_checksum() {
    sc_sum=$(od -An -v -tu1 "$1" | awk -v skip="$checksum_at" '
        { for (i = 1; i <= NF; i++) {
              if (n < skip || n >= skip + 4) {
                  if (n % 2 == 0) low = $i
                  else { sum += low + 256 * $i; sum = sum % 65536 + int(sum / 65536) }
              }
              n++ } }
        END { if (n % 2 == 1) { sum += low; sum = sum % 65536 + int(sum / 65536) }
              print sum + n }')
    put32 "$1" "$checksum_at" "$sc_sum"
}
pe_fields "$signed"
[ "$table_at" -gt 0 ] && [ $((table_at + table_size)) -eq "$(stat -c %s "$signed")" ] ||
    fail "the signed exe's certificate table ($table_at, $table_size) does not end the file"
[ "$(u32 "$signed" "$table_at")" -eq "$table_size" ] ||
    fail "the signed exe's one WIN_CERTIFICATE does not fill its certificate table"
cp "$signed" "$work/checksum.exe"
set_checksum "$work/checksum.exe"
cmp -s "$signed" "$work/checksum.exe" || fail "set_checksum does not give the signed exe's own checksum"

# One byte changed in the signer's encrypted digest (the last field of the
# signature, which has no unsigned attributes), in the middle of it; the file's
# digest in the signature is untouched.
timeout 60 "$osslsigncode" extract-signature -in "$signed" -out "$work/signature.der" \
    >"$work/extract.log" 2>&1 || fail "could not extract the signature: $(cat "$work/extract.log")"
cmp -s -i "$((table_at + 8)):0" -n "$(stat -c %s "$work/signature.der")" \
    "$signed" "$work/signature.der" ||
    fail "the extracted signature is not the one 8 bytes into the certificate table"
timeout 60 openssl asn1parse -inform DER -in "$work/signature.der" >"$work/signature.asn1" 2>&1 ||
    fail "openssl cannot read the signature: $(cat "$work/signature.asn1")"
last=$(tail -n 1 "$work/signature.asn1")
case $last in
*":d=5 "*"prim: OCTET STRING"*) ;;
*) fail "the signature does not end with the signer's encrypted digest: $last" ;;
esac
# The byte halfway into it: its offset plus its header's length plus half its length.
digest_middle=$(printf '%s\n' "$last" |
    sed -n 's/^ *\([0-9]*\):.* hl= *\([0-9]*\) *l= *\([0-9]*\) .*/\1 \2 \3/p' |
    awk '$3 >= 64 { print $1 + $2 + int($3 / 2) }')
[ -n "$digest_middle" ] || fail "cannot place the encrypted digest: $last"
cp "$signed" "$work/damaged.exe"
flip_byte "$work/damaged.exe" $((table_at + 8 + digest_middle))
set_checksum "$work/damaged.exe"
if verify_exe "$work/damaged.exe" "$work/damaged-verify.log"; then
    fail "osslsigncode verify passes for a signature with one byte of its encrypted digest changed"
fi
grep -q "invalid PE checksum" "$work/damaged-verify.log" &&
    fail "the damaged copy's PE checksum is wrong: $(cat "$work/damaged-verify.log")"
held=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$work/damaged-verify.log")
[ -n "$held" ] && grep -q "^Calculated message digest *: *$held" "$work/damaged-verify.log" ||
    fail "the damaged copy's file digest is no longer the signed one: $(cat "$work/damaged-verify.log")"
source_check damaged "$work/damaged.exe"
expect_rejection damaged 1 "has a damaged signature" "a signature with one byte of its signer data changed"
echo "one byte of the encrypted digest changed: verify fails, check-source.sh fails"

# 24 bytes added at the end of the certificate table, which Authenticode does
# not hash: the table's size in the PE header and the WIN_CERTIFICATE's length
# grow with them (both stay multiples of 8) and the PE checksum is set anew, so
# the copy is well formed, verifies, and without its signature is the build.
extra="not covered, not hashed."
[ "${#extra}" -eq 24 ] || fail "the added bytes are not 24"
cp "$signed" "$work/table.exe"
printf '%s' "$extra" >>"$work/table.exe"
put32 "$work/table.exe" $((entry_at + 4)) $((table_size + 24))
put32 "$work/table.exe" "$table_at" $((table_size + 24))
set_checksum "$work/table.exe"
verify_exe "$work/table.exe" "$work/table-verify.log" ||
    fail "the copy with bytes added to its certificate table does not verify: $(cat "$work/table-verify.log")"
grep -q "invalid PE checksum" "$work/table-verify.log" &&
    fail "the copy with bytes added has a wrong PE checksum: $(cat "$work/table-verify.log")"
timeout 60 "$osslsigncode" remove-signature -in "$work/table.exe" -out "$work/table-removed.exe" \
    >"$work/table-remove.log" 2>&1 || fail "cannot remove the signature: $(cat "$work/table-remove.log")"
cmp -s "$work/table-removed.exe" "$built" ||
    fail "the copy with bytes added to its certificate table is not the build without its signature"
source_check table "$work/table.exe"
expect_rejection table 1 "where the signature does not cover them" \
    "a signed exe with bytes added to its certificate table"
echo "bytes added to the certificate table: verify passes, check-source.sh fails"

# A tracked file changed and not committed, then staged: the check refuses to
# judge either (a fresh build would not be the commit's).
printf '\nA line not committed.\n' >>"$repo/README.md"
[ -n "$(in_repo status --porcelain --untracked-files=no)" ] || fail "git sees no change to README.md"
source_check dirty "$signed"
expect_rejection dirty 2 "uncommitted changes to tracked files" "a work tree with uncommitted changes"
in_repo add README.md || fail "could not stage README.md"
source_check staged "$signed"
expect_rejection staged 2 "uncommitted changes to tracked files" "a work tree with staged changes"
echo "a tracked file changed and not committed (staged or not): check-source.sh cannot check"

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
