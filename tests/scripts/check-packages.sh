#!/usr/bin/env bash
# The fixed executable and stamped packages as the standard tools see them: binutils' objdump, icoutils'
# wrestool, pefile; the same packages from the generator built for this machine and from its Windows build
# (under Wine), from run to run, and compressed in one worker thread or several; then the release script,
# tools/pack/release.sh, run with a throwaway certificate and no Wine, after which the signed package must
# still install. Usage: check-packages.sh BUILD_DIR NATIVE_PACK [SHIPPED_EXE] (the Windows programs run
# through BUILD_DIR's Wine); NATIVE_PACK is the generator built for this machine; SHIPPED_EXE, the 32-bit
# Quillbrook.exe beside a 64-bit build, is stamped too.
set -euo pipefail
build=$(cd "$1" && pwd)
native=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
key="QbCheck$$"
shared="$build/wineprefix/drive_c/ProgramData/HalveroGroup/PriceList/CAT-$key"
trap 'rm -rf "$work" "$shared"' EXIT

wine_run() { "$build/wine-run.sh" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -x "$native" ] || fail "no generator built for this machine (configure with QB_NATIVE_PACK; scripts/build.sh does)"

# objdump (the 64-bit one, which reads PE32 and PE32+ alike) must read the file, headers and sections,
# without a word on its error output (a bad string table is only a warning there, yet it then refuses
# the file).
objdump_accepts() {
    x86_64-w64-mingw32-objdump -p -h "$1" >"$work/objdump.out" 2>"$work/objdump.err" ||
        fail "objdump rejects $1: $(head -3 "$work/objdump.err")"
    [ ! -s "$work/objdump.err" ] || fail "objdump complains about $1: $(head -3 "$work/objdump.err")"
}

# wrestool must list every entry asked for ("MDB:129:704512") with its size, language-neutral.
wrestool_lists() {
    local file=$1
    shift
    wrestool -l "$file" >"$work/wrestool.out" || fail "wrestool cannot read $file"
    for entry in "$@"; do
        IFS=: read -r type id size <<<"$entry"
        grep -qF -- "--type='$type' --name=$id --language=0 [offset=" "$work/wrestool.out" &&
            grep -F -- "--type='$type' --name=$id " "$work/wrestool.out" | grep -qF "size=$size]" ||
            fail "wrestool does not list $type $id of $size bytes in $file: $(cat "$work/wrestool.out")"
    done
}

check_pe() { /usr/bin/python3 "$here/check_pe.py" "$@" || fail "pefile finds fault with $1"; }

# The size of a package's compressed database (MDZ 129), as wrestool lists it.
compressed_size() {
    wrestool -l "$1" | sed -n "s/.*--type='MDZ' --name=129 .*size=\([0-9]*\)].*/\1/p"
}
# The example is compressed, as the release recipe makes it.
example_settings=(--database "$build/example/Pricelist.mdb" --compress
    --settings-key 'SOFTWARE\Halvero\dravik\Bel\Serveurs\Bilan' --path-value CheminBaseTarif --shared-folder 0
    --country-key 'HKEY_LOCAL_MACHINE\SOFTWARE\Halvero\dravik\Bel\' --date 2024-01-09 --country BE)
example_entries=("MDZ:129:$(compressed_size "$build/example/PricelistSetup.exe")" REG:136:86 REG:137:32 REG:138:4
    REG:139:96 REG:140:22 REG:141:6 SUM:142:24)

# stamp BASE OUT OPTIONS...: the package made by the native generator, which its Windows build under Wine
# must make byte for byte the same.
stamp() {
    local base=$1 out=$2
    shift 2
    "$native" --base "$base" --out "$out" "$@" >/dev/null || fail "the native generator cannot stamp $base"
    wine_run "$build/bin/quillbrook-pack.exe" --base "$base" --out "$out.windows.exe" "$@" >/dev/null ||
        fail "the Windows generator cannot stamp $base"
    cmp "$out" "$out.windows.exe" >"$work/cmp.out" 2>&1 ||
        fail "the native and the Windows generator stamp $base differently: $(cat "$work/cmp.out")"
}

echo "The fixed executable"
fixed="$build/bin/Quillbrook.exe"
objdump_accepts "$fixed"
check_pe "$fixed" --base
! wrestool -l "$fixed" | grep -qE "type='(MDB|REG)'" || fail "the fixed executable carries package entries"

echo "The example package, as the build made it, from either generator and from run to run"
example="$build/example/PricelistSetup.exe"
objdump_accepts "$example"
wrestool_lists "$example" "${example_entries[@]}"
check_pe "$example" "${example_entries[@]/#/--entry=}" --payload "$build/example/Pricelist.mdb" --made-from "$fixed"
stamp "$fixed" "$work/Example.exe" "${example_settings[@]}"
"$native" --base "$fixed" --out "$work/Again.exe" "${example_settings[@]}" >/dev/null
cmp -s "$work/Example.exe" "$example" && cmp -s "$work/Again.exe" "$example" ||
    fail "the example package differs from one run to the next"

# The generator compresses in as many worker threads as the process may use, and the frame must not depend
# on how many: a database of more than one of the library's jobs (32 MiB each), compressed with the
# machine's processors, with one (taskset), and by the Windows generator.
echo "A database of two compression jobs, from either generator and from one worker thread"
wine_run "$build/bin/quillbrook-sample-db.exe" --size 40M --seed 5 --out "$work/Large.mdb"
stamp "$fixed" "$work/Large.exe" --database "$work/Large.mdb" --compress --date 2024-01-09
taskset -c 0 "$native" --base "$fixed" --out "$work/OneWorker.exe" --database "$work/Large.mdb" --compress \
    --date 2024-01-09 >/dev/null 2>&1 || fail "the native generator cannot compress on one processor"
cmp -s "$work/Large.exe" "$work/OneWorker.exe" ||
    fail "the generator compresses differently in one worker thread than in $(nproc)"

if [ -n "${3:-}" ]; then
    echo "A package stamped on the shipped 32-bit executable"
    stamp "$3" "$work/Shipped.exe" "${example_settings[@]}"
    objdump_accepts "$work/Shipped.exe"
    grep -q "file format pei-i386" "$work/objdump.out" || fail "the shipped executable's package is not PE32"
    wrestool_lists "$work/Shipped.exe" "${example_entries[@]}"
    check_pe "$work/Shipped.exe" "${example_entries[@]/#/--entry=}" --payload "$build/example/Pricelist.mdb" \
        --made-from "$3"
fi

echo "Packages stamped on unstripped bases with 512-byte file alignment and resources in several languages, PE32 and PE32+"
for bits in 32 64; do
    fixture="$build/bin/pack_fixture_base$bits.exe"
    stamp "$fixture" "$work/Fixture$bits.exe" --database "$build/example/Pricelist.mdb" --date 2024-01-09
    objdump_accepts "$work/Fixture$bits.exe"
    grep -q "\.debug_info" "$work/objdump.out" || fail "objdump lost the long section names of the fixture"
    check_pe "$work/Fixture$bits.exe" --entry MDB:129:704512 --entry REG:140:22 --entry SUM:142:8 --made-from "$fixture"
done
grep -q "file format pei-i386" <(x86_64-w64-mingw32-objdump -f "$work/Fixture32.exe") ||
    fail "the 32-bit fixture's package is not PE32"

echo "The release script: a 40 MiB package made (compressed), checked, signed with a timestamp and verified, without Wine"
# The script where it lies in the tree, so that it finds the native generator by itself. With no network
# here, osslsigncode's own timestamp authority, with a throwaway certificate, stands in for the server that
# -ts asks. Wine's commands are shadowed by ones that leave a mark.
mkdir -p "$work/tree/tools/pack" "$work/tree/build/native/bin" "$work/no-wine"
cp "$root/tools/pack/release.sh" "$work/release.sh"
ln -s "$native" "$work/tree/build/native/bin/quillbrook-pack"
for command in wine wine64 wineserver wine-stable; do
    printf '#!/bin/sh\necho "$0" >>"%s/wine-used"\nexit 127\n' "$work" >"$work/no-wine/$command"
    chmod +x "$work/no-wine/$command"
done
[ "$(grep -c -- '-ts "$TIMESTAMP"' "$work/release.sh")" -eq 1 ] || fail "the release script signs without -ts"
sed -i 's/-ts "$TIMESTAMP"/-TSA-certs "$TSA_CERT" -TSA-key "$TSA_KEY"/' "$work/release.sh"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillbrook Test Publisher" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillbrook Test Timestamps" \
    -addext "extendedKeyUsage=critical,timeStamping" -keyout "$work/tsa-key.pem" -out "$work/tsa.pem" 2>/dev/null
cat "$work/cert.pem" "$work/tsa.pem" >"$work/ca.pem"
mv "$work/release.sh" "$work/tree/tools/pack/release.sh"
release() {
    PATH="$work/no-wine:$PATH" BASE="$fixed" CERT="$work/cert.pem" KEY="$work/key.pem" CAFILE="$work/ca.pem" \
        TSA_CERT="$work/tsa.pem" TSA_KEY="$work/tsa-key.pem" sh "$work/tree/tools/pack/release.sh" "$@"
}
release "$work/Signed.exe" --database "$work/Large.mdb" --shared-folder 1 --settings-key "$key" \
    --path-value "$key" >"$work/show.out" 2>"$work/release.err" || fail "the release script failed: $(cat "$work/release.err")"
[ ! -e "$work/Signed-unsigned.exe" ] && [ ! -e "$work/Signed-signed.exe" ] || fail "the release script left files"
[ ! -e "$work/wine-used" ] || fail "the release script ran Wine: $(cat "$work/wine-used")"
objdump_accepts "$work/Signed.exe"
signed_mdz="MDZ:129:$(compressed_size "$work/Signed.exe")"
wrestool_lists "$work/Signed.exe" "$signed_mdz" REG:138:4
key_bytes=$((2 * (${#key} + 1)))
check_pe "$work/Signed.exe" --signed --entry "$signed_mdz" --entry "REG:136:$key_bytes" \
    --entry "REG:137:$key_bytes" --entry REG:138:4 --entry SUM:142:24 --payload "$work/Large.mdb" --made-from "$fixed"
for line in "REG 138  REG_USE_SHARED_FOLDER           4 bytes  1 (set)" \
    "Database SHA-256: $(sha256sum "$work/Large.mdb" | cut -d' ' -f1)" "Authenticode signature: present"; do
    grep -qF "$line" "$work/show.out" || fail "--show of the signed package lacks \"$line\": $(cat "$work/show.out")"
done
# Told --store, it stores the database as it is.
release "$work/Stored.exe" --store --database "$build/example/Pricelist.mdb" --shared-folder 1 >/dev/null ||
    fail "the release script failed with --store"
wrestool_lists "$work/Stored.exe" MDB:129:704512 SUM:142:8
# A package its installer would refuse stops the script at the check, before it is signed.
! release "$work/Bad.exe" --shared-folder 1 >/dev/null 2>"$work/release.err" &&
    grep -q "carries no database" "$work/release.err" && [ -z "$(find "$work" -name "Bad*")" ] ||
    fail "the release script went on past a package without a database: $(cat "$work/release.err")"

echo "The signed package installs its payload"
[ -n "${DISPLAY:-}" ] || fail "the installer needs an X display (run through scripts/run-tests.sh)"
status=0
wine_run "$work/Signed.exe" /Automation || status=$?
[ "$status" -eq 0 ] || fail "the signed package's installer ended with status $status"
cmp -s "$work/Large.mdb" "$shared/$key/PriceList$key.mdb" || fail "the signed package installed something else"
echo "All checks passed"
