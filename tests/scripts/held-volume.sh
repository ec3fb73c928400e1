#!/usr/bin/env bash
# Gives the Wine prefix a drive H: that can hold a read or a write in the middle, or fail the reads of a
# file after some bytes (held_volume.py), for the crash tests, or takes it away. Mounting needs /dev/fuse
# and root; when the machine refuses, this says so, leaves the reason beside the prefix, and the tests that
# need the drive report themselves as skipped with that reason.
#   held-volume.sh mount|unmount PREFIX
set -u
action=$1
prefix=$2
mountpoint="$prefix-held-volume"
folder="$mountpoint.data"

# Also takes away a volume whose process has died, which no longer answers even to mountpoint(1).
unmount() {
    rm -f "$prefix/dosdevices/h:"
    umount "$mountpoint" 2>/dev/null || umount -l "$mountpoint" 2>/dev/null || true
}

case "$action" in
mount)
    unmount
    rm -rf "$folder" "$mountpoint.refused"
    mkdir -p "$mountpoint" "$folder"
    setsid /usr/bin/python3 "$(dirname "$0")/held_volume.py" "$folder" "$mountpoint" \
        </dev/null >"$mountpoint.log" 2>&1 &
    for _ in $(seq 100); do
        mountpoint -q "$mountpoint" && break
        kill -0 $! 2>/dev/null || break
        sleep 0.1
    done
    if mountpoint -q "$mountpoint"; then
        ln -sfn "$mountpoint" "$prefix/dosdevices/h:"
        echo "held volume mounted at $mountpoint, Wine drive H:"
    else
        kill $! 2>/dev/null
        reason="the machine refused to mount a FUSE volume: $(tail -n 3 "$mountpoint.log")"
        echo "$reason" | tee "$mountpoint.refused"
    fi
    ;;
unmount)
    unmount
    rm -rf "$folder"
    ;;
*)
    echo "usage: $0 mount|unmount PREFIX" >&2
    exit 2
    ;;
esac
exit 0
