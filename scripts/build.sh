#!/usr/bin/env bash
# Builds everything into build/ (configuring it the first time), after installing what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-machine.sh
if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32-toolchain.cmake >/dev/null
fi
cmake --build build
