#!/usr/bin/python3
"""Runs a command and prints the peak private memory of its process, in KiB.

    peak-private.py [--runs N] [--prepare CMD] -- COMMAND...

"Private" is the process's resident anonymous memory (RssAnon in /proc/PID/status): heap, stacks and
copy-on-write pages, but not the pages of mapped files, which the page cache shares and can drop. A
payload mapped straight from the package costs no private memory; one copied into a buffer does.

`wine PROGRAM` execs its way (shell script, loader, preloader) into the Windows process without changing
its pid, so the pid of the started command is the one to watch. The kernel has no high-water mark for
anonymous memory alone, so the value is sampled in a busy loop, a few microseconds apart, from the
moment the process starts until it is reaped. The counter is kept per CPU and may lag by a few hundred
KiB; anything that grows with a payload of megabytes shows. Pin this script to another CPU than the
process (taskset) so that its polling does not take the process's time.

With --runs N, the command runs N times (after --prepare each time) and the largest peak is printed,
then the peaks of every run on the next line.
"""
import argparse
import os
import subprocess
import sys


def anon_kib(status):
    for line in status.split(b"\n"):
        if line.startswith(b"RssAnon:"):
            return int(line.split()[1])
    return None


def peak_of(command):
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    fd = os.open("/proc/%d/status" % process.pid, os.O_RDONLY)
    try:
        while process.poll() is None:
            try:
                kib = anon_kib(os.pread(fd, 8192, 0))
            except OSError:
                break  # reaped between poll() and the read
            if kib is not None and kib > peak:
                peak = kib
    finally:
        os.close(fd)
    process.wait()
    if process.returncode != 0:
        sys.exit("%s exited with %d" % (" ".join(command), process.returncode))
    return peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--prepare")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")
    peaks = []
    for _ in range(args.runs):
        if args.prepare:
            subprocess.run(args.prepare, shell=True, check=True)
        peaks.append(peak_of(command))
    print(max(peaks))
    print(" ".join(str(p) for p in peaks))


if __name__ == "__main__":
    main()
