#pragma once
// Time for the benchmarks: seconds from the performance counter, and the shortest of several
// runs of the same work (the least disturbed one).
#include <windows.h>

inline double BenchNow() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(f.QuadPart);
}

template <class F>
double BenchBest(int nRuns, F work) {
    double dBest = 1e30;
    for (int i = 0; i < nRuns; ++i) {
        double d = BenchNow();
        work();
        d = BenchNow() - d;
        if (d < dBest) dBest = d;
    }
    return dBest;
}
