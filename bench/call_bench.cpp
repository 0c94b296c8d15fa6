// Cost of the script path against native code doing the same work, in one run:
//   1. a script method call on a trivial method vs a C++ virtual call;
//   2. a script loop of integer additions vs the same loop in C++.
#include <windows.h>

#include <cstdio>

#include "KxScVmEnv.h"
#include "bench_clock.h"
#include "KxTarvoHost.h"

namespace {

class Target : public KxScObject {
public:
    Target() : KxScObject(KXO_SCRIPT_CLASS) {}
    KxString GetClassNameA() override { return "Bench"; }
    KxScDataHandle* Nop(KxScDataHandle*, int, KxScDataHandle**) { return nullptr; }
    virtual int Touch(int n) { return n + 1; }
};

template <class F>
double Time(F f) {
    return BenchBest(1, f);
}

void RunScript(const char* pszCode) {
    if (KxTarvo::RunSource(pszCode, "bench") != KxTarvo::RUN_OK) ExitProcess(1);
}

}  // namespace

int main() {
    const int N = 1000000;
    KxTarvo::Startup();
    Target* po = new Target;
    po->SetProperty(nullptr, "Nop",
                    KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&Target::Nop), "Bench::Nop", 0),
                    true);
    KxScVmEnv::SetGlobalVariable("Bench", KxScDataHandle::CreateData(po), true, false);

    // The script loop's own cost is measured separately and taken off the call figure.
    double dLoop = Time([] { RunScript("i = 0; while (i < 1000000) { i = i + 1; }"); });
    double dCalls = Time([] { RunScript("i = 0; while (i < 1000000) { Bench.Nop(); i = i + 1; }"); });
    volatile int nSink = 0;
    Target* volatile pTarget = po;
    double dVirtual = Time([&] {
        for (int i = 0; i < N; ++i) nSink = pTarget->Touch(nSink);
    });
    double dAdds = Time([] { RunScript("s = 0; i = 0; while (i < 1000000) { s = s + i; i = i + 1; }"); });
    volatile int nSum = 0;
    double dNativeAdds = Time([&] {
        for (volatile int i = 0; i < N; i = i + 1) nSum = nSum + i;
    });

    double dCallOnly = dCalls - dLoop > 0 ? dCalls - dLoop : dCalls;
    std::printf("script method call: %12.0f calls/s  (C++ virtual call %12.0f calls/s, ratio %.0fx)\n",
                N / dCallOnly, N / dVirtual, dCallOnly / dVirtual);
    std::printf("integer additions:  %12.0f loops/s  (C++ loop          %12.0f loops/s, ratio %.0fx)\n",
                N / dAdds, N / dNativeAdds, dAdds / dNativeAdds);
    KxTarvo::Shutdown();
    return 0;
}
