#!/bin/sh
# Tells whether a signed ReginDetector.exe is exactly a fresh release build of
# the commit checked out here plus an intact Authenticode signature that holds
# nothing else.
#
#   tests/release/check-source.sh SIGNED_EXE
#
# The sources are the files of the commit checked out here (HEAD), taken from
# git's object store: no untracked file and no edit that git status does not
# show (--assume-unchanged, --skip-worktree, git replace) enters the build. It
# cannot check (exit status 2) while a tracked file has changes that git status
# shows, staged or not (the files in front of you would not be the ones
# checked), when a tool is missing or too old, or when the build fails.
# Otherwise it fails unless:
#   - SIGNED_EXE carries an Authenticode signature, and the digest the signature
#     holds is the digest of the file as it is (nothing signed has changed since);
#   - the signature holds only what a release signature holds (one signer, the
#     certificates that chain it, no CRLs, at most one unsigned attribute and
#     that one a time stamp, fixed fields as the release writes them) and its
#     maths holds: the signer's signature, and a time stamp's own signature and
#     imprint (check-signature.py, which says what it requires);
#   - without its signature (osslsigncode remove-signature) it is, byte for byte,
#     the ReginDetector.exe that a fresh mingw release build of the commit
#     gives, made here in a temporary folder;
#   - that fresh build with the signature taken from SIGNED_EXE attached
#     (osslsigncode extract-signature, attach-signature) is SIGNED_EXE byte for
#     byte: no byte of it, also where the signature does not reach (its
#     certificate table), is anything else.
# When the build differs, it shows the versions of the tools that made the
# build here beside those of the release, from the TOOLCHAIN.txt beside
# SIGNED_EXE (as the release zip unpacks).
# Whom the certificates are from is not judged here: it prints the signer and
# the time stamp with its signer, and osslsigncode verify -CAfile, or the file's
# Properties > Digital Signatures on Windows, tells whether to trust them.
# Exit status: 0 it matches, 1 it does not, 2 it could not be checked.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 SIGNED_EXE" >&2
    exit 2
fi
exe=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
here=$source_dir/tests/release
# Seconds allowed for the configure and for the build (each takes ~3-25 s here).
step_limit=${RELEASE_STEP_LIMIT:-120}
# The oldest osslsigncode with every option used here: verify -ignore-cdp came in 2.8.
osslsigncode_needed=2.8

. "$here/release-build.sh"
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
for tool in osslsigncode openssl git cmake timeout /usr/bin/python3; do
    command -v "$tool" >/dev/null || cannot "$tool is missing (scripts/setup-debian.sh installs it)"
done
said=$(timeout 60 osslsigncode --version 2>&1 | head -n 1) || true
found=$(printf '%s\n' "$said" | sed -n 's/^osslsigncode \([0-9][0-9]*\)\.\([0-9][0-9]*\)[^0-9].*/\1 \2/p')
[ -n "$found" ] ||
    cannot "cannot tell the version of osslsigncode ($(command -v osslsigncode) says '$said'); this check needs $osslsigncode_needed or later"
major=${found% *}
minor=${found#* }
if [ "$major" -lt "${osslsigncode_needed%.*}" ] ||
    { [ "$major" -eq "${osslsigncode_needed%.*}" ] && [ "$minor" -lt "${osslsigncode_needed#*.}" ]; }; then
    cannot "osslsigncode $major.$minor ($(command -v osslsigncode)) is too old: this check needs $osslsigncode_needed or later, for verify -ignore-cdp (Debian 12 has 2.9 in bookworm-backports)"
fi

# The commit, and a work tree whose files are the commit's as far as git status
# shows (what it does not show never reaches the build).
release_git "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
    cannot "$source_dir is not a git work tree: cannot tell which commit to build"
commit=$(release_git "$source_dir" rev-parse --verify --quiet 'HEAD^{commit}') ||
    cannot "$source_dir has no commit checked out"
changed=$(release_git "$source_dir" status --porcelain --untracked-files=no) ||
    cannot "git status fails in $source_dir"
if [ -n "$changed" ]; then
    printf '%s\n' "$changed" >&2
    cannot "$source_dir has uncommitted changes to tracked files (above): the check builds the commit, not the files you see; commit or stash them, or check out the release's commit in a clean work tree"
fi
revision=$(release_git "$source_dir" describe --always --abbrev=12 "$commit" 2>/dev/null || echo "$commit")

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

timeout 60 osslsigncode extract-signature -in "$exe" -out "$work/signature.der" \
    >"$work/extract" 2>&1 || {
    cat "$work/extract" >&2
    differs "has a signature that cannot be extracted"
}

# What the signature holds, and its maths, the signer's and a time stamp's.
# osslsigncode verify cannot judge the maths here: it judges the certificate
# chain first and, when this machine does not trust it (a throwaway
# certificate, a CA unknown here), stops before it checks any signature.
status=0
timeout 120 /usr/bin/python3 -B "$here/check-signature.py" "$work/signature.der" \
    >"$work/signature-found" 2>"$work/signature-problem" || status=$?
case $status in
0) cat "$work/signature-found" ;;
1) differs "$(cat "$work/signature-problem")" ;;
*) cannot "the signature could not be checked: $(cat "$work/signature-problem")" ;;
esac

timeout 60 osslsigncode remove-signature -in "$exe" -out "$work/unsigned.exe" \
    >"$work/remove" 2>&1 || {
    cat "$work/remove" >&2
    differs "has a signature that cannot be removed"
}

release_commit_sources "$source_dir" "$commit" "$work/copy" ||
    cannot "cannot take the files of commit $commit from git's object store"
echo "building commit $revision in $work/copy ..."
release_build "$work/copy" "$step_limit" ReginDetector || cannot "the fresh build failed"
built="$work/copy/build/mingw/ReginDetector.exe"

if ! cmp -s "$work/unsigned.exe" "$built"; then
    echo "without its signature: $(sha256sum "$work/unsigned.exe" | cut -d' ' -f1)" >&2
    echo "fresh build:           $(sha256sum "$built" | cut -d' ' -f1)" >&2
    # The tools of the build here beside the release's, package by package.
    record="$(dirname "$exe")/TOOLCHAIN.txt"
    timeout 60 cmake -DOUTPUT="$work/toolchain" -P "$work/copy/cmake/ToolchainRecord.cmake" \
        >/dev/null 2>&1 || echo "(commit $revision records no toolchain)" >"$work/toolchain"
    if [ ! -f "$record" ]; then
        echo "tool versions here (no TOOLCHAIN.txt beside $exe gives the release's):" >&2
        sed 's/^/  /' "$work/toolchain" >&2
        differs "differs from the build of commit $revision made here with these tool versions"
    fi
    echo "tool versions here | the release's ($record):" >&2
    awk 'NR == FNR { release[$1] = $2; next }
        { shown[$1] = 1
          printf "  %s %s | %s%s\n", $1, $2, ($1 in release ? release[$1] : "-"),
              (release[$1] == $2 ? "" : "   (differs)") }
        END { for (package in release) if (!(package in shown))
                  printf "  %s - | %s   (differs)\n", package, release[package] }' \
        "$record" "$work/toolchain" >&2
    if cmp -s "$record" "$work/toolchain"; then
        differs "differs from the build of commit $revision made here with the release's tool versions (above)"
    fi
    differs "differs from the build of commit $revision made here, whose tool versions are not all the release's (above): a build with the release's versions may match"
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
    differs "holds bytes beside the fresh build of commit $revision and its signature, where the signature does not cover them: it is not that build with its signature attached"
fi
echo "MATCH: $exe is a fresh release build of commit $revision plus an intact Authenticode signature that holds nothing else"
echo "(commit $commit; the build's sha256: $(sha256sum "$built" | cut -d' ' -f1))"
echo "Whether to trust the signer named above (and a time stamp's) is not judged here: osslsigncode verify -CAfile, or Windows, tells that."
