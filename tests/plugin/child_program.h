#pragma once
// Where tsh_child.exe is (beside the test program), and starting programs and waiting for them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

inline std::string ChildFolder() {
    char sz[MAX_PATH];
    GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string s(sz);
    return s.substr(0, s.find_last_of('\\'));
}
inline std::string ChildProgram() { return ChildFolder() + "\\tsh_child.exe"; }

// Starts the command line; hOutput, when given, becomes its standard output and error. The
// thread handle is closed at once.
inline PROCESS_INFORMATION StartProgram(std::string sLine, DWORD dwFlags = 0, HANDLE hOutput = nullptr) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (hOutput) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = hOutput;
    }
    PROCESS_INFORMATION pi = {};
    EXPECT_TRUE(CreateProcessA(nullptr, &sLine[0], nullptr, nullptr, hOutput != nullptr, dwFlags, nullptr, nullptr, &si, &pi))
        << sLine;
    CloseHandle(pi.hThread);
    return pi;
}

// The exit code of the process once it has ended (999 when it has not within the time), its
// handle closed.
inline DWORD ExitCodeAfter(HANDLE hProcess, DWORD dwMs = 60000) {
    DWORD dw = 999;
    if (WaitForSingleObject(hProcess, dwMs) == WAIT_OBJECT_0) GetExitCodeProcess(hProcess, &dw);
    CloseHandle(hProcess);
    return dw;
}
