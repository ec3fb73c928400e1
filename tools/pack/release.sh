#!/bin/sh
# Makes, checks, signs and verifies one release package, and stops at the first step that fails; OUT.exe
# appears only once every step has passed.
#   release.sh OUT.exe SETTINGS...    (the generator's options: --database, --country, ...)
# The database goes in compressed (--compress), unless the settings say --store.
# PACK: the command that runs the generator (by default the one this tree builds in build/native, else
# quillbrook-pack on the PATH); BASE: the fixed Quillbrook.exe; CERT and KEY: the publisher's certificate
# and key; TIMESTAMP: the certificate authority's timestamp server; CAFILE: the certificates that the
# signature and its timestamp lead to.
set -eu
out=$1
shift
unsigned="${out%.exe}-unsigned.exe" signed="${out%.exe}-signed.exe"
trap 'rm -f "$unsigned" "$signed"' EXIT
built="$(dirname "$0")/../../build/native/bin/quillbrook-pack"
[ -x "$built" ] || built=quillbrook-pack
: "${PACK:=$built}" "${BASE:=Quillbrook.exe}" "${CAFILE:=/etc/ssl/certs/ca-certificates.crt}"

storage=--compress
for setting in "$@"; do
    [ "$setting" != --store ] || storage=
done
$PACK --base "$BASE" --out "$unsigned" $storage "$@"
$PACK --show "$unsigned" >/dev/null
osslsigncode sign -certs "$CERT" -key "$KEY" -h sha256 -ts "$TIMESTAMP" -in "$unsigned" -out "$signed"
# osslsigncode's verify succeeds without a timestamp, or with one it could not verify: both are read.
verified=$(osslsigncode verify -CAfile "$CAFILE" -TSA-CAfile "$CAFILE" -in "$signed")
for check in 'Timestamp Server Signature verification: ok' 'Signature verification: ok'; do
    echo "$verified" | grep -qx "$check" || { echo "$verified" >&2; echo "release.sh: no \"$check\"" >&2; exit 1; }
done
$PACK --show "$signed"
mv "$signed" "$out"
