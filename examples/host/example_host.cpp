// A minimal host for TscShell.dll: the embedding sequence of host.md, one numbered step each.
// It starts the runtime, loads and initialises the plug-in, runs one script, shuts everything
// down in the guide's order and reports what is left.
//
//   example_host SCRIPT                 run SCRIPT, shut down in order; status 0 when the script
//                                       ran to its end and nothing of the plug-in is left
//   example_host --unload-first SCRIPT  the same, but free the library before the runtime's
//                                       final collection (steps 7 and 9 swapped), to show
//                                       where that faults
//
// Build it for 32-bit Windows with mingw-w64 (win32 thread model), from the package folder;
// the import libraries are those of the host's runtime and utility libraries in runtime/:
//   i686-w64-mingw32-g++-win32 -Iinclude examples/host/example_host.cpp -o runtime/example_host.exe \
//       -Wl,--stack,33554432 -static-libgcc -static-libstdc++ \
//       runtime/HX_KOT_TarvoRuntime.dll.a runtime/HX_KOT_Util.dll.a
// and run it from the package folder: runtime\example_host examples\host\demo.tarvo
// (the host's DLLs are beside it; TscShell.dll is found in the current folder).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "KxScData.h"
#include "KxTarvoHost.h"

namespace {

typedef int(__stdcall* EntryPoint)();

// Where the plug-in was mapped, to tell afterwards whether it still is.
const char* pbPluginBase = nullptr;
SIZE_T nPluginSize = 0;

bool InPlugin(ULONG_PTR uAddress) {
    return uAddress - reinterpret_cast<ULONG_PTR>(pbPluginBase) < nPluginSize;
}

// Only --unload-first gets here: the runtime's collection reached code or data of the freed
// library.
LONG WINAPI ReportFault(EXCEPTION_POINTERS* pInfo) {
    const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
    ULONG_PTR uCode = reinterpret_cast<ULONG_PTR>(pRecord->ExceptionAddress);
    ULONG_PTR uData = pRecord->NumberParameters > 1 ? pRecord->ExceptionInformation[1] : 0;
    std::printf("example_host: exception %08lx after FreeLibrary, %s\n",
                static_cast<unsigned long>(pRecord->ExceptionCode),
                InPlugin(uCode) || InPlugin(uData) ? "inside the unloaded TscShell.dll"
                                                   : "outside TscShell.dll");
    std::fflush(stdout);
    ExitProcess(3);
}

}  // namespace

int main(int argc, char** argv) {
    bool bUnloadFirst = argc == 3 && std::strcmp(argv[1], "--unload-first") == 0;
    if (argc != 2 && !bUnloadFirst) {
        std::fprintf(stderr, "usage: example_host [--unload-first] SCRIPT\n");
        return 2;
    }
    const char* pszScript = argv[argc - 1];

    // 1. Start the runtime: root object, console, lists, this thread's script environment.
    KxTarvo::Startup();

    // 2. Load the library and find its four entry points (decorated 32-bit names).
    HMODULE hPlugin = LoadLibraryA("TscShell.dll");
    if (!hPlugin) {
        std::fprintf(stderr, "example_host: cannot load TscShell.dll (error %lu)\n", GetLastError());
        KxTarvo::Shutdown();
        return 2;
    }
    const char* const apszNames[4] = {"_OrbaPluginLoad@0", "_OrbaPluginInitialize@0",
                                      "_OrbaPluginShutdown@0", "_OrbaPluginUnload@0"};
    EntryPoint apfn[4];
    for (int i = 0; i < 4; ++i) {
        apfn[i] = reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(GetProcAddress(hPlugin, apszNames[i])));
        if (!apfn[i]) {
            std::fprintf(stderr, "example_host: TscShell.dll has no %s\n", apszNames[i]);
            FreeLibrary(hPlugin);
            KxTarvo::Shutdown();
            return 2;
        }
    }
    pbPluginBase = reinterpret_cast<const char*>(hPlugin);
    const IMAGE_DOS_HEADER* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(hPlugin);
    nPluginSize = reinterpret_cast<const IMAGE_NT_HEADERS*>(pbPluginBase + pDos->e_lfanew)->OptionalHeader.SizeOfImage;

    // 3. OrbaPluginLoad, 4. OrbaPluginInitialize: the five classes and their constants.
    apfn[0]();
    apfn[1]();

    // 5. Run scripts, on this thread.
    int nStatus = KxTarvo::RunFile(pszScript);
    std::printf("example_host: the script ended with status %d\n", nStatus);
    std::fflush(stdout);

    // 6. OrbaPluginShutdown: classes withdrawn, the hidden console freed.
    apfn[2]();
    if (bUnloadFirst) {
        // The wrong order: the objects the script's globals hold are still alive here.
        SetUnhandledExceptionFilter(ReportFault);
        apfn[3]();
        FreeLibrary(hPlugin);
        KxTarvo::Shutdown();
    } else {
        // 7. The runtime's final collection: every object of the five classes is destroyed
        //    here, by code in TscShell.dll (open Files write what they buffered).
        KxTarvo::Shutdown();
        // 8. OrbaPluginUnload, 9. FreeLibrary.
        apfn[3]();
        FreeLibrary(hPlugin);
    }

    int nHandles = KxTarvo::LiveHandles(), nObjects = KxScData::LiveObjects();
    // Gone from the process's modules, and nothing committed where it was.
    MEMORY_BASIC_INFORMATION mbi = {};
    bool bUnmapped = !GetModuleHandleA("TscShell.dll") && VirtualQuery(pbPluginBase, &mbi, sizeof mbi) &&
                     mbi.State != MEM_COMMIT;
    std::printf("example_host: after shutdown %d live handles, %d live objects; TscShell.dll %s\n", nHandles,
                nObjects, bUnmapped ? "unmapped" : "still mapped");
    return nStatus != KxTarvo::RUN_OK || nHandles || nObjects || !bUnmapped ? 1 : 0;
}
