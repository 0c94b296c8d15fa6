#pragma once
// A started program with every process it starts in turn, so that the whole tree can be
// ended. Where the system has job objects (2000 and later), the program joins a job of its
// own before its first instruction and its descendants join with it: ending the job ends
// them all, wherever they are. Elsewhere (98, ME) the tool-help process list is walked by
// parent id: every process that descends from the program through processes still running is
// ended. Where neither exists (NT 4.0) only the program itself is ended.
#include <windows.h>

enum KxTreeMode { TREE_PROGRAM_ONLY = 0, TREE_JOB = 1, TREE_LIST = 2 };

// One running process as the system's process list gives it; the name without its folder
// (98 and ME list the whole path).
struct KxProcessInfo {
    DWORD dwId, dwParentId, dwThreads;
    char szName[MAX_PATH];
};

// The processes running at one moment (the tool-help list, where the system has it).
class KxProcessList {
public:
    enum Taken { LISTED, NO_LIST, NO_MEMORY };

    KxProcessList() = default;
    KxProcessList(const KxProcessList&) = delete;
    KxProcessList& operator=(const KxProcessList&) = delete;
    ~KxProcessList();

    // Lists them again; NO_LIST where the system has no process list or refuses it.
    Taken Take();
    unsigned Count() const { return nCount; }
    const KxProcessInfo& operator[](unsigned i) const { return pEntries[i]; }
    // Ends the listed process dwId and every listed process that descends from it, each
    // child before its parent, and gives how many were running and ended; -1 without the
    // memory to walk the list. A link counts only where the child was created after its
    // parent and both before the list was taken (as far as the system tells creation times):
    // an id the system gave again to another process since does not bring that one in. The
    // host's own process is never ended.
    int EndTree(DWORD dwId) const;

private:
    KxProcessInfo* pEntries = nullptr;
    unsigned nCount = 0, nCapacity = 0;
    FILETIME ftTaken = {};  // when the list was complete
};

class KxProcessTree {
public:
    KxProcessTree() = default;
    KxProcessTree(const KxProcessTree&) = delete;
    KxProcessTree& operator=(const KxProcessTree&) = delete;
    ~KxProcessTree() { Close(); }

    // The program, created suspended; its handle stays the caller's.
    void Adopt(HANDLE hProcess, DWORD dwProcessId);
    // Ends the program and its descendants, with exit code 1.
    void End();
    void Close();
    // How this program's tree is ended.
    KxTreeMode Mode() const;

    // How trees are ended on this system; bListOnly makes later trees use the process list
    // even where there are job objects (the tests reach the list walk that way).
    static KxTreeMode SystemMode();
    static void UseListOnly(bool bListOnly);

private:
    HANDLE hJob = nullptr;
    HANDLE hProcess = nullptr;
    DWORD dwProcessId = 0;
};
