#include "KxProcessTree.h"
#include "KxTshClass.h"

#include <tlhelp32.h>  // after windows.h

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Looked up, not linked: job objects, the tool-help list and process times exist only on
// some systems, and the library must load on all of them.
struct SystemCalls {
    HANDLE(WINAPI* pfnCreateJob)(LPSECURITY_ATTRIBUTES, LPCSTR);
    BOOL(WINAPI* pfnAssign)(HANDLE, HANDLE);
    BOOL(WINAPI* pfnTerminateJob)(HANDLE, UINT);
    BOOL(WINAPI* pfnQueryJob)(HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD, LPDWORD);
    BOOL(WINAPI* pfnSetJob)(HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD);
    HANDLE(WINAPI* pfnSnapshot)(DWORD, DWORD);
    BOOL(WINAPI* pfnFirst)(HANDLE, PROCESSENTRY32*);
    BOOL(WINAPI* pfnNext)(HANDLE, PROCESSENTRY32*);
    BOOL(WINAPI* pfnTimes)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*);
};

const SystemCalls& Calls() {
    static SystemCalls calls;
    static bool bLookedUp = false;
    if (!bLookedUp) {
        HMODULE hKernel = GetModuleHandleA("KERNEL32.DLL");
        calls.pfnCreateJob = KxTsh::LookUp<decltype(calls.pfnCreateJob)>(hKernel, "CreateJobObjectA");
        calls.pfnAssign = KxTsh::LookUp<decltype(calls.pfnAssign)>(hKernel, "AssignProcessToJobObject");
        calls.pfnTerminateJob = KxTsh::LookUp<decltype(calls.pfnTerminateJob)>(hKernel, "TerminateJobObject");
        calls.pfnQueryJob = KxTsh::LookUp<decltype(calls.pfnQueryJob)>(hKernel, "QueryInformationJobObject");
        calls.pfnSetJob = KxTsh::LookUp<decltype(calls.pfnSetJob)>(hKernel, "SetInformationJobObject");
        calls.pfnSnapshot = KxTsh::LookUp<decltype(calls.pfnSnapshot)>(hKernel, "CreateToolhelp32Snapshot");
        calls.pfnFirst = KxTsh::LookUp<decltype(calls.pfnFirst)>(hKernel, "Process32First");
        calls.pfnNext = KxTsh::LookUp<decltype(calls.pfnNext)>(hKernel, "Process32Next");
        calls.pfnTimes = KxTsh::LookUp<decltype(calls.pfnTimes)>(hKernel, "GetProcessTimes");
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

// Ends the process of the id if it still runs, then waits up to dwMs for it to be gone; 1
// when it was running and was ended, else 0.
int EndRunning(DWORD dwId, DWORD dwMs) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwId);
    if (!h) return 0;
    bool bEnded = WaitForSingleObject(h, 0) == WAIT_TIMEOUT && TerminateProcess(h, 1);
    if (bEnded) WaitForSingleObject(h, dwMs);
    CloseHandle(h);
    return bEnded;
}

// What a walk knows: the processes running at its last look, and the ids of the tree found
// so far, ended ones too (the program first). The tree has a fixed size: a walk makes no
// allocation that could fail half-way but the list's own.
struct Walk {
    enum { MAX_TREE = 1024 };
    KxProcessList list;
    DWORD adwTree[MAX_TREE];
    unsigned nTree;

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
        if (list.Take() != KxProcessList::LISTED) return 0;
        int nEnded = 0;
        for (unsigned nAt = 0; nAt < nTree; ++nAt) {
            for (unsigned i = 0; i < list.Count(); ++i) {
                const KxProcessInfo& e = list[i];
                if (e.dwParentId != adwTree[nAt] || e.dwId == 0) continue;
                if (!InTree(e.dwId) && nTree < MAX_TREE) adwTree[nTree++] = e.dwId;
                nEnded += EndRunning(e.dwId, 0);
            }
        }
        return nEnded;
    }
};

ULONGLONG Ticks(const FILETIME& ft) { return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

// A process of a tree being ended: held open from when it is found, so that its id cannot
// go to another process before it is ended; its creation time, 0 where the system does not
// tell it (98 and ME, or a process this one may not ask).
struct Member {
    unsigned nEntry;
    HANDLE hProcess;
    ULONGLONG nCreated;

    void Open(unsigned nIndex, DWORD dwId) {
        nEntry = nIndex;
        nCreated = 0;
        hProcess = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, dwId);
        if (!hProcess) hProcess = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwId);
        FILETIME ftCreated, ftExited, ftKernel, ftUser;
        if (hProcess && Calls().pfnTimes && Calls().pfnTimes(hProcess, &ftCreated, &ftExited, &ftKernel, &ftUser))
            nCreated = Ticks(ftCreated);
    }
};

}  // namespace

KxProcessList::~KxProcessList() { std::free(pEntries); }

KxProcessList::Taken KxProcessList::Take() {
    nCount = 0;
    if (!HasList()) return NO_LIST;
    const SystemCalls& c = Calls();
    HANDLE hList = c.pfnSnapshot(TH32CS_SNAPPROCESS, 0);
    if (hList == INVALID_HANDLE_VALUE) return NO_LIST;
    Taken taken = LISTED;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL b = c.pfnFirst(hList, &pe); b; b = c.pfnNext(hList, &pe)) {
        if (nCount == nCapacity) {
            unsigned nNew = nCapacity ? 2 * nCapacity : 256;
            void* pNew = nNew < nCapacity ? nullptr : std::realloc(pEntries, nNew * sizeof *pEntries);
            if (!pNew) {
                taken = NO_MEMORY;
                break;
            }
            pEntries = static_cast<KxProcessInfo*>(pNew);
            nCapacity = nNew;
        }
        KxProcessInfo& e = pEntries[nCount++];
        e.dwId = pe.th32ProcessID;
        e.dwParentId = pe.th32ParentProcessID;
        e.dwThreads = pe.cntThreads;
        pe.szExeFile[sizeof pe.szExeFile - 1] = 0;
        const char* pszSlash = std::strrchr(pe.szExeFile, '\\');
        const char* pszName = pszSlash ? pszSlash + 1 : pe.szExeFile;
        std::memcpy(e.szName, pszName, std::strlen(pszName) + 1);
    }
    CloseHandle(hList);
    GetSystemTimeAsFileTime(&ftTaken);
    if (taken != LISTED) nCount = 0;
    return taken;
}

int KxProcessList::EndTree(DWORD dwId) const {
    // Id 0 is the system's idle process, listed as its own parent and as that of others.
    unsigned nRoot = 0;
    while (nRoot < nCount && pEntries[nRoot].dwId != dwId) ++nRoot;
    if (dwId == 0 || nRoot == nCount) return 0;
    Member* aTree = new (std::nothrow) Member[nCount];
    if (!aTree) return -1;
    ULONGLONG nTaken = Ticks(ftTaken);
    unsigned nTree = 0;
    aTree[nTree++].Open(nRoot, dwId);
    // Breadth first: every child comes after its parent.
    for (unsigned nAt = 0; nAt < nTree; ++nAt) {
        const Member& parent = aTree[nAt];
        if (parent.nCreated > nTaken) continue;  // not the process listed: its id went on
        for (unsigned i = 0; i < nCount; ++i) {
            const KxProcessInfo& e = pEntries[i];
            if (e.dwParentId != pEntries[parent.nEntry].dwId || e.dwId == e.dwParentId) continue;
            bool bKnown = false;
            for (unsigned k = 0; k < nTree && !bKnown; ++k) bKnown = aTree[k].nEntry == i;
            if (bKnown) continue;
            Member& child = aTree[nTree];
            child.Open(i, e.dwId);
            if (child.nCreated && parent.nCreated && child.nCreated < parent.nCreated) {
                if (child.hProcess) CloseHandle(child.hProcess);
                continue;
            }
            ++nTree;
        }
    }
    int nEnded = 0;
    for (unsigned k = nTree; k-- > 0;) {
        const Member& m = aTree[k];
        if (!m.hProcess) continue;
        if (m.nCreated <= nTaken && pEntries[m.nEntry].dwId != GetCurrentProcessId() &&
            WaitForSingleObject(m.hProcess, 0) == WAIT_TIMEOUT && TerminateProcess(m.hProcess, 1))
            ++nEnded;
        CloseHandle(m.hProcess);
    }
    delete[] aTree;
    return nEnded;
}


namespace {

// Whether the job ends its processes when its last handle is closed: set while the program
// runs, so that a host that ends in any way (interrupted, killed, crashed) takes the tree
// with it; taken off before this object lets go of a tree it did not end.
void KillOnClose(HANDLE hJob, bool bKill) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = bKill ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0;
    if (Calls().pfnSetJob) Calls().pfnSetJob(hJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

// Ends the job's processes until it has none left, and gives whether it has none. Ending a
// job is not always the end of it: a process being created by a member as the job ended
// may join it afterwards (seen under load), so the job is ended again, and each process it
// still lists is ended on its own, until the list is empty or kEndMs have passed.
bool EndJob(HANDLE hJob) {
    const DWORD kEndMs = 3000, kRoom = 64;
    const SystemCalls& c = Calls();
    DWORD dwStart = GetTickCount();
    for (;;) {
        c.pfnTerminateJob(hJob, 1);
        struct {
            JOBOBJECT_BASIC_PROCESS_ID_LIST list;
            ULONG_PTR aMore[kRoom - 1];
        } ids = {};
        if (!c.pfnQueryJob || (!c.pfnQueryJob(hJob, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr) &&
                               GetLastError() != ERROR_MORE_DATA))
            return false;
        if (ids.list.NumberOfAssignedProcesses == 0) return true;
        if (GetTickCount() - dwStart >= kEndMs) return false;
        for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < kRoom; ++i)
            EndRunning(static_cast<DWORD>(ids.list.ProcessIdList[i]), 100);
        Sleep(1);
    }
}

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
    if (hJob) KillOnClose(hJob, true);
}

void KxProcessTree::End() {
    if (!hProcess || (hJob && EndJob(hJob))) return;
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
    if (hJob) {
        KillOnClose(hJob, false);
        CloseHandle(hJob);
    }
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
