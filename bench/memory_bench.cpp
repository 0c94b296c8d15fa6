// Peak memory of scripts that make values and drop them, each loop run short and long:
//   x = "a" + i                          10^4 and 10^7 times
//   f = File.Open(PATH, "read")          10^3 and 10^5 times (dropped without Close)
//   e = error(1, S), S of 64 KiB         10^2 and 10^5 times
//   d = Directory.Open(FOLDER)           4 and 4,000 times, a folder of 1,500 entries
//   a list that holds itself              10^4 and 10^6 times
//   a map of 100 entries of S             10^2 and 10^5 times
// Goal: the long run's peak within 2x of the short run's: the collector keeps pace, so what
// a loop leaves behind does not grow with the number of times it ran.
// And what a script keeps: a list of integers and a map of integers to integers, 10^4 and
// 10^6 items, reported as the bytes an item costs (the growth between the two runs).
// Each run is a process of its own (this program again, given the run's number), which
// reports its peak working set before and after the script.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KxTarvoHost.h"
#include "KxTshDirectory.h"
#include "KxTshFile.h"
#include "bench_clock.h"

KXTSH_DEFINE_STATICS(KxTshFile, "File");
KXTSH_DEFINE_STATICS(KxTshDirectory, "Directory");

namespace {

struct Loop {
    const char* pszName;
    const char* pszBody;  // run with the counter i
    unsigned nShort, nLong;
    bool bKept;           // the loop keeps what it makes: bytes an item, not long/short
};
const Loop kLoops[] = {
    {"x = \"a\" + i", "x = \"a\" + i;", 10000, 10000000, false},
    {"dropped File", "f = File.Open(PATH, \"read\");", 1000, 100000, false},
    {"64 KiB error", "e = error(1, S);", 100, 100000, false},
    {"Directory", "d = Directory.Open(FOLDER);", 4, 4000, false},
    {"list cycle", "l = [i, \"x\"]; push(l, l);", 10000, 1000000, false},
    {"100-entry map", "m = {}; for (j = 0; j < 100; j += 1) { m[j] = S; }", 100, 100000, false},
    {"kept list", "push(KEPT, i);", 10000, 1000000, true},
    {"kept map", "KEPTMAP[i] = i;", 10000, 1000000, true},
};
// A smoke run's loops run this many times fewer (its runs are told so too).
unsigned nDivisor = 1;
const int kFolderEntries = 1500;

SIZE_T PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return pmc.PeakWorkingSetSize;
}

// The file the File loop opens, with '/' so that it needs no escapes in a script.
std::string ScratchFile() {
    char szTemp[MAX_PATH];
    GetTempPathA(MAX_PATH, szTemp);
    std::string sPath = std::string(szTemp) + "tsh-bench-memory.txt";
    for (char& c : sPath)
        if (c == '\\') c = '/';
    return sPath;
}

// The folder the Directory loop opens, made with its entries when it is not there yet.
std::string ScratchFolder() {
    std::string sFolder = ScratchFile() + ".d";
    if (CreateDirectoryA(sFolder.c_str(), nullptr) || GetLastError() != ERROR_ALREADY_EXISTS) {
        for (int i = 0; i < kFolderEntries; ++i) {
            std::string sName = sFolder + "/entry-with-a-name-of-some-length-" + std::to_string(i) + ".txt";
            CloseHandle(CreateFileA(sName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        }
    }
    return sFolder;
}

// One run, in this process: prints "BEFORE AFTER", the peaks in bytes.
int RunOne(const Loop& loop, unsigned nTimes) {
    std::string sPath = ScratchFile();
    HANDLE h = CreateFileA(sPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(h);
    std::string sFolder = ScratchFolder();
    KxTarvo::Startup();
    KxTshFile::SetupClass();
    KxTshDirectory::SetupClass();
    std::string sCode = "PATH = \"" + sPath + "\"; FOLDER = \"" + sFolder +
                        "\"; S = \"x\"; while (len(S) < 65536) { S = S + S; } KEPT = []; KEPTMAP = {}; i = 0; while (i < " +
                        std::to_string(nTimes) + ") { " + loop.pszBody + " i = i + 1; }";
    SIZE_T nBefore = PeakWorkingSet();
    int nStatus = KxTarvo::RunSource(sCode.c_str(), "bench");
    SIZE_T nAfter = PeakWorkingSet();
    KxTshDirectory::ShutdownClass();
    KxTshFile::ShutdownClass();
    KxTarvo::Shutdown();
    DeleteFileA(sPath.c_str());
    if (nStatus != KxTarvo::RUN_OK) return 1;
    std::printf("%llu %llu\n", static_cast<unsigned long long>(nBefore),
                static_cast<unsigned long long>(nAfter));
    return 0;
}

// How many times a run of the loop goes round: at least once, even in a smoke run.
unsigned Times(const Loop& loop, bool bLong) {
    unsigned n = (bLong ? loop.nLong : loop.nShort) / nDivisor;
    return n ? n : 1;
}

// Runs this program on one run and reads its two figures; false when it failed.
bool Measure(int nRun, double* pdBeforeMB, double* pdAfterMB) {
    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    std::string sCommand = "\"" + std::string(szSelf) + "\" " + (nDivisor > 1 ? "--smoke " : "") + std::to_string(nRun);
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE hRead, hWrite;
    if (!CreatePipe(&hRead, &hWrite, &sa, 0)) return false;
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hWrite;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi;
    BOOL bStarted = CreateProcessA(nullptr, &sCommand[0], nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &si, &pi);
    CloseHandle(hWrite);
    std::string sOut;
    char buf[256];
    DWORD dw;
    while (bStarted && ReadFile(hRead, buf, sizeof buf, &dw, nullptr) && dw) sOut.append(buf, dw);
    CloseHandle(hRead);
    if (!bStarted) return false;
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    unsigned long long qwBefore = 0, qwAfter = 0;
    if (std::sscanf(sOut.c_str(), "%llu %llu", &qwBefore, &qwAfter) != 2) return false;
    *pdBeforeMB = qwBefore / 1048576.0;
    *pdAfterMB = qwAfter / 1048576.0;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int nLoops = sizeof kLoops / sizeof kLoops[0];
    if (BenchSmoke(argc, argv)) {
        nDivisor = 1000;
        --argc;
        ++argv;
    }
    if (argc > 1) {
        int nRun = std::atoi(argv[1]);
        if (nRun < 0 || nRun >= 2 * nLoops) return 2;
        const Loop& loop = kLoops[nRun / 2];
        return RunOne(loop, Times(loop, nRun % 2));
    }
    std::printf("%-14s %10s %14s %14s %10s\n", "loop", "times", "peak MB", "script MB", "long/short");
    for (int i = 0; i < nLoops; ++i) {
        double dPeak[2], dScript[2];
        for (int j = 0; j < 2; ++j) {
            double dBefore, dAfter;
            if (!Measure(2 * i + j, &dBefore, &dAfter)) {
                std::printf("%s: the run failed\n", kLoops[i].pszName);
                return 1;
            }
            dPeak[j] = dAfter;
            dScript[j] = dAfter - dBefore;
            std::printf("%-14s %10u %14.1f %14.1f", kLoops[i].pszName,
                        Times(kLoops[i], j), dPeak[j], dScript[j]);
            if (j && !kLoops[i].bKept) std::printf(" %10.2f", dPeak[1] / dPeak[0]);
            if (j && kLoops[i].bKept)
                std::printf(" %7.0f bytes an item",
                            (dScript[1] - dScript[0]) * 1048576.0 / (Times(kLoops[i], 1) - Times(kLoops[i], 0)));
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    return 0;
}
