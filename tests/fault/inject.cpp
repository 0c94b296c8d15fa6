// tsh_inject.dll: a test plug-in that a host loads before TscShell.dll. It points TscShell.dll's
// imports of system functions at wrappers that count the calls the host's thread makes and make
// one chosen call fail as that function documents its failure. TSH_FAIL=NAME:N fails the N-th
// call of NAME; without it every call goes through and is counted. When the host unloads it
// (after the runtime has shut down) it reports on standard error:
//   inject: calls NAME N ...          the calls each function got
//   inject: failed NAME:N | inject: not reached NAME:N
//   inject: handles +D                system handles the process holds more than at load
//   inject: standard handles changed  standard output or error not put back
// The machine is made quiet for the plug-in, so that every run makes the same calls: the
// process list and the window list show only the host and the programs it started.
#include <windows.h>

#include <tlhelp32.h>  // after windows.h

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

// How each function fails: the value it returns, its last error (errno for the allocation
// functions), and whether the call's own effect happens all the same (a handle whose closing
// "fails" was not open: nothing stays behind). Functions that cannot fail are not listed.
// Tool-help functions are looked up by name; the others are imports.
#define TSH_FAULTS(X)                                                                         \
    X(KERNEL32, CreateFileA, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED, false)                \
    X(KERNEL32, ReadFile, FALSE, ERROR_BROKEN_PIPE, false)                                     \
    X(KERNEL32, WriteFile, FALSE, ERROR_DISK_FULL, false)                                      \
    X(KERNEL32, SetFilePointer, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER, false)     \
    X(KERNEL32, CloseHandle, FALSE, ERROR_INVALID_HANDLE, true)                                \
    X(KERNEL32, CopyFileA, FALSE, ERROR_DISK_FULL, false)                                      \
    X(KERNEL32, DeleteFileA, FALSE, ERROR_ACCESS_DENIED, false)                                \
    X(KERNEL32, CreatePipe, FALSE, ERROR_NO_SYSTEM_RESOURCES, false)                           \
    X(KERNEL32, CreateProcessA, FALSE, ERROR_NOT_ENOUGH_MEMORY, false)                         \
    X(KERNEL32, GetStdHandle, INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE, false)               \
    X(KERNEL32, SetStdHandle, FALSE, ERROR_INVALID_HANDLE, false)                              \
    X(KERNEL32, WaitForSingleObject, WAIT_FAILED, ERROR_INVALID_HANDLE, false)                 \
    X(KERNEL32, SetCurrentDirectoryA, FALSE, ERROR_ACCESS_DENIED, false)                       \
    X(KERNEL32, GetCurrentDirectoryA, 0, ERROR_NOT_ENOUGH_MEMORY, false)                       \
    X(KERNEL32, AllocConsole, FALSE, ERROR_ACCESS_DENIED, false)                               \
    X(KERNEL32, SetConsoleTitleA, FALSE, ERROR_NOT_ENOUGH_MEMORY, false)                       \
    X(KERNEL32, FreeConsole, FALSE, ERROR_INVALID_PARAMETER, false)                            \
    X(KERNEL32, GetVersionExA, FALSE, ERROR_INVALID_PARAMETER, false)                          \
    X(KERNEL32, GetModuleHandleA, NULL, ERROR_MOD_NOT_FOUND, false)                            \
    X(KERNEL32, GetProcAddress, NULL, ERROR_PROC_NOT_FOUND, false)                             \
    X(KERNEL32, GetModuleFileNameA, 0, ERROR_INSUFFICIENT_BUFFER, false)                       \
    X(KERNEL32, VirtualQuery, 0, ERROR_INVALID_PARAMETER, false)                               \
    X(KERNEL32, LoadLibraryA, NULL, ERROR_NOT_ENOUGH_MEMORY, false)                            \
    X(KERNEL32, OpenProcess, NULL, ERROR_ACCESS_DENIED, false)                                 \
    X(KERNEL32, TerminateProcess, FALSE, ERROR_ACCESS_DENIED, false)                           \
    X(KERNEL32, WideCharToMultiByte, 0, ERROR_INSUFFICIENT_BUFFER, false)                      \
    X(KERNEL32, CreateToolhelp32Snapshot, INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY, false) \
    X(KERNEL32, Process32First, FALSE, ERROR_NO_MORE_FILES, false)                             \
    X(KERNEL32, Process32Next, FALSE, ERROR_NO_MORE_FILES, false)                              \
    X(USER32, EnumWindows, FALSE, ERROR_NOT_ENOUGH_MEMORY, false)                              \
    X(USER32, GetWindowTextA, 0, ERROR_INVALID_WINDOW_HANDLE, false)                           \
    X(USER32, GetWindowThreadProcessId, 0, ERROR_INVALID_WINDOW_HANDLE, false)                 \
    X(USER32, PostMessageA, FALSE, ERROR_NOT_ENOUGH_QUOTA, false)                              \
    X(ADVAPI32, OpenProcessToken, FALSE, ERROR_ACCESS_DENIED, false)                           \
    X(ADVAPI32, LookupPrivilegeValueA, FALSE, ERROR_NO_SUCH_PRIVILEGE, false)                  \
    X(ADVAPI32, AdjustTokenPrivileges, FALSE, ERROR_ACCESS_DENIED, false)                      \
    X(ADVAPI32, RegOpenKeyExA, ERROR_ACCESS_DENIED, 0, false)                                  \
    X(ADVAPI32, RegQueryValueExA, ERROR_ACCESS_DENIED, 0, false)                               \
    X(ADVAPI32, RegCloseKey, ERROR_INVALID_HANDLE, 0, true)                                    \
    X(msvcrt, malloc, NULL, ENOMEM, false)                                                     \
    X(msvcrt, calloc, NULL, ENOMEM, false)                                                     \
    X(msvcrt, realloc, NULL, ENOMEM, false)

enum {
#define TSH_INDEX(dll, name, value, error, effect) P_##name,
    TSH_FAULTS(TSH_INDEX) P_COUNT
};

struct Fault {
    const char* pszDll;
    const char* pszName;
    intptr_t nValue;
    DWORD dwError;
    bool bEffect;
    void* pfnHook;
    void* pfnReal;    // what the hook calls: the system's function, or a stand-in for it
    void* pfnImport;  // what TscShell.dll imported
    void** ppSlot;    // its import slot, once pointed at the hook
    unsigned nCalls;
};
extern Fault aFaults[P_COUNT];

DWORD dwHostThread = 0;
int nFailIndex = -1;
unsigned nFailCall = 0;
bool bFailed = false;

template <class R>
R As(intptr_t n) {
    if constexpr (std::is_pointer_v<R>) return reinterpret_cast<R>(n);
    else return static_cast<R>(n);
}

// The one wrapper: counts a call of the host's thread, fails the chosen one, passes the rest.
template <int I, class R, class Call>
R Hooked(Call callReal) {
    Fault& f = aFaults[I];
    if (GetCurrentThreadId() != dwHostThread || ++f.nCalls != nFailCall || I != nFailIndex) return callReal();
    bFailed = true;
    if (f.bEffect) callReal();
    if (std::strcmp(f.pszDll, "msvcrt") == 0) errno = static_cast<int>(f.dwError);
    else SetLastError(f.dwError);
    return As<R>(f.nValue);
}

template <int I, class F>
struct Hook;
template <int I, class R, class... A>
struct Hook<I, R(WINAPI*)(A...)> {
    static R WINAPI Call(A... a) {
        return Hooked<I, R>([&] { return reinterpret_cast<R(WINAPI*)(A...)>(aFaults[I].pfnReal)(a...); });
    }
};
#ifdef __i386__  // elsewhere the two conventions are one
template <int I, class R, class... A>
struct Hook<I, R(__cdecl*)(A...)> {
    static R __cdecl Call(A... a) {
        return Hooked<I, R>([&] { return reinterpret_cast<R(__cdecl*)(A...)>(aFaults[I].pfnReal)(a...); });
    }
};
#endif

// The allocation functions' own attributes (malloc-like) mean nothing to a wrapper's type.
#pragma GCC diagnostic ignored "-Wignored-attributes"
Fault aFaults[P_COUNT] = {
#define TSH_ENTRY(dll, name, value, error, effect) \
    {#dll, #name, (intptr_t)(value), (error), (effect), reinterpret_cast<void*>(&Hook<P_##name, decltype(&::name)>::Call), nullptr, nullptr, nullptr, 0},
    TSH_FAULTS(TSH_ENTRY)};

// ---- the quiet machine: only the host and what it started are listed. These stand between
// a hook and the system's function.

typedef BOOL(WINAPI* ProcessStep)(HANDLE, PROCESSENTRY32*);
ProcessStep pfnSystemFirst, pfnSystemNext;
decltype(&::EnumWindows) pfnSystemEnumWindows;
decltype(&::GetProcAddress) pfnSystemGetProcAddress;

// Wine starts a console host for the host's console now and then, and lists programs that
// have ended a while longer: neither is one of the host's running programs.
bool Ours(const PROCESSENTRY32& e) {
    if (e.th32ProcessID == GetCurrentProcessId()) return true;
    if (e.th32ParentProcessID != GetCurrentProcessId() || _stricmp(e.szExeFile, "conhost.exe") == 0) return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, e.th32ProcessID);
    DWORD dwExit = 0;
    bool bRunning = h && GetExitCodeProcess(h, &dwExit) && dwExit == STILL_ACTIVE;
    if (h) CloseHandle(h);
    return bRunning;
}
BOOL WINAPI QuietFirst(HANDLE h, PROCESSENTRY32* pe) {
    BOOL b = pfnSystemFirst(h, pe);
    while (b && !Ours(*pe)) b = pfnSystemNext(h, pe);
    return b;
}
BOOL WINAPI QuietNext(HANDLE h, PROCESSENTRY32* pe) {
    BOOL b;
    do b = pfnSystemNext(h, pe);
    while (b && !Ours(*pe));
    return b;
}

struct WindowWalk {
    WNDENUMPROC pfn;
    LPARAM lParam;
};
BOOL CALLBACK OwnWindow(HWND hWindow, LPARAM lParam) {
    DWORD dwProcess = 0;
    GetWindowThreadProcessId(hWindow, &dwProcess);
    WindowWalk* pWalk = reinterpret_cast<WindowWalk*>(lParam);
    return dwProcess != GetCurrentProcessId() || pWalk->pfn(hWindow, pWalk->lParam);
}
BOOL WINAPI QuietEnumWindows(WNDENUMPROC pfn, LPARAM lParam) {
    WindowWalk walk = {pfn, lParam};
    return pfnSystemEnumWindows(OwnWindow, reinterpret_cast<LPARAM>(&walk));
}

// The tool-help functions the plug-in looks up by name come through hooks too.
FARPROC WINAPI LookUp(HMODULE hModule, LPCSTR pszName) {
    FARPROC pfn = pfnSystemGetProcAddress(hModule, pszName);
    if (!pfn || reinterpret_cast<uintptr_t>(pszName) <= 0xFFFF) return pfn;
    const struct { int nIndex; ProcessStep* ppfnSystem; void* pfnQuiet; } kLookedUp[] = {
        {P_CreateToolhelp32Snapshot, nullptr, nullptr},
        {P_Process32First, &pfnSystemFirst, reinterpret_cast<void*>(QuietFirst)},
        {P_Process32Next, &pfnSystemNext, reinterpret_cast<void*>(QuietNext)},
    };
    for (const auto& l : kLookedUp) {
        Fault& f = aFaults[l.nIndex];
        if (std::strcmp(pszName, f.pszName) != 0) continue;
        f.pfnReal = reinterpret_cast<void*>(pfn);
        if (l.ppfnSystem) {
            *l.ppfnSystem = reinterpret_cast<ProcessStep>(reinterpret_cast<void*>(pfn));
            f.pfnReal = l.pfnQuiet;
        }
        return reinterpret_cast<FARPROC>(f.pfnHook);
    }
    return pfn;
}

// A hook passes to these instead of the system's function.
void* StandIn(int nIndex, void* pfnSystem) {
    if (nIndex == P_EnumWindows) {
        pfnSystemEnumWindows = reinterpret_cast<decltype(&::EnumWindows)>(pfnSystem);
        return reinterpret_cast<void*>(QuietEnumWindows);
    }
    if (nIndex == P_GetProcAddress) {
        pfnSystemGetProcAddress = reinterpret_cast<decltype(&::GetProcAddress)>(pfnSystem);
        return reinterpret_cast<void*>(LookUp);
    }
    return pfnSystem;
}

// The C++ runtime inside the plug-in, and the one inside the script runtime, make their locks
// when they first need them (the first exception, on the 32-bit target) and keep them for the
// module's life: not a leak.
decltype(&::CreateSemaphoreW) pfnSystemCreateSemaphoreW;
void** appSemaphoreSlots[2];
int nSemaphoreSlots = 0;
long nKeptHandles = 0;
HANDLE WINAPI KeptSemaphore(LPSECURITY_ATTRIBUTES psa, LONG nInitial, LONG nMaximum, LPCWSTR pszName) {
    HANDLE h = pfnSystemCreateSemaphoreW(psa, nInitial, nMaximum, pszName);
    if (h) ++nKeptHandles;
    return h;
}

void SetSlot(void** ppSlot, void* pfn) {
    DWORD dwOld = 0;
    VirtualProtect(ppSlot, sizeof *ppSlot, PAGE_READWRITE, &dwOld);
    *ppSlot = pfn;
    VirtualProtect(ppSlot, sizeof *ppSlot, dwOld, &dwOld);
}

// Walks the plug-in's import table and points every listed import at its wrapper.
// Patch(MODULE, bFaults): hooks MODULE's CreateSemaphoreW, and with bFaults its calls that
// can be failed.
void Patch(HMODULE hModule, bool bFaults) {
    BYTE* pb = reinterpret_cast<BYTE*>(hModule);
    auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pb + reinterpret_cast<IMAGE_DOS_HEADER*>(pb)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* pDesc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(pb + dir.VirtualAddress); pDesc->Name; ++pDesc) {
        const char* pszDll = reinterpret_cast<const char*>(pb + pDesc->Name);
        auto* pName = reinterpret_cast<IMAGE_THUNK_DATA*>(pb + pDesc->OriginalFirstThunk);
        auto* ppSlot = reinterpret_cast<void**>(pb + pDesc->FirstThunk);
        for (; pName->u1.AddressOfData; ++pName, ++ppSlot) {
            if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal)) continue;
            const char* pszName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pb + pName->u1.AddressOfData)->Name;
            if (std::strcmp(pszName, "CreateSemaphoreW") == 0 && nSemaphoreSlots < 2) {
                pfnSystemCreateSemaphoreW = reinterpret_cast<decltype(&::CreateSemaphoreW)>(*ppSlot);
                appSemaphoreSlots[nSemaphoreSlots++] = ppSlot;
                SetSlot(ppSlot, reinterpret_cast<void*>(KeptSemaphore));
            }
            for (int i = 0; bFaults && i < P_COUNT; ++i) {
                Fault& f = aFaults[i];
                if (std::strcmp(pszName, f.pszName) != 0 || _strnicmp(pszDll, f.pszDll, std::strlen(f.pszDll)) != 0)
                    continue;
                f.pfnImport = *ppSlot;
                f.pfnReal = StandIn(i, f.pfnImport);
                f.ppSlot = ppSlot;
                SetSlot(ppSlot, f.pfnHook);
            }
        }
    }
}

// The process's open handles, found by asking after each handle value in turn: Wine does not
// count them for GetProcessHandleCount.
DWORD CountHandles() {
    DWORD dwCount = 0, dwFlags = 0;
    for (uintptr_t h = 4; h < 0x10000; h += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &dwFlags)) ++dwCount;
    return dwCount;
}

BOOL CALLBACK StopAtFirst(HWND, LPARAM) { return FALSE; }

DWORD dwHandlesAtLoad = 0;
HANDLE hOutAtLoad = nullptr, hErrAtLoad = nullptr;

void Report() {
    char sz[4096];
    int n = std::snprintf(sz, sizeof sz, "inject: calls");
    for (const Fault& f : aFaults)
        if (f.nCalls && n < 4000) n += std::snprintf(sz + n, sizeof sz - n, " %s %u", f.pszName, f.nCalls);
    n += std::snprintf(sz + n, sizeof sz - n, "\n");
    if (nFailIndex >= 0)
        n += std::snprintf(sz + n, sizeof sz - n, "inject: %s %s:%u\n", bFailed ? "failed" : "not reached",
                           aFaults[nFailIndex].pszName, nFailCall);
    long nHandles = static_cast<long>(CountHandles()) - nKeptHandles;
    if (nHandles != static_cast<long>(dwHandlesAtLoad))
        n += std::snprintf(sz + n, sizeof sz - n, "inject: handles %+ld\n", nHandles - static_cast<long>(dwHandlesAtLoad));
    if (GetStdHandle(STD_OUTPUT_HANDLE) != hOutAtLoad || GetStdHandle(STD_ERROR_HANDLE) != hErrAtLoad)
        n += std::snprintf(sz + n, sizeof sz - n, "inject: standard handles changed\n");
    DWORD dw = 0;
    WriteFile(hErrAtLoad, sz, static_cast<DWORD>(n), &dw, nullptr);
}

}  // namespace

extern "C" {
__declspec(dllexport) int __stdcall OrbaPluginLoad() {
    HMODULE hPlugin = GetModuleHandleA("TscShell.dll");
    if (!hPlugin) return 1;
    dwHostThread = GetCurrentThreadId();
    if (const char* pszFail = std::getenv("TSH_FAIL")) {
        const char* pszColon = std::strchr(pszFail, ':');
        for (int i = 0; pszColon && i < P_COUNT; ++i)
            if (std::strncmp(pszFail, aFaults[i].pszName, pszColon - pszFail) == 0 &&
                aFaults[i].pszName[pszColon - pszFail] == 0) {
                nFailIndex = i;
                nFailCall = static_cast<unsigned>(std::atoi(pszColon + 1));
            }
    }
    Patch(hPlugin, true);
    if (HMODULE hRuntime = GetModuleHandleA("HX_KOT_TarvoRuntime.dll")) Patch(hRuntime, false);
    // The window system opens handles of its own on first use, and keeps them.
    EnumWindows(StopAtFirst, 0);
    dwHandlesAtLoad = CountHandles();
    hOutAtLoad = GetStdHandle(STD_OUTPUT_HANDLE);
    hErrAtLoad = GetStdHandle(STD_ERROR_HANDLE);
    return 1;
}
__declspec(dllexport) int __stdcall OrbaPluginInitialize() { return 1; }
__declspec(dllexport) int __stdcall OrbaPluginShutdown() { return 1; }
__declspec(dllexport) int __stdcall OrbaPluginUnload() { return 1; }
}

// Unloaded after the runtime's last collection: everything of the plug-in is gone by then.
// Its imports go back to the system's own, since the plug-in outlives this library.
BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason != DLL_PROCESS_DETACH || !dwHostThread) return TRUE;
    for (const Fault& f : aFaults)
        if (f.ppSlot) SetSlot(f.ppSlot, f.pfnImport);
    for (int i = 0; i < nSemaphoreSlots; ++i) SetSlot(appSemaphoreSlots[i], reinterpret_cast<void*>(pfnSystemCreateSemaphoreW));
    Report();
    return TRUE;
}
