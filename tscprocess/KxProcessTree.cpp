#include "KxProcessTree.h"

#include <tlhelp32.h>  // after windows.h

#include <new>

namespace {

// Looked up, not linked: job objects and the tool-help list exist only on some systems, and
// the library must load on all of them.
struct SystemCalls {
    HANDLE(WINAPI* pfnCreateJob)(LPSECURITY_ATTRIBUTES, LPCSTR);
    BOOL(WINAPI* pfnAssign)(HANDLE, HANDLE);
    BOOL(WINAPI* pfnTerminateJob)(HANDLE, UINT);
    HANDLE(WINAPI* pfnSnapshot)(DWORD, DWORD);
    BOOL(WINAPI* pfnFirst)(HANDLE, PROCESSENTRY32*);
    BOOL(WINAPI* pfnNext)(HANDLE, PROCESSENTRY32*);
};

template <class F>
void LookUp(HMODULE hModule, const char* pszName, F* ppfn) {
    *ppfn = hModule ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName))) : nullptr;
}

const SystemCalls& Calls() {
    static SystemCalls calls;
    static bool bLookedUp = false;
    if (!bLookedUp) {
        HMODULE hKernel = GetModuleHandleA("KERNEL32.DLL");
        LookUp(hKernel, "CreateJobObjectA", &calls.pfnCreateJob);
        LookUp(hKernel, "AssignProcessToJobObject", &calls.pfnAssign);
        LookUp(hKernel, "TerminateJobObject", &calls.pfnTerminateJob);
        LookUp(hKernel, "CreateToolhelp32Snapshot", &calls.pfnSnapshot);
        LookUp(hKernel, "Process32First", &calls.pfnFirst);
        LookUp(hKernel, "Process32Next", &calls.pfnNext);
        bLookedUp = true;
    }
    return calls;
}

bool bListOnly = false;

bool HasJobs() {
    const SystemCalls& c = Calls();
    return !bListOnly && c.pfnCreateJob && c.pfnAssign && c.pfnTerminateJob;
}

bool HasList() {
    const SystemCalls& c = Calls();
    return c.pfnSnapshot && c.pfnFirst && c.pfnNext;
}

// What a walk knows: the processes running at its last look, with their parents, and the
// ids of the tree found so far, ended ones too (the program first). Fixed sizes: a walk
// makes no allocation that could fail half-way.
struct Walk {
    enum { MAX_PROCESSES = 4096, MAX_TREE = 1024 };
    struct Entry {
        DWORD dwId, dwParentId;
    } aEntries[MAX_PROCESSES];
    unsigned nEntries;
    DWORD adwTree[MAX_TREE];
    unsigned nTree;

    // The processes running now; none when they cannot be listed.
    void ListProcesses() {
        const SystemCalls& c = Calls();
        nEntries = 0;
        HANDLE hList = c.pfnSnapshot(TH32CS_SNAPPROCESS, 0);
        if (hList == INVALID_HANDLE_VALUE) return;
        PROCESSENTRY32 pe = {};
        pe.dwSize = sizeof pe;
        for (BOOL b = c.pfnFirst(hList, &pe); b && nEntries < MAX_PROCESSES; b = c.pfnNext(hList, &pe))
            aEntries[nEntries++] = {pe.th32ProcessID, pe.th32ParentProcessID};
        CloseHandle(hList);
    }

    bool InTree(DWORD dwId) const {
        for (unsigned i = 0; i < nTree; ++i)
            if (adwTree[i] == dwId) return true;
        return false;
    }

    // Ends the running processes that descend from the program and gives how many it ended.
    // A process that started while its parent was being ended is found through that parent on
    // the next walk, even once the parent is gone from the list. A process is ended only while
    // it still runs, so one already ended and still listed does not count.
    int EndDescendants() {
        ListProcesses();
        int nEnded = 0;
        for (unsigned nAt = 0; nAt < nTree; ++nAt) {
            for (unsigned i = 0; i < nEntries; ++i) {
                const Entry& e = aEntries[i];
                if (e.dwParentId != adwTree[nAt] || e.dwId == 0) continue;
                if (!InTree(e.dwId) && nTree < MAX_TREE) adwTree[nTree++] = e.dwId;
                HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, e.dwId);
                if (!h) continue;
                if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT && TerminateProcess(h, 1)) ++nEnded;
                CloseHandle(h);
            }
        }
        return nEnded;
    }
};

}  // namespace

void KxProcessTree::Adopt(HANDLE hProgram, DWORD dwId) {
    Close();
    hProcess = hProgram;
    dwProcessId = dwId;
    if (!HasJobs()) return;
    const SystemCalls& c = Calls();
    hJob = c.pfnCreateJob(nullptr, nullptr);
    // A host that runs in a job of its own may keep its programs from joining another one
    // (before Windows 8): such a program's tree is ended through the process list instead.
    if (hJob && !c.pfnAssign(hJob, hProgram)) {
        CloseHandle(hJob);
        hJob = nullptr;
    }
}

void KxProcessTree::End() {
    if (!hProcess) return;
    if (hJob) {
        Calls().pfnTerminateJob(hJob, 1);
        return;
    }
    // The program first, so that it starts no more; then its descendants, again while a walk
    // still finds one running (each may have started another meanwhile).
    TerminateProcess(hProcess, 1);
    if (!HasList()) return;
    // Without the memory for a walk, only the program is ended.
    Walk* pWalk = new (std::nothrow) Walk;
    if (!pWalk) return;
    pWalk->adwTree[0] = dwProcessId;
    pWalk->nTree = 1;
    for (int nWalk = 0; nWalk < 16 && pWalk->EndDescendants() > 0; ++nWalk) {
    }
    delete pWalk;
}

void KxProcessTree::Close() {
    if (hJob) CloseHandle(hJob);
    hJob = nullptr;
    hProcess = nullptr;
    dwProcessId = 0;
}

KxTreeMode KxProcessTree::Mode() const {
    if (hJob) return TREE_JOB;
    return HasList() ? TREE_LIST : TREE_PROGRAM_ONLY;
}

KxTreeMode KxProcessTree::SystemMode() {
    if (HasJobs()) return TREE_JOB;
    return HasList() ? TREE_LIST : TREE_PROGRAM_ONLY;
}

void KxProcessTree::UseListOnly(bool bOnly) { bListOnly = bOnly; }
