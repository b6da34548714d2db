#!/bin/sh
# Installs what building, running and testing the scanner needs on Debian 12.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

# Every package the build, the tests and the scripts call on, whatever a machine
# image may already hold.
packages="ca-certificates cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
mingw-w64-x86-64-dev wine wine64 googletest tmux hashdeep python3 python3-pytest python3-yaml
iproute2 util-linux mount locales zip git openssl nodejs"
# npm for the workflow validator, from Debian unless the Node.js installed brings
# its own (NodeSource's does, and Debian's npm cannot be installed beside it).
if ! command -v npm >/dev/null 2>&1; then
    packages="$packages npm"
fi

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done

# The source check needs osslsigncode 2.8 or later (tests/release/check-source.sh
# says why); Debian 12's own is 2.5, bookworm-backports has 2.9. An older one
# installed counts as missing.
osslsigncode_wanted=2.8
osslsigncode_version=$(dpkg-query -W -f='${Status} ${Version}' osslsigncode 2>/dev/null |
    sed -n 's/^install ok installed //p')
if [ -z "$osslsigncode_version" ] ||
    dpkg --compare-versions "$osslsigncode_version" lt "$osslsigncode_wanted"; then
    if ! grep -qs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources; then
        echo "Adding Debian's bookworm-backports to apt's sources (for osslsigncode $osslsigncode_wanted or later)"
        printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
            "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
            $sudo tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
    fi
    missing="$missing osslsigncode/bookworm-backports"
fi

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
fi

# Wine takes its code pages from the locale: the Japanese one gives code page
# 932 (double-byte) for the tests of non-ASCII names, the Arabic one 1256 (a
# single-byte code page that holds the direction marks) for those of names
# that would reorder text.
for wanted in ja_JP ar_SA; do
    if ! locale -a 2>/dev/null | grep -qi "^$wanted\.utf-\?8\$"; then
        $sudo localedef -i "$wanted" -f UTF-8 "$wanted.UTF-8"
    fi
done

# The GitHub workflow validator the tests run, at a fixed version, below the
# build folder (build/tools/action-validator).
validator_version=0.6.0
validator_dir="$root/build/tools/action-validator"
installed=$(cat "$validator_dir/node_modules/@action-validator/cli/package.json" 2>/dev/null |
    sed -n 's/^ *"version": *"\([^"]*\)".*/\1/p')
if [ "$installed" != "$validator_version" ]; then
    echo "Installing the workflow validator @action-validator/cli $validator_version"
    mkdir -p "$validator_dir"
    timeout 300 npm install --prefix "$validator_dir" --no-save --no-audit --no-fund \
        --no-update-notifier "@action-validator/cli@$validator_version" \
        "@action-validator/core@$validator_version"
fi
