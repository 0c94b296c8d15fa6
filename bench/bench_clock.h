#pragma once
// Time for the benchmarks: seconds from the performance counter, and the shortest of several
// runs of the same work (the least disturbed one); and the smoke run.
#include <windows.h>

#include <cstring>

// "--smoke" as the first argument: the test suite's run, with counts so small that it only
// shows that the benchmark still runs and prints its table (its figures mean nothing then).
inline bool BenchSmoke(int argc, char** argv) { return argc > 1 && std::strcmp(argv[1], "--smoke") == 0; }

inline double BenchNow() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(f.QuadPart);
}

// The seconds one run of the work takes.
template <class F>
double BenchTime(F work) {
    double d = BenchNow();
    work();
    return BenchNow() - d;
}

// The shortest of nRuns runs of each of two works, taken in turns, so that a disturbance
// of the machine meets both alike.
template <class A, class B>
void BenchBestOfPair(int nRuns, A workA, B workB, double* pdA, double* pdB) {
    *pdA = *pdB = 1e30;
    for (int i = 0; i < nRuns; ++i) {
        double dA = BenchTime(workA), dB = BenchTime(workB);
        if (dA < *pdA) *pdA = dA;
        if (dB < *pdB) *pdB = dB;
    }
}

template <class F>
double BenchBest(int nRuns, F work) {
    double dBest = 1e30;
    for (int i = 0; i < nRuns; ++i) {
        double d = BenchTime(work);
        if (d < dBest) dBest = d;
    }
    return dBest;
}
