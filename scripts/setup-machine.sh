#!/usr/bin/env bash
# Installs what building, testing and benchmarking need on Debian 12, as root. Only what is missing is
# installed, so a second run takes a moment.
set -euo pipefail

packages=(
    cmake ninja-build clang-format
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
    wine wine32:i386 wine64 fonts-wine xvfb xauth x11-utils imagemagick
    googletest g++ libgtest-dev libssl-dev libzstd-dev libxxhash-dev zstd dpkg-dev
    icoutils python3 python3-pefile python3-fusepy osslsigncode openssl
)
if [ "${1:-}" = "--bench" ]; then
    packages+=(hyperfine nsis gnuplot-nox)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}; run this script as root to install them." >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
