// File's line I/O against the bare Win32 loop doing the same work, in one run, over 64 MiB
// of lines 10, 100 and 1,000 bytes long:
//   reading: File's ReadLine (what ReadLn does, without making the script's string), and a
//     script loop of ReadLn, vs ReadFile into a 4 KiB buffer and a scan for LF that copies
//     each line out;
//   writing: File's WriteText with a line end (what WriteLn does), and a script loop of
//     WriteLn, vs one WriteFile per line with its CR LF.
// Ratio = bare time / our time (1.0: as fast as the bare loop).
#include <windows.h>

#include <cstdio>
#include <string>

#include "KxTshFile.h"
#include "KxTarvoHost.h"
#include "bench_clock.h"

KXTSH_DEFINE_STATICS(KxTshFile, "File");

namespace {

unsigned nTotal = 64u << 20;

HANDLE Create(const char* pszName, DWORD dwAccess, DWORD dwCreation) {
    return CreateFileA(pszName, dwAccess, FILE_SHARE_READ, nullptr, dwCreation,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// The bare loops; each returns the number of lines.
unsigned BareWrite(const char* pszName, const std::string& sLine, unsigned nLines) {
    HANDLE h = Create(pszName, GENERIC_WRITE, CREATE_ALWAYS);
    std::string sOut = sLine + "\r\n";
    for (unsigned i = 0; i < nLines; ++i) {
        DWORD dw;
        WriteFile(h, sOut.data(), static_cast<DWORD>(sOut.size()), &dw, nullptr);
    }
    CloseHandle(h);
    return nLines;
}

unsigned BareRead(const char* pszName) {
    HANDLE h = Create(pszName, GENERIC_READ, OPEN_EXISTING);
    char buf[4096];
    std::string sLine;
    unsigned nLines = 0;
    DWORD dw;
    while (ReadFile(h, buf, sizeof buf, &dw, nullptr) && dw) {
        const char* p = buf;
        const char* pEnd = buf + dw;
        while (p < pEnd) {
            const char* q = p;
            while (q < pEnd && *q != '\n') ++q;
            const char* pText = q;
            if (pText > p && pText[-1] == '\r') --pText;
            sLine.append(p, pText - p);
            if (q == pEnd) break;
            ++nLines;
            sLine.clear();
            p = q + 1;
        }
    }
    CloseHandle(h);
    return nLines;
}

unsigned OurWrite(const char* pszName, const std::string& sLine, unsigned nLines) {
    KxTshFile file;
    KxString sError, sText(sLine.c_str());
    file.OpenFile(pszName, KxTshFile::FS_WRITE, sError);
    for (unsigned i = 0; i < nLines; ++i) file.WriteText(sText, true);
    file.CloseFile();
    return nLines;
}

unsigned OurRead(const char* pszName) {
    KxTshFile file;
    KxString sError, sLine;
    file.OpenFile(pszName, KxTshFile::FS_READ, sError);
    unsigned nLines = 0;
    while (file.ReadLine(sLine)) ++nLines;
    return nLines;
}

unsigned ScriptRun(const std::string& sCode) {
    if (KxTarvo::RunSource(sCode.c_str(), "bench") != KxTarvo::RUN_OK) ExitProcess(1);
    KxScDataHandle* ph = nullptr;
    KxScVmEnv::GetGlobalVariable("n", &ph);
    KxScDataHandle::GarbageCollect();  // the script's File is closed before the next run
    return ph ? static_cast<unsigned>(ph->dwValue) : 0;
}

unsigned ScriptWrite(const char* pszName, const std::string& sLine, unsigned nLines) {
    return ScriptRun("f = File.Open(\"" + std::string(pszName) + "\", \"write\"); s = \"" + sLine +
                     "\"; n = 0; while (n < " + std::to_string(nLines) +
                     ") { f.WriteLn(s); n = n + 1; } f.Close();");
}

unsigned ScriptRead(const char* pszName) {
    return ScriptRun("f = File.Open(\"" + std::string(pszName) +
                     "\", \"read\"); n = 0; s = f.ReadLn(); while (s != nil) { n = n + 1; s = f.ReadLn(); } f = nil;");
}

// The best of nRuns runs (the short lines take long enough for one).
int nRuns = 1;
template <class F>
double Best(F f, unsigned nExpected) {
    return BenchBest(nRuns, [&] {
        if (f() != nExpected) ExitProcess(2);
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (BenchSmoke(argc, argv)) nTotal = 64u << 10;
    KxTarvo::Startup();
    KxTshFile::SetupClass();
    char szTemp[MAX_PATH];
    GetTempPathA(MAX_PATH, szTemp);
    std::string sBare = std::string(szTemp) + "tsh-bench-bare.txt";
    std::string sOurs = std::string(szTemp) + "tsh-bench-ours.txt";
    for (char& c : sBare) if (c == '\\') c = '/';
    for (char& c : sOurs) if (c == '\\') c = '/';
    const char* a = sBare.c_str();
    const char* b = sOurs.c_str();
    std::printf("%-10s %-8s %10s %10s %10s %7s %7s\n", "line", "op", "bare MB/s", "class MB/s", "script MB/s",
                "class", "script");
    for (unsigned nLength : {10u, 100u, 1000u}) {
        std::string sLine(nLength - 2, 'x');  // with CR LF the line is nLength bytes
        unsigned nLines = nTotal / nLength;
        nRuns = nLength < 100 ? 1 : 3;
        double dMB = double(nLines) * nLength / 1e6;
        double dBareW = Best([&] { return BareWrite(a, sLine, nLines); }, nLines);
        double dOurW = Best([&] { return OurWrite(b, sLine, nLines); }, nLines);
        double dScriptW = Best([&] { return ScriptWrite(b, sLine, nLines); }, nLines);
        std::printf("%4u bytes %-8s %10.0f %10.0f %10.0f %7.2f %7.2f\n", nLength, "write", dMB / dBareW,
                    dMB / dOurW, dMB / dScriptW, dBareW / dOurW, dBareW / dScriptW);
        double dBareR = Best([&] { return BareRead(a); }, nLines);
        double dOurR = Best([&] { return OurRead(b); }, nLines);
        double dScriptR = Best([&] { return ScriptRead(b); }, nLines);
        std::printf("%4u bytes %-8s %10.0f %10.0f %10.0f %7.2f %7.2f\n", nLength, "read", dMB / dBareR,
                    dMB / dOurR, dMB / dScriptR, dBareR / dOurR, dBareR / dScriptR);
    }
    DeleteFileA(a);
    DeleteFileA(b);
    KxTshFile::ShutdownClass();
    KxTarvo::Shutdown();
    return 0;
}
