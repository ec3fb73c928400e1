#!/usr/bin/env bash
# Gives the Wine prefix a small drive S: (a 512 KiB tmpfs) for the full-disk tests, or takes it away.
# Mounting needs root; when the machine refuses, this says so, leaves the reason beside the prefix, and
# the tests that need the drive report themselves as skipped with that reason.
#   small-volume.sh mount|unmount PREFIX
set -u
action=$1
prefix=$2
mountpoint="$prefix-small-volume"

case "$action" in
mount)
    mkdir -p "$mountpoint"
    rm -f "$mountpoint.refused"
    if mountpoint -q "$mountpoint" || mount -t tmpfs -o size=512k tmpfs "$mountpoint" 2>"$mountpoint.err"; then
        ln -sfn "$mountpoint" "$prefix/dosdevices/s:"
        echo "512 KiB volume mounted at $mountpoint, Wine drive S:"
    else
        reason="the machine refused to mount a small tmpfs: $(cat "$mountpoint.err")"
        echo "$reason" | tee "$mountpoint.refused"
        rm -f "$prefix/dosdevices/s:"
    fi
    rm -f "$mountpoint.err"
    ;;
unmount)
    rm -f "$prefix/dosdevices/s:"
    if mountpoint -q "$mountpoint"; then
        umount "$mountpoint"
    fi
    ;;
*)
    echo "usage: $0 mount|unmount PREFIX" >&2
    exit 2
    ;;
esac
exit 0
