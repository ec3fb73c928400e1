#!/usr/bin/env bash
# Fetches Debian's source of the Zstandard library into build/zstd-source, for the Windows programs that
# compile it (the installer's decoder, the Windows generator): the library's version whose libzstd-dev the
# generator built for this machine links, so that both generators make the same packages. Debian's own
# revision may differ (a security update of the command-line tool reaches the binary packages first); the
# library's version may not. Prints the source's folder. The machine's own package sources are read, never
# changed: their deb-src twins go to a list of the build tree's own, with their own package lists, and apt
# checks the source against the archive's signed index as it checks any package.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=$PWD/build/zstd-source
installed=$(dpkg-query -W -f='${Version}' libzstd-dev)
upstream=${installed%-*}
if [ -f "$dest/$upstream/lib/zstd.h" ]; then
    echo "$dest/$upstream"
    exit 0
fi

apt=$PWD/build/zstd-apt
rm -rf "$apt" && mkdir -p "$apt/lists/partial" "$apt/download"
# Every enabled "deb" source of the machine, one-line or deb822, as a "deb-src" line.
{
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        if [ -f "$file" ]; then sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$file"; fi
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk '
            function flush() {
                if (types ~ /(^|[[:space:]])deb([[:space:]]|$)/ && enabled != "no")
                    for (i = 1; i <= nsuites; i++)
                        for (j = 1; j <= nuris; j++)
                            print "deb-src" (key != "" ? " [signed-by=" key "]" : "") " " uris[j] " " suites[i] " " components
                types = ""; key = ""; components = ""; enabled = ""; nsuites = 0; nuris = 0
            }
            /^[[:space:]]*$/ { flush(); next }
            /^#/ { next }
            { field = tolower($1); sub(/:$/, "", field); $1 = "" ; sub(/^[[:space:]]+/, "") }
            field == "types" { types = $0 }
            field == "uris" { nuris = split($0, uris) }
            field == "suites" { nsuites = split($0, suites) }
            field == "components" { components = $0 }
            field == "signed-by" { key = $0 }
            field == "enabled" { enabled = tolower($0) }
            END { flush() }' "$file"
    done
} >"$apt/sources.list"
options=(-o Dir::Etc::sourcelist="$apt/sources.list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$apt/lists"
    -o APT::Get::List-Cleanup=0)
apt-get "${options[@]}" update -qq
# Newest first; a revision that a source lists but does not serve is passed over.
fetched=
for version in $(apt-cache "${options[@]}" showsrc libzstd | sed -n 's/^Version: //p' | sort -r -V); do
    [ "${version%-*}" = "$upstream" ] || continue
    if (cd "$apt/download" && apt-get "${options[@]}" source -qq --only-source --download-only "libzstd=$version" \
        >/dev/null 2>&1); then
        fetched=$version
        break
    fi
    rm -f "$apt/download"/*
done
[ -n "$fetched" ] || { echo "fetch-zstd-source: no source of libzstd $upstream could be fetched" >&2; exit 1; }
echo "Fetched Debian's libzstd $fetched source into $dest/$upstream" >&2
rm -rf "$dest" && mkdir -p "$dest"
# apt has checked every file against the archive's signed index; the maintainer's own signature on the
# description needs a keyring that this machine need not have.
dpkg-source --no-check -x "$apt/download"/libzstd_*.dsc "$dest/$upstream" >/dev/null
rm -rf "$apt"
echo "$dest/$upstream"
