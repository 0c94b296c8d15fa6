#!/usr/bin/env python3
"""The work of lang_bench.cpp's scripts done in Python, for a comparison outside the test
suite: python3 bench/lang_bench.py [N]. Each figure is the best of three runs; the inputs are
made by the same generator, so both sides work on the same words and lines."""
import sys
import time

N = int(sys.argv[1]) if len(sys.argv) > 1 else 10000000


def words(n_bytes):
    parts, size, x = [], 0, 1
    while size < n_bytes:
        x = (x * 1103515245 + 12345) % 2147483648
        w = "w" + str(x % 5000)
        size += len(w) + (1 if parts else 0)
        parts.append(w)
    return " ".join(parts)


def lines(n):
    return "\n".join(",".join("f" + str((i * 7 + k) % 1000) for k in range(10)) for i in range(n))


WORDS = words(5000000)
LINES = lines(N // 100)


def best(f, *args):
    t = 1e30
    for _ in range(3):
        start = time.perf_counter()
        f(*args)
        t = min(t, time.perf_counter() - start)
    return t


def sum_ints(n):
    s = 0
    for i in range(n):
        s += i
    return s


def f(x):
    return x + 1


def calls(n):
    s = 0
    for i in range(n):
        s = f(s)
    return s


def list_sort(n):
    l = []
    for i in range(n):
        l.append((i * 7919) % n)
    l.sort()
    return l


def count():
    c = {}
    for w in WORDS.split(" "):
        c[w] = c.get(w, 0) + 1
    return c


def by_comparison():
    import functools
    c = count()
    w = list(c.keys())
    w.sort(key=functools.cmp_to_key(lambda a, b: c[b] - c[a]))


def by_key():
    c = count()
    w = list(c.keys())
    w.sort(key=lambda x: -c[x])


def far_keys(n):
    m = {}
    for i in range(n):
        m[i * 32768] = i
    return len(m)


def split_join():
    out = []
    for line in LINES.split("\n"):
        out.append(";".join(line.split(",")))
    return "\n".join(out)


def formats(n):
    out = []
    for i in range(n):
        out.append("%5d %-8s %08x|" % (i, "name", i))
    return out


def concat(n):
    s = ""
    for i in range(n):
        s = s + "x"
    return len(s)


rows = [
    ("sum of %d integers" % N, sum_ints, N),
    ("%d calls of a one-line function" % (N // 10), calls, N // 10),
    ("list of %d integers, sorted" % (N // 10), list_sort, N // 10),
    ("word counts in a map", count),
    ("word counts, sorted by a comparison", by_comparison),
    ("word counts, sorted by a key", by_key),
    ("%d map keys, multiples of 2^15" % (N // 300), far_keys, N // 300),
    ("%d lines split on commas, joined" % (N // 100), split_join),
    ("format() of %d lines" % (N // 100), formats, N // 100),
    ('s = s + "x", %d times' % (N // 100), concat, N // 100),
    ('s = s + "x", %d times' % (N // 10), concat, N // 10),
]
print("python %s: N = %d, %d bytes of words" % (sys.version.split()[0], N, len(WORDS)))
for row in rows:
    print("%-40s %9.4f s" % (row[0], best(row[1], *row[2:])))
