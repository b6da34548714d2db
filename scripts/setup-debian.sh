#!/bin/sh
# Installs what building, running and testing the scanner needs on Debian 12.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

packages="cmake make g++-mingw-w64-x86-64-posix wine wine64 googletest tmux hashdeep
python3 python3-pytest python3-yaml iproute2 util-linux locales zip git
osslsigncode openssl"
# Node.js and npm for the workflow validator, from Debian unless a Node.js
# with its own npm is already there.
if ! command -v npm >/dev/null 2>&1; then
    packages="$packages nodejs npm"
fi

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
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
