#!/usr/bin/env bash
# Builds everything into build/ (configuring it the first time), after installing what is missing.
#
# First the package generator for this machine, in build/native (no Wine): the Windows build then stamps
# the example package with it, and the tests use it.
#
# The setup executable ships as a 32-bit program. Where this machine cannot run 32-bit programs
# (scripts/wine-arch.sh), build/ is a 64-bit build of the same sources, whose programs run under 64-bit
# Wine for the example and the tests, and the 32-bit executable that ships is built beside it in
# build/win32/, where the tests check it as a file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-machine.sh

# configure DIR TOOLCHAIN [CMAKE ARGUMENTS...]; a tree configured for the other architecture starts anew.
configure() {
    local dir=$1 toolchain=$2
    shift 2
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -q "^CMAKE_TOOLCHAIN_FILE:.*=$PWD/$toolchain\$" "$dir/CMakeCache.txt"; then
        echo "build: $dir was made for another architecture; configuring it anew"
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles" "$dir/wineprefix" "$dir/wineprefix.lock"
    fi
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain" "$@" >/dev/null
}

# Its tests read this build's executables, once they are made.
cmake -S . -B build/native -G Ninja -DQB_WINDOWS_BUILD="$PWD/build" >/dev/null
cmake --build build/native
# The Windows programs compile Debian's libzstd source, fetched into the build tree once.
native=(-DQB_NATIVE_PACK="$PWD/build/native/bin/quillbrook-pack" -DQB_ZSTD_SOURCE="$(scripts/fetch-zstd-source.sh)")

if [ "$(scripts/wine-arch.sh)" = i686 ]; then
    configure build cmake/mingw32-toolchain.cmake -DQB_SHIPPED_EXECUTABLE= "${native[@]}"
else
    configure build/win32 cmake/mingw32-toolchain.cmake -DBUILD_TESTING=OFF "${native[@]}"
    cmake --build build/win32 --target Quillbrook
    configure build cmake/mingw64-toolchain.cmake -DQB_SHIPPED_EXECUTABLE="$PWD/build/win32/bin/Quillbrook.exe" \
        "${native[@]}"
fi
cmake --build build
