#!/usr/bin/python3
"""Turns bench/run.sh's results into the tables, the verdicts on the targets and the chart.

    report.py RESULTS_DIR [--doc docs/BENCHMARKS.md] [--chart docs/benchmarks.png]

Times are pooled over the rounds of a payload; every figure is a median of the pooled runs. With --doc,
the part of the document between the "results" markers is replaced; with --chart, gnuplot draws the
medians (bench/chart.gp). Contenders the run left out (NSIS, where no 32-bit program runs) are left out
of the tables, the chart and the verdicts.
"""
import argparse
import glob
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

CONTENDERS = ["cp", "empty", "floor-k32", "floor", "floor-durable", "quillbrook", "quillbrook-compressed",
              "quillbrook-unchecked", "nsis-stored", "nsis-zlib", "nsis-lzma"]
TITLES = {
    "cp": "cp",
    "empty": "empty process",
    "floor-k32": "kernel32-only floor",
    "floor": "floor",
    "floor-durable": "durable floor",
    "quillbrook": "Quillbrook",
    "quillbrook-compressed": "Quillbrook compressed",
    "quillbrook-unchecked": "Quillbrook unchecked",
    "nsis-stored": "NSIS stored",
    "nsis-zlib": "NSIS zlib",
    "nsis-lzma": "NSIS LZMA",
}
# The compressed package's private memory, at any payload.
MEMORY_LIMIT_KIB = 16 * 1024
NSIS_MISSING = "NSIS: not measured: this machine runs no 32-bit program."
SIZES = [("704512", "704,512 B"), ("64M", "64 MiB"), ("256M", "256 MiB")]
# Today's 192 KiB, and the 48 KiB its decoder of compressed databases may add.
FIXED_LIMIT = (192 + 48) * 1024
BEGIN = "<!-- results: written by bench/report.py -->"
END = "<!-- end of results -->"


def load_times(results):
    times = {}
    for path in sorted(glob.glob(os.path.join(results, "time-*-*.json"))):
        size = re.match(r"time-(.+)-\d+\.json", os.path.basename(path)).group(1)
        for result in json.load(open(path))["results"]:
            times.setdefault(size, {}).setdefault(result["command"], []).extend(result["times"])
    return times


def load_table(path):
    rows = []
    if os.path.exists(path):
        for line in open(path):
            rows.append(line.split())
    return rows


def ms(value):
    return "%.1f" % value if value < 100 else "%.0f" % value


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results")
    parser.add_argument("--doc")
    parser.add_argument("--chart")
    args = parser.parse_args()

    times = load_times(args.results)
    medians = {
        size: {name: statistics.median(values) * 1000 for name, values in by_name.items()}
        for size, by_name in times.items()
    }
    counts = {size: {name: len(values) for name, values in by_name.items()} for size, by_name in times.items()}
    quartiles = {
        size: {name: statistics.quantiles(values, n=4) for name, values in by_name.items() if len(values) > 1}
        for size, by_name in times.items()
    }
    memory = {(row[0], row[1]): int(row[2]) for row in load_table(os.path.join(args.results, "memory.txt"))}
    sizes = load_table(os.path.join(args.results, "sizes.txt"))
    fixed = {row[1]: int(row[2]) for row in sizes if row[0] == "fixed"}
    packages = {(row[1], row[2]): (int(row[3]), int(row[4])) for row in sizes if row[0] == "package"}
    shipped = [(row[1], int(row[2])) for row in sizes if row[0] == "shipped"]
    shipped = shipped[0] if shipped else None
    check = load_table(os.path.join(args.results, "memory-check.txt"))
    machine = open(os.path.join(args.results, "machine.txt")).read().strip().splitlines()

    present = [(size, label) for size, label in SIZES if size in medians]
    contenders = [c for c in CONTENDERS if any(c in medians[size] for size, _ in present)]
    nsis = "nsis-stored" in contenders
    # (numerator, denominator, title)
    ratios = [("quillbrook", "floor-k32", "Quillbrook / kernel32-only floor"),
              ("quillbrook", "floor", "Quillbrook / floor"),
              ("quillbrook", "floor-durable", "Quillbrook / durable floor"),
              ("quillbrook", "quillbrook-unchecked", "Quillbrook / unchecked"),
              ("quillbrook-compressed", "floor-durable", "compressed / durable floor"),
              ("quillbrook-compressed", "quillbrook", "compressed / Quillbrook")]
    if nsis:
        ratios += [("quillbrook", "nsis-stored", "Quillbrook / NSIS stored"),
                   ("quillbrook", "nsis-zlib", "Quillbrook / NSIS zlib")]

    out = []
    out.append("Medians in milliseconds (runs pooled over the rounds; in brackets, the first and third quartiles).")
    out.append("")
    out.append("| payload | " + " | ".join(TITLES[c] for c in contenders) + " | "
               + " | ".join(title for _, _, title in ratios) + " | runs each |")
    out.append("|---|" + "---:|" * (len(contenders) + len(ratios) + 1))
    verdicts = []
    for size, label in present:
        m = medians[size]
        cells = []
        for c in contenders:
            q = quartiles[size].get(c)
            cells.append("%s (%s–%s)" % (ms(m[c]), ms(q[0] * 1000), ms(q[2] * 1000)) if q else ms(m[c]))
        for a, b, _ in ratios:
            cells.append("%.2f" % (m[a] / m[b]) if a in m and b in m else "")
        out.append("| %s | %s | %d |" % (label, " | ".join(cells), min(counts[size].values())))

        floor_ratio = m["quillbrook"] / m["floor"]
        if size == "704512":
            verdicts.append(("%s: Quillbrook at most 1.15 × the floor" % label, floor_ratio <= 1.15,
                             "%.2f ×" % floor_ratio))
            k32_ratio = m["quillbrook"] / m["floor-k32"]
            verdicts.append(("%s: Quillbrook at most 1.3 × the kernel32-only floor" % label, k32_ratio <= 1.3,
                             "%.2f ×" % k32_ratio))
        else:
            verdicts.append(("%s: Quillbrook at most 1.5 × the floor" % label, floor_ratio <= 1.5,
                             "%.2f ×" % floor_ratio))
        if size == "256M":
            check_ratio = m["quillbrook"] / m["quillbrook-unchecked"]
            verdicts.append(("%s: Quillbrook at most 1.10 × Quillbrook unchecked (the integrity check)" % label,
                             check_ratio <= 1.10, "%.2f ×" % check_ratio))
        if nsis:
            nsis_best = min(m["nsis-stored"], m["nsis-zlib"])
            if size == "704512":
                verdicts.append(("%s: Quillbrook at most 0.65 × NSIS (the faster NSIS)" % label,
                                 m["quillbrook"] <= 0.65 * nsis_best, "%.2f ×" % (m["quillbrook"] / nsis_best)))
            else:
                verdicts.append(("%s: Quillbrook below NSIS (the faster NSIS)" % label, m["quillbrook"] < nsis_best,
                                 "%.2f ×" % (m["quillbrook"] / nsis_best)))
        # The compressed package: the durable floor and NSIS, the stored package of the same database.
        if "quillbrook-compressed" in m:
            c = m["quillbrook-compressed"]
            if size == "64M" and "floor-durable" in m:
                verdicts.append(("%s: Quillbrook compressed at most 1.25 × the durable floor" % label,
                                 c <= 1.25 * m["floor-durable"], "%.2f ×" % (c / m["floor-durable"])))
                if "nsis-zlib" in m:
                    verdicts.append(("%s: Quillbrook compressed at most 0.5 × NSIS zlib" % label,
                                     c <= 0.5 * m["nsis-zlib"], "%.2f ×" % (c / m["nsis-zlib"])))
            if size == "704512":
                verdicts.append(("%s: Quillbrook compressed at most 1.05 × Quillbrook stored" % label,
                                 c <= 1.05 * m["quillbrook"], "%.2f ×" % (c / m["quillbrook"])))
    if not nsis:
        out.append("")
        out.append(NSIS_MISSING)

    out.append("")
    # The sizes are those of the packages stamped on the shipped executable, which publishers send; results
    # of a run that stamped none there give those of the timed packages.
    on_shipped = any(kind == "shipped_compressed" for _, kind in packages)
    stored, compressed = ("shipped_stored", "shipped_compressed") if on_shipped else ("quillbrook",
                                                                                      "quillbrook_compressed")
    out.append("Package sizes in bytes, each whole as it is downloaded (in brackets, its share of the database's "
               "size), Quillbrook's stamped on %s; NSIS's packages are made and measured on every machine."
               % ("the shipped executable, `%s`" % shipped[0] if on_shipped and shipped else "the timed executable"))
    out.append("")
    kinds = [(stored, "Quillbrook stored"), (compressed, "Quillbrook compressed"),
             ("nsis_zlib", "NSIS zlib"), ("nsis_lzma", "NSIS LZMA (solid)")]
    out.append("| payload | " + " | ".join(title for _, title in kinds) + " | compressed / NSIS zlib | "
               "compressed / NSIS LZMA | compressed / stored |")
    out.append("|---|" + "---:|" * (len(kinds) + 3))
    for size, label in present:
        cells = []
        for kind, _ in kinds:
            total, payload = packages.get((size, kind), (0, 0))
            cells.append("{:,} ({:.0%})".format(total, total / payload) if payload else "")

        def ratio(a, b):
            if (size, a) in packages and (size, b) in packages:
                return packages[(size, a)][0] / packages[(size, b)][0]
            return None

        versus = [ratio(compressed, other) for other in ("nsis_zlib", "nsis_lzma", stored)]
        out.append("| %s | %s | %s |" % (label, " | ".join(cells),
                                         " | ".join("%.2f" % r if r is not None else "" for r in versus)))
        if size == "64M" and versus[0] is not None:
            verdicts.append(("%s: compressed package at most 0.85 × NSIS zlib's" % label, versus[0] <= 0.85,
                             "%.2f ×" % versus[0]))
        if size == "64M" and versus[1] is not None:
            verdicts.append(("%s: compressed package at most 1.2 × NSIS LZMA's (solid)" % label, versus[1] <= 1.2,
                             "%.2f ×" % versus[1]))
        if size == "704512" and versus[2] is not None:
            verdicts.append(("%s: compressed example package at most 0.45 × the stored one" % label,
                             versus[2] <= 0.45, "%.2f ×" % versus[2]))

    out.append("")
    out.append("Sizes in bytes: the executables as built for this run, and each package that stores its database "
               "minus that database."
               + (" NSIS compresses the payload with zlib, so only its stored package has an overhead to compare."
                  if nsis else ""))
    out.append("")
    out.append("| executable | fixed | " + " | ".join("package − payload, %s" % label for _, label in present) + " |")
    out.append("|---|---:|" + "---:|" * len(present))

    def overheads(name):
        cells = []
        for size, _ in present:
            if (size, name) in packages:
                total, payload = packages[(size, name)]
                cells.append("{:,}".format(total - payload))
            else:
                cells.append("")
        return cells

    out.append("| Quillbrook | {:,} | {} |".format(fixed["Quillbrook.exe"], " | ".join(overheads("quillbrook"))))
    out.append("| Quillbrook unchecked | {:,} | {} |".format(fixed["Quillbrook.exe"],
                                                           " | ".join(overheads("quillbrook_unchecked"))))
    out.append("| floor | {:,} | {} |".format(fixed["bench-floor.exe"], " | ".join(overheads("floor"))))
    out.append("| kernel32-only floor | {:,} | {} |".format(fixed["bench-floor-k32.exe"],
                                                          " | ".join(overheads("floor_k32"))))
    if "bench-floor-durable.exe" in fixed:
        out.append("| durable floor | {:,} | {} |".format(fixed["bench-floor-durable.exe"],
                                                        " | ".join(overheads("floor_durable"))))
    if nsis:
        out.append("| NSIS, stored | {:,} (stub) | {} |".format(fixed["nsis-stub"], " | ".join(overheads("nsis_stored"))))
        zlib_totals = []
        for size, _ in present:
            total, payload = packages.get((size, "nsis_zlib"), (0, 0))
            zlib_totals.append("{:,} whole ({:.0%} of the payload)".format(total, total / payload) if payload else "")
        out.append("| NSIS, zlib | {:,} (stub) | {} |".format(fixed["nsis-stub"], " | ".join(zlib_totals)))
    shipped_path, shipped_size = shipped if shipped else ("Quillbrook.exe", fixed["Quillbrook.exe"])
    out.append("")
    out.append("The executable that ships, `{}`, is {:,} bytes.".format(shipped_path, shipped_size))
    verdicts.append(("fixed executable at most 240 KiB (245,760 bytes): `%s`" % shipped_path,
                     shipped_size <= FIXED_LIMIT, "{:,} bytes".format(shipped_size)))

    out.append("")
    out.append("Peak private memory in KiB (resident anonymous memory of the Windows process, highest of 3 runs).")
    out.append("")
    in_memory = [c for c in contenders if c != "cp"]
    out.append("| payload | " + " | ".join(TITLES[c] for c in in_memory) + " |")
    out.append("|---|" + "---:|" * len(in_memory))
    for size, label in present:
        row = [memory.get((name, size)) for name in in_memory]
        out.append("| %s | %s |" % (label, " | ".join("{:,}".format(v) if v is not None else "" for v in row)))
    if ("quillbrook", "704512") in memory and ("quillbrook", "256M") in memory:
        growth = memory[("quillbrook", "256M")] - memory[("quillbrook", "704512")]
        verdicts.append(("private memory does not grow with the payload (704,512 B → 256 MiB)", growth < 1024,
                         "%+d KiB" % growth))
    for size, label in present:
        if size != "704512" and ("quillbrook-compressed", size) in memory:
            kib = memory[("quillbrook-compressed", size)]
            verdicts.append(("%s: Quillbrook compressed's private memory at most 16 MiB" % label,
                             kib <= MEMORY_LIMIT_KIB, "{:,} KiB".format(kib)))
    if check:
        empty, touched = int(check[0][2]), int(check[0][4])
        out.append("")
        out.append("Method check: an empty process peaked at {:,} KiB, one that writes 32 MiB (32,768 KiB) of private "
                   "memory at {:,} KiB: {:+,} KiB.".format(empty, touched, touched - empty))

    stamping = os.path.join(args.results, "stamp-64M.json")
    if os.path.exists(stamping):
        by_name = {r["command"]: r["times"] for r in json.load(open(stamping))["results"]}
        native = statistics.median(by_name["native"]) * 1000
        out.append("")
        out.append("Stamping the 64 MiB database into a package (`quillbrook-pack --base Quillbrook.exe --database ...`, "
                   "written and flushed), medians in milliseconds of %d runs each:" % len(by_name["native"]))
        out.append("")
        if "windows" in by_name:
            windows = statistics.median(by_name["windows"]) * 1000
            out.append("| built for this machine | Windows build under Wine | Windows build / native |")
            out.append("|---:|---:|---:|")
            out.append("| %s | %s | %.1f |" % (ms(native), ms(windows), windows / native))
        else:
            out.append("| built for this machine |")
            out.append("|---:|")
            out.append("| %s |" % ms(native))

    compressing = os.path.join(args.results, "compress-64M.json")
    if os.path.exists(compressing):
        by_name = {r["command"]: r["times"] for r in json.load(open(compressing))["results"]}
        pack, nsis_lzma = (statistics.median(by_name[n]) for n in ("quillbrook-pack", "makensis-lzma"))
        out.append("")
        out.append("Compressing the 64 MiB database into a package, each on the whole machine (the generator in a "
                   "worker thread for each processor, makensis in one thread), medians in seconds of %d runs each:"
                   % len(by_name["quillbrook-pack"]))
        out.append("")
        out.append("| quillbrook-pack --compress | makensis, solid LZMA | quillbrook-pack / makensis |")
        out.append("|---:|---:|---:|")
        out.append("| %.1f | %.1f | %.2f |" % (pack, nsis_lzma, pack / nsis_lzma))
        verdicts.append(("64 MiB: the generator compresses in at most 0.5 × makensis LZMA's time", pack <= 0.5 * nsis_lzma,
                         "%.2f ×" % (pack / nsis_lzma)))

    out.append("")
    out.append("| target | measured | |")
    out.append("|---|---:|---|")
    for text, met, value in verdicts:
        out.append("| %s | %s | %s |" % (text, value, "met" if met else "**missed**"))
    if not nsis:
        out.append("")
        out.append("The targets against NSIS are left out. " + NSIS_MISSING)
    out.append("")
    out.append("Machine and versions:")
    out.append("")
    out.append("```")
    out.extend(machine)
    out.append("```")
    text = "\n".join(out)
    print(text)

    if args.doc:
        doc = open(args.doc).read()
        if BEGIN not in doc or END not in doc:
            sys.exit("%s has no results markers" % args.doc)
        head, rest = doc.split(BEGIN, 1)
        _, tail = rest.split(END, 1)
        open(args.doc, "w").write(head + BEGIN + "\n\n" + text + "\n\n" + END + tail)

    if args.chart:
        with tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False) as data:
            data.write("payload " + " ".join('"%s"' % TITLES[c] for c in contenders) + "\n")
            for size, label in present:
                data.write('"%s" %s\n' % (label, " ".join("%.3f" % medians[size][c] if c in medians[size] else "NaN"
                                                         for c in contenders)))
        chart_gp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "chart.gp")
        subprocess.run(["gnuplot", "-e", "data='%s'; out='%s'; n=%d" % (data.name, args.chart, len(contenders)), chart_gp],
                       check=True)
        os.unlink(data.name)


if __name__ == "__main__":
    main()
