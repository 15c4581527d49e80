"""The time to the first byte of a stream against the time to the whole of it, on a slow token.

usage: firstbyte.py RUNS MAX_RATIO COMMAND... -- the median of RUNS runs of COMMAND, whose
standard output is read as a test suite would read it; exits 1 when the first byte comes later
than MAX_RATIO of the whole.
"""
import statistics
import subprocess
import sys
import time

runs, limit, command = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3:]
firsts, wholes = [], []
for _ in range(runs):
    start = time.monotonic()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    child.stdout.read(1)
    firsts.append(time.monotonic() - start)
    child.stdout.read()
    wholes.append(time.monotonic() - start)
    child.wait()
first, whole = statistics.median(firsts), statistics.median(wholes)
ratio = first / whole
print(f"first byte {first:.3f} s, all of it {whole:.3f} s: x{ratio:.3f} (median of {runs})")
print(f"  first byte at most {limit} of the whole: {'met' if ratio <= limit else 'missed'}")
sys.exit(0 if ratio <= limit else 1)
