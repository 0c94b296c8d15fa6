// Cost of the script path against native code doing the same work, in one run:
//   1. a script method call on a trivial method vs a C++ virtual call;
//   2. a script loop of integer additions vs the same loop in C++.
#include <windows.h>

#include <cstdio>
#include <string>

#include "KxScVmEnv.h"
#include "bench_clock.h"
#include "KxTarvoHost.h"

namespace {

// A script class with one method, set up as a plug-in sets up its classes: a type of its own,
// a class object that holds the method, published under the class's name.
class Bench : public KxScObject {
public:
    static __TarvoTypeInfo _ptiTypeInfo;
    Bench() : KxScObject(KXO_SCRIPT_CLASS) {
        SetProperty(nullptr, "Nop",
                    KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&Bench::Nop), "Bench::Nop", 0), true);
    }
    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    KxString GetClassNameA() override { return "Bench"; }
    bool IsClassObject() override { return true; }  // the only Bench there is
    KxScDataHandle* Nop(KxScDataHandle*, int, KxScDataHandle**) { return nullptr; }
    virtual int Touch(int n) { return n + 1; }
};
__TarvoTypeInfo Bench::_ptiTypeInfo("Bench", &KxScObject::_ptiTypeInfo);

template <class F>
double Time(F f) {
    return BenchBest(1, f);
}

void RunScript(const std::string& sCode) {
    if (KxTarvo::RunSource(sCode.c_str(), "bench") != KxTarvo::RUN_OK) ExitProcess(1);
}

}  // namespace

int main(int argc, char** argv) {
    const int N = BenchSmoke(argc, argv) ? 1000 : 1000000;
    const std::string sN = std::to_string(N);
    KxTarvo::Startup();
    Bench* po = new Bench;
    KxScDataHandle* ph = KxScDataHandle::CreateData(po);
    ph->wFlags |= HF_FIXED;
    KxScVmEnv::SetGlobalVariable("Bench", ph, true, false);
    KxScDataObject::RegisterClassObject("Bench", ph);

    // The script loop's own cost is measured separately and taken off the call figure.
    double dLoop = Time([&] { RunScript("i = 0; while (i < " + sN + ") { i = i + 1; }"); });
    double dCalls = Time([&] { RunScript("i = 0; while (i < " + sN + ") { Bench.Nop(); i = i + 1; }"); });
    volatile int nSink = 0;
    Bench* volatile pTarget = po;
    double dVirtual = Time([&] {
        for (int i = 0; i < N; ++i) nSink = pTarget->Touch(nSink);
    });
    double dAdds = Time([&] { RunScript("s = 0; i = 0; while (i < " + sN + ") { s = s + i; i = i + 1; }"); });
    volatile int nSum = 0;
    double dNativeAdds = Time([&] {
        for (volatile int i = 0; i < N; i = i + 1) nSum = nSum + i;
    });

    double dCallOnly = dCalls - dLoop > 0 ? dCalls - dLoop : dCalls;
    std::printf("script method call: %12.0f calls/s  (C++ virtual call %12.0f calls/s, ratio %.0fx)\n",
                N / dCallOnly, N / dVirtual, dCallOnly / dVirtual);
    std::printf("integer additions:  %12.0f loops/s  (C++ loop          %12.0f loops/s, ratio %.0fx)\n",
                N / dAdds, N / dNativeAdds, dAdds / dNativeAdds);
    KxScDataObject::UnregisterClassObject("Bench");
    ph->wFlags &= ~HF_FIXED;
    KxScVmEnv::ClearGlobalVariable("Bench", false);
    ph->Drop();
    KxTarvo::Shutdown();
    return 0;
}
