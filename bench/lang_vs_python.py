#!/usr/bin/env python3
"""lang_bench against CPython, outside the test suite: python3 bench/lang_vs_python.py [ROUNDS].

Runs build/x86_64/bin/lang_bench.exe (under tools/wine-run) and bench/lang_bench.py in turns,
ROUNDS times each (3 by default), so that a busy spell of the machine meets both alike; each
row's figure is the best of every run of it. Prints Tarvo's time, CPython's, their ratio and
whether the row is within 1.5x CPython's, then the machine's load before and after."""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROW = re.compile(r"^(\S.*?)\s+(\d+\.\d+) s\b")


def rows(command):
    out = subprocess.run(command, cwd=ROOT, capture_output=True, text=True, check=True).stdout
    found = {}
    for line in out.splitlines():
        m = ROW.match(line)
        if m:
            found[m.group(1)] = float(m.group(2))
    if not found:
        sys.exit("lang_vs_python: no rows from " + " ".join(command) + ":\n" + out)
    return found


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    tarvo_cmd = [os.path.join(ROOT, "tools/wine-run"), os.path.join(ROOT, "build/x86_64/bin/lang_bench.exe")]
    python_cmd = [sys.executable, os.path.join(ROOT, "bench/lang_bench.py")]
    print("load before:", load())
    tarvo, python, order = {}, {}, []
    for _ in range(rounds):
        for best, command in ((tarvo, tarvo_cmd), (python, python_cmd)):
            for name, seconds in rows(command).items():
                if name not in tarvo and name not in python:
                    order.append(name)
                best[name] = min(best.get(name, seconds), seconds)
    print("%-40s %9s %9s %7s" % ("best of %d runs each" % rounds, "Tarvo", "CPython", "ratio"))
    for name in order:
        if name in tarvo and name in python:
            ratio = tarvo[name] / python[name]
            print("%-40s %9.4f %9.4f %7.2f%s" % (name, tarvo[name], python[name], ratio, "" if ratio <= 1.5 else "  over 1.5"))
        else:
            print("%-40s only in %s" % (name, "lang_bench" if name in tarvo else "lang_bench.py"))
    print("load after:", load())


main()
