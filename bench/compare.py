#!/usr/bin/env python3
"""Runs two commands alternately in a directory and compares their median CPU and wall time and
their peak RSS, against targets for the first relative to the second.

usage: compare.py RUNS DIR [--max cpu=X] [--max wall=X] [--max rss=KIB] NAME=COMMAND NAME=COMMAND

A COMMAND is split as a shell would split it (no expansions); its standard output goes to
/dev/null. cpu and wall are ratios of the first's median to the second's; rss is how many KiB the
first's peak RSS may lie above the second's. Exits 1 when a target is missed.
"""
import os
import shlex
import statistics
import subprocess
import sys


MEASURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "benchmark", "bench", "measure")


def measure(command, directory):
    """CPU seconds, wall seconds and peak RSS (KiB) of one run, taken by a small native launcher:
    a child forked from this interpreter would report the interpreter's resident size as its peak."""
    result = subprocess.run([MEASURE] + command, cwd=directory, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=False)
    if result.returncode != 0:
        sys.exit(f"{shlex.join(command)} failed with status {result.returncode}: {result.stderr}")
    cpu, wall, rss = result.stderr.split()[-3:]
    return float(cpu), float(wall), int(rss)


def main():
    args = sys.argv[1:]
    runs, directory = int(args.pop(0)), args.pop(0)
    targets = {}
    while args and args[0] == "--max":
        name, value = args[1].split("=")
        targets[name] = float(value)
        args = args[2:]
    commands = [(name, shlex.split(command)) for name, command in (a.split("=", 1) for a in args)]
    samples = {name: [] for name, _ in commands}
    for _ in range(runs):
        for name, command in commands:
            samples[name].append(measure(command, directory))
    medians = {}
    print(f"{'program':<14} {'cpu s':>8} {'wall s':>8} {'peak RSS KiB':>13}   (median of {runs}; RSS the highest)")
    for name, values in samples.items():
        medians[name] = (statistics.median(v[0] for v in values),
                         statistics.median(v[1] for v in values), max(v[2] for v in values))
        print(f"{name:<14} {medians[name][0]:8.3f} {medians[name][1]:8.3f} {medians[name][2]:13d}")
    (first, a), (second, b) = list(medians.items())[:2]
    measured = {"cpu": a[0] / b[0], "wall": a[1] / b[1], "rss": a[2] - b[2]}
    print(f"{first}/{second}: cpu x{measured['cpu']:.3f}, wall x{measured['wall']:.3f}, "
          f"peak RSS {measured['rss']:+d} KiB")
    missed = [name for name, limit in targets.items() if measured[name] > limit]
    for name, limit in targets.items():
        print(f"  {name} at most {limit:g}: {'missed' if name in missed else 'met'}")
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
