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

void Compare(const char* pszWhat, std::string (*pfnText)(int)) {
    double dSmall = Compile(pfnText(10000)), dLarge = Compile(pfnText(100000));
    std::printf("%-26s 10^4: %8.3f s   10^5: %8.3f s   ratio %5.1f (linear: 10)\n", pszWhat, dSmall,
                dLarge, dLarge / dSmall);
}

}  // namespace

int main() {
    KxTarvo::Startup();
    Compare("functions", Functions);
    Compare("locals of one function", Locals);
    KxTarvo::Shutdown();
    return 0;
}
