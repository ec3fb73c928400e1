#!/usr/bin/env bash
# Builds everything and runs every test: the package generator's own tests natively (build/native), then
# the format check, the Windows tests under Wine on a private X display, and the checks of the built
# files. Extra arguments go to both ctest runs (for example -R CString).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${QB_IN_XVFB:-}" ]; then
    scripts/build.sh
    export QB_IN_XVFB=1
    exec timeout -k 10 3600 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

status=0
ctest --test-dir build/native --output-on-failure --timeout 300 "$@" || status=$?

# Wine takes its 8-bit code page from the Unix locale: the tests' own programs run in the Western one
# (1252), whose missing characters some tests rely on, whatever this machine's locale.
export LC_ALL=C.UTF-8
source scripts/wine-env.sh
wine_start
trap wine_stop EXIT
wine_windows_managed N
# A test program that Wine failed to start is started once more (build/wine-run.sh).
export QB_RETRY_SILENT_START=1
ctest --test-dir build --output-on-failure --timeout 300 "$@" || status=$?
# Said last, where it is read: what this kind of machine leaves untested.
if [ "$(scripts/wine-arch.sh)" = x86_64 ]; then
    echo
    echo "This machine runs no 32-bit program: the tests ran the 64-bit twin of the installer. The shipped"
    echo "32-bit executable, build/win32/bin/Quillbrook.exe, was checked as a file only (imports, flags,"
    echo "resources); it was never run."
fi
exit $status
