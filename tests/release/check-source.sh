#!/bin/sh
# Tells whether a signed ReginDetector.exe is exactly a fresh release build of
# the sources here plus an Authenticode signature.
#
#   tests/release/check-source.sh SIGNED_EXE
#
# The sources are this work tree as git sees it (check out the release's commit
# first). It cannot check (exit status 2) while a tracked file has uncommitted
# changes, staged or not: the build would not be the commit's. Otherwise it
# fails unless:
#   - SIGNED_EXE carries an Authenticode signature, and the digest the signature
#     holds is the digest of the file as it is (nothing signed has changed since);
#   - without its signature (osslsigncode remove-signature) it is, byte for byte,
#     the ReginDetector.exe that a fresh mingw release build of these sources
#     gives, made here in a temporary folder.
# Whom the signature is from is not judged here: osslsigncode verify -CAfile, or
# the file's Properties > Digital Signatures on Windows, tells that.
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
for tool in osslsigncode git cmake timeout; do
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
# certificate this machine does not trust; its digest lines are there all the same.
timeout 60 osslsigncode verify -in "$exe" >"$work/verify" 2>&1 || true
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
echo "MATCH: $exe is a fresh release build of $revision plus an Authenticode signature"
echo "(the build's sha256: $(sha256sum "$built" | cut -d' ' -f1))"
