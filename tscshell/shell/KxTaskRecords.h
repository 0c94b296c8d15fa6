#pragma once
// The processes of the machine as fixed-size records: two ways of listing them (the
// tool-help process list, and the performance data in the registry), the choice between
// them by platform, the windows attached to them, and closing or terminating one.
#include <windows.h>

#include <tlhelp32.h>  // after windows.h

struct TaskRecord {
    DWORD dwProcessId;
    DWORD dwFlags;  // always 0
    HWND hWindow;   // a top-level window of the process, or null
    char szExeName[260];
    char szWindowTitle[64];
};

enum { TASK_LIST_CAPACITY = 256 };

// Fills records 0 .. count - 1 and gives the count.
typedef unsigned (*TaskEnumerator)(TaskRecord* pRecords, unsigned nCapacity);
typedef int (*TaskPrivilegeStep)();

// Chosen by SelectTaskStrategy; null before it first runs.
extern TaskEnumerator pfnEnumTasks;
extern TaskPrivilegeStep pfnPrivilegeStep;

// Chooses the enumeration for the platform and runs its privilege step.
void SelectTaskStrategy();

unsigned EnumTasksToolhelp(TaskRecord* pRecords, unsigned nCapacity);
unsigned EnumTasksPerfData(TaskRecord* pRecords, unsigned nCapacity);
int EnableDebugPrivilege();
int SkipDebugPrivilege();

// Attaches to each record the last enumerated top-level window of its process, and the title
// of the last such window that has one.
void FindTaskWindows(TaskRecord* pRecords, unsigned nCount);
// Asks the record's window to close, or terminates the process; 0 only when terminating fails.
int KillTask(const TaskRecord& record, bool bForce);

// Where the performance-data strategy reads the registry; tests put synthetic data behind it.
// The queries answer as RegQueryValueExA does.
struct KxPerfSource {
    bool (*pfnOpenNames)();  // the key of the counter names
    LONG (*pfnQueryCounters)(BYTE* pbData, DWORD* pcbData);
    LONG (*pfnQueryData)(const char* pszObjectIndex, BYTE* pbData, DWORD* pcbData);
    void (*pfnClose)();  // the names key when it was opened, then the performance data
};
unsigned EnumTasksPerfDataFrom(const KxPerfSource& source, TaskRecord* pRecords, unsigned nCapacity);
// The registry behind the performance-data strategy.
extern const KxPerfSource kPerfRegistry;

// Where the tool-help strategy reads the process list; tests put synthetic entries behind it.
struct KxToolhelpSource {
    HANDLE(WINAPI* pfnSnapshot)(DWORD dwFlags, DWORD dwProcessId);
    BOOL(WINAPI* pfnFirst)(HANDLE hList, PROCESSENTRY32* pEntry);
    BOOL(WINAPI* pfnNext)(HANDLE hList, PROCESSENTRY32* pEntry);
};
unsigned EnumTasksToolhelpFrom(const KxToolhelpSource& source, TaskRecord* pRecords, unsigned nCapacity);
