// Cost of the script path against native code doing the same work, in one run, each the best
// of five:
//   1. a script method call on a trivial method vs a C++ virtual call, and vs the same call
//      made by C++ through the plug-in contract (the method looked up by name on the object,
//      its class and arguments checked, called, its handle let go);
//   2. a script loop of integer additions vs the same loop in C++;
//   3. n property writes `Bag.pK = K;` on one object, n = 10,000 and 40,000 (10 and 40 in a smoke run): the cost per
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

// A script class with one method, set up as a plug-in sets up its classes: a type of its own,
// a class object that holds the method, published under the class's name.
class Bench : public KxScObject {
public:
    static __TarvoTypeInfo _ptiTypeInfo;
    // The class object holds the methods; Bag gives plain instances, which keep any property.
    explicit Bench(bool bClass) : KxScObject(KXO_SCRIPT_CLASS), bClass(bClass) {
        if (!bClass) return;
        SetProperty(nullptr, "Nop",
                    KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&Bench::Nop), "Bench::Nop", 0), true);
        SetProperty(nullptr, "Bag",
                    KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&Bench::Bag), "Bench::Bag", 0), true);
    }
    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    KxString GetClassNameA() override { return "Bench"; }
    bool IsClassObject() override { return bClass; }
    bool bClass;
    KxScDataHandle* Nop(KxScDataHandle*, int, KxScDataHandle**) { return nullptr; }
    KxScDataHandle* Bag(KxScDataHandle*, int, KxScDataHandle**) { return KxScDataHandle::CreateData(new Bench(false)); }
    virtual int Touch(int n) { return n + 1; }
};
__TarvoTypeInfo Bench::_ptiTypeInfo("Bench", &KxScObject::_ptiTypeInfo);

// The best of five runs (one in a smoke run): a single timing moves by more than the 20% a
// change of the machine's loop is worth.
int nRuns = 5;

template <class F>
double Time(F f) {
    return BenchBest(nRuns, f);
}

void RunScript(const std::string& sCode) {
    if (KxTarvo::RunSource(sCode.c_str(), "bench") != KxTarvo::RUN_OK) ExitProcess(1);
}

}  // namespace

int main(int argc, char** argv) {
    const int N = BenchSmoke(argc, argv) ? 1000 : 1000000;
    if (BenchSmoke(argc, argv)) nRuns = 1;
    const std::string sN = std::to_string(N);
    KxTarvo::Startup();
    Bench* po = new Bench(true);
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
    const KxString sNop("Nop");
    double dContract = Time([&] {
        for (int i = 0; i < N; ++i) {
            KxScDataHandle* phMethod = nullptr;
            if (po->GetProperty(sNop, &phMethod) != KX_PROP_OK) ExitProcess(1);
            KxScDataMethod* pm = static_cast<KxScDataMethod*>(phMethod->Object());
            if (!pm->BelongsTo(po) || !pm->Accepts(0, nullptr)) ExitProcess(1);
            if (KxScDataHandle* phResult = pm->Call(po, ph, 0, nullptr)) phResult->Drop();
            phMethod->Drop();
        }
    });
    double dAdds = Time([&] { RunScript("s = 0; i = 0; while (i < " + sN + ") { s = s + i; i = i + 1; }"); });
    volatile int nSum = 0;
    double dNativeAdds = Time([&] {
        for (volatile int i = 0; i < N; i = i + 1) nSum = nSum + i;
    });

    // One object with n properties, made and dropped by the script; it lives through the
    // collections the writes bring.
    const int anWrites[2] = {N / 100, N / 25};
    double adPerWrite[2];
    for (int k = 0; k < 2; ++k) {
        int n = anWrites[k];
        std::string sCode = "Bag = Bench.Bag();";
        for (int i = 0; i < n; ++i) sCode += " Bag.p" + std::to_string(i) + " = " + std::to_string(i) + ";";
        sCode += " Bag = nil;";
        adPerWrite[k] = Time([&] { RunScript(sCode.c_str()); KxScDataHandle::GarbageCollect(); }) / n;
    }
    std::vector<void*> v;
    double dNativeStore = Time([&] {
        for (int i = 0; i < anWrites[1]; ++i) v.push_back(&v);
    }) / anWrites[1];
    double dCallOnly = dCalls - dLoop > 0 ? dCalls - dLoop : dCalls;
    std::printf("script method call: %12.0f calls/s  (C++ virtual call %12.0f calls/s, ratio %.0fx; "
                "C++ through the contract %12.0f calls/s, ratio %.1fx)\n",
                N / dCallOnly, N / dVirtual, dCallOnly / dVirtual, N / dContract, dCallOnly / dContract);
    std::printf("integer additions:  %12.0f loops/s  (C++ loop          %12.0f loops/s, ratio %.0fx)\n",
                N / dAdds, N / dNativeAdds, dAdds / dNativeAdds);
    std::printf("property writes:    %12.2f us each at %d, %.2f us at %d (growth %.2fx; "
                "C++ store %.3f us)\n",
                adPerWrite[0] * 1e6, anWrites[0], adPerWrite[1] * 1e6, anWrites[1],
                adPerWrite[1] / adPerWrite[0], dNativeStore * 1e6);
    KxScDataObject::UnregisterClassObject("Bench");
    ph->wFlags &= ~HF_FIXED;
    KxScVmEnv::ClearGlobalVariable("Bench", false);
    ph->Drop();
    KxTarvo::Shutdown();
    return 0;
}
