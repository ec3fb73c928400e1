#!/usr/bin/env bash
# The fixed executable and stamped packages as the standard tools see them: binutils' objdump, icoutils'
# wrestool, pefile, and Authenticode signing with a throwaway certificate, after which the signed package
# must still install. Usage: check-packages.sh BUILD_DIR [SHIPPED_EXE] (the Windows programs run through
# its Wine); SHIPPED_EXE, the 32-bit Quillbrook.exe beside a 64-bit build, is stamped too.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
key="QbCheck$$"
shared="$build/wineprefix/drive_c/ProgramData/HalveroGroup/PriceList/CAT-$key"
trap 'rm -rf "$work" "$shared"' EXIT

wine_run() { "$build/wine-run.sh" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

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

example_entries=(MDB:129:704512 REG:136:86 REG:137:32 REG:138:4 REG:139:96 REG:140:22 REG:141:6)

echo "The fixed executable"
fixed="$build/bin/Quillbrook.exe"
objdump_accepts "$fixed"
check_pe "$fixed" --base
! wrestool -l "$fixed" | grep -qE "type='(MDB|REG)'" || fail "the fixed executable carries package entries"

echo "The example package"
example="$build/example/PricelistSetup.exe"
objdump_accepts "$example"
wrestool_lists "$example" "${example_entries[@]}"
check_pe "$example" "${example_entries[@]/#/--entry=}" --payload "$build/example/Pricelist.mdb"

if [ -n "${2:-}" ]; then
    echo "A package stamped on the shipped 32-bit executable"
    wine_run "$build/bin/quillbrook-pack.exe" --base "$2" --out "$work/Shipped.exe" \
        --database "$build/example/Pricelist.mdb" --settings-key 'SOFTWARE\Halvero\dravik\Bel\Serveurs\Bilan' \
        --path-value CheminBaseTarif --shared-folder 0 --date 2024-01-09 --country BE \
        --country-key 'HKEY_LOCAL_MACHINE\SOFTWARE\Halvero\dravik\Bel\' >/dev/null
    objdump_accepts "$work/Shipped.exe"
    grep -q "file format pei-i386" "$work/objdump.out" || fail "the shipped executable's package is not PE32"
    wrestool_lists "$work/Shipped.exe" "${example_entries[@]}"
    check_pe "$work/Shipped.exe" "${example_entries[@]/#/--entry=}" --payload "$build/example/Pricelist.mdb"
fi

echo "A package with a 24 MiB payload, installing under the shared folder"
wine_run "$build/bin/quillbrook-sample-db.exe" --size 24M --seed 5 --out "$work/Large.mdb"
wine_run "$build/bin/quillbrook-pack.exe" --base "$fixed" --out "$work/Large.exe" --database "$work/Large.mdb" \
    --shared-folder 1 --settings-key "$key" --path-value "$key" >/dev/null
objdump_accepts "$work/Large.exe"
wrestool_lists "$work/Large.exe" MDB:129:25165824 REG:138:4
check_pe "$work/Large.exe" --entry MDB:129:25165824 --payload "$work/Large.mdb"

echo "Packages stamped on unstripped bases with 512-byte file alignment, PE32 and PE32+"
for bits in 32 64; do
    wine_run "$build/bin/quillbrook-pack.exe" --base "$build/bin/pack_fixture_base$bits.exe" \
        --out "$work/Fixture$bits.exe" --database "$build/example/Pricelist.mdb" --date 2024-01-09 >/dev/null
    objdump_accepts "$work/Fixture$bits.exe"
    grep -q "\.debug_info" "$work/objdump.out" || fail "objdump lost the long section names of the fixture"
    check_pe "$work/Fixture$bits.exe" --entry MDB:129:704512 --entry REG:140:22
done
grep -q "file format pei-i386" <(x86_64-w64-mingw32-objdump -f "$work/Fixture32.exe") ||
    fail "the 32-bit fixture's package is not PE32"

echo "The large package, signed with a throwaway certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillbrook Test Publisher" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Price list" \
    -in "$work/Large.exe" -out "$work/Signed.exe" >/dev/null || fail "osslsigncode cannot sign the package"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/Signed.exe" >"$work/verify.out" 2>&1 ||
    fail "osslsigncode rejects the signature: $(grep -iE 'fail|error|mismatch' "$work/verify.out" | head -3)"
grep -q "Signature verification: ok" "$work/verify.out" || fail "the signature does not verify"
objdump_accepts "$work/Signed.exe"
check_pe "$work/Signed.exe" --signed --entry MDB:129:25165824 --payload "$work/Large.mdb"
wine_run "$build/bin/quillbrook-pack.exe" --show "$work/Signed.exe" >"$work/show.out"
grep -q "REG 138  REG_USE_SHARED_FOLDER           4 bytes  1 (set)" "$work/show.out" ||
    fail "--show cannot read the signed package: $(cat "$work/show.out")"

echo "The signed package installs its payload"
[ -n "${DISPLAY:-}" ] || fail "the installer needs an X display (run through scripts/run-tests.sh)"
status=0
wine_run "$work/Signed.exe" /Automation || status=$?
[ "$status" -eq 0 ] || fail "the signed package's installer ended with status $status"
cmp -s "$work/Large.mdb" "$shared/$key/PriceList$key.mdb" || fail "the signed package installed something else"
echo "All checks passed"
