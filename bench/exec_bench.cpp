// Capturing a program's output into a file: Shell.Exec into a File against two bare loops (an
// inheritable pipe, CreateProcess, ReadFile of 4 KiB), in one run:
//   block: one WriteFile of each 4 KiB read;
//   line:  one WriteFile of each line, CR LF included (what a File opened for writing does at
//          every line end), a line cut by a read joined up first.
// The program is tsh_child writing 64 MiB in lines of 10, 100 and 1,000 bytes.
// Ratio = bare time / our time (1.0: as fast as that bare loop).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "KxTarvoHost.h"
#include "KxTshFile.h"
#include "KxTshShell.h"
#include "bench_clock.h"

KXTSH_DEFINE_STATICS(KxTshShell, "Shell");
KXTSH_DEFINE_STATICS(KxTshFile, "File");

namespace {

unsigned long long SizeOf(const std::string& sPath) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(sPath.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Writes what the loop read: the whole block, or each complete line on its own.
typedef void (*Writer)(HANDLE hFile, const char* pData, DWORD dwSize, std::string& sPending);

void WriteBlock(HANDLE hFile, const char* pData, DWORD dwSize, std::string&) {
    DWORD dw;
    WriteFile(hFile, pData, dwSize, &dw, nullptr);
}

void WriteLines(HANDLE hFile, const char* pData, DWORD dwSize, std::string& sPending) {
    DWORD dw;
    const char* pEnd = pData + dwSize;
    for (const char* p = pData; p < pEnd;) {
        const char* q = static_cast<const char*>(std::memchr(p, '\n', pEnd - p));
        if (!q) {
            sPending.append(p, pEnd - p);
            break;
        }
        ++q;
        if (sPending.empty()) {
            WriteFile(hFile, p, static_cast<DWORD>(q - p), &dw, nullptr);
        } else {
            sPending.append(p, q - p);
            WriteFile(hFile, sPending.data(), static_cast<DWORD>(sPending.size()), &dw, nullptr);
            sPending.clear();
        }
        p = q;
    }
}

void Bare(std::string sCommand, const std::string& sOut, Writer pfnWrite) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE hRead, hWrite;
    CreatePipe(&hRead, &hWrite, &sa, 0);
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = hWrite;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &sCommand[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) ExitProcess(1);
    CloseHandle(hWrite);
    HANDLE hFile = CreateFileA(sOut.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    char buf[4096];
    DWORD dw;
    std::string sPending;
    while (ReadFile(hRead, buf, sizeof buf, &dw, nullptr) && dw) pfnWrite(hFile, buf, dw, sPending);
    WriteBlock(hFile, sPending.data(), static_cast<DWORD>(sPending.size()), sPending);
    CloseHandle(hFile);
    CloseHandle(hRead);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

void Ours(const std::string& sCommand, const std::string& sOut) {
    std::string sCode = "f = File.Open(\"" + sOut + "\", \"write\"); Shell.Exec(\"" + sCommand + "\", f); f.Close();";
    for (size_t i = 0; (i = sCode.find('\\', i)) != std::string::npos; i += 2) sCode.insert(i, "\\");
    if (KxTarvo::RunSource(sCode.c_str(), "bench") != KxTarvo::RUN_OK) ExitProcess(1);
    KxScDataHandle::GarbageCollect();
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned nTotal = BenchSmoke(argc, argv) ? 64u << 10 : 64u << 20;
    const int nRuns = BenchSmoke(argc, argv) ? 1 : 3;
    KxTarvo::Startup();
    KxTshShell::SetupClass();
    KxTshFile::SetupClass();
    char sz[MAX_PATH];
    GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string sChild(sz);
    sChild = sChild.substr(0, sChild.find_last_of('\\')) + "\\tsh_child.exe";
    GetTempPathA(MAX_PATH, sz);
    std::string sBlock = std::string(sz) + "tsh-exec-block.txt", sLines = std::string(sz) + "tsh-exec-lines.txt";
    std::string sOurs = std::string(sz) + "tsh-exec-ours.txt";
    std::printf("%-10s %10s %10s %10s %7s %7s\n", "line", "block MB/s", "line MB/s", "Exec MB/s", "block", "line");
    for (unsigned nLength : {10u, 100u, 1000u}) {
        unsigned nLines = nTotal / nLength;
        std::string sCommand = sChild + " bulk " + std::to_string(nLines) + " " + std::to_string(nLength);
        double dBlock = BenchBest(nRuns, [&] { Bare(sCommand, sBlock, WriteBlock); });
        double dLines = BenchBest(nRuns, [&] { Bare(sCommand, sLines, WriteLines); });
        double dOurs = BenchBest(nRuns, [&] { Ours(sCommand, sOurs); });
        unsigned long long nBytes = 1ull * nLines * nLength;
        for (const std::string* ps : {&sBlock, &sLines, &sOurs}) {
            if (SizeOf(*ps) != nBytes) {
                std::printf("output incomplete: %llu of %llu bytes in %s\n", SizeOf(*ps), nBytes, ps->c_str());
                return 1;
            }
        }
        double dMB = nBytes / 1e6;
        std::printf("%4u bytes %10.0f %10.0f %10.0f %7.2f %7.2f\n", nLength, dMB / dBlock, dMB / dLines, dMB / dOurs,
                    dBlock / dOurs, dLines / dOurs);
    }
    for (const std::string* ps : {&sBlock, &sLines, &sOurs}) DeleteFileA(ps->c_str());
    KxTshFile::ShutdownClass();
    KxTshShell::ShutdownClass();
    KxTarvo::Shutdown();
    return 0;
}
