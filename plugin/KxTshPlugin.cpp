#include "KxTshPlugin.h"

#include "KxComponent.h"

namespace KxTsh {

int InitializePlugin(const KxTshTable<KxTshClassEntry>& classes) {
    KxIComponent* piCompiler = nullptr;
    KxComponent compiler(KxString(".Tarvo.Compiler"));
    if (compiler.dwState & KxComponent::KXC_AVAILABLE) compiler.Interface(&piCompiler);
    for (const KxTshClassEntry& c : classes) c.pfnSetup();
    if (piCompiler) {
        for (const KxTshClassEntry& c : classes) {
            KxString sPrelude = c.pfnPrelude();
            static_cast<KxITarvoCompiler*>(piCompiler)->CompileSource(sPrelude);
        }
    }
    return 1;
}

int ShutdownPlugin(const KxTshTable<KxTshClassEntry>& classes) {
    for (const KxTshClassEntry& c : classes) c.pfnShutdown();
    KxScDataHandle::GarbageCollect();
    KxScDataHandle::GarbageCollect();
    return 1;
}

}  // namespace KxTsh
