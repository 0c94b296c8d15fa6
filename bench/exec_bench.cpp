// Capturing a program's output into a file: Shell.Exec into a File against the bare loop
// (an inheritable pipe, CreateProcess, ReadFile of 4 KiB, WriteFile of each chunk), in one run.
// The program is tsh_child writing 64 MiB in lines of 10, 100 and 1,000 bytes.
// Ratio = bare time / our time (1.0: as fast as the bare loop).
#include <windows.h>

#include <cstdio>
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

void Bare(std::string sCommand, const std::string& sOut) {
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
    DWORD dw, dwWritten;
    while (ReadFile(hRead, buf, sizeof buf, &dw, nullptr) && dw) WriteFile(hFile, buf, dw, &dwWritten, nullptr);
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

int main() {
    KxTarvo::Startup();
    KxTshShell::SetupClass();
    KxTshFile::SetupClass();
    char sz[MAX_PATH];
    GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string sChild(sz);
    sChild = sChild.substr(0, sChild.find_last_of('\\')) + "\\tsh_child.exe";
    GetTempPathA(MAX_PATH, sz);
    std::string sBare = std::string(sz) + "tsh-exec-bare.txt", sOurs = std::string(sz) + "tsh-exec-ours.txt";
    std::printf("%-10s %10s %10s %7s\n", "line", "bare MB/s", "Exec MB/s", "ratio");
    for (unsigned nLength : {10u, 100u, 1000u}) {
        unsigned nLines = (64u << 20) / nLength;
        std::string sCommand = sChild + " bulk " + std::to_string(nLines) + " " + std::to_string(nLength);
        double dBare = BenchBest(3, [&] { Bare(sCommand, sBare); });
        double dOurs = BenchBest(3, [&] { Ours(sCommand, sOurs); });
        unsigned long long nBytes = 1ull * nLines * nLength;
        if (SizeOf(sBare) != nBytes || SizeOf(sOurs) != nBytes) {
            std::printf("output incomplete: %llu and %llu of %llu bytes\n", SizeOf(sBare), SizeOf(sOurs), nBytes);
            return 1;
        }
        std::printf("%4u bytes %10.0f %10.0f %7.2f\n", nLength, nBytes / dBare / 1e6, nBytes / dOurs / 1e6, dBare / dOurs);
    }
    DeleteFileA(sBare.c_str());
    DeleteFileA(sOurs.c_str());
    KxTshFile::ShutdownClass();
    KxTshShell::ShutdownClass();
    KxTarvo::Shutdown();
    return 0;
}
