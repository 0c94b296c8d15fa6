#pragma once
// A started program with every process it starts in turn, so that the whole tree can be
// ended. Where the system has job objects (2000 and later), the program joins a job of its
// own before its first instruction and its descendants join with it: ending the job ends
// them all, wherever they are. Elsewhere (98, ME) the tool-help process list is walked by
// parent id: every process that descends from the program through processes still running is
// ended. Where neither exists (NT 4.0) only the program itself is ended.
#include <windows.h>

enum KxTreeMode { TREE_PROGRAM_ONLY = 0, TREE_JOB = 1, TREE_LIST = 2 };

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
