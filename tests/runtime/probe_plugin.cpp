// A test-only plug-in: the class "Probe", made the way plug-in classes are made, with methods
// that show what the runtime lets through to a method and what it does with the results.
#include "KxComponent.h"
#include "KxScVmEnv.h"
#include "KxThread.h"

namespace {

// What Probe.Bag() makes: an object that keeps any property a script sets, so that scripts can
// link objects into cycles.
class KxTestBag : public KxScObject {
public:
    KxTestBag() : KxScObject(KXO_SCRIPT_CLASS) {}
    KxString GetClassNameA() override { return "Bag"; }
};

class KxTestProbe : public KxScObject {
public:
    KxTestProbe() : KxScObject(KXO_SCRIPT_CLASS) {}
    KxTestProbe(bool bClassObject);
    ~KxTestProbe() override {
        if (this == poClassObject) poClassObject = nullptr;
    }

    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    KxString GetClassNameA() override { return sClassName; }
    bool IsClassObject() override { return this == poClassObject; }
    // Instances have no properties of their own: their methods are found on the class object.
    KxPropertyErrorCode GetProperty(const KxString& sName, KxScDataHandle** pphValue) override {
        if (IsClassObject() || !poClassObject) return KxScObject::GetProperty(sName, pphValue);
        return poClassObject->GetProperty(sName, pphValue);
    }
    KxPropertyErrorCode SetProperty(KxScDataHandle* phObject, const KxString& sName,
                                    KxScDataHandle* phValue, bool bHandOver) override {
        if (IsClassObject()) return KxScObject::SetProperty(phObject, sName, phValue, bHandOver);
        if (bHandOver && phValue) phValue->Drop();
        return KX_PROP_REFUSED;
    }

    // Echo(String text): the text back.
    KxScDataHandle* Echo(KxScDataHandle*, int, KxScDataHandle** pphArgs) {
        return KxScDataHandle::CreateData(static_cast<KxScStringObject*>(pphArgs[0]->Object())->sText,
                                          false);
    }
    // Add(int a, int b)
    KxScDataHandle* Add(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
        return KxScDataHandle::CreateData(KxScDataMethod::GetIntParam(0, nArgs, pphArgs) +
                                          KxScDataMethod::GetIntParam(1, nArgs, pphArgs));
    }
    // Count(...) and Pick() / Pick(int): how many arguments arrived.
    KxScDataHandle* Count(KxScDataHandle*, int nArgs, KxScDataHandle**) {
        return KxScDataHandle::CreateData(nArgs);
    }
    // Fail(int code, String text): raises that exception and returns no value.
    KxScDataHandle* Fail(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
        KxThread::GetThread()->GetVmEnv()->ThrowException(
            KxScDataMethod::GetIntParam(0, nArgs, pphArgs),
            static_cast<KxScStringObject*>(pphArgs[1]->Object())->sText);
        return nullptr;
    }
    // Make(): a new instance.
    KxScDataHandle* Make(KxScDataHandle*, int, KxScDataHandle**) {
        return KxScDataHandle::CreateData(new KxTestProbe);
    }
    // Bag(): a new bag.
    KxScDataHandle* Bag(KxScDataHandle*, int, KxScDataHandle**) {
        return KxScDataHandle::CreateData(new KxTestBag);
    }
    // Is(value, String type): 1 when the value's object casts to the type.
    KxScDataHandle* Is(KxScDataHandle*, int, KxScDataHandle** pphArgs) {
        KxScDataObject* po = pphArgs[0]->Object();
        const char* pszType = static_cast<KxScStringObject*>(pphArgs[1]->Object())->sText;
        return KxScDataHandle::CreateData(po && po->DynamicCast(pszType) ? 1 : 0);
    }
    // IsClass(): whether it was called on the class object.
    KxScDataHandle* IsClass(KxScDataHandle*, int, KxScDataHandle**) {
        return KxScDataHandle::CreateData(IsClassObject() ? 1 : 0);
    }

    static KxString sClassName;
    static __TarvoTypeInfo _ptiTypeInfo;
    static KxTestProbe* poClassObject;
};

KxString KxTestProbe::sClassName("Probe");
__TarvoTypeInfo KxTestProbe::_ptiTypeInfo("KxTestProbe", &KxScObject::_ptiTypeInfo);
KxTestProbe* KxTestProbe::poClassObject = nullptr;

const struct {
    const char* pszName;
    KxScMethodFunc pfn;
    int nParams;
} kMethods[] = {
    {"Echo", static_cast<KxScMethodFunc>(&KxTestProbe::Echo), 1},
    {"Add", static_cast<KxScMethodFunc>(&KxTestProbe::Add), 2},
    {"Count", static_cast<KxScMethodFunc>(&KxTestProbe::Count), -1},
    {"Pick", static_cast<KxScMethodFunc>(&KxTestProbe::Count), -1},
    {"Fail", static_cast<KxScMethodFunc>(&KxTestProbe::Fail), 2},
    {"Make", static_cast<KxScMethodFunc>(&KxTestProbe::Make), 0},
    {"Bag", static_cast<KxScMethodFunc>(&KxTestProbe::Bag), 0},
    {"Is", static_cast<KxScMethodFunc>(&KxTestProbe::Is), 2},
    {"IsClass", static_cast<KxScMethodFunc>(&KxTestProbe::IsClass), 0},
};

KxTestProbe::KxTestProbe(bool) : KxScObject(KXO_SCRIPT_CLASS) {
    sObjectName = sClassName + "<class>";
    poClassObject = this;
    for (const auto& m : kMethods)
        KxScObject::SetProperty(nullptr, m.pszName, KxScDataHandle::CreateData(m.pfn, sClassName + "::" + m.pszName, m.nParams),
                                true);
    KxScDataMethod::AddTarvoMethodSignature(this, "Echo", 0, nullptr, "String", nullptr);
    KxScDataMethod::AddTarvoMethodSignature(this, "Add", 0, nullptr, "int", "_Integer_", nullptr);
    KxScDataMethod::AddTarvoMethodSignature(this, "Pick", 0, nullptr, "void", nullptr);
    KxScDataMethod::AddTarvoMethodSignature(this, "Pick", 0, nullptr, "int", nullptr);
    KxScDataMethod::AddTarvoMethodSignature(this, "Fail", 0, nullptr, "int", "String", nullptr);
    KxScDataMethod::AddTarvoMethodSignature(this, "Is", 0, nullptr, "Object", "String", nullptr);
}

}  // namespace

extern "C" {
__declspec(dllexport) int __stdcall OrbaPluginLoad() { return 1; }
__declspec(dllexport) int __stdcall OrbaPluginUnload() { return 1; }

__declspec(dllexport) int __stdcall OrbaPluginInitialize() {
    if (!KxTestProbe::poClassObject) {
        KxScDataHandle* ph = KxScDataHandle::CreateData(new KxTestProbe(true));
        if (KxScDataObject* poParent = KxTestProbe::poClassObject->GetParentClass())
            poParent->AddChildClass(ph);
        ph->wFlags |= HF_FIXED;
        KxScVmEnv::SetGlobalVariable(KxTestProbe::sClassName, ph, true, false);
        KxScDataObject::RegisterClassObject(KxTestProbe::sClassName, ph);
    }
    KxIComponent* pi = nullptr;
    KxComponent compiler(".Tarvo.Compiler");
    if (compiler.dwState & KxComponent::KXC_AVAILABLE) compiler.Interface(&pi);
    if (pi) static_cast<KxITarvoCompiler*>(pi)->CompileSource("global PROBE_ANSWER = 42;");
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
