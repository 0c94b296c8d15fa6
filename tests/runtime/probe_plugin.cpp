// A test-only plug-in: the class "Probe", made the way plug-in classes are made, for what the
// plug-ins' own classes cannot show scripts: Probe.Bag() makes an object that keeps any
// property a script sets (so that scripts can link objects into cycles), and
// Probe.Is(value, typeName) gives 1 when the value's object casts to the type by its name, the
// type's parents included; Probe.IntGlobal(name) gives the global's value when a plug-in sees
// it as the contract's integer, nil when it sees anything else.
#include "KxScVmEnv.h"

namespace {

class KxTestBag : public KxScObject {
public:
    KxTestBag() : KxScObject(KXO_SCRIPT_CLASS) {}
    KxString GetClassNameA() override { return "Bag"; }
};

class KxTestProbe : public KxScObject {
public:
    KxTestProbe() : KxScObject(KXO_SCRIPT_CLASS) {
        sObjectName = sClassName + "<class>";
        KxScObject::SetProperty(nullptr, "Bag",
                                KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&KxTestProbe::Bag), "Probe::Bag", 0), true);
        KxScObject::SetProperty(nullptr, "Is",
                                KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&KxTestProbe::Is), "Probe::Is", 2), true);
        KxScDataMethod::AddTarvoMethodSignature(this, "Is", 0, nullptr, "Object", "String", nullptr);
        KxScObject::SetProperty(nullptr, "IntGlobal",
                                KxScDataHandle::CreateData(static_cast<KxScMethodFunc>(&KxTestProbe::IntGlobal), "Probe::IntGlobal", 1), true);
        KxScDataMethod::AddTarvoMethodSignature(this, "IntGlobal", 0, nullptr, "String", nullptr);
    }
    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    KxString GetClassNameA() override { return sClassName; }
    bool IsClassObject() override { return true; }

    KxScDataHandle* Bag(KxScDataHandle*, int, KxScDataHandle**) { return KxScDataHandle::CreateData(new KxTestBag); }
    KxScDataHandle* Is(KxScDataHandle*, int, KxScDataHandle** pphArgs) {
        KxScDataObject* po = pphArgs[0] ? pphArgs[0]->Object() : nullptr;
        const char* pszType = static_cast<KxScStringObject*>(pphArgs[1]->Object())->sText;
        return KxScDataHandle::CreateData(po && po->DynamicCast(pszType) ? 1 : 0);
    }

    KxScDataHandle* IntGlobal(KxScDataHandle*, int, KxScDataHandle** pphArgs) {
        KxScDataHandle* ph = nullptr;
        if (!KxScVmEnv::GetGlobalVariable(static_cast<KxScStringObject*>(pphArgs[0]->Object())->sText, &ph) ||
            !(ph->wFlags & HF_INTEGER))
            return nullptr;
        return KxScDataHandle::CreateData(static_cast<int>(ph->dwValue));
    }

    static KxString sClassName;
    static __TarvoTypeInfo _ptiTypeInfo;
};
KxString KxTestProbe::sClassName("Probe");
__TarvoTypeInfo KxTestProbe::_ptiTypeInfo("KxTestProbe", &KxScObject::_ptiTypeInfo);

}  // namespace

extern "C" {
__declspec(dllexport) int __stdcall OrbaPluginLoad() { return 1; }
__declspec(dllexport) int __stdcall OrbaPluginUnload() { return 1; }

__declspec(dllexport) int __stdcall OrbaPluginInitialize() {
    if (KxScDataObject::FindClassObject(KxTestProbe::sClassName)) return 1;
    KxScDataHandle* ph = KxScDataHandle::CreateData(new KxTestProbe);
    ph->wFlags |= HF_FIXED;
    KxScVmEnv::SetGlobalVariable(KxTestProbe::sClassName, ph, true, false);
    KxScDataObject::RegisterClassObject(KxTestProbe::sClassName, ph);
    return 1;
}

__declspec(dllexport) int __stdcall OrbaPluginShutdown() {
    KxScDataObject::UnregisterClassObject(KxTestProbe::sClassName);
    KxScDataHandle* ph = nullptr;
    if (KxScVmEnv::GetGlobalVariable(KxTestProbe::sClassName, &ph)) {
        ph->wFlags &= ~HF_FIXED;
        KxScVmEnv::ClearGlobalVariable(KxTestProbe::sClassName, false);
        ph->Drop();
    }
    KxScDataHandle::GarbageCollect();
    return 1;
}
}
