#pragma once
// Keeps the library that holds this code loaded for the rest of the process's life: one more
// load of itself, never freed, for a thread of it that outlives the host's hold on it.
#include <windows.h>

inline void KxPinModule() {
    static bool bPinned = false;
    MEMORY_BASIC_INFORMATION mbi = {};
    char szSelf[MAX_PATH];
    if (bPinned || !VirtualQuery(reinterpret_cast<const void*>(&KxPinModule), &mbi, sizeof mbi) ||
        !GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), szSelf, sizeof szSelf))
        return;
    bPinned = LoadLibraryA(szSelf) != nullptr;
}
