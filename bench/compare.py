#!/usr/bin/env python3
"""Runs commands alternately in a directory and reports median CPU and wall time and peak RSS.

usage: compare.py RUNS DIR NAME=COMMAND [NAME=COMMAND ...]
"""
import os
import statistics
import subprocess
import sys


MEASURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "benchmark", "bench", "measure")


def measure(command, directory):
    """CPU seconds, wall seconds and peak RSS (KiB) of one run, taken by a small native launcher:
    a child forked from this interpreter would report the interpreter's resident size as its peak."""
    result = subprocess.run([MEASURE, command], cwd=directory, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=False)
    if result.returncode != 0:
        sys.exit(f"{command} failed with status {result.returncode}: {result.stderr}")
    cpu, wall, rss = result.stderr.split()[-3:]
    return float(cpu), float(wall), int(rss)


def main():
    runs, directory = int(sys.argv[1]), sys.argv[2]
    commands = [arg.split("=", 1) for arg in sys.argv[3:]]
    samples = {name: [] for name, _ in commands}
    for _ in range(runs):
        for name, command in commands:
            samples[name].append(measure(command, directory))
    medians = {}
    print(f"{'program':<10} {'cpu s':>8} {'wall s':>8} {'peak RSS KiB':>13}   (median of {runs})")
    for name, values in samples.items():
        cpu = statistics.median(v[0] for v in values)
        wall = statistics.median(v[1] for v in values)
        rss = max(v[2] for v in values)
        medians[name] = (cpu, wall, rss)
        print(f"{name:<10} {cpu:8.3f} {wall:8.3f} {rss:13d}")
    (first, a), (second, b) = list(medians.items())[:2]
    print(f"{first}/{second}: cpu x{a[0] / b[0]:.2f}, wall x{a[1] / b[1]:.2f}, "
          f"peak RSS {a[2] - b[2]:+d} KiB")


if __name__ == "__main__":
    main()
