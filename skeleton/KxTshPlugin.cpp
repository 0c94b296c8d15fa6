#include "KxTshPlugin.h"

#include "KxComponent.h"

namespace KxTsh {

int InitializePlugin(const KxTshTable<KxTshClassEntry>& classes) {
    KxIComponent* piCompiler = nullptr;
    KxComponent compiler(KxString(".Tarvo.Compiler"));
    if (compiler.dwState & KxComponent::KXC_AVAILABLE) compiler.Interface(&piCompiler);
    for (const KxTshClassEntry& c : classes) c.pfnSetup();
    // A prelude that cannot be made whole for want of memory is left out, not handed on cut.
    if (piCompiler) {
        for (const KxTshClassEntry& c : classes) {
            try {
                KxString sPrelude = c.pfnPrelude();
                static_cast<KxITarvoCompiler*>(piCompiler)->CompileSource(sPrelude);
            } catch (const std::bad_alloc&) {
            }
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
