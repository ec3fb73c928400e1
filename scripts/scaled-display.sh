#!/usr/bin/env bash
# Runs a command under Wine as on a display scaled to DPI dots per inch (120 for 125 %, 144 for 150 %, 192
# for 200 %). Wine takes the scale from its LogPixels setting when its server starts, so the command runs
# in a prefix of its own, build/wineprefix-DPI, made on first use (about 15 s) with that setting: the
# build's own prefix keeps 96 and its running server is left alone. This prefix's server is ended once the
# command has run. Without a command, makes the prefix and prints its path. Every wait has a limit.
#
# Usage: scripts/scaled-display.sh DPI [COMMAND [ARGUMENTS...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dpi=${1:-}
case $dpi in
'' | *[!0-9]*)
    echo "usage: scripts/scaled-display.sh DPI [COMMAND [ARGUMENTS...]]" >&2
    exit 2
    ;;
esac
shift
build=${QB_BUILD_DIR:-$root/build} # CTest names its build tree
export WINEPREFIX="$build/wineprefix-$dpi"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export PATH="$build/wine-path:$PATH"

# gives_up SECONDS WHAT COMMAND...: the command's status, or a word and status 1 when it is not done in time.
gives_up() {
    local limit=$1 what=$2 status=0
    shift 2
    timeout -k 5 "$limit" "$@" || status=$?
    if [ $status -eq 124 ] || [ $status -eq 137 ]; then
        echo "scaled-display.sh: gave up after $limit s waiting for $what" >&2
        timeout -k 5 30 wineserver -k 2>/dev/null || true
        return 1
    fi
    return $status
}

# The mark is written last, so that a prefix whose making was cut short is made again.
make_prefix() {
    [ -f "$WINEPREFIX/logpixels-set" ] && return 0
    echo "Creating the Wine prefix $WINEPREFIX at $dpi dpi (once, about 15 s)..." >&2
    mkdir -p "$WINEPREFIX"
    gives_up 180 "Wine to create its prefix" wineboot -i >/dev/null 2>&1 || return 1
    local key
    for key in 'HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
        gives_up 60 "Wine's registry tool" wine reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 || return 1
    done
    # As in the build's prefix under the tests' private display: no window manager, Wine draws the frames.
    gives_up 60 "Wine's registry tool" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || return 1
    # The server writes the registry out as it ends.
    gives_up 60 "Wine to finish creating its prefix" wineserver -w || return 1
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    touch "$WINEPREFIX/logpixels-set"
}

(
    flock 9
    make_prefix
) 9>"$WINEPREFIX.lock"

if [ $# -eq 0 ]; then
    echo "$WINEPREFIX"
    exit 0
fi
status=0
"$@" || status=$?
timeout -k 5 30 wineserver -k 2>/dev/null || true
exit $status
