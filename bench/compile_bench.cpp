// Compile time against the size of the text, in one run: 10^4 and 10^5 functions, and one
// function with 10^4 and 10^5 locals. Compiling is linear when ten times the text takes about
// ten times as long (the ratio printed).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KxTarvoHost.h"
#include "bench_clock.h"

namespace {

std::string Functions(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "function f" + std::to_string(i) + "(a) { return a; }\n";
    return s;
}

std::string Locals(int n) {
    std::string s = "function g() {\n";
    for (int i = 0; i < n; ++i) s += "  v" + std::to_string(i) + " = " + std::to_string(i) + ";\n";
    return s + "}\n";
}

// Seconds to compile (and run: the texts do nothing at the top level).
double Compile(const std::string& sText) {
    return BenchBest(1, [&] {
        if (KxTarvo::RunSource(sText.c_str(), "bench") != KxTarvo::RUN_OK) std::exit(1);
    });
}

// The small text has nSmall items, the large one ten times as many.
int nSmall = 10000;

void Compare(const char* pszWhat, std::string (*pfnText)(int)) {
    double dSmall = Compile(pfnText(nSmall)), dLarge = Compile(pfnText(10 * nSmall));
    std::printf("%-26s %6d: %8.3f s   %7d: %8.3f s   ratio %5.1f (linear: 10)\n", pszWhat, nSmall, dSmall,
                10 * nSmall, dLarge, dLarge / dSmall);
}

}  // namespace

int main(int argc, char** argv) {
    if (BenchSmoke(argc, argv)) nSmall = 10;
    KxTarvo::Startup();
    Compare("functions", Functions);
    Compare("locals of one function", Locals);
    KxTarvo::Shutdown();
    return 0;
}
