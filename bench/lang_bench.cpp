// The language's everyday work against the same work in C++, in one run, best of three runs
// of each taken in turns: integer loops, calls of a script function, a list built and sorted,
// word counts in a map (sorted by count with a comparison and with a key function), map keys
// chosen to collide, lines split and joined, format() of lines, and a text built by
// `s = s + "x"` at two lengths (ten times the length must take about ten times as long). The inputs are made here and handed
// to the scripts as globals; bench/lang_bench.py does the same work in Python.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "KxScVmEnv.h"
#include "KxTarvoHost.h"
#include "bench_clock.h"

namespace {

volatile long long gnSink;

void RunScript(const std::string& sCode) {
    if (KxTarvo::RunSource(sCode.c_str(), "lang_bench") != KxTarvo::RUN_OK) std::exit(1);
}

void SetText(const char* pszName, const std::string& s) {
    KxScVmEnv::SetGlobalVariable(pszName, KxScDataHandle::CreateData(KxString(s.data(), unsigned(s.size())), false), true, false);
}

// Words of a vocabulary of 5,000, drawn by a fixed generator (the one lang_bench.py uses).
std::string Words(size_t nBytes) {
    std::string s;
    unsigned long long x = 1;
    while (s.size() < nBytes) {
        x = (x * 1103515245 + 12345) % 2147483648ull;
        if (!s.empty()) s += ' ';
        s += "w" + std::to_string(x % 5000);
    }
    return s;
}

std::string Lines(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i) s += '\n';
        for (int k = 0; k < 10; ++k) s += (k ? "," : "") + std::string("f") + std::to_string((i * 7 + k) % 1000);
    }
    return s;
}

int nRuns = 3;

void Row(const char* pszWhat, const std::string& sScript, void (*pfnNative)()) {
    double dScript, dNative;
    BenchBestOfPair(nRuns, [&] { RunScript(sScript); }, pfnNative, &dScript, &dNative);
    std::printf("%-40s %9.4f s   C++ %9.4f s   ratio %6.1f\n", pszWhat, dScript, dNative, dScript / dNative);
}

int N = 10000000;  // integers summed; the other counts follow from it

std::string gWords, gLines;

}  // namespace

int main(int argc, char** argv) {
    bool bSmoke = BenchSmoke(argc, argv);
    if (bSmoke) N = 1000, nRuns = 1;
    const int nCalls = N / 10, nItems = N / 10, nLines = N / 100, nFormats = N / 100, nConcat = N / 100;
    gWords = Words(bSmoke ? 5000 : 5000000);
    gLines = Lines(nLines);
    KxTarvo::Startup();
    SetText("WORDS", gWords);
    SetText("LINES", gLines);
    auto n = [](int k) { return std::to_string(k); };
    std::printf("lang_bench: N = %d, %zu bytes of words, %d lines\n", N, gWords.size(), nLines);

    Row(("sum of " + n(N) + " integers").c_str(),
        "function run(n) { s = 0; for (i = 0; i < n; i += 1) { s += i; } return s; } SUM = run(" + n(N) + ");", [] {
            long long s = 0;
            for (volatile int i = 0; i < N; i = i + 1) s += i;
            gnSink = s;
        });
    static int nCallsStatic;
    nCallsStatic = nCalls;
    Row((n(nCalls) + " calls of a one-line function").c_str(),
        "function f(x) { return x + 1; } function run(n) { s = 0; for (i = 0; i < n; i += 1) { s = f(s); } return s; } "
        "R = run(" + n(nCalls) + ");",
        [] {
            struct F {
                static __attribute__((noinline)) long long f(long long x) { return x + 1; }
            };
            long long s = 0;
            for (int i = 0; i < nCallsStatic; ++i) s = F::f(s);
            gnSink = s;
        });
    static int nItemsStatic;
    nItemsStatic = nItems;
    Row(("list of " + n(nItems) + " integers, sorted").c_str(),
        "function run(n) { l = []; for (i = 0; i < n; i += 1) { push(l, (i * 7919) % n); } sort(l); return l; } "
        "L = run(" + n(nItems) + "); L = nil;",
        [] {
            std::vector<long long> l;
            for (int i = 0; i < nItemsStatic; ++i) l.push_back((i * 7919ll) % nItemsStatic);
            std::stable_sort(l.begin(), l.end());
            gnSink = l[0];
        });
    const char* pszCount =
        "function count() { c = {}; for (w in split(WORDS, \" \")) { c[w] = get(c, w, 0) + 1; } return c; } ";
    auto countThenSort = [](const std::unordered_map<std::string, long long>& c) {
        std::vector<std::pair<std::string, long long>> v(c.begin(), c.end());
        std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        gnSink = v[0].second;
    };
    static auto countWords = [] {
        std::unordered_map<std::string, long long> c;
        size_t i = 0;
        while (i <= gWords.size()) {
            size_t j = gWords.find(' ', i);
            if (j == std::string::npos) j = gWords.size();
            ++c[gWords.substr(i, j - i)];
            i = j + 1;
        }
        return c;
    };
    static decltype(countThenSort) sortByCount = countThenSort;
    Row("word counts in a map", std::string(pszCount) + "C = count(); C = nil;", [] { gnSink = countWords().size(); });
    Row("word counts, sorted by a comparison",
        std::string(pszCount) + "function byCount(a, b) { return C[b] - C[a]; } C = count(); w = keys(C); sort(w, byCount); C = nil; w = nil;",
        [] { sortByCount(countWords()); });
    Row("word counts, sorted by a key",
        std::string(pszCount) + "function key(w) { return -C[w]; } C = count(); w = keys(C); sort(w, key); C = nil; w = nil;",
        [] { sortByCount(countWords()); });
    Row((n(nLines) + " lines split on commas, joined").c_str(),
        "function run() { out = []; for (line in split(LINES, \"\\n\")) { push(out, join(split(line, \",\"), \";\")); } "
        "return join(out, \"\\n\"); } R = run(); R = nil;",
        [] {
            std::vector<std::string> out;
            size_t i = 0;
            while (i <= gLines.size()) {
                size_t j = gLines.find('\n', i);
                if (j == std::string::npos) j = gLines.size();
                std::string line = gLines.substr(i, j - i), joined;
                size_t a = 0;
                while (a <= line.size()) {
                    size_t b = line.find(',', a);
                    if (b == std::string::npos) b = line.size();
                    if (a) joined += ';';
                    joined += line.substr(a, b - a);
                    a = b + 1;
                }
                out.push_back(joined);
                i = j + 1;
            }
            std::string r;
            for (size_t k = 0; k < out.size(); ++k) r += (k ? "\n" : "") + out[k];
            gnSink = r.size();
        });
    // Keys chosen to share their low bits: multiples of 2^15 land in one run of a plain index.
    static int nKeysStatic;
    nKeysStatic = N / 300;
    Row((n(nKeysStatic) + " map keys, multiples of 2^15").c_str(),
        "function run(n) { m = {}; for (i = 0; i < n; i += 1) { m[i * 32768] = i; } return len(m); } R = run(" +
            n(nKeysStatic) + ");",
        [] {
            std::unordered_map<long long, long long> m;
            for (int i = 0; i < nKeysStatic; ++i) m[i * 32768ll] = i;
            gnSink = m.size();
        });
    static int nFormatsStatic;
    nFormatsStatic = nFormats;
    Row(("format() of " + n(nFormats) + " lines").c_str(),
        "function run(n) { out = []; for (i = 0; i < n; i += 1) { push(out, format(\"%5d %-8s %08x|\", i, \"name\", i)); } "
        "return out; } R = run(" + n(nFormats) + "); R = nil;",
        [] {
            std::vector<std::string> out;
            char sz[64];
            for (int i = 0; i < nFormatsStatic; ++i) {
                std::snprintf(sz, sizeof sz, "%5d %-8s %08x|", i, "name", i);
                out.push_back(sz);
            }
            gnSink = out.size();
        });
    static int nConcatStatic;
    for (int k : {nConcat, 10 * nConcat}) {
        nConcatStatic = k;
        Row(("s = s + \"x\", " + n(k) + " times").c_str(),
            "function run(n) { s = \"\"; for (i = 0; i < n; i += 1) { s = s + \"x\"; } return len(s); } R = run(" + n(k) + ");",
            [] {
                std::string s;
                for (int i = 0; i < nConcatStatic; ++i) s += "x";
                gnSink = s.size();
            });
    }
    KxScVmEnv::ClearGlobalVariable("WORDS", false);
    KxScVmEnv::ClearGlobalVariable("LINES", false);
    KxTarvo::Shutdown();
    return 0;
}
