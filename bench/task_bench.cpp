// Task.TaskList against the bare tool-help snapshot plus EnumWindows doing the same work
// (names, ids, windows and titles), in one run, with a few windowed child programs running.
// Ratio = our time / bare time (goal: 1.5 or less).
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KxTarvoHost.h"
#include "KxTshTask.h"
#include "bench_clock.h"

KXTSH_DEFINE_STATICS(KxTshTask, "Task");

namespace {

struct Bare {
    DWORD dwId;
    HWND hWindow;
    char szName[260];
    char szTitle[64];
};

BOOL CALLBACK BareWindow(HWND hWindow, LPARAM lParam) {
    auto* pv = reinterpret_cast<std::vector<Bare>*>(lParam);
    DWORD dwId = 0;
    if (!GetWindowThreadProcessId(hWindow, &dwId)) return TRUE;
    for (Bare& b : *pv) {
        if (b.dwId != dwId) continue;
        b.hWindow = hWindow;
        char sz[64];
        if (GetWindowTextA(hWindow, sz, sizeof sz) > 0) std::strcpy(b.szTitle, sz);
        break;
    }
    return TRUE;
}

size_t BareList() {
    std::vector<Bare> v;
    HANDLE h = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 e = {};
    e.dwSize = sizeof e;
    for (BOOL b = Process32First(h, &e); b; b = Process32Next(h, &e)) {
        Bare r = {};
        r.dwId = e.th32ProcessID;
        const char* p = std::strrchr(e.szExeFile, '\\');
        std::snprintf(r.szName, sizeof r.szName, "%s", p ? p + 1 : e.szExeFile);
        v.push_back(r);
    }
    CloseHandle(h);
    EnumWindows(BareWindow, reinterpret_cast<LPARAM>(&v));
    return v.size();
}

size_t OurList() {
    KxScDataHandle* ph = KxTshTask::poClassObject->TaskList(nullptr, 0, nullptr);
    size_t n = static_cast<size_t>(KxScStdLib::pslliListInterface->ListOf(ph)->ItemCount());
    ph->Drop();
    KxScDataHandle::GarbageCollect();
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    KxTarvo::Startup();
    KxTshTask::SetupClass();
    char sz[MAX_PATH];
    GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string sChild(sz);
    sChild = sChild.substr(0, sChild.find_last_of('\\')) + "\\tsh_child.exe window bench idle 120000";
    std::vector<PROCESS_INFORMATION> children(5);
    for (PROCESS_INFORMATION& pi : children) {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        std::string sLine = sChild;
        CreateProcessA(nullptr, &sLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        WaitForInputIdle(pi.hProcess, 5000);
    }
    const int N = BenchSmoke(argc, argv) ? 2 : 200;
    size_t nBare = 0, nOurs = 0;
    double dBare = BenchBest(3, [&] {
        for (int i = 0; i < N; ++i) nBare = BareList();
    });
    double dOurs = BenchBest(3, [&] {
        for (int i = 0; i < N; ++i) nOurs = OurList();
    });
    std::printf("processes: %zu (bare) and %zu (TaskList)\n", nBare, nOurs);
    std::printf("bare snapshot + EnumWindows: %8.1f us per list\n", dBare / N * 1e6);
    std::printf("Task.TaskList:               %8.1f us per list  (ratio %.2f)\n", dOurs / N * 1e6, dOurs / dBare);
    for (PROCESS_INFORMATION& pi : children) {
        TerminateProcess(pi.hProcess, 0);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    KxTshTask::ShutdownClass();
    KxTarvo::Shutdown();
    return 0;
}
