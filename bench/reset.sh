#!/bin/sh
# Puts the machine back as every contender of bench/run.sh finds it before each timed run: the host's
# previous database at the target, the stale file beside it, no temporary file, nothing waiting to be
# written to the disk (so that no run pays for the writeback of another), and the contender's own input
# read once (so that every run starts from the page cache: this virtual machine's host pages out file
# pages left unused for some seconds, and a package read once had lost 8 of its 256 MiB from the cache
# after 10 s, 34 MiB after 45 s).
#   reset.sh OLD_DATABASE TARGET STALE INPUT   (Unix paths)
set -e
rm -f "$2.installing"
cp "$1" "$2"
echo "stale price list" >"$3"
sync -f "$2"
cat "$4" >/dev/null
