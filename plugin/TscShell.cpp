// The plug-in's entry points: the host loads the library, initialises it (classes set up,
// preludes handed to the compiler), runs scripts, and shuts it down.
#include <windows.h>

#include "KxComponent.h"
#include "KxTshDirectory.h"
#include "KxTshFile.h"
#include "KxTshShell.h"
#include "KxTshTask.h"
#include "KxTshTimer.h"

namespace {

struct ClassEntry {
    void (*pfnSetup)();
    KxString (*pfnPrelude)();
    void (*pfnShutdown)();
};

// Set-up, prelude and shutdown run in this order.
const ClassEntry kClasses[] = {
    {KxTshShell::SetupClass, KxTshShell::GetPreludeText, KxTshShell::ShutdownClass},
    {KxTshFile::SetupClass, KxTshFile::GetPreludeText, KxTshFile::ShutdownClass},
    {KxTshDirectory::SetupClass, KxTshDirectory::GetPreludeText, KxTshDirectory::ShutdownClass},
    {KxTshTask::SetupClass, KxTshTask::GetPreludeText, KxTshTask::ShutdownClass},
    {KxTshTimer::SetupClass, KxTshTimer::GetPreludeText, KxTshTimer::ShutdownClass},
};

}  // namespace

extern "C" {

int __stdcall OrbaPluginLoad() { return 1; }

int __stdcall OrbaPluginInitialize() {
    KxIComponent* piCompiler = nullptr;
    KxComponent compiler(KxString(".Tarvo.Compiler"));
    if (compiler.dwState & KxComponent::KXC_AVAILABLE) compiler.Interface(&piCompiler);
    for (const ClassEntry& c : kClasses) c.pfnSetup();
    // A prelude that cannot be made whole for want of memory is left out, not handed on cut.
    if (piCompiler) {
        for (const ClassEntry& c : kClasses) {
            try {
                KxString sPrelude = c.pfnPrelude();
                static_cast<KxITarvoCompiler*>(piCompiler)->CompileSource(sPrelude);
            } catch (const std::bad_alloc&) {
            }
        }
    }
    return 1;
}

int __stdcall OrbaPluginShutdown() {
    for (const ClassEntry& c : kClasses) c.pfnShutdown();
    KxScDataHandle::GarbageCollect();
    KxScDataHandle::GarbageCollect();
    return 1;
}

int __stdcall OrbaPluginUnload() { return 1; }

}  // extern "C"

// The library's own attach and detach need nothing.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
