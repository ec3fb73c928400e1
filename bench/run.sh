#!/usr/bin/env bash
# Times Quillbrook's unattended install, of its compressed package and of the same database stored,
# against a native copy, an empty Windows process, the three floors (bench/Floor.cpp: the same job in plain
# Win32, with and without shell32, and without it but flushing the database), the stored package unchecked
# (stamped with the integrity entry's placeholder) and NSIS (bench/PricelistSetup.nsi, stored, zlib and
# solid LZMA; run only where 32-bit programs run, its packages' sizes measured everywhere), for
# price-list-shaped databases of 704,512 bytes, 64 MiB and 256 MiB; measures each installer's peak private
# memory and the sizes of the executables and packages (the sizes compared on packages of the shipped
# executable); times the generator stamping the 64 MiB database, built for this machine and, beside it, its
# Windows build under Wine, and compressing it on all the machine's processors against makensis with solid
# LZMA; writes the table and the chart into docs/BENCHMARKS.md and docs/benchmarks.png. See
# docs/BENCHMARKS.md for the method.
#
# The Windows programs are those this machine runs (scripts/wine-arch.sh): 32-bit ones, or where no
# 32-bit program runs, the 64-bit twins of scripts/build.sh under 64-bit Wine, without NSIS.
#
#   bench/run.sh            the full run (about twenty-five minutes)
#   bench/run.sh --quick    one short round per payload, to try the script; docs/ are left alone
#   bench/run.sh --payload SIZE
#                           the full run of one payload (704512, 64M or 256M) again, in place of its
#                           figures from the last run; the other payloads' figures stay
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0 only=
case "${1:-}" in
--quick) quick=1 ;;
--payload)
    only=${2:-}
    case $only in
    704512 | 64M | 256M) ;;
    *)
        echo "bench: --payload takes 704512, 64M or 256M" >&2
        exit 2
        ;;
    esac
    ;;
esac

if [ -z "${QB_BENCH_INSIDE:-}" ]; then
    scripts/setup-machine.sh --bench
    scripts/build.sh
    # The benchmark's programs for the architecture build/ is made for, in a tree of their own
    # (build/bench itself holds the product build's copy of bench/).
    if [ "$(scripts/wine-arch.sh)" = i686 ]; then
        toolchain=cmake/mingw32-toolchain.cmake triple=i686-w64-mingw32
    else
        toolchain=cmake/mingw64-toolchain.cmake triple=x86_64-w64-mingw32
    fi
    programs=build/bench/programs
    if [ -f $programs/CMakeCache.txt ] && ! grep -q "^CMAKE_TOOLCHAIN_FILE:.*=$root/$toolchain\$" $programs/CMakeCache.txt; then
        rm -rf $programs
    fi
    if [ ! -f $programs/build.ninja ]; then
        cmake -S bench -B $programs -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" >/dev/null
    fi
    cmake --build $programs
    for floor in bench-floor-k32 bench-floor-durable; do
        if $triple-objdump -p $programs/bin/$floor.exe | grep -qi 'DLL Name: shell32'; then
            echo "bench: $floor.exe imports shell32" >&2
            exit 1
        fi
    done
    # Everything Windows runs on one CPU: a Wine process makes hundreds of round trips to the
    # wineserver, and in this virtual machine a wake-up on the other CPU costs tens of microseconds
    # more, at random (an empty process takes 15 or 40 ms unpinned, 17 +/- 1 ms pinned). The memory
    # sampler polls from the other CPU.
    export QB_BENCH_INSIDE=1
    export QB_BENCH_CPUS=$(nproc)
    export QB_BENCH_CPU=$((QB_BENCH_CPUS - 1))
    export QB_SAMPLER_CPU=0
    export QB_BENCH_ARCH=$(scripts/wine-arch.sh)
    exec taskset -c "$QB_BENCH_CPU" xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

work=$root/build/bench/work
results=$root/build/bench/results
mkdir -p "$work" "$results"
if [ -z "$only" ]; then
    rm -f "$results"/*
else
    # The payload's own figures go; the others' stay, as do the machine's lines of the run they are from.
    [ -f "$results/machine.txt" ] || { echo "bench: no earlier run in $results to complete" >&2; exit 1; }
    rm -f "$results/time-$only-"*.json "$results/hyperfine-$only-"*.txt "$results/stamp-$only."* \
        "$results/compress-$only."*
    for file in memory.txt sizes.txt; do
        grep -v " $only " "$results/$file" >"$results/$file.kept" || true
        mv "$results/$file.kept" "$results/$file"
    done
    sed -i '/^fixed /d; /^shipped /d' "$results/sizes.txt"
fi

needed_kib=$((3 * 1024 * 1024))
free_kib=$(df -Pk "$work" | awk 'NR==2 {print $4}')
if [ "$free_kib" -lt "$needed_kib" ]; then
    echo "bench: $((free_kib / 1024)) MiB free under $work; the 256 MiB payload needs about 3 GiB" >&2
    exit 1
fi
cleanup() {
    wine_stop
    rm -rf "$work"
}

# A Wine prefix of its own, so that the tests' prefix and registry are left alone.
source scripts/wine-env.sh
export WINEPREFIX=$root/build/bench/wineprefix
wine_start
trap cleanup EXIT
wine_windows_managed N

seed_example_host
stale_unix=$(dirname "$target_unix")/TarifsMgr.dat

bin=$root/build/bin
bench_bin=$root/build/bench/programs/bin
to_windows() { wine_limited 60 "winepath" winepath -w "$1" 2>/dev/null; }

# NSIS makes 32-bit installers only.
nsis=0
if [ "$QB_BENCH_ARCH" = i686 ]; then
    nsis=1
else
    echo "NSIS left out: this machine runs no 32-bit program, and makensis makes only 32-bit installers."
fi

# The example release's settings, as tools/CMakeLists.txt stamps them, by the generator built for this
# machine (scripts/build.sh).
native_pack=$root/build/native/bin/quillbrook-pack
stamp() { # base out database [more quillbrook-pack options]
    local base=$1 out=$2 database=$3
    shift 3
    timeout 300 "$native_pack" --base "$base" --out "$out" --database "$database" --settings-key "$settings" \
        --path-value CheminBaseTarif --shared-folder 0 --country-key "HKEY_LOCAL_MACHINE\\$country\\" \
        --date 2024-01-09 --country BE "$@" >/dev/null
}
sample_db() { # size seed out
    wine_limited 300 "quillbrook-sample-db to make $(basename "$3")" \
        wine "$bin/quillbrook-sample-db.exe" --size "$1" --seed "$2" --out "$(to_windows "$3")" >/dev/null
}
# The integrity entry's placeholder: a package that carries it is installed without the check.
unchecked_sum=$work/unchecked.sum
printf 'QBI\0\0\0\0\0' >"$unchecked_sum"

{
    echo "date $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "commit $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- src tools bench || echo ' (modified)')"
    echo "cpu $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //') x $QB_BENCH_CPUS, timed on CPU $QB_BENCH_CPU"
    echo "kernel $(uname -r)"
    echo "wine $(wine --version)"
    echo "hyperfine $(hyperfine --version | cut -d' ' -f2)"
    if [ $nsis -eq 1 ]; then
        echo "windows 32-bit programs under Wine"
        echo "makensis $(makensis -VERSION)"
    else
        echo "windows 64-bit programs under 64-bit Wine (no 32-bit program runs here; NSIS not measured)"
    fi
    echo "load $(cut -d' ' -f1-3 /proc/loadavg)"
} >"$results/machine.now"
if [ -z "$only" ]; then
    mv "$results/machine.now" "$results/machine.txt"
else
    sed "s/^/payload $only again: /" "$results/machine.now" | grep -E ': (date|commit|load) ' >>"$results/machine.txt"
    rm "$results/machine.now"
fi
cat "$results/machine.txt"

# bytes label rounds runs warmup
sizes=("704512 704,512 B 5 10 2" "64M 64 MiB 3 8 1" "256M 256 MiB 3 6 1")
[ $quick -eq 1 ] && sizes=("704512 704,512 B 1 3 1" "64M 64 MiB 1 2 1" "256M 256 MiB 1 2 1")
if [ -n "$only" ]; then
    for entry in "${sizes[@]}"; do
        [ "${entry%% *}" = "$only" ] && sizes=("$entry") && break
    done
fi

# What ships is the 32-bit Quillbrook.exe: on a 64-bit build, the one scripts/build.sh makes in
# build/win32/.
shipped=build/bin/Quillbrook.exe
[ -f build/win32/bin/Quillbrook.exe ] && shipped=build/win32/bin/Quillbrook.exe
{
    echo "fixed Quillbrook.exe $(stat -c %s "$bin/Quillbrook.exe")"
    echo "fixed bench-floor.exe $(stat -c %s "$bench_bin/bench-floor.exe")"
    echo "fixed bench-floor-k32.exe $(stat -c %s "$bench_bin/bench-floor-k32.exe")"
    echo "fixed bench-floor-durable.exe $(stat -c %s "$bench_bin/bench-floor-durable.exe")"
    [ $nsis -eq 0 ] || echo "fixed nsis-stub $(stat -c %s /usr/share/nsis/Stubs/zlib-x86-unicode)"
    echo "shipped $shipped $(stat -c %s "$shipped")"
} >"$results/sizes.now"
cat "$results/sizes.now" >>"$results/sizes.txt"
rm "$results/sizes.now"

# The memory method, checked: a program that commits and writes 32 MiB must measure 32 MiB above an
# empty one.
peak() { # prepare-command program arguments...
    local prepare=$1 out
    shift
    out=$(wine_limited 600 "the memory sampler on $(basename "$1")" \
        taskset -c "$QB_SAMPLER_CPU" /usr/bin/python3 bench/peak-private.py --runs 3 --prepare "$prepare" -- \
        taskset -c "$QB_BENCH_CPU" wine "$@") || exit 1
    echo "${out%%$'\n'*}"
}
empty_kib=$(peak true "$bench_bin/bench-empty.exe")
touch_kib=$(peak true "$bench_bin/bench-touch.exe" 32)
echo "memory-check empty $empty_kib touch32 $touch_kib" >"$results/memory-check.txt"
echo "Memory method: empty process $empty_kib KiB, with 32 MiB written $touch_kib KiB (+$((touch_kib - empty_kib)) KiB)"
if [ $((touch_kib - empty_kib)) -lt $((32768 - 512)) ] || [ $((touch_kib - empty_kib)) -gt $((32768 + 1024)) ]; then
    echo "bench: the memory sampler does not see 32 MiB of private memory; its figures would be wrong" >&2
    exit 1
fi

for entry in "${sizes[@]}"; do
    read -r size label_number label_unit rounds runs warmup <<<"$entry"
    label="$label_number $label_unit"
    echo
    echo "== $label"
    payload=$work/Pricelist-$size.mdb
    old=$work/Previous-$size.mdb
    quillbrook=$work/PricelistSetup-$size.exe
    quillbrook_compressed=$work/Compressed-$size.exe
    quillbrook_unchecked=$work/Unchecked-$size.exe
    floor=$work/FloorSetup-$size.exe
    floor_k32=$work/FloorK32Setup-$size.exe
    floor_durable=$work/FloorDurableSetup-$size.exe
    shipped_stored=$work/ShippedStored-$size.exe
    shipped_compressed=$work/ShippedCompressed-$size.exe
    nsis_stored=$work/NsisStored-$size.exe
    nsis_zlib=$work/NsisZlib-$size.exe
    nsis_lzma=$work/NsisLzma-$size.exe
    # The example package is the compressed one; the stored package is what every release was before.
    if [ "$size" = 704512 ]; then
        cp "$root/build/example/Pricelist.mdb" "$payload"
        cp "$root/build/example/PricelistSetup.exe" "$quillbrook_compressed"
    else
        sample_db "$size" 1 "$payload"
        stamp "$bin/Quillbrook.exe" "$quillbrook_compressed" "$payload" --compress
    fi
    stamp "$bin/Quillbrook.exe" "$quillbrook" "$payload"
    stamp "$bin/Quillbrook.exe" "$quillbrook_unchecked" "$payload" --raw "SUM:142=$unchecked_sum"
    sample_db "$size" 2 "$old"
    stamp "$bench_bin/bench-floor.exe" "$floor" "$payload"
    stamp "$bench_bin/bench-floor-k32.exe" "$floor_k32" "$payload"
    stamp "$bench_bin/bench-floor-durable.exe" "$floor_durable" "$payload"
    # The sizes are those of the packages a publisher sends, stamped on the shipped executable; where that is
    # not the one timed here, the same packages are stamped on it as well.
    if [ "$shipped" = "build/bin/Quillbrook.exe" ]; then
        shipped_stored=$quillbrook shipped_compressed=$quillbrook_compressed
    else
        stamp "$shipped" "$shipped_stored" "$payload"
        stamp "$shipped" "$shipped_compressed" "$payload" --compress
    fi
    if [ "$size" = 64M ]; then
        # The generator on the same database: built for this machine, and its Windows build under Wine, in the
        # same rounds. Each run writes and flushes a new package over the last one, from inputs in the page
        # cache.
        stamped=$work/Stamped.exe
        options="--base $bin/Quillbrook.exe --out $stamped --database $payload --shared-folder 0 --date 2024-01-09"
        wine_limited 1800 "hyperfine on the generator" \
            hyperfine -N --style basic -w 1 -r $((quick ? 2 : 10)) --export-json "$results/stamp-$size.json" \
            --prepare "sh -c 'rm -f $stamped; sync; cat $payload $bin/Quillbrook.exe >/dev/null'" \
            -n native "$native_pack $options" -n windows "wine $bin/quillbrook-pack.exe $options" \
            >"$results/stamp-$size.txt"
        grep -E '^(Benchmark|  Time)' "$results/stamp-$size.txt"
        # Compressing it, against makensis compressing it with solid LZMA, each on the whole machine as a
        # publisher's would be: the generator uses a thread for each processor it may run on, makensis one.
        lzma_options="-V1 -DLZMA -DPAYLOAD=$payload -DOUTFILE=$nsis_lzma $root/bench/PricelistSetup.nsi"
        wine_limited 3600 "hyperfine on compressing" taskset -c "0-$((QB_BENCH_CPUS - 1))" \
            hyperfine -N --style basic -w 0 -r $((quick ? 1 : 3)) --export-json "$results/compress-$size.json" \
            --prepare "sh -c 'rm -f $stamped $nsis_lzma; sync; cat $payload $bin/Quillbrook.exe >/dev/null'" \
            -n quillbrook-pack "$native_pack $options --compress" -n makensis-lzma "makensis $lzma_options" \
            >"$results/compress-$size.txt"
        grep -E '^(Benchmark|  Time)' "$results/compress-$size.txt"
        rm -f "$stamped"
    fi
    # NSIS's packages are made here whatever the machine, for their sizes; solid LZMA, the slowest to
    # make, for the two payloads whose sizes are compared.
    makensis -V1 "-DPAYLOAD=$payload" "-DOUTFILE=$nsis_zlib" bench/PricelistSetup.nsi
    sized=(nsis_zlib)
    if [ "$size" != 256M ]; then
        [ -f "$nsis_lzma" ] || makensis -V1 -DLZMA "-DPAYLOAD=$payload" "-DOUTFILE=$nsis_lzma" bench/PricelistSetup.nsi
        sized+=(nsis_lzma)
    fi
    packages=(floor_k32 floor floor_durable quillbrook quillbrook_compressed quillbrook_unchecked)
    if [ $nsis -eq 1 ]; then
        makensis -V1 -DSTORED "-DPAYLOAD=$payload" "-DOUTFILE=$nsis_stored" bench/PricelistSetup.nsi
        packages+=(nsis_stored "${sized[@]}")
    fi
    payload_bytes=$(stat -c %s "$payload")
    for package in "${packages[@]}" "${sized[@]}" shipped_stored shipped_compressed; do
        echo "package $size $package $(stat -c %s "${!package}") $payload_bytes" >>"$results/sizes.txt"
    done

    reset="$root/bench/reset.sh $old $target_unix $stale_unix"
    names=(cp empty floor-k32 floor floor-durable quillbrook quillbrook-compressed quillbrook-unchecked)
    inputs=("$payload" "$bench_bin/bench-empty.exe" "$floor_k32" "$floor" "$floor_durable" "$quillbrook"
        "$quillbrook_compressed" "$quillbrook_unchecked")
    commands=("cp $payload $target_unix"
        "wine $bench_bin/bench-empty.exe"
        "wine $floor_k32"
        "wine $floor"
        "wine $floor_durable"
        "wine $quillbrook /Automation"
        "wine $quillbrook_compressed /Automation"
        "wine $quillbrook_unchecked /Automation")
    if [ $nsis -eq 1 ]; then
        names+=(nsis-stored nsis-zlib)
        inputs+=("$nsis_stored" "$nsis_zlib")
        commands+=("wine $nsis_stored /S" "wine $nsis_zlib /S")
        if [ "$size" != 256M ]; then
            names+=(nsis-lzma)
            inputs+=("$nsis_lzma")
            commands+=("wine $nsis_lzma /S")
        fi
    fi
    args=()
    for i in "${!names[@]}"; do
        args+=(--prepare "$reset ${inputs[$i]}" -n "${names[$i]}" "${commands[$i]}")
    done
    # Rounds of every contender in turn, so that a change of the machine's state over the run reaches
    # all of them alike; bench/report.py pools the rounds.
    for round in $(seq "$rounds"); do
        wine_limited 1800 "hyperfine's round $round at $label" \
            hyperfine -N --style basic -w "$warmup" -r "$runs" --export-json "$results/time-$size-$round.json" \
            "${args[@]}" >"$results/hyperfine-$size-$round.txt"
        grep -E '^(Benchmark|  Time)' "$results/hyperfine-$size-$round.txt"
    done

    # Every contender must have done the job.
    for contender in "${packages[@]}"; do
        $reset "${!contender}"
        case $contender in
        quillbrook*) options=/Automation ;;
        floor*) options= ;;
        *) options=/S ;;
        esac
        wine_limited 300 "$contender to install the $label payload" wine "${!contender}" $options
        cmp -s "$payload" "$target_unix" || { echo "bench: $contender did not install the $label payload" >&2; exit 1; }
        [ ! -e "$stale_unix" ] || { echo "bench: $contender left the stale file" >&2; exit 1; }
    done

    for contender in empty "${packages[@]}"; do
        case $contender in
        empty) program=$bench_bin/bench-empty.exe options= ;;
        quillbrook*) program=${!contender} options=/Automation ;;
        floor*) program=${!contender} options= ;;
        *) program=${!contender} options=/S ;;
        esac
        kib=$(peak "$reset $program" "$program" $options)
        echo "${contender//_/-} $size $kib" >>"$results/memory.txt"
    done
    grep " $size " "$results/memory.txt" | awk '{printf "peak private %s: %d KiB\n", $1, $3}'

    rm -f "$payload" "$old" "$quillbrook" "$quillbrook_compressed" "$quillbrook_unchecked" "$floor" "$floor_k32" \
        "$floor_durable" "$shipped_stored" "$shipped_compressed" "$nsis_stored" "$nsis_zlib" "$nsis_lzma" \
        "$target_unix"
done

echo
if [ $quick -eq 1 ]; then
    /usr/bin/python3 bench/report.py "$results"
else
    /usr/bin/python3 bench/report.py "$results" --doc docs/BENCHMARKS.md --chart docs/benchmarks.png
fi
