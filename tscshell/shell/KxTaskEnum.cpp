// The strategy choice, the tool-help list, the privilege step, windows and killing.
#include "KxTaskRecords.h"
#include "KxTshClass.h"

#include <cstdio>
#include <cstring>

TaskEnumerator pfnEnumTasks = nullptr;
TaskPrivilegeStep pfnPrivilegeStep = nullptr;

// The sizes the 32-bit library is built around.
static_assert(sizeof(void*) != 4 || sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA");
static_assert(sizeof(void*) != 4 || sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32");

void SelectTaskStrategy() {
    OSVERSIONINFOA vi = {};
    vi.dwOSVersionInfoSize = sizeof vi;
    GetVersionExA(&vi);
    if (vi.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        pfnEnumTasks = EnumTasksToolhelp;
        pfnPrivilegeStep = SkipDebugPrivilege;
    } else if (vi.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        pfnEnumTasks = EnumTasksPerfData;
        pfnPrivilegeStep = EnableDebugPrivilege;
        // Wine reports the NT family, but its registry has no "process" counter and its
        // performance data holds no objects, so that list would always be empty there. Its
        // tool-help list is complete; Windows itself keeps the performance data.
        HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
        if (hNtdll && GetProcAddress(hNtdll, "wine_get_version")) pfnEnumTasks = EnumTasksToolhelp;
    }
    // On other platforms there is no strategy: the task list is empty.
    if (pfnPrivilegeStep) pfnPrivilegeStep();
}

unsigned EnumTasksToolhelp(TaskRecord* pRecords, unsigned nCapacity) {
    HMODULE hKernel = GetModuleHandleA("KERNEL32.DLL");
    if (!hKernel) return 0;
    // Looked up, not linked: the list exists only on some platforms.
    KxToolhelpSource source = {KxTsh::LookUp<decltype(source.pfnSnapshot)>(hKernel, "CreateToolhelp32Snapshot"),
                               KxTsh::LookUp<decltype(source.pfnFirst)>(hKernel, "Process32First"),
                               KxTsh::LookUp<decltype(source.pfnNext)>(hKernel, "Process32Next")};
    if (!source.pfnSnapshot || !source.pfnFirst || !source.pfnNext) return 0;
    return EnumTasksToolhelpFrom(source, pRecords, nCapacity);
}

unsigned EnumTasksToolhelpFrom(const KxToolhelpSource& source, TaskRecord* pRecords, unsigned nCapacity) {
    if (nCapacity == 0) return 0;
    HANDLE hList = source.pfnSnapshot(TH32CS_SNAPPROCESS, 0);
    if (hList == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    unsigned nCount = 0;
    if (source.pfnFirst(hList, &entry)) {
        for (;;) {
            TaskRecord& r = pRecords[nCount];
            const char* pszSlash = std::strrchr(entry.szExeFile, '\\');
            std::snprintf(r.szExeName, sizeof r.szExeName, "%s", pszSlash ? pszSlash + 1 : entry.szExeFile);
            r.dwFlags = 0;
            r.dwProcessId = entry.th32ProcessID;
            if (++nCount >= nCapacity || !source.pfnNext(hList, &entry)) break;
        }
    }
    CloseHandle(hList);
    return nCount;
}

int SkipDebugPrivilege() { return 1; }

// The host may then open processes of other accounts for KillTask. The messages go to the
// host's standard output.
int EnableDebugPrivilege() {
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        std::printf("OpenProcessToken failed with %d\n", static_cast<int>(GetLastError()));
        return 0;
    }
    TOKEN_PRIVILEGES tp = {};
    if (!LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &tp.Privileges[0].Luid)) {
        std::printf("LookupPrivilegeValue failed with %d\n", static_cast<int>(GetLastError()));
        CloseHandle(hToken);
        return 0;
    }
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Success is told by the last error alone: the call succeeds even when it enabled nothing.
    AdjustTokenPrivileges(hToken, FALSE, &tp, sizeof tp, nullptr, nullptr);
    DWORD dwError = GetLastError();
    CloseHandle(hToken);
    if (dwError != 0) {
        std::printf("AdjustTokenPrivileges failed with %d\n", static_cast<int>(dwError));
        return 0;
    }
    return 1;
}

namespace {
struct WindowScan {
    TaskRecord* pRecords;
    unsigned nCount;
};

BOOL CALLBACK AttachWindow(HWND hWindow, LPARAM lParam) {
    WindowScan* pScan = reinterpret_cast<WindowScan*>(lParam);
    DWORD dwProcessId = 0;
    if (!GetWindowThreadProcessId(hWindow, &dwProcessId)) return TRUE;
    for (unsigned i = 0; i < pScan->nCount; ++i) {
        TaskRecord& r = pScan->pRecords[i];
        if (r.dwProcessId != dwProcessId) continue;
        r.hWindow = hWindow;
        char szTitle[64];
        if (GetWindowTextA(hWindow, szTitle, sizeof szTitle) > 0) std::strcpy(r.szWindowTitle, szTitle);
        break;
    }
    return TRUE;
}
}  // namespace

void FindTaskWindows(TaskRecord* pRecords, unsigned nCount) {
    WindowScan scan = {pRecords, nCount};
    EnumWindows(AttachWindow, reinterpret_cast<LPARAM>(&scan));
}

int KillTask(const TaskRecord& record, bool bForce) {
    if (!bForce && record.hWindow) {
        PostMessageA(record.hWindow, WM_CLOSE, 0, 0);
        return 1;
    }
    // All access as NT 4.0 to XP know it: the toolchain's PROCESS_ALL_ACCESS has the wider
    // Vista mask, which those versions refuse, and the process would only be asked to close.
    const DWORD dwAllAccess = 0x1F0FFF;
    HANDLE hProcess = OpenProcess(dwAllAccess, FALSE, record.dwProcessId);
    if (!hProcess) {
        PostMessageA(record.hWindow, WM_CLOSE, 0, 0);
        return 1;
    }
    BOOL bDone = TerminateProcess(hProcess, 1);
    CloseHandle(hProcess);
    return bDone ? 1 : 0;
}
