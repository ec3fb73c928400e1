# Sourced by the scripts: the build tree's Wine prefix, quiet, created on first use, with a persistent
# wineserver so that every Windows process starts in milliseconds. Call wine_stop when done.
export WINEPREFIX="$PWD/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_start() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating the Wine prefix in build/wineprefix (once, about 15 s)..."
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        wineserver -w
    fi
    wineserver -p 2>/dev/null || true  # already running is fine
    # The first program of a session starts Wine's background services, which keep the output
    # handles they inherit: let that be this one, with its output going nowhere.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
}

wine_stop() {
    wineserver -k 2>/dev/null || true
}
