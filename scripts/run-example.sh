#!/usr/bin/env bash
# Builds everything and installs the example release into the build tree's Wine prefix, set up as a
# machine where the host application keeps its settings: on your display when there is one (press
# Install), otherwise under a private one (a screenshot of the dialog is saved, then the install runs
# unattended). Then says what happened, and exits with the installer's status. Every wait has a limit.
#
# --scale PERCENT does all this as on a display scaled so (125, 150, 200...), in a Wine prefix of its own
# (scripts/scaled-display.sh); the screenshot is then build/example/dialog-PERCENT.png.
set -euo pipefail
cd "$(dirname "$0")/.."
scale=100
if [ "${1:-}" = "--scale" ]; then
    scale=${2:-}
    case $scale in '' | *[!0-9]* | 0*)
        echo "usage: scripts/run-example.sh [--scale PERCENT]" >&2
        exit 2
        ;;
    esac
fi
[ -n "${QB_IN_XVFB:-}" ] || scripts/build.sh

package=build/example/PricelistSetup.exe
database=build/example/Pricelist.mdb
screenshot=build/example/dialog.png
[ "$scale" -eq 100 ] || screenshot=build/example/dialog-$scale.png

if [ -z "${QB_IN_XVFB:-}" ] && ! { [ -n "${DISPLAY:-}" ] && timeout 10 xdpyinfo >/dev/null 2>&1; }; then
    export QB_IN_XVFB=1
    exec timeout -k 10 300 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

source scripts/wine-env.sh
if [ "$scale" -ne 100 ]; then
    WINEPREFIX=$(scripts/scaled-display.sh $((scale * 96 / 100)))
fi
wine_start
trap wine_stop EXIT
if [ -n "${QB_IN_XVFB:-}" ]; then wine_windows_managed N; else wine_windows_managed Y; fi

seed_example_host
timeout 60 wine reg delete "HKLM\\$country" /v date_creation_tarif /f $QB_REG_VIEW >/dev/null 2>&1 || true
echo "stale price list" > "$(dirname "$target_unix")/TarifsMgr.dat"
rm -f "$target_unix"

# Shows the dialog, saves a picture of it and closes it; says why when it cannot. The window is looked
# for by name until it is on the screen, then taken by its id: given a name that is not there yet,
# ImageMagick's import waits for someone to click a window instead.
take_screenshot() {
    wine "$package" >/dev/null 2>&1 </dev/null &
    local pid=$! info="" window=""
    for _ in $(seq 150); do
        info=$(timeout 2 xwininfo -name Marlowen 2>/dev/null) || info=""
        if grep -q "Map State: IsViewable" <<<"$info"; then
            window=$(awk '/Window id:/ {print $4}' <<<"$info")
            break
        fi
        sleep 0.1
    done
    local taken=0
    if [ -n "$window" ]; then
        sleep 0.5 # let it paint
        timeout -k 2 10 import -window "$window" "$screenshot" 2>/dev/null && taken=1
    fi
    kill "$pid" 2>/dev/null || true
    timeout 10 tail --pid="$pid" -f /dev/null || true
    if [ $taken -eq 1 ]; then
        echo "The dialog, as shown: $screenshot"
    elif [ -z "$window" ]; then
        echo "No screenshot: the dialog did not appear within 15 s; going on with the install."
    else
        echo "No screenshot: the picture could not be taken within 10 s; going on with the install."
    fi
}

status=0
if [ -n "${QB_IN_XVFB:-}" ]; then
    take_screenshot
    wine_limited 60 "the unattended install of $package" wine "$package" /Automation || status=$?
else
    echo "Press Install in the dialog."
    wine_limited 600 "the dialog of $package to be answered" wine "$package" || status=$?
fi

case $status in
0) meaning="installed" ;;
1) meaning="left without installing" ;;
2) meaning="refused: made for another country" ;;
3) meaning="package incorrectly generated or damaged" ;;
4) meaning="the target could not be opened" ;;
5) meaning="the database could not be written; the previous file was kept" ;;
6) meaning="installed, but the date was not recorded" ;;
*) meaning="unexpected" ;;
esac

# What the package carries: its database compressed (MDZ 129), and the package's size as downloaded.
frame=$(wrestool -l "$package" | sed -n "s/.*--type='MDZ' --name=129 .*size=\([0-9]*\)].*/\1/p")

echo
echo "Package:        $(stat -c %s "$package") bytes, its database compressed from $(stat -c %s "$database") to ${frame:-?} bytes"
echo "Target path:    $target"
if [ -f "$target_unix" ]; then
    echo "Bytes written:  $(stat -c %s "$target_unix") (payload: $(stat -c %s "$database"))"
    echo "SHA-256:        $(sha256sum "$target_unix" | cut -d' ' -f1)"
    echo "Payload SHA-256 $(sha256sum "$database" | cut -d' ' -f1)"
else
    echo "Bytes written:  none"
fi
if [ -e "$(dirname "$target_unix")/TarifsMgr.dat" ]; then
    echo "Stale file:     still there"
else
    echo "Stale file:     removed ($folder\\TarifsMgr.dat)"
fi
date_value=$(timeout 30 wine reg query "HKLM\\$country" /v date_creation_tarif $QB_REG_VIEW 2>/dev/null | tr -d '\r' | awk '/date_creation_tarif/ {print $3}')
echo "Stored date:    ${date_value:-none} (HKLM\\$country\\date_creation_tarif)"
echo "Exit status:    $status ($meaning)"
exit "$status"
