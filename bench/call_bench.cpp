// Cost of the script path against native code doing the same work, in one run:
//   1. a script method call on a trivial method vs a C++ virtual call;
//   2. a script loop of integer additions vs the same loop in C++;
//   3. n property writes `Bag.pK = K;` on one object, n = 10,000 and 40,000: the cost per
//      write must not grow with n (the collector and the destructor walk the properties by
//      position, each in constant time), against a C++ loop storing as many pointers.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KxScVmEnv.h"
#include "bench_clock.h"
#include "KxTarvoHost.h"

namespace {

class Target : public KxScObject {
public:
    explicit Target(bool bClass) : KxScObject(KXO_SCRIPT_CLASS), bClass(bClass) {}
    KxString GetClassNameA() override { return "Bench"; }
    // The methods belong to the class whose class object they are stored on.
    bool IsClassObject() override { return bClass; }
    bool bClass;
    KxScDataHandle* Nop(KxScDataHandle*, int, KxScDataHandle**) { return nullptr; }
    KxScDataHandle* Bag(KxScDataHandle*, int, KxScDataHandle**) { return KxScDataHandle::CreateData(new Target(false)); }
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
    Target* po = new Target(true);
    po->SetProperty(nullptr, "Nop",
                    KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&Target::Nop), "Bench::Nop", 0),
                    true);
    po->SetProperty(nullptr, "Bag",
                    KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&Target::Bag), "Bench::Bag", 0),
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

    // One object with n properties, made and dropped by the script; it lives through the
    // collections the writes bring.
    double adPerWrite[2];
    for (int k = 0; k < 2; ++k) {
        int n = k ? 40000 : 10000;
        std::string sCode = "Bag = Bench.Bag();";
        for (int i = 0; i < n; ++i) sCode += " Bag.p" + std::to_string(i) + " = " + std::to_string(i) + ";";
        sCode += " Bag = nil;";
        adPerWrite[k] = Time([&] { RunScript(sCode.c_str()); KxScDataHandle::GarbageCollect(); }) / n;
    }
    std::vector<void*> v;
    double dNativeStore = Time([&] {
        for (int i = 0; i < 40000; ++i) v.push_back(&v);
    }) / 40000;
    double dCallOnly = dCalls - dLoop > 0 ? dCalls - dLoop : dCalls;
    std::printf("script method call: %12.0f calls/s  (C++ virtual call %12.0f calls/s, ratio %.0fx)\n",
                N / dCallOnly, N / dVirtual, dCallOnly / dVirtual);
    std::printf("integer additions:  %12.0f loops/s  (C++ loop          %12.0f loops/s, ratio %.0fx)\n",
                N / dAdds, N / dNativeAdds, dAdds / dNativeAdds);
    std::printf("property writes:    %12.2f us each at 10,000, %.2f us at 40,000 (growth %.2fx; "
                "C++ store %.3f us)\n",
                adPerWrite[0] * 1e6, adPerWrite[1] * 1e6, adPerWrite[1] / adPerWrite[0], dNativeStore * 1e6);
    KxTarvo::Shutdown();
    return 0;
}
