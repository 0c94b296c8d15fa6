#include "KxComponent.h"

#include "KxHashTable.h"
#include "KxTarvoHost.h"

namespace {
// The compiler component: the runtime's compiler, run on the global environment.
class TarvoCompiler : public KxITarvoCompiler {
public:
    void AddRef() override { ++nRefs; }
    void Release() override {
        if (nRefs > 0) --nRefs;
    }
    const char* GetComponentName() override { return ".Tarvo.Compiler"; }
    int GetVersion() override { return 1; }
    bool CompileSource(const KxString& sSource) override {
        KxString sText(sSource.IsNull() ? KxString("") : sSource);
        if (KxTarvo::CompileTrace()) KxTarvo::PrintError(KxString("compile: ") + sText + "\r\n");
        return KxTarvo::RunSource(sText, "<compiled text>") == KxTarvo::RUN_OK;
    }

private:
    int nRefs = 0;
};

TarvoCompiler gCompiler;
KxHashTable gWithdrawn;  // names of components made unavailable

KxIComponent* Find(const KxString& sName) {
    void* pv = nullptr;
    if (sName.IsNull() || gWithdrawn.Lookup(sName, &pv)) return nullptr;
    return sName == gCompiler.GetComponentName() ? &gCompiler : nullptr;
}
}  // namespace

KxComponent::KxComponent(const KxString& sName) : dwState(0), piInterface(Find(sName)) {
    if (piInterface) {
        dwState |= KXC_AVAILABLE;
        piInterface->AddRef();
    }
}

KxComponent::~KxComponent() {
    if (piInterface) piInterface->Release();
}

bool KxComponent::Interface(KxIComponent** ppiInterface) {
    if (!piInterface || !ppiInterface) return false;
    *ppiInterface = piInterface;
    return true;
}

void KxComponent::Withdraw(const KxString& sName) {
    if (!sName.IsNull()) gWithdrawn.Insert(sName, nullptr);
}
