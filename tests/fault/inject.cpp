// tsh_inject.dll: a test plug-in that a host loads before TscShell.dll, TscProcess.dll and
// TscPath.dll. It
// points their imports of system functions (and the functions they look up by name) at wrappers that count the calls the host's thread makes and make
// one chosen call fail as that function documents its failure. It does the same with the
// allocations of the host libraries (util.malloc, runtime.malloc, ...) that they make while a
// method of the plug-in runs: the memory they take on the plug-in's behalf. TSH_FAIL=NAME:N
// fails the N-th call of NAME (TSH_FAIL=NAME:N:ERROR, with that error); without it every
// call goes through and is counted. When the
// host unloads it (after the runtime has shut down) it reports on standard error:
//   inject: init NAME N ...           the calls made before the first method (set-up)
//   inject: calls NAME N ...          the calls each function got
//   inject: failed NAME:N [NOTE] | inject: not reached NAME:N
//                                     NOTE: "dropped B at O" for a write of B bytes at offset
//                                     O; "back" for a standard handle being put back
//   inject: handles +D                system handles the process holds more than at load
//   inject: standard handles changed  standard output or error not put back
// The machine is made quiet for the plug-in, so that every run makes the same calls: the
// process list and the window list show only the host and the programs it started.
#include <windows.h>

#include <tlhelp32.h>  // after windows.h

#include "KxScData.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <type_traits>
#include <utility>

namespace {

// How each function fails: the value it returns, its last error (errno for the allocation
// functions), and whether the call's own effect happens all the same (a handle whose closing
// "fails" was not open: nothing stays behind). Functions that cannot fail are not listed. The
// Unicode functions that the 95 family has only as stubs fail as they do there, so that the
// plug-in's ANSI way on those systems runs too. MoveFileExW fails as a folder's move to another
// volume does, so that Path's way there (a copy, then the source removed) runs too.
// The tool-help, job and process-times functions are looked up by name; the others are imports.
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
    X(KERNEL32, GetCurrentDirectoryW, 0, ERROR_CALL_NOT_IMPLEMENTED, false)                    \
    X(KERNEL32, GetEnvironmentVariableW, 0, ERROR_CALL_NOT_IMPLEMENTED, false)                 \
    X(KERNEL32, FindFirstFileW, INVALID_HANDLE_VALUE, ERROR_CALL_NOT_IMPLEMENTED, false)       \
    X(KERNEL32, FindNextFileW, FALSE, ERROR_ACCESS_DENIED, false)                              \
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
    X(KERNEL32, GetEnvironmentStrings, NULL, ERROR_NOT_ENOUGH_MEMORY, false)                   \
    X(KERNEL32, GetEnvironmentStringsW, NULL, ERROR_CALL_NOT_IMPLEMENTED, false)               \
    X(KERNEL32, GetProcessTimes, FALSE, ERROR_ACCESS_DENIED, false)                            \
    X(KERNEL32, CreateToolhelp32Snapshot, INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY, false) \
    X(KERNEL32, Process32First, FALSE, ERROR_NO_MORE_FILES, false)                             \
    X(KERNEL32, Process32Next, FALSE, ERROR_NO_MORE_FILES, false)                              \
    X(KERNEL32, DuplicateHandle, FALSE, ERROR_NOT_ENOUGH_MEMORY, false)                        \
    X(KERNEL32, ResumeThread, (DWORD)-1, ERROR_INVALID_HANDLE, false)                          \
    X(KERNEL32, WaitForMultipleObjects, WAIT_FAILED, ERROR_INVALID_HANDLE, false)              \
    X(KERNEL32, GetExitCodeProcess, FALSE, ERROR_INVALID_HANDLE, false)                        \
    X(KERNEL32, CreateEventA, NULL, ERROR_NOT_ENOUGH_MEMORY, false)                            \
    X(KERNEL32, SetEvent, FALSE, ERROR_INVALID_HANDLE, false)                                  \
    X(KERNEL32, CreateThread, NULL, ERROR_NOT_ENOUGH_MEMORY, false)                            \
    X(KERNEL32, CreateFileW, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED, false)                \
    X(KERNEL32, GetFileAttributesExW, FALSE, ERROR_ACCESS_DENIED, false)                       \
    X(KERNEL32, GetFullPathNameW, 0, ERROR_FILENAME_EXCED_RANGE, false)                        \
    X(KERNEL32, GetModuleFileNameW, 0, ERROR_INSUFFICIENT_BUFFER, false)                       \
    X(KERNEL32, GetFileSize, INVALID_FILE_SIZE, ERROR_INVALID_HANDLE, false)                   \
    X(KERNEL32, CopyFileW, FALSE, ERROR_DISK_FULL, false)                                      \
    X(KERNEL32, CreateDirectoryW, FALSE, ERROR_ACCESS_DENIED, false)                           \
    X(KERNEL32, DeleteFileW, FALSE, ERROR_SHARING_VIOLATION, false)                            \
    X(KERNEL32, RemoveDirectoryW, FALSE, ERROR_SHARING_VIOLATION, false)                       \
    X(KERNEL32, SetFileAttributesW, FALSE, ERROR_ACCESS_DENIED, false)                         \
    X(KERNEL32, SetFileTime, FALSE, ERROR_ACCESS_DENIED, false)                                \
    X(KERNEL32, MoveFileExW, FALSE, ERROR_NOT_SAME_DEVICE, false)                              \
    X(KERNEL32, FileTimeToLocalFileTime, FALSE, ERROR_INVALID_PARAMETER, false)                \
    X(KERNEL32, FileTimeToSystemTime, FALSE, ERROR_INVALID_PARAMETER, false)                   \
    X(KERNEL32, FormatMessageW, 0, ERROR_RESOURCE_LANG_NOT_FOUND, false)                       \
    X(KERNEL32, PeekNamedPipe, FALSE, ERROR_BROKEN_PIPE, false)                                \
    X(KERNEL32, CreateJobObjectA, NULL, ERROR_NOT_ENOUGH_MEMORY, false)                        \
    X(KERNEL32, AssignProcessToJobObject, FALSE, ERROR_ACCESS_DENIED, false)                   \
    X(KERNEL32, TerminateJobObject, FALSE, ERROR_ACCESS_DENIED, false)                         \
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
// The host libraries' allocations, each library's own: OWNER, function.
#define TSH_HOST_FAULTS(X) \
    X(util, malloc) X(util, calloc) X(util, realloc) X(runtime, malloc) X(runtime, calloc) X(runtime, realloc)

enum {
#define TSH_INDEX(dll, name, value, error, effect) P_##name,
#define TSH_HOST_INDEX(owner, name) P_##owner##_##name,
    TSH_FAULTS(TSH_INDEX) TSH_HOST_FAULTS(TSH_HOST_INDEX) P_COUNT
};

struct Fault {
    const char* pszDll;
    const char* pszOwner;  // the host library whose imports it is, or null for the plug-in's
    const char* pszName;   // as TSH_FAIL and the report give it
    intptr_t nValue;
    DWORD dwError;
    bool bEffect;
    void* pfnHook;
    void* pfnReal;    // what the hook calls: the system's function, or a stand-in for it
    unsigned nCalls;
};
extern Fault aFaults[P_COUNT];

DWORD dwHostThread = 0;
int nFailIndex = -1;
unsigned nFailCall = 0;
bool bFailed = false;
char szFailNote[64] = "";
// Methods of the plug-in running on the host's thread (the host libraries' allocations count
// only then), and the calls made before the first one.
int nMethodDepth = 0;
bool bMethodsBegun = false;
unsigned anInitCalls[P_COUNT];

template <class R>
R As(intptr_t n) {
    if constexpr (std::is_pointer_v<R>) return reinterpret_cast<R>(n);
    else return static_cast<R>(n);
}

HANDLE hOutAtLoad = nullptr, hErrAtLoad = nullptr;

// What the report tells of the failed call: the bytes a failed write dropped and where, and
// whether a standard handle was being put back.
void NoteWrite(HANDLE hFile, LPCVOID, DWORD dwBytes, LPDWORD, LPOVERLAPPED) {
    std::snprintf(szFailNote, sizeof szFailNote, " dropped %lu at %lu", static_cast<unsigned long>(dwBytes),
                  static_cast<unsigned long>(SetFilePointer(hFile, 0, nullptr, FILE_CURRENT)));
}
void NoteSetStd(DWORD dwStd, HANDLE h) {
    if (h == (dwStd == STD_OUTPUT_HANDLE ? hOutAtLoad : hErrAtLoad)) std::strcpy(szFailNote, " back");
}
// A failed DuplicateHandle still closes its source when asked to: that much of it happens.
void CloseSource(HANDLE hFromProcess, HANDLE hSource, HANDLE, LPHANDLE, DWORD, BOOL, DWORD dwOptions) {
    if (dwOptions & DUPLICATE_CLOSE_SOURCE) DuplicateHandle(hFromProcess, hSource, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
}
template <int I, class... A>
void NoteFailure(A... a) {
    if constexpr (I == P_WriteFile) NoteWrite(a...);
    if constexpr (I == P_SetStdHandle) NoteSetStd(a...);
    if constexpr (I == P_DuplicateHandle) CloseSource(a...);
}

// The one wrapper: counts a call of the host's thread (a host library's only while a method
// runs), fails the chosen one, passes the rest.
template <int I, class R, class Call, class Note>
R Hooked(Call callReal, Note note) {
    Fault& f = aFaults[I];
    if (GetCurrentThreadId() != dwHostThread || (f.pszOwner && nMethodDepth == 0)) return callReal();
    if (++f.nCalls != nFailCall || I != nFailIndex) return callReal();
    bFailed = true;
    note();
    if (f.bEffect) callReal();
    if (f.pszOwner || std::strcmp(f.pszDll, "msvcrt") == 0) errno = static_cast<int>(f.dwError);
    else SetLastError(f.dwError);
    return As<R>(f.nValue);
}

// The wrapper of function I, of the function's own type and calling convention.
template <int I, class F>
struct Hook;
#define TSH_HOOK(CONVENTION)                                                                                 \
    template <int I, class R, class... A>                                                                    \
    struct Hook<I, R(CONVENTION*)(A...)> {                                                                   \
        static R CONVENTION Call(A... a) {                                                                   \
            return Hooked<I, R>([&] { return reinterpret_cast<R(CONVENTION*)(A...)>(aFaults[I].pfnReal)(a...); }, \
                                [&] { NoteFailure<I>(a...); });                                              \
        }                                                                                                    \
    };
TSH_HOOK(WINAPI)
#ifdef __i386__  // elsewhere the two conventions are one
TSH_HOOK(__cdecl)
#endif

// The allocation functions' own attributes (malloc-like) mean nothing to a wrapper's type.
#pragma GCC diagnostic ignored "-Wignored-attributes"
Fault aFaults[P_COUNT] = {
#define TSH_ENTRY(dll, name, value, error, effect) \
    {#dll, nullptr, #name, (intptr_t)(value), (error), (effect), reinterpret_cast<void*>(&Hook<P_##name, decltype(&::name)>::Call), nullptr, 0},
#define TSH_HOST_ENTRY(owner, name) \
    {"msvcrt", #owner, #owner "." #name, 0, ENOMEM, false, reinterpret_cast<void*>(&Hook<P_##owner##_##name, decltype(&::name)>::Call), nullptr, 0},
    TSH_FAULTS(TSH_ENTRY) TSH_HOST_FAULTS(TSH_HOST_ENTRY)};

// ---- the plug-in's methods, each registered through a tracer that keeps nMethodDepth: the
// method handles the plug-in makes get a tracer's entry in place of the method's own.
KxScMethodFunc apfnTraced[96];
int nTraced = 0;
typedef KxScDataHandle* (*CreateMethod)(KxScMethodFunc, const KxString&, int);
CreateMethod pfnSystemCreateMethod;  // the runtime's CreateData for methods

struct Tracer : KxScDataObject {
    template <int I>
    KxScDataHandle* Call(KxScDataHandle* phSelf, int nArgs, KxScDataHandle** pphArgs) {
        if (GetCurrentThreadId() == dwHostThread && !bMethodsBegun) {
            bMethodsBegun = true;
            for (int i = 0; i < P_COUNT; ++i) anInitCalls[i] = aFaults[i].nCalls;
        }
        ++nMethodDepth;
        KxScDataHandle* ph = (static_cast<KxScDataObject*>(this)->*apfnTraced[I])(phSelf, nArgs, pphArgs);
        --nMethodDepth;
        return ph;
    }
};
template <int... I>
constexpr auto TracerEntries(std::integer_sequence<int, I...>) {
    return std::array<KxScMethodFunc, sizeof...(I)>{static_cast<KxScMethodFunc>(&Tracer::Call<I>)...};
}
const auto kTracers = TracerEntries(std::make_integer_sequence<int, 96>());

KxScDataHandle* TracedMethod(KxScMethodFunc pfnMethod, const KxString& sQualifiedName, int nParams) {
    if (nTraced < static_cast<int>(kTracers.size())) {
        apfnTraced[nTraced] = pfnMethod;
        pfnMethod = kTracers[nTraced++];
    }
    return pfnSystemCreateMethod(pfnMethod, sQualifiedName, nParams);
}

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

// The tool-help, job and process-times functions the plug-ins look up by name come through
// hooks too.
FARPROC WINAPI LookUp(HMODULE hModule, LPCSTR pszName) {
    FARPROC pfn = pfnSystemGetProcAddress(hModule, pszName);
    if (!pfn || reinterpret_cast<uintptr_t>(pszName) <= 0xFFFF) return pfn;
    const struct { int nIndex; ProcessStep* ppfnSystem; void* pfnQuiet; } kLookedUp[] = {
        {P_CreateToolhelp32Snapshot, nullptr, nullptr},
        {P_Process32First, &pfnSystemFirst, reinterpret_cast<void*>(QuietFirst)},
        {P_Process32Next, &pfnSystemNext, reinterpret_cast<void*>(QuietNext)},
        {P_CreateJobObjectA, nullptr, nullptr},
        {P_AssignProcessToJobObject, nullptr, nullptr},
        {P_TerminateJobObject, nullptr, nullptr},
        {P_GetProcessTimes, nullptr, nullptr},
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

// The C++ runtime inside each plug-in and host library makes its locks when it first needs
// them (the first exception) and keeps them for the module's life: not a leak.
decltype(&::CreateSemaphoreW) pfnSystemCreateSemaphoreW;
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

// Every import slot pointed elsewhere, with what it held: the plug-ins outlive this library,
// so their imports go back to the system's own when it unloads.
struct Repointed {
    void** ppSlot;
    void* pfnWas;
} aRepointed[256];
int nRepointed = 0;
void Repoint(void** ppSlot, void* pfn) {
    if (nRepointed == static_cast<int>(sizeof aRepointed / sizeof aRepointed[0])) return;
    aRepointed[nRepointed++] = {ppSlot, *ppSlot};
    SetSlot(ppSlot, pfn);
}

// Walks a module's import table (the plug-in's: pszOwner null; a host library's: its owner
// name) and points every listed import of that module at its wrapper.
void Patch(HMODULE hPlugin, const char* pszOwner) {
    if (!hPlugin) return;
    BYTE* pb = reinterpret_cast<BYTE*>(hPlugin);
    auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pb + reinterpret_cast<IMAGE_DOS_HEADER*>(pb)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* pDesc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(pb + dir.VirtualAddress); pDesc->Name; ++pDesc) {
        const char* pszDll = reinterpret_cast<const char*>(pb + pDesc->Name);
        auto* pName = reinterpret_cast<IMAGE_THUNK_DATA*>(pb + pDesc->OriginalFirstThunk);
        auto* ppSlot = reinterpret_cast<void**>(pb + pDesc->FirstThunk);
        for (; pName->u1.AddressOfData; ++pName, ++ppSlot) {
            if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal)) continue;
            const char* pszName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pb + pName->u1.AddressOfData)->Name;
            if (!pszOwner && std::strcmp(pszName, "_ZN14KxScDataHandle10CreateDataEM14KxScDataObjectFPS_S1_iPS1_ERK8KxStringi") == 0) {
                pfnSystemCreateMethod = reinterpret_cast<CreateMethod>(*ppSlot);
                Repoint(ppSlot, reinterpret_cast<void*>(TracedMethod));
            }
            if (std::strcmp(pszName, "CreateSemaphoreW") == 0) {
                pfnSystemCreateSemaphoreW = reinterpret_cast<decltype(&::CreateSemaphoreW)>(*ppSlot);
                Repoint(ppSlot, reinterpret_cast<void*>(KeptSemaphore));
            }
            for (int i = 0; i < P_COUNT; ++i) {
                Fault& f = aFaults[i];
                const char* pszImport = f.pszOwner ? std::strchr(f.pszName, '.') + 1 : f.pszName;
                bool bSameOwner = pszOwner ? f.pszOwner && std::strcmp(pszOwner, f.pszOwner) == 0 : !f.pszOwner;
                if (!bSameOwner || std::strcmp(pszName, pszImport) != 0 ||
                    _strnicmp(pszDll, f.pszDll, std::strlen(f.pszDll)) != 0)
                    continue;
                if (!f.pfnReal) f.pfnReal = StandIn(i, *ppSlot);
                Repoint(ppSlot, f.pfnHook);
            }
        }
    }
}

// The process's open handles, found by asking after each handle value in turn: Wine does not
// count them for GetProcessHandleCount. Each question goes to the server, so the walk stops
// 1,024 values past the last open one: a new handle takes the lowest free value.
DWORD CountHandles() {
    DWORD dwCount = 0, dwFlags = 0;
    for (uintptr_t h = 4, hLast = 4; h < 0x10000 && h - hLast <= 4 * 1024; h += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &dwFlags)) {
            ++dwCount;
            hLast = h;
        }
    return dwCount;
}

BOOL CALLBACK StopAtFirst(HWND, LPARAM) { return FALSE; }

DWORD dwHandlesAtLoad = 0;

// "inject: WHAT NAME N ..." for the functions with calls in anCalls.
int CountLine(char* psz, int nRoom, const char* pszWhat, const unsigned* pnCalls) {
    int n = std::snprintf(psz, nRoom, "inject: %s", pszWhat);
    for (int i = 0; i < P_COUNT; ++i)
        if (pnCalls[i] && n < nRoom - 64) n += std::snprintf(psz + n, nRoom - n, " %s %u", aFaults[i].pszName, pnCalls[i]);
    return n + std::snprintf(psz + n, nRoom - n, "\n");
}

void Report() {
    char sz[4096];
    unsigned anCalls[P_COUNT];
    for (int i = 0; i < P_COUNT; ++i) anCalls[i] = aFaults[i].nCalls;
    int n = CountLine(sz, sizeof sz, "init", bMethodsBegun ? anInitCalls : anCalls);
    n += CountLine(sz + n, sizeof sz - n, "calls", anCalls);
    if (nFailIndex >= 0)
        n += std::snprintf(sz + n, sizeof sz - n, "inject: %s %s:%u%s\n", bFailed ? "failed" : "not reached",
                           aFaults[nFailIndex].pszName, nFailCall, szFailNote);
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
                // NAME:N:ERROR fails with that error instead of the function's usual one.
                if (const char* pszError = std::strchr(pszColon + 1, ':'))
                    aFaults[i].dwError = static_cast<DWORD>(std::strtoul(pszError + 1, nullptr, 10));
            }
    }
    Patch(hPlugin, nullptr);
    Patch(GetModuleHandleA("TscProcess.dll"), nullptr);
    Patch(GetModuleHandleA("TscPath.dll"), nullptr);
    Patch(GetModuleHandleA("HX_KOT_Util.dll"), "util");
    Patch(GetModuleHandleA("HX_KOT_TarvoRuntime.dll"), "runtime");
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
    for (int i = 0; i < nRepointed; ++i) SetSlot(aRepointed[i].ppSlot, aRepointed[i].pfnWas);
    Report();
    return TRUE;
}
