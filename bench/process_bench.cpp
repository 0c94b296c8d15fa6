// Process.Run against bare Win32 loops, in one run:
//   start:   Run of a program that exits at once, against CreateProcess and a wait for it;
//   capture: Run keeping both streams of a program that writes the same lines to each, against
//            two threads that each read one pipe (ReadFile of 64 KiB) into memory. The script
//            reads them afterwards, untimed, to check they are whole: a script's string of
//            them is a copy the host contract makes (about a third of Run's time more here).
//   idle:    CPU of this host while it holds silent programs started by Process, against the
//            same host holding none;
//   dropped: programs started and dropped in cycles (freed only by the collector), against
//            CreateProcess and TerminateProcess each: peak threads and private bytes.
// The program is tsh_child. Ratio = bare time / our time (1.0: as fast as the bare loop). The
// bare loop and ours run in turns, the shortest of five runs each counting, so that a busy
// moment of the machine meets both alike (run one after the other, ours had looked faster).
#include <windows.h>
// After windows.h:
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

#include "KxScVmEnv.h"
#include "KxTarvoHost.h"
#include "KxTshProcess.h"
#include "bench_clock.h"

KXTSH_DEFINE_STATICS(KxTshProcess, "Process");

namespace {

PROCESS_INFORMATION Launch(std::string sCommand, HANDLE hOut, HANDLE hErr) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (hOut) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = hOut;
        si.hStdError = hErr;
    }
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &sCommand[0], nullptr, nullptr, hOut != nullptr, 0, nullptr, nullptr, &si, &pi))
        ExitProcess(1);
    CloseHandle(pi.hThread);
    return pi;
}

void BareStart(const std::string& sCommand) {
    PROCESS_INFORMATION pi = Launch(sCommand, nullptr, nullptr);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
}

struct Drain {
    HANDLE hRead;
    std::string sData;
    char achChunk[65536];
};

DWORD WINAPI DrainPipe(LPVOID pv) {
    Drain* p = static_cast<Drain*>(pv);
    DWORD dw;
    while (ReadFile(p->hRead, p->achChunk, sizeof p->achChunk, &dw, nullptr) && dw) p->sData.append(p->achChunk, dw);
    return 0;
}

// The two streams' bytes in all.
size_t BareCapture(const std::string& sCommand) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    Drain drains[2];
    HANDLE ahWrite[2], ahThread[2];
    for (int i = 0; i < 2; ++i) {
        CreatePipe(&drains[i].hRead, &ahWrite[i], &sa, 65536);
        SetHandleInformation(drains[i].hRead, HANDLE_FLAG_INHERIT, 0);
    }
    PROCESS_INFORMATION pi = Launch(sCommand, ahWrite[0], ahWrite[1]);
    for (int i = 0; i < 2; ++i) {
        CloseHandle(ahWrite[i]);
        ahThread[i] = CreateThread(nullptr, 0, DrainPipe, &drains[i], 0, nullptr);
    }
    WaitForMultipleObjects(2, ahThread, TRUE, INFINITE);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 2; ++i) {
        CloseHandle(ahThread[i]);
        CloseHandle(drains[i].hRead);
    }
    return drains[0].sData.size() + drains[1].sData.size();
}

// Runs the script with COMMAND set to the command line.
void RunWith(const std::string& sCommand, const char* pszCode) {
    KxScVmEnv::SetGlobalVariable("COMMAND", KxScDataHandle::CreateData(sCommand.c_str(), false), true, false);
    if (KxTarvo::RunSource(pszCode, "bench") != KxTarvo::RUN_OK) ExitProcess(1);
}

// Runs the program to its end; its object, holding both streams, stays in r.
void Ours(const std::string& sCommand) { RunWith(sCommand, "r = Process.Run(COMMAND);"); }

// The two streams' bytes in all, as the script sees them in r, which then goes.
size_t Kept() {
    RunWith("", "n = len(r.output) + len(r.errors); r = nil;");
    KxScDataHandle::GarbageCollect();
    KxScDataHandle* ph = nullptr;
    KxScVmEnv::GetGlobalVariable("n", &ph);
    return ph ? static_cast<size_t>(ph->dwValue) : 0;
}

ULONGLONG Ticks(const FILETIME& ft) { return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

// Milliseconds of CPU this process spends per second over dwMs, while it waits.
double CpuPerSecond(DWORD dwMs) {
    FILETIME ftCreated, ftExited, ftKernel[2], ftUser[2];
    GetProcessTimes(GetCurrentProcess(), &ftCreated, &ftExited, &ftKernel[0], &ftUser[0]);
    Sleep(dwMs);
    GetProcessTimes(GetCurrentProcess(), &ftCreated, &ftExited, &ftKernel[1], &ftUser[1]);
    ULONGLONG n = Ticks(ftKernel[1]) - Ticks(ftKernel[0]) + Ticks(ftUser[1]) - Ticks(ftUser[0]);
    return n / 1e4 / (dwMs / 1000.0);
}

struct Peak {
    int nThreads = 0;
    SIZE_T nPrivate = 0;
    void Look() {
        int n = 0;
        HANDLE hList = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 te = {};
        te.dwSize = sizeof te;
        for (BOOL b = Thread32First(hList, &te); b; b = Thread32Next(hList, &te)) n += te.th32OwnerProcessID == GetCurrentProcessId();
        CloseHandle(hList);
        PROCESS_MEMORY_COUNTERS pmc = {};
        GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
        if (n > nThreads) nThreads = n;
        if (pmc.PagefileUsage > nPrivate) nPrivate = pmc.PagefileUsage;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const bool bSmoke = BenchSmoke(argc, argv);
    const int nStarts = bSmoke ? 2 : 100, nRuns = bSmoke ? 1 : 5;
    const unsigned nLines = bSmoke ? 1000 : 160000, nLength = 100;  // per stream: 16 MB
    KxTarvo::Startup();
    KxTshProcess::SetupClass();
    char sz[MAX_PATH];
    GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string sChild(sz);
    sChild = sChild.substr(0, sChild.find_last_of('\\')) + "\\tsh_child.exe";

    double dBare = 0, dOurs = 0;
    BenchBestOfPair(nRuns, [&] { for (int i = 0; i < nStarts; ++i) BareStart(sChild); },
                    [&] { for (int i = 0; i < nStarts; ++i) Ours(sChild); }, &dBare, &dOurs);
    Kept();
    std::printf("%-8s %14s %14s %7s\n", "start", "bare ms/run", "Run ms/run", "ratio");
    std::printf("%-8s %14.2f %14.2f %7.2f\n", "", dBare * 1000 / nStarts, dOurs * 1000 / nStarts, dBare / dOurs);

    std::string sCommand = sChild + " both " + std::to_string(nLines) + " " + std::to_string(nLength);
    size_t nBytes = 2ull * nLines * nLength, nBare = 0, nOurs = 0;
    BenchBestOfPair(nRuns, [&] { nBare = BareCapture(sCommand); }, [&] { Ours(sCommand); }, &dBare, &dOurs);
    nOurs = Kept();
    if (nBare != nBytes || nOurs != nBytes) {
        std::printf("output incomplete: bare %zu, Run %zu of %zu bytes\n", nBare, nOurs, nBytes);
        return 1;
    }
    std::printf("%-8s %14s %14s %7s\n", "capture", "bare MB/s", "Run MB/s", "ratio");
    std::printf("%-8s %14.0f %14.0f %7.2f\n", "", nBytes / 1e6 / dBare, nBytes / 1e6 / dOurs, dBare / dOurs);

    const int nIdle = bSmoke ? 2 : 300, nDropped = bSmoke ? 4 : 1000;
    const DWORD dwIdleMs = bSmoke ? 100 : 5000;
    std::string sPause = sChild + " pause 600000";
    double dNone = CpuPerSecond(dwIdleMs);
    KxScVmEnv::SetGlobalVariable("N", KxScDataHandle::CreateData(nIdle), true, false);
    RunWith(sPause, "held = []; i = 0; while (i < N) { held.push(Process.Start(COMMAND)); i += 1; }");
    Sleep(dwIdleMs / 5);
    double dHeld = CpuPerSecond(dwIdleMs);
    RunWith(sPause, "held = nil;");
    KxScDataHandle::GarbageCollect();
    std::printf("%-8s %14s %14s %7s\n", "idle", "none CPU ms/s", "held CPU ms/s", "objects");
    std::printf("%-8s %14.1f %14.1f %7d\n", "", dNone, dHeld, nIdle);

    Peak bare, ours;
    bare.Look();
    for (int i = 0; i < nDropped; ++i) {
        PROCESS_INFORMATION pi = Launch(sPause, nullptr, nullptr);
        TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        if (i % 50 == 0) bare.Look();
    }
    // Fifty at a time, each dropped in a cycle of its own, looked at between.
    const int nChunk = nDropped < 50 ? nDropped : 50;
    KxScVmEnv::SetGlobalVariable("N", KxScDataHandle::CreateData(nChunk), true, false);
    for (int i = 0; i < nDropped; i += nChunk) {
        RunWith(sPause, "i = 0; while (i < N) { l = [Process.Start(COMMAND)]; l.push(l); i += 1; } l = nil;");
        ours.Look();
    }
    KxScDataHandle::GarbageCollect();
    std::printf("%-8s %14s %14s %7s\n", "dropped", "bare peak", "Start peak", "ratio");
    std::printf("%-8s %14d %14d %7.2f  threads\n", "", bare.nThreads, ours.nThreads, double(bare.nThreads) / ours.nThreads);
    std::printf("%-8s %14.1f %14.1f %7.2f  MiB private\n", "", bare.nPrivate / 1048576.0, ours.nPrivate / 1048576.0,
                double(bare.nPrivate) / ours.nPrivate);
    KxTshProcess::ShutdownClass();
    KxTarvo::Shutdown();
    return 0;
}
