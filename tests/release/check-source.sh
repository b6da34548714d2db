#!/bin/sh
# Tells whether a signed ReginDetector.exe is exactly a fresh release build of
# the sources here plus an intact Authenticode signature.
#
#   tests/release/check-source.sh SIGNED_EXE
#
# The sources are this work tree as git sees it (check out the release's commit
# first). It cannot check (exit status 2) while a tracked file has uncommitted
# changes, staged or not (the build would not be the commit's), nor a file that
# holds more than one signature. Otherwise it fails unless:
#   - SIGNED_EXE carries an Authenticode signature, and the digest the signature
#     holds is the digest of the file as it is (nothing signed has changed since);
#   - the signer's signature in it verifies with the public key of the
#     certificate it names, which the signature carries (nothing in the
#     signature has been damaged);
#   - without its signature (osslsigncode remove-signature) it is, byte for byte,
#     the ReginDetector.exe that a fresh mingw release build of these sources
#     gives, made here in a temporary folder;
#   - that fresh build with the signature taken from SIGNED_EXE attached
#     (osslsigncode extract-signature, attach-signature) is SIGNED_EXE byte for
#     byte: no byte of it, also where the signature does not reach (its
#     certificate table), is anything else.
# Whom the signature is from is not judged here: osslsigncode verify -CAfile, or
# the file's Properties > Digital Signatures on Windows, tells that. Nor is a
# time stamp's own signature, which is for the same judges (it is still
# compared byte for byte).
# Exit status: 0 it matches, 1 it does not, 2 it could not be checked.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 SIGNED_EXE" >&2
    exit 2
fi
exe=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# Seconds allowed for the configure and for the build (each takes ~3-25 s here).
step_limit=${RELEASE_STEP_LIMIT:-120}

. "$source_dir/tests/release/release-build.sh"
unset REGIN_SIGN_PKCS12 REGIN_SIGN_PASSWORD_FILE 2>/dev/null || true

cannot() {
    echo "CANNOT CHECK: $*" >&2
    exit 2
}
differs() {
    echo "NO MATCH: $exe $*" >&2
    exit 1
}

[ -f "$exe" ] || cannot "no such file: $exe"
for tool in osslsigncode openssl git cmake timeout; do
    command -v "$tool" >/dev/null || cannot "$tool is missing (scripts/setup-debian.sh installs it)"
done

# The build must be the commit's: a tracked file changed (staged or not) would
# make it something else. Untracked files that are not ignored are sources too
# (see release_sources), as in every release build here.
release_git "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
    cannot "$source_dir is not a git work tree: cannot tell which files are sources"
changed=$(release_git "$source_dir" status --porcelain --untracked-files=no) ||
    cannot "git status fails in $source_dir"
if [ -n "$changed" ]; then
    printf '%s\n' "$changed" >&2
    cannot "$source_dir has uncommitted changes to tracked files (above): commit or stash them, or check out the release's commit in a clean work tree"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/regin-source-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The signature's own digest against the file's. verify fails anyway for a
# certificate this machine does not trust; its digest lines are there all the
# same. -ignore-cdp: it fetches no revocation list (nothing goes on the network).
timeout 60 osslsigncode verify -ignore-cdp -in "$exe" >"$work/verify" 2>&1 || true
if grep -q "No signature found" "$work/verify"; then
    differs "carries no Authenticode signature"
fi
sed -n 's/^Current message digest *: *\([0-9A-Fa-f]*\).*/\1/p' "$work/verify" >"$work/held"
sed -n 's/^Calculated message digest *: *\([0-9A-Fa-f]*\).*/\1/p' "$work/verify" >"$work/actual"
if [ ! -s "$work/held" ] || [ ! -s "$work/actual" ]; then
    cat "$work/verify" >&2
    differs "has no readable Authenticode signature"
fi
if ! cmp -s "$work/held" "$work/actual"; then
    differs "was changed after it was signed: the signature holds digest $(head -n 1 "$work/held"), the file has $(head -n 1 "$work/actual")"
fi
# Only the first signature's maths is checked below; a nested one would pass
# unchecked, and the package step never nests.
signatures=$(grep -c "^Signature Index:" "$work/verify" || true)
[ "$signatures" -eq 1 ] ||
    cannot "$exe holds $signatures signatures; this check reads a file with one"

timeout 60 osslsigncode extract-signature -in "$exe" -out "$work/signature.der" \
    >"$work/extract" 2>&1 || {
    cat "$work/extract" >&2
    differs "has a signature that cannot be extracted"
}

# The signature's maths. osslsigncode verify judges the certificate chain
# first and, when this machine does not trust it (a throwaway certificate, a CA
# unknown here), stops before it checks the signer's signature at all: its
# output is then the same for an intact and a damaged signature. Handing it the
# signature's own certificates as -CAfile does not help when the signature
# lacks its root (OpenSSL wants a self-signed anchor), and verify also wants a
# revocation list for a certificate that names one. So the maths is checked
# with OpenSSL alone, the chain left out (-noverify): the signed attributes
# against the signer's encrypted digest, with the public key of the certificate
# that the signer info names (taken from the signature), and the attributes'
# message digest against the content they sign. Authenticode signs the content
# of its SpcIndirectDataContent (OID 1.3.6.1.4.1.311.2.1.4) without the
# SEQUENCE's own tag and length, which OpenSSL does not hash by itself, so those
# bytes are handed to it (-content). That content holds the file digest which
# verify compared with the file above.
timeout 60 openssl asn1parse -inform DER -in "$work/signature.der" >"$work/signature.asn1" 2>&1 || {
    cat "$work/signature.asn1" >&2
    differs "has no readable Authenticode signature (openssl cannot parse it)"
}
# The SEQUENCE right after the content type, in the signed data's content
# info (depth 4 and 5): its offset, header length and length.
content=$(awk '
    found && /:d=5 / && /cons: SEQUENCE/ {
        offset = $0; sub(/:.*/, "", offset)
        header = $0; sub(/.*hl= */, "", header); sub(/ .*/, "", header)
        length_ = $0; sub(/.* l= */, "", length_); sub(/ .*/, "", length_)
        print offset + header, length_
        exit
    }
    /:d=4 / && /prim: OBJECT/ && /:1\.3\.6\.1\.4\.1\.311\.2\.1\.4 *$/ { found = 1 }' \
    "$work/signature.asn1")
[ -n "$content" ] || differs "has no readable Authenticode signature (no SpcIndirectDataContent)"
content_at=${content% *}
content_length=${content#* }
dd if="$work/signature.der" of="$work/content" bs=1 skip="$content_at" count="$content_length" \
    2>/dev/null
[ "$(wc -c <"$work/content")" -eq "$content_length" ] ||
    differs "has no readable Authenticode signature (its content is cut short)"
if ! timeout 60 openssl smime -verify -noverify -binary -inform DER -in "$work/signature.der" \
    -content "$work/content" -out /dev/null >"$work/maths" 2>&1; then
    cat "$work/maths" >&2
    differs "has a damaged signature: the signer's signature does not verify with the certificate it carries"
fi

timeout 60 osslsigncode remove-signature -in "$exe" -out "$work/unsigned.exe" \
    >"$work/remove" 2>&1 || {
    cat "$work/remove" >&2
    differs "has a signature that cannot be removed"
}

release_sources "$source_dir" "$work/sources.tar" ||
    cannot "$source_dir is not a git work tree: cannot tell which files are sources"
revision=$(release_git "$source_dir" describe --always --dirty 2>/dev/null || echo unknown)
mkdir "$work/copy"
tar -C "$work/copy" -xf "$work/sources.tar"
echo "building the sources of $revision in $work/copy ..."
release_build "$work/copy" "$step_limit" ReginDetector || cannot "the fresh build failed"
built="$work/copy/build/mingw/ReginDetector.exe"

if ! cmp -s "$work/unsigned.exe" "$built"; then
    echo "without its signature: $(sha256sum "$work/unsigned.exe" | cut -d' ' -f1)" >&2
    echo "fresh build:           $(sha256sum "$built" | cut -d' ' -f1)" >&2
    differs "is not a fresh build of $revision plus a signature"
fi

# The fresh build with this signature attached, laid out as the package step's
# osslsigncode sign does it: the certificate table at the end of the file, one
# WIN_CERTIFICATE holding the signature as DER, padded with zeros to 8 bytes,
# and the PE checksum set. extract-signature and attach-signature both decode
# the signature and write it anew as DER, so bytes after it in its
# WIN_CERTIFICATE, or an encoding other than DER, do not come through. Any such
# byte in SIGNED_EXE, or any other one the signature does not hash (which
# remove-signature cuts off with the certificate table), differs here.
# attach-signature then checks the file it wrote as verify would, but with no
# -ignore-cdp, so for a certificate this machine trusts it would fetch the
# revocation lists it names. It is given no trusted certificate at all
# (/dev/null) and so stops before any of that: its own check always fails and
# its exit status tells nothing; the signature was checked above, and what it
# wrote is compared here.
timeout 60 osslsigncode attach-signature -sigin "$work/signature.der" \
    -CAfile /dev/null -TSA-CAfile /dev/null \
    -in "$built" -out "$work/attached.exe" >"$work/attach" 2>&1 || true
if [ ! -s "$work/attached.exe" ]; then
    cat "$work/attach" >&2
    cannot "osslsigncode could not attach the signature to the fresh build"
fi
if ! cmp -s "$work/attached.exe" "$exe"; then
    echo "fresh build, signature attached: $(wc -c <"$work/attached.exe") bytes, sha256 $(sha256sum "$work/attached.exe" | cut -d' ' -f1)" >&2
    echo "$exe: $(wc -c <"$exe") bytes, sha256 $(sha256sum "$exe" | cut -d' ' -f1)" >&2
    differs "holds bytes beside the fresh build of $revision and its signature, where the signature does not cover them: it is not that build with its signature attached"
fi
echo "MATCH: $exe is a fresh release build of $revision plus an intact Authenticode signature"
echo "(the build's sha256: $(sha256sum "$built" | cut -d' ' -f1))"
