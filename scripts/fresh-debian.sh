#!/bin/sh
# Runs the README's test command on a Debian 12 that holds nothing else, as a new
# user's machine would: a throwaway root made with debootstrap, a clone of one
# commit in it, and scripts/test.sh run there as root with no standard input.
#
#   sudo scripts/fresh-debian.sh [COMMIT]          (COMMIT: HEAD unless given)
#
# Run it after any change to the setup, to a dependency or to the test command:
# the machines this project is developed on come with packages that a fresh
# Debian 12 lacks, so a green run there can hide a missing install step. It
# downloads a few hundred MB (Debian's packages, the workflow validator).
#
# The root is a folder below ${FRESH_DEBIAN_DIR:-/var/tmp}, removed at the end
# (FRESH_DEBIAN_KEEP=1 keeps it); nothing outside it is changed but what
# debootstrap needs on the host. Exit status: the test command's, or 2 when the
# root could not be made.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
commit=${1:-HEAD}
mirror=${FRESH_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security_mirror=${FRESH_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}

fail() {
    echo "fresh-debian: $*" >&2
    exit 2
}
[ "$(id -u)" -eq 0 ] || fail "run it as root (debootstrap, chroot and mounts need root)"
revision=$(git -C "$source_dir" rev-parse --verify "$commit^{commit}") ||
    fail "$commit is not a commit of $source_dir"
if ! command -v debootstrap >/dev/null 2>&1; then
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap ||
        fail "cannot install debootstrap"
fi

clock() { date +%s; }
started=$(clock)
# The closing table: one line a part, its seconds.
table=""
part() {
    table="$table$(printf '%-40s %6s s' "$1" "$2")
"
}

root=$(mktemp -d "${FRESH_DEBIAN_DIR:-/var/tmp}/regin-fresh-debian.XXXXXX")
log="$root.log"

# Everything mounted below the root, deepest first.
mounts_below_root() {
    awk -v root="$root" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo |
        sort -r
}
cleanup() {
    status=$?
    set +e
    trap - EXIT HUP INT TERM
    # Whatever the run left running in the root (a Wine server, say) goes first.
    for process in /proc/[0-9]*; do
        if [ "$(readlink "$process/root" 2>/dev/null)" = "$root" ]; then
            kill -9 "${process#/proc/}" 2>/dev/null || true
        fi
    done
    for mount_point in $(mounts_below_root); do
        umount "$mount_point" 2>/dev/null || umount -l "$mount_point" || true
    done
    if [ -n "$(mounts_below_root)" ]; then
        echo "fresh-debian: mounts remain below $root; it is left in place" >&2
    elif [ "${FRESH_DEBIAN_KEEP:-0}" = 1 ]; then
        echo "fresh-debian: the root is kept in $root"
    else
        # --one-file-system: never below a mount point, should one have been missed.
        rm -rf --one-file-system "$root"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# A minimal Debian 12 with the three suites the debian:12 image has.
step=$(clock)
echo "fresh-debian: making a Debian 12 root in $root (log: $log)"
debootstrap --variant=minbase --components=main bookworm "$root" "$mirror" >"$log" 2>&1 ||
    fail "debootstrap failed: see $log"
rm -f "$root/etc/apt/sources.list"
cat >"$root/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security_mirror
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
# As an installed system has them; minbase writes neither.
echo "regin-fresh" >"$root/etc/hostname"
cat >"$root/etc/hosts" <<'EOF'
127.0.0.1	localhost
127.0.1.1	regin-fresh
::1		localhost ip6-localhost ip6-loopback
ff02::1		ip6-allnodes
ff02::2		ip6-allrouters
EOF
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Certificate authorities this host adds of its own (a TLS-inspecting proxy's,
# say) are trusted inside too, once the test command installs ca-certificates.
if [ -d /usr/local/share/ca-certificates ]; then
    mkdir -p "$root/usr/local/share/ca-certificates"
    cp -R /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
fi
part "Debian 12 root (debootstrap minbase)" $(($(clock) - step))

# The root a mount point of its own (private mount namespaces need one), with
# the kernel's file systems.
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --make-rslave "$root/sys"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"

step=$(clock)
checkout=/root/ReginDetector
git clone --quiet --no-hardlinks --no-checkout "$source_dir" "$root$checkout"
git -C "$root$checkout" checkout --quiet --detach "$revision"
part "clone of $(git -C "$source_dir" rev-parse --short "$revision")" $(($(clock) - step))

# The test command's own parts, told apart by the first line each prints.
marks="$root/.fresh-debian-marks"
mark_parts() {
    while IFS= read -r line; do
        printf '%s\n' "$line"
        case $line in
        "Preset CMake variables:"*) echo "configure $(clock)" >>"$marks" ;;
        "["*"%]"*) grep -q '^build ' "$marks" || echo "build $(clock)" >>"$marks" ;;
        "Test project "*) echo "tests $(clock)" >>"$marks" ;;
        esac
    done
}

step=$(clock)
echo "setup $step" >"$marks"
echo "fresh-debian: running scripts/test.sh in it as root, with no standard input"
{
    chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt \
        sh -c "cd $checkout && scripts/test.sh" </dev/null 2>&1
    echo $? >"$root/.fresh-debian-status"
} | mark_parts | tee -a "$log"
status=$(cat "$root/.fresh-debian-status" 2>/dev/null || echo 2)
ended=$(clock)
echo "end $ended" >>"$marks"

part "scripts/test.sh (status $status)" $((ended - step))
# Each of its parts lasts until the next one starts; one it never reached is left out.
while read -r name at; do
    [ -z "${previous:-}" ] || part "  $previous" $((at - previous_at))
    case $name in
    setup) previous="scripts/setup-debian.sh (installs)" ;;
    configure) previous="cmake --preset mingw" ;;
    build) previous="cmake --build --preset mingw" ;;
    tests) previous="ctest --preset mingw" ;;
    *) previous="" ;;
    esac
    previous_at=$at
done <"$marks"
part "in all" $(($(clock) - started))

echo
echo "fresh-debian: $revision on a fresh Debian 12"
printf '%s' "$table"
grep -E '^[0-9]+% tests passed' "$log" | tail -n 1 || true
echo "log: $log"
exit "$status"
