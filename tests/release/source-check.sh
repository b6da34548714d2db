#!/bin/sh
# Puts check-source.sh to the test: the release build signed as the package
# step signs it (with a throwaway CA's certificate) passes; every way of adding
# bytes that no signature covers, of breaking what one covers, and of building
# from other files than the commit's is refused, each with its own message.
#
#   source-check.sh SOURCE_DIR CLEAN_BUILD
#
# CLEAN_BUILD is where release.reproducible-build left its release build of the
# sources under test (ReginDetector.exe and the zip). The check runs from a
# throwaway git repository of those sources, one commit (throwaway.sh), so it
# builds what CLEAN_BUILD holds. In a temporary folder: the throwaway CA and
# signer, a throwaway time-stamping authority (TSA, openssl ts), a certificate
# of someone else and one with the CA's name but another key, and a CRL of the
# CA, all made with openssl; every altered copy is made offline with
# osslsigncode, openssl and alter-signature.py. Fails unless check-source.sh:
#   - finds the build, signed and time-stamped by the TSA (RFC 3161, as the
#     package step adds one), a fresh build of the commit and prints the time
#     stamp's time and signer; check-signature.py passes the build with an
#     Authenticode time stamp instead (a countersignature) and prints the same;
#   - refuses (NO MATCH, status 1), for its own reason each: an unauthenticated
#     blob (osslsigncode add), that blob carrying bytes of one's choosing, a
#     nested second signature, a second signer, a CRL, a certificate beside the
#     chain, the CA's certificate twice, a certificate with the CA's name that
#     did not issue the signer's, the CA's certificate with its own signature
#     damaged, the signed data's or the signer's version, the digest algorithm
#     list, or the parameters of the signer's digest or signature algorithm not
#     as the release writes them, two time stamps, and of each time stamp form
#     one whose signature is damaged, one of another digest and one with an
#     unsigned attribute of its own, and an RFC 3161 one with a CRL or a
#     certificate beside its signer's chain;
#   - and, as before, refuses one byte of the program changed, another build
#     signed with the same certificate (showing its tool versions beside those
#     of the TOOLCHAIN.txt next to it), the unsigned build, one byte of the
#     signer's encrypted digest changed and bytes added to the certificate table;
#   - refuses the builds of the repository with an untracked file that the
#     build picks up, with an edit hidden by --assume-unchanged, and with one
#     hidden by git replace: none of them reaches its build;
#   - cannot check (status 2) with an osslsigncode older than 2.8 (a stand-in
#     that says it is 2.5, or 1.9), but goes on with 2.8, 2.10 or 3.0; nor a
#     commit holding a symbolic link, nor a work tree with no commit, nor one
#     with a tracked file changed, staged or not.
# Every step is bounded in time; the temporary folder goes in every case.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 SOURCE_DIR CLEAN_BUILD" >&2
    exit 2
fi
source_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
step_limit=${RELEASE_STEP_LIMIT:-120}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for tool in openssl osslsigncode git cmake timeout /usr/bin/python3; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup-debian.sh installs it)"
done
osslsigncode=$(command -v osslsigncode)
clean=$(cd "$2" && pwd)
built="$clean/ReginDetector.exe"
set -- "$clean"/ReginDetector-*-win64.zip
[ -f "$built" ] && [ $# -eq 1 ] && [ -f "$1" ] || fail "no release build and zip in $clean"
zip=$1
. "$here/release-build.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/regin-source-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
. "$here/throwaway.sh"
alter="/usr/bin/python3 -B $here/alter-signature.py"

release_sources "$source_dir" "$work/sources.tar" >/dev/null ||
    fail "$source_dir is not a git work tree: cannot tell which files are sources"
make_repo "$work/sources.tar"
mkdir "$work/release"
(cd "$work/release" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"

# The certificates, the TSA's and a CRL, readable by their owner only.
key="$work/key"
make_signer "$key"
make_certificate "$key/tsa" "/CN=Regin Detector throwaway TSA" "" \
    "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=critical,timeStamping"
make_certificate "$key/stranger" "/CN=Someone else" "" "basicConstraints=critical,CA:FALSE"
make_certificate "$key/fake-ca" "/CN=Regin Detector throwaway CA" "" \
    "basicConstraints=critical,CA:TRUE" "keyUsage=critical,keyCertSign,cRLSign"
timeout 60 openssl pkcs12 -export -inkey "$key/signer.key" -in "$key/signer.pem" \
    -out "$key/signer-alone.p12" -passout "file:$key/password" >"$work/openssl.log" 2>&1 ||
    fail "openssl could not make the PKCS#12 file of the signer alone: $(cat "$work/openssl.log")"
cat >"$key/openssl.cnf" <<CONFIG
[ ca ]
default_ca = throwaway_ca
[ throwaway_ca ]
database = $key/index.txt
crlnumber = $key/crlnumber
default_md = sha256
default_crl_days = 2
[ tsa ]
default_tsa = throwaway_tsa
[ throwaway_tsa ]
serial = $key/tsa-serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
CONFIG
: >"$key/index.txt"
echo 01 >"$key/crlnumber"
echo 01 >"$key/tsa-serial"
{
    timeout 60 openssl ca -gencrl -config "$key/openssl.cnf" -keyfile "$key/ca.key" \
        -cert "$key/ca.pem" -out "$key/crl.pem" &&
        timeout 60 openssl crl -in "$key/crl.pem" -outform DER -out "$key/crl.der"
} >"$work/openssl.log" 2>&1 || fail "openssl could not make a CRL: $(cat "$work/openssl.log")"

# sign P12 IN OUT [OPTION...]: IN signed as the package step signs, with the
# certificate and key of P12 (and osslsigncode's OPTIONs).
sign() {
    sg_p12=$1
    sg_in=$2
    sg_out=$3
    shift 3
    timeout 60 "$osslsigncode" sign -pkcs12 "$sg_p12" -readpass "$key/password" -h sha256 \
        -n "Velmora Regin Detector" -i "https://www.velmora.example/" "$@" \
        -in "$sg_in" -out "$sg_out" >"$sg_out.log" 2>&1 ||
        fail "could not sign $sg_in: $(cat "$sg_out.log")"
}
# attach NAME SIGNATURE: the build with SIGNATURE attached, as $work/NAME.exe.
# attach-signature verifies what it wrote and fails for an untrusted signer:
# its exit status tells nothing here.
attach() {
    timeout 60 "$osslsigncode" attach-signature -sigin "$2" -CAfile /dev/null -TSA-CAfile /dev/null \
        -in "$built" -out "$work/$1.exe" >"$work/$1-attach.log" 2>&1 || true
    [ -s "$work/$1.exe" ] || fail "could not attach $2 to the build: $(cat "$work/$1-attach.log")"
}
# time_stamp TOKEN DIGEST [OPTION...]: TOKEN, an RFC 3161 time stamp token of
# DIGEST (SHA-256, hex) from the throwaway TSA (with openssl ts -reply's OPTIONs).
time_stamp() {
    ts_token=$1
    ts_digest=$2
    shift 2
    {
        timeout 60 openssl ts -query -digest "$ts_digest" -sha256 -cert -no_nonce -out "$ts_token.tsq" &&
            timeout 60 openssl ts -reply -config "$key/openssl.cnf" -queryfile "$ts_token.tsq" \
                -signer "$key/tsa.pem" -inkey "$key/tsa.key" "$@" -token_out -out "$ts_token"
    } >"$ts_token.log" 2>&1 || fail "openssl ts could not make $ts_token: $(cat "$ts_token.log")"
}
# refused NAME EXE TEXT WHAT: fails unless check-source.sh finds EXE no match,
# saying TEXT.
refused() {
    source_check "$1" "$2"
    expect_rejection "$1" 1 "$3" "$4"
    echo "$1: $(sed -n 's/^NO MATCH: [^ ]* //p' "$work/$1-source.log")"
}
# verify_exe EXE LOG: osslsigncode verify against the throwaway CA.
verify_exe() {
    timeout 60 osslsigncode verify -CAfile "$key/ca.pem" -in "$1" >"$2" 2>&1
}

signed="$work/genuine.exe"
sign "$key/signer.p12" "$built" "$signed"
timeout 60 "$osslsigncode" extract-signature -in "$signed" -out "$work/signature.der" \
    >"$work/extract.log" 2>&1 || fail "could not extract the signature: $(cat "$work/extract.log")"
imprint=$($alter imprint "$work/signature.der") || fail "alter-signature.py cannot read the signature"

# The signature time-stamped by the TSA (RFC 3161): a release.
time_stamp "$work/token.der" "$imprint"
$alter add-stamp "$work/signature.der" "$work/stamped.der" "$work/token.der" ||
    fail "alter-signature.py could not add the time stamp"
attach stamped "$work/stamped.der"
stamp_time=$(timeout 60 openssl ts -reply -in "$work/token.der" -token_in -text 2>/dev/null |
    sed -n 's/^Time stamp: //p')
stamp_time=$(date -u -d "$stamp_time" '+%Y-%m-%d %H:%M:%S UTC') || fail "cannot read the token's time"
source_check stamped "$work/stamped.exe"
[ "$status" -eq 0 ] && grep -q "^MATCH: " "$work/stamped-source.log" &&
    grep -qxF "time stamp (RFC 3161): $stamp_time, signed by CN=Regin Detector throwaway TSA" \
        "$work/stamped-source.log" ||
    fail "check-source.sh (status $status) does not find the time-stamped build a build of the commit, with its time stamp: $(cat "$work/stamped-source.log")"
echo "time-stamped (RFC 3161): check-source.sh: $(grep "time stamp" "$work/stamped-source.log")"

# The same with an Authenticode time stamp, made here: its signature alone.
$alter countersign "$work/signature.der" "$work/countersigned.der" "$key/tsa.pem" "$key/tsa.key" ||
    fail "alter-signature.py could not countersign"
status=0
/usr/bin/python3 -B "$here/check-signature.py" "$work/countersigned.der" >"$work/countersigned.log" 2>&1 ||
    status=$?
[ "$status" -eq 0 ] && grep -qxF "time stamp (Authenticode): 2000-01-01 00:00:00 UTC, signed by CN=Regin Detector throwaway TSA" \
    "$work/countersigned.log" ||
    fail "check-signature.py (status $status) does not pass an Authenticode time stamp: $(cat "$work/countersigned.log")"
echo "time-stamped (Authenticode): check-signature.py: $(grep "time stamp" "$work/countersigned.log")"

# What no signature covers, or what breaks one, in the signature of the build.
# Each copy is the build with the altered signature attached, as a release
# would be laid out; none gets to the fresh build.
time_stamp "$work/token-other.der" "$(printf 'something else' | sha256sum | cut -d' ' -f1)"
time_stamp "$work/token-chain.der" "$imprint" -chain "$key/stranger.pem"
zeros=0000000000000000000000000000000000000000000000000000000000000000
while IFS='|' read -r name from action message <&3; do
    # shellcheck disable=SC2086 # the action and its arguments, split at blanks
    set -- $action
    verb=$1
    shift
    (cd "$key" && $alter "$verb" "$work/$from.der" "$work/$name.der" "$@") >"$work/$name-alter.log" 2>&1 ||
        fail "alter-signature.py $action failed: $(cat "$work/$name-alter.log")"
    attach "$name" "$work/$name.der"
    refused "$name" "$work/$name.exe" "$message" "the signature altered by alter-signature.py $action"
done 3<<CASES
two-signers|signature|add-signer|has 2 signers in its signature
crl|signature|add-crl crl.der|carries a certificate revocation list (CRL) in its signature
version|signature|version|has version 2 in its signature
signer-version|signature|signer-version|has version 2 in the signer of its signature
digest-algorithms|signature|digest-algorithms|lists the digest algorithms 300d06096086480165030402010500300d06096086480165030402030500 in its signature
digest-parameters|signature|digest-parameters|has the digest algorithm of the signer of its signature written as
parameters|signature|parameters|has the signature algorithm of the signer of its signature written as
self-signed|signature|damage-self-signed|carries a self-signed certificate in its signature whose own signature does not verify
two-stamps|stamped|stamp-twice|holds 2 time stamps
stamp-damaged|stamped|damage-stamp|has an RFC 3161 time stamp whose signature does not verify
stamp-other|signature|add-stamp $work/token-other.der|has an RFC 3161 time stamp of something else
stamp-unsigned|stamped|stamp-unsigned|has unsigned attributes in the signer of its RFC 3161 time stamp
stamp-crl|stamped|stamp-crl crl.der|carries a certificate revocation list (CRL) in its RFC 3161 time stamp
stamp-chain|signature|add-stamp $work/token-chain.der|carries a certificate in its RFC 3161 time stamp beside its signer's chain: CN=Someone else
countersigned-damaged|countersigned|damage-stamp|has an Authenticode time stamp whose signature does not verify
countersigned-other|signature|countersign tsa.pem tsa.key $zeros|has an Authenticode time stamp of something else
countersigned-unsigned|countersigned|stamp-unsigned|has unsigned attributes in its Authenticode time stamp
CASES

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
# flip_byte FILE [OFFSET]: adds one to the byte at OFFSET, by default halfway
# into the file (in the program, far from the signature at its end).
flip_byte() {
    offset=${2:-$(($(stat -c %s "$1") / 2))}
    old=$(od -An -tu1 -j "$offset" -N 1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $(((old + 1) % 256)))" |
        dd of="$1" bs=1 seek="$offset" count=1 conv=notrunc 2>/dev/null
}
pe_fields "$signed"
[ "$table_at" -gt 0 ] && [ $((table_at + table_size)) -eq "$(stat -c %s "$signed")" ] ||
    fail "the signed exe's certificate table ($table_at, $table_size) does not end the file"
[ "$(u32 "$signed" "$table_at")" -eq "$table_size" ] ||
    fail "the signed exe's one WIN_CERTIFICATE does not fill its certificate table"
cp "$signed" "$work/checksum.exe"
set_checksum "$work/checksum.exe"
cmp -s "$signed" "$work/checksum.exe" || fail "set_checksum does not give the signed exe's own checksum"

# osslsigncode's unauthenticated blob, which verifies; then the same with bytes
# of one's own choosing written into it (the PE checksum set to match): they
# come through extracting the signature.
timeout 60 "$osslsigncode" add -addUnauthenticatedBlob -in "$signed" -out "$work/blob.exe" \
    >"$work/blob.log" 2>&1 || fail "osslsigncode could not add a blob: $(cat "$work/blob.log")"
verify_exe "$work/blob.exe" "$work/blob-verify.log" ||
    fail "the exe with a blob added does not verify: $(cat "$work/blob-verify.log")"
refused blob "$work/blob.exe" "holds an unauthenticated data blob of" "an unauthenticated blob"
chosen="per-download data: 0042"
at=$(LC_ALL=C grep -boa -- "---BEGIN_BLOB---" "$work/blob.exe" | head -n 1 | cut -d: -f1)
[ -n "$at" ] || fail "no blob in the exe osslsigncode add wrote"
cp "$work/blob.exe" "$work/chosen.exe"
printf '%s' "$chosen" | dd of="$work/chosen.exe" bs=1 seek=$((at + 16)) conv=notrunc 2>/dev/null
set_checksum "$work/chosen.exe"
verify_exe "$work/chosen.exe" "$work/chosen-verify.log" ||
    fail "the exe with chosen bytes in its blob does not verify: $(cat "$work/chosen-verify.log")"
timeout 60 "$osslsigncode" extract-signature -in "$work/chosen.exe" -out "$work/chosen.der" \
    >"$work/chosen-extract.log" 2>&1 && LC_ALL=C grep -qaF "$chosen" "$work/chosen.der" ||
    fail "the chosen bytes do not come through extract-signature: $(cat "$work/chosen-extract.log")"
refused chosen "$work/chosen.exe" "holds an unauthenticated data blob of" "a blob carrying chosen bytes"

# Signed with osslsigncode's own options: a nested second signature, another
# certificate, the CA's certificate once more, and, for the signer alone, a
# certificate with its CA's name and another key.
sign "$key/signer.p12" "$signed" "$work/nested.exe" -nest
refused nested "$work/nested.exe" "holds a nested second signature of" "a nested signature"
sign "$key/signer.p12" "$built" "$work/stranger.exe" -ac "$key/stranger.pem"
refused stranger "$work/stranger.exe" \
    "carries a certificate in its signature beside its signer's chain: CN=Someone else" "an extra certificate"
sign "$key/signer.p12" "$built" "$work/twice.exe" -ac "$key/ca.pem"
refused twice "$work/twice.exe" "carries the certificate of CN=Regin Detector throwaway CA twice" \
    "the CA's certificate twice"
sign "$key/signer-alone.p12" "$built" "$work/fake-ca.exe" -ac "$key/fake-ca.pem"
refused fake-ca "$work/fake-ca.exe" \
    "named as the issuer of CN=Regin Detector throwaway signer that openssl does not take as its issuer" \
    "a certificate with the CA's name that did not issue the signer's"

cp "$signed" "$work/altered.exe"
flip_byte "$work/altered.exe"
cmp -s "$signed" "$work/altered.exe" && fail "flip_byte changed nothing"
if verify_exe "$work/altered.exe" "$work/altered-verify.log"; then
    fail "osslsigncode verify passes for a signed exe with one byte changed"
fi
refused altered "$work/altered.exe" "was changed after it was signed" "a signed exe with one byte changed"

# Another build, signed with the same certificate, unpacked with a
# TOOLCHAIN.txt that names another compiler: the versions side by side.
mkdir "$work/other"
cp "$built" "$work/other-build.exe"
flip_byte "$work/other-build.exe"
sign "$key/signer.p12" "$work/other-build.exe" "$work/other/ReginDetector.exe"
verify_exe "$work/other/ReginDetector.exe" "$work/other-verify.log" ||
    fail "the altered build signed anew does not verify: $(cat "$work/other-verify.log")"
sed '1s/ .*/ 0.1-other/' "$work/release/TOOLCHAIN.txt" >"$work/other/TOOLCHAIN.txt"
grep -q "^g++-mingw-w64-x86-64-posix 0.1-other\$" "$work/other/TOOLCHAIN.txt" ||
    fail "TOOLCHAIN.txt does not name the compiler first: $(cat "$work/release/TOOLCHAIN.txt")"
refused other "$work/other/ReginDetector.exe" "whose tool versions are not all the release's" \
    "a validly signed exe that is not this build"
compiler_here=$(sed -n 's/^g++-mingw-w64-x86-64-posix //p' "$work/release/TOOLCHAIN.txt")
grep -qF "  g++-mingw-w64-x86-64-posix $compiler_here | 0.1-other   (differs)" "$work/other-source.log" &&
    grep -qF "  cmake $(sed -n 's/^cmake //p' "$work/release/TOOLCHAIN.txt") | $(sed -n 's/^cmake //p' "$work/release/TOOLCHAIN.txt")" \
        "$work/other-source.log" ||
    fail "check-source.sh does not show the tool versions side by side: $(cat "$work/other-source.log")"

refused unsigned "$built" "carries no Authenticode signature" "the unsigned build"

# One byte changed in the signer's encrypted digest (the last field of the
# signature, which has no unsigned attributes), in the middle of it; the file's
# digest in the signature is untouched.
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
refused damaged "$work/damaged.exe" "has a damaged signature" \
    "a signature with one byte of its signer data changed"

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
refused table "$work/table.exe" "where the signature does not cover them" \
    "a signed exe with bytes added to its certificate table"

# Files that reach a build of the work tree but not the commit's. The
# repository's own build with each, signed, is what a release made from such a
# tree would be; check-source.sh, run there, must not take it for the commit's.
# First the repository as committed: the release build.
release_build "$repo" "$step_limit" ReginDetector || fail "the build of the repository failed"
repo_exe="$repo/build/mingw/ReginDetector.exe"
cmp -s "$repo_exe" "$built" || fail "the repository's build is not the release build $built"
# hidden_build NAME: the repository's build now, signed, as $work/NAME/ReginDetector.exe.
hidden_build() {
    release_build "$repo" "$step_limit" ReginDetector || fail "the build of the repository ($1) failed"
    cmp -s "$repo_exe" "$built" && fail "the build with $1 is the release build: nothing hidden"
    mkdir "$work/$1"
    sign "$key/signer.p12" "$repo_exe" "$work/$1/ReginDetector.exe"
}
# clean_status WHAT: fails unless git status shows no change to a tracked file.
clean_status() {
    [ -z "$(in_repo status --porcelain --untracked-files=no)" ] ||
        fail "git status shows $1: $(in_repo status --porcelain --untracked-files=no)"
}

# An untracked header that the compiler finds before the generated one (a
# quoted #include looks beside the including file first), with the release's
# TOOLCHAIN.txt beside the build: the same tool versions.
version_text='#define PRODUCT_VERSION_TEXT "\(.*\)"'
sed "s/^$version_text\$/#define PRODUCT_VERSION_TEXT \"\\1 untracked\"/" \
    "$repo/build/mingw/generated/Version.h" >"$repo/app/Version.h"
grep -q 'untracked"$' "$repo/app/Version.h" || fail "no version text in the generated Version.h"
# make knows the header its last build used, not one that now comes first.
touch "$repo/app/ProgramFlow.cpp"
hidden_build untracked
cp "$work/release/TOOLCHAIN.txt" "$work/untracked/"
clean_status "the untracked app/Version.h"
refused untracked "$work/untracked/ReginDetector.exe" \
    "differs from the build of commit" "the build of a tree with an untracked file"
grep -qF "made here with the release's tool versions" "$work/untracked-source.log" ||
    fail "check-source.sh does not say the tool versions are the release's: $(cat "$work/untracked-source.log")"
rm "$repo/app/Version.h"

# A tracked file edited, its change hidden from git status by --assume-unchanged;
# then the same edit as a replacement object (git replace) of the committed
# file, the work tree as committed.
cp "$repo/res/Version.h.in" "$work/Version.h.in"
sed 's/"@PROJECT_VERSION@"/"@PROJECT_VERSION@ edited"/' "$work/Version.h.in" >"$repo/res/Version.h.in"
cmp -s "$repo/res/Version.h.in" "$work/Version.h.in" && fail "no version text in res/Version.h.in"
hidden_build edited
in_repo update-index --assume-unchanged res/Version.h.in || fail "git update-index --assume-unchanged failed"
clean_status "the edit of res/Version.h.in hidden by --assume-unchanged"
refused assume-unchanged "$work/edited/ReginDetector.exe" "differs from the build of commit" \
    "the build of a tree with an edit hidden by --assume-unchanged"
in_repo update-index --no-assume-unchanged res/Version.h.in
edited=$(in_repo hash-object -w res/Version.h.in) || fail "git hash-object failed"
cp "$work/Version.h.in" "$repo/res/Version.h.in"
in_repo replace "$(in_repo rev-parse HEAD:res/Version.h.in)" "$edited" || fail "git replace failed"
clean_status "the committed res/Version.h.in replaced"
in_repo show HEAD:res/Version.h.in | grep -q 'edited"$' || fail "git replace does not show the edit"
refused replaced "$work/edited/ReginDetector.exe" "differs from the build of commit" \
    "the build of a commit with a file replaced by git replace"
in_repo replace -d "$(in_repo rev-parse HEAD:res/Version.h.in)" >/dev/null

# osslsigncode older than 2.8, which has no verify -ignore-cdp, as a stand-in
# that says its version as osslsigncode does ("osslsigncode 2.5, using:")
# and is the real one otherwise; the unsigned build is refused when it goes on.
mkdir "$work/stand-in"
while IFS='|' read -r version wanted message <&3; do
    cat >"$work/stand-in/osslsigncode" <<STANDIN
#!/bin/sh
case \${1:-} in
--version | -v) printf 'osslsigncode $version, using:\n\tOpenSSL 3.0.7 1 Nov 2022\n'; exit 0 ;;
esac
exec "$osslsigncode" "\$@"
STANDIN
    chmod +x "$work/stand-in/osslsigncode"
    path=$PATH
    PATH="$work/stand-in:$PATH"
    source_check "osslsigncode-$version" "$built"
    PATH=$path
    expect_rejection "osslsigncode-$version" "$wanted" "$message" "the build with osslsigncode $version"
    echo "osslsigncode $version: status $status"
done 3<<VERSIONS
2.5|2|osslsigncode 2.5 ($work/stand-in/osslsigncode) is too old: this check needs 2.8 or later
1.9|2|osslsigncode 1.9 ($work/stand-in/osslsigncode) is too old: this check needs 2.8 or later
2.8|1|carries no Authenticode signature
2.10|1|carries no Authenticode signature
3.0|1|carries no Authenticode signature
VERSIONS

# A commit holding a symbolic link: its files are not all plain files.
ln -s README.md "$repo/link"
{ in_repo add link && in_repo commit -q -m "a link"; } >"$work/link.log" 2>&1 ||
    fail "could not commit a link: $(cat "$work/link.log")"
source_check link "$signed"
expect_rejection link 2 "holds link as blob (mode 120000), which is not a plain file" \
    "a commit holding a symbolic link"

# A work tree with no commit checked out: nothing to build.
committed=$repo
repo="$work/uncommitted"
mkdir "$repo"
tar -C "$repo" -xf "$work/sources.tar"
in_repo init -q --template= || fail "git init failed"
source_check no-commit "$signed"
expect_rejection no-commit 2 "has no commit checked out" "a work tree with no commit"
repo=$committed

# A tracked file changed and not committed, then staged: the check refuses to
# judge either (the files in front of the user would not be the ones checked).
printf '\nA line not committed.\n' >>"$repo/README.md"
[ -n "$(in_repo status --porcelain --untracked-files=no)" ] || fail "git sees no change to README.md"
source_check dirty "$signed"
expect_rejection dirty 2 "uncommitted changes to tracked files" "a work tree with uncommitted changes"
in_repo add README.md || fail "could not stage README.md"
source_check staged "$signed"
expect_rejection staged 2 "uncommitted changes to tracked files" "a work tree with staged changes"
echo "no commit, a link committed, a tracked file changed and not committed (staged or not): check-source.sh cannot check"
echo "source check ok"
