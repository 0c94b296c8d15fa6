#pragma once
// What every plug-in DLL of the project does at its four entry points, written once: the
// host loads the library, initialises it (classes set up, preludes handed to the compiler),
// runs scripts, and shuts it down. A DLL lists its classes and says KXTSH_PLUGIN(list).
#include <windows.h>

#include "KxTshClass.h"

struct KxTshClassEntry {
    void (*pfnSetup)();
    KxString (*pfnPrelude)();
    void (*pfnShutdown)();
};

// The entry of class T.
template <class T>
constexpr KxTshClassEntry KxTshEntryOf() {
    return {T::SetupClass, T::GetPreludeText, T::ShutdownClass};
}

namespace KxTsh {
// Set-up, prelude and shutdown run in the order of the list.
int InitializePlugin(const KxTshTable<KxTshClassEntry>& classes);
int ShutdownPlugin(const KxTshTable<KxTshClassEntry>& classes);
}  // namespace KxTsh

// The four entry points (named per target by the DLL's .def file) and a DllMain whose attach
// and detach need nothing.
#define KXTSH_PLUGIN(classes)                                                                    \
    extern "C" {                                                                                 \
    int __stdcall OrbaPluginLoad() { return 1; }                                                 \
    int __stdcall OrbaPluginInitialize() { return KxTsh::InitializePlugin(classes); }            \
    int __stdcall OrbaPluginShutdown() { return KxTsh::ShutdownPlugin(classes); }                \
    int __stdcall OrbaPluginUnload() { return 1; }                                               \
    }                                                                                            \
    BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
