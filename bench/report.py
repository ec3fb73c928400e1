#!/usr/bin/python3
"""Turns bench/run.sh's results into the tables, the verdicts on the targets and the chart.

    report.py RESULTS_DIR [--doc docs/BENCHMARKS.md] [--chart docs/benchmarks.png]

Times are pooled over the rounds of a payload; every figure is a median of the pooled runs. With --doc,
the part of the document between the "results" markers is replaced; with --chart, gnuplot draws the
medians (bench/chart.gp).
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

CONTENDERS = ["cp", "empty", "floor", "quillbrook", "nsis-stored", "nsis-zlib"]
TITLES = {
    "cp": "cp",
    "empty": "empty process",
    "floor": "floor",
    "quillbrook": "Quillbrook",
    "nsis-stored": "NSIS stored",
    "nsis-zlib": "NSIS zlib",
}
SIZES = [("704512", "704,512 B"), ("64M", "64 MiB"), ("256M", "256 MiB")]
FIXED_LIMIT = 192 * 1024
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
    check = load_table(os.path.join(args.results, "memory-check.txt"))
    machine = open(os.path.join(args.results, "machine.txt")).read().strip().splitlines()

    present = [(size, label) for size, label in SIZES if size in medians]
    out = []
    out.append("Medians in milliseconds (runs pooled over the rounds; in brackets, the first and third quartiles).")
    out.append("")
    out.append("| payload | " + " | ".join(TITLES[c] for c in CONTENDERS) + " | Quillbrook / floor | Quillbrook / NSIS stored | Quillbrook / NSIS zlib | runs each |")
    out.append("|---|" + "---:|" * (len(CONTENDERS) + 4))
    verdicts = []
    for size, label in present:
        m = medians[size]
        cells = []
        for c in CONTENDERS:
            q = quartiles[size].get(c)
            cells.append("%s (%s–%s)" % (ms(m[c]), ms(q[0] * 1000), ms(q[2] * 1000)) if q else ms(m[c]))
        floor_ratio = m["quillbrook"] / m["floor"]
        nsis_best = min(m["nsis-stored"], m["nsis-zlib"])
        out.append(
            "| %s | %s | %.2f | %.2f | %.2f | %d |"
            % (label, " | ".join(cells), floor_ratio, m["quillbrook"] / m["nsis-stored"],
               m["quillbrook"] / m["nsis-zlib"], min(counts[size].values()))
        )
        if size == "704512":
            verdicts.append(("%s: Quillbrook at most 1.15 × the floor" % label, floor_ratio <= 1.15, "%.2f ×" % floor_ratio))
            verdicts.append(("%s: Quillbrook at most 0.65 × NSIS (the faster NSIS)" % label,
                             m["quillbrook"] <= 0.65 * nsis_best, "%.2f ×" % (m["quillbrook"] / nsis_best)))
        else:
            verdicts.append(("%s: Quillbrook at most 1.5 × the floor" % label, floor_ratio <= 1.5, "%.2f ×" % floor_ratio))
            verdicts.append(("%s: Quillbrook below NSIS (the faster NSIS)" % label, m["quillbrook"] < nsis_best,
                             "%.2f ×" % (m["quillbrook"] / nsis_best)))

    out.append("")
    out.append("Sizes in bytes. A package's overhead is its size minus the payload's; NSIS compresses the payload "
               "with zlib, so only its stored package has an overhead to compare.")
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
    out.append("| floor | {:,} | {} |".format(fixed["bench-floor.exe"], " | ".join(overheads("floor"))))
    out.append("| NSIS, stored | {:,} (stub) | {} |".format(fixed["nsis-stub"], " | ".join(overheads("nsis_stored"))))
    zlib_totals = []
    for size, _ in present:
        total, payload = packages.get((size, "nsis_zlib"), (0, 0))
        zlib_totals.append("{:,} whole ({:.0%} of the payload)".format(total, total / payload) if payload else "")
    out.append("| NSIS, zlib | {:,} (stub) | {} |".format(fixed["nsis-stub"], " | ".join(zlib_totals)))
    verdicts.append(("fixed executable at most 192 KiB (196,608 bytes)", fixed["Quillbrook.exe"] <= FIXED_LIMIT,
                     "{:,} bytes".format(fixed["Quillbrook.exe"])))

    out.append("")
    out.append("Peak private memory in KiB (resident anonymous memory of the Windows process, highest of 3 runs).")
    out.append("")
    out.append("| payload | empty process | floor | Quillbrook | NSIS stored | NSIS zlib |")
    out.append("|---|---:|---:|---:|---:|---:|")
    for size, label in present:
        row = [memory.get((name, size)) for name in ["empty", "floor", "quillbrook", "nsis-stored", "nsis-zlib"]]
        out.append("| %s | %s |" % (label, " | ".join("{:,}".format(v) if v is not None else "" for v in row)))
    if ("quillbrook", "704512") in memory and ("quillbrook", "256M") in memory:
        growth = memory[("quillbrook", "256M")] - memory[("quillbrook", "704512")]
        verdicts.append(("private memory does not grow with the payload (704,512 B → 256 MiB)", growth < 1024,
                         "%+d KiB" % growth))
    if check:
        empty, touched = int(check[0][2]), int(check[0][4])
        out.append("")
        out.append("Method check: an empty process peaked at {:,} KiB, one that writes 32 MiB (32,768 KiB) of private "
                   "memory at {:,} KiB: {:+,} KiB.".format(empty, touched, touched - empty))

    out.append("")
    out.append("| target | measured | |")
    out.append("|---|---:|---|")
    for text, met, value in verdicts:
        out.append("| %s | %s | %s |" % (text, value, "met" if met else "**missed**"))

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
            data.write("payload " + " ".join('"%s"' % TITLES[c] for c in CONTENDERS) + "\n")
            for size, label in present:
                data.write('"%s" %s\n' % (label, " ".join("%.3f" % medians[size][c] for c in CONTENDERS)))
        chart_gp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "chart.gp")
        subprocess.run(["gnuplot", "-e", "data='%s'; out='%s'" % (data.name, args.chart), chart_gp], check=True)
        os.unlink(data.name)


if __name__ == "__main__":
    main()
