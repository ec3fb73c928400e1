#!/usr/bin/env bash
# Builds everything and installs the example release into the build tree's Wine prefix, set up as a
# machine where the host application keeps its settings: on your display when there is one (press
# Install), otherwise under a private one (a screenshot of the dialog is saved, then the install runs
# unattended). Then says what happened.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${QB_IN_XVFB:-}" ] || scripts/build.sh

package=build/example/PricelistSetup.exe
database=build/example/Pricelist.mdb
screenshot=build/example/dialog.png

if [ -z "${QB_IN_XVFB:-}" ] && ! { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; then
    export QB_IN_XVFB=1
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

source scripts/wine-env.sh
wine_start
trap wine_stop EXIT
if [ -n "${QB_IN_XVFB:-}" ]; then wine_windows_managed N; else wine_windows_managed Y; fi

seed_example_host
wine reg delete "HKLM\\$country" /v date_creation_tarif /f $QB_REG_VIEW >/dev/null 2>&1 || true
echo "stale price list" > "$(dirname "$target_unix")/TarifsMgr.dat"
rm -f "$target_unix"

status=0
if [ -n "${QB_IN_XVFB:-}" ]; then
    # Show the dialog once for the screenshot, then install unattended.
    wine "$package" >/dev/null 2>&1 &
    for _ in $(seq 50); do
        sleep 0.1
        if import -window Marlowen "$screenshot" 2>/dev/null; then break; fi
    done
    sleep 0.3
    import -window Marlowen "$screenshot" 2>/dev/null || true
    wineserver -k
    wine_start
    wine_windows_managed N
    echo "The dialog, as shown: $screenshot"
    wine "$package" /Automation || status=$?
else
    echo "Press Install in the dialog."
    wine "$package" || status=$?
fi

case $status in
0) meaning="installed" ;;
1) meaning="left without installing" ;;
2) meaning="refused: made for another country" ;;
3) meaning="package incorrectly generated" ;;
4) meaning="the target could not be opened" ;;
5) meaning="the database could not be written; the previous file was kept" ;;
*) meaning="unexpected" ;;
esac

echo
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
date_value=$(wine reg query "HKLM\\$country" /v date_creation_tarif $QB_REG_VIEW 2>/dev/null | tr -d '\r' | awk '/date_creation_tarif/ {print $3}')
echo "Stored date:    ${date_value:-none} (HKLM\\$country\\date_creation_tarif)"
echo "Exit status:    $status ($meaning)"
