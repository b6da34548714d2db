#!/bin/sh
# Installs what building, running and testing the scanner needs on Debian 12.
set -eu

packages="cmake make g++-mingw-w64-x86-64-posix wine wine64 googletest tmux hashdeep
python3 python3-pytest iproute2 util-linux locales zip git"

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    echo "Installing:$missing"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
fi

# Wine takes its code pages from the locale: the Japanese one gives code page
# 932 (double-byte) for the tests of non-ASCII names.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    $sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
