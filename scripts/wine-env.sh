# Sourced by the scripts: the build tree's Wine prefix, quiet, created on first use, with a persistent
# wineserver so that every Windows process starts in milliseconds. Call wine_stop when done.
export WINEPREFIX="$PWD/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The build's own "wine" first: on a 64-bit build (scripts/build.sh) it is the 64-bit loader.
export PATH="$PWD/build/wine-path:$PATH"
# The registry view the build's programs see: a 32-bit program the 32-bit view, as on 64-bit Windows.
if grep -q wine64 build/wine-path/wine 2>/dev/null; then QB_REG_VIEW=/reg:64; else QB_REG_VIEW=/reg:32; fi

wine_start() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating the Wine prefix in ${WINEPREFIX#$PWD/} (once, about 15 s)..."
        mkdir -p "$WINEPREFIX"
        wine_limited 180 "Wine to create its prefix" wineboot -i >/dev/null 2>&1
        wine_limited 60 "Wine to finish creating its prefix" wineserver -w
    fi
    wine_fonts
    wineserver -p 2>/dev/null || true  # already running is fine
    # The first program of a session starts Wine's background services, which keep the output
    # handles they inherit: let that be this one, with its output going nowhere.
    wine_limited 60 "Wine's services to start" wine cmd /c exit >/dev/null 2>&1 </dev/null
    # Windowed programs start quickly while Wine's desktop stays up; on a display only.
    if [ -n "${DISPLAY:-}" ] && [ -f build/bin/keep-desktop.exe ]; then
        wine build/bin/keep-desktop.exe >/dev/null 2>&1 </dev/null &
    fi
}

# Wine draws the caption buttons with its Marlett symbol font, which Debian ships outside the prefix
# (fonts-wine); without it they show as letters.
wine_fonts() {
    local fonts="$WINEPREFIX/drive_c/windows/Fonts"
    if [ -d "$fonts" ] && [ ! -f "$fonts/marlett.ttf" ] && [ -f /usr/share/wine/fonts/marlett.ttf ]; then
        cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
    fi
}

# wine_limited SECONDS WHAT COMMAND...: runs the command, and when it has not ended within the limit,
# says what was being waited for, ends Wine in this prefix (and so whatever the command started) and
# exits with status 1. Otherwise gives the command's own status.
wine_limited() {
    local limit=$1 what=$2 status=0
    shift 2
    timeout -k 5 "$limit" "$@" || status=$?
    if [ $status -eq 124 ] || [ $status -eq 137 ]; then
        echo "$(basename "$0"): gave up after $limit s waiting for $what" >&2
        wine_stop
        exit 1
    fi
    return $status
}

wine_stop() {
    timeout -k 5 30 wineserver -k 2>/dev/null || true
}

# With no window manager (the tests' private display) Wine must draw window frames itself and not wait
# for a manager to withdraw a closing window; on a desktop the manager does both. Y or N.
wine_windows_managed() {
    wine_limited 60 "Wine's registry tool" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$1" /f >/dev/null 2>&1
}

# The host as the example release expects it, in the prefix: its settings (in the view the host and the
# installers see) and the folder of its price list. Sets settings, country, folder,
# target, stale and target_unix for the caller.
seed_example_host() {
    settings='SOFTWARE\Halvero\dravik\Bel\Serveurs\Bilan'
    country='SOFTWARE\Halvero\dravik\Bel'
    folder='C:\Halvero\Dravik\Bel\Tarifs'
    target="$folder\TarifBE.mdb"
    stale='C:\Halvero\Dravik\Bel\TarifsMgr.dat'
    wine_limited 60 "Wine's registry tool" wine reg add "HKCU\\$settings" /v CheminBaseTarif /d "$target" /f $QB_REG_VIEW >/dev/null 2>&1
    wine_limited 60 "Wine's registry tool" wine reg add "HKCU\\$settings" /v CheminTarifsMgr /d "$stale" /f $QB_REG_VIEW >/dev/null 2>&1
    wine_limited 60 "Wine's registry tool" wine reg add "HKLM\\$country" /v Pays /d BE /f $QB_REG_VIEW >/dev/null 2>&1
    target_unix=$(timeout 60 winepath -u "$target" 2>/dev/null)
    mkdir -p "$(dirname "$target_unix")"
}
