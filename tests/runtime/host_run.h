#pragma once
// Runs tarvo.exe (beside the test program) as a user runs it from a shell, in the current
// folder: its output and errors into one file, its standard input a pipe that holds the text
// given (then ends), or the NUL device.
#include <windows.h>

#include <cstring>
#include <string>

#include "../plugin/child_program.h"
#include "../plugin/scratch_folder.h"

struct HostRun {
    DWORD dwStatus;
    std::string sOut;  // standard output and error together, CRs taken out
    // "status N", a line end, then the output.
    std::string Text() const { return "status " + std::to_string(dwStatus) + "\n" + sOut; }
};

// Starts tarvo.exe with the arguments; the caller waits for it and reads "host-out.txt".
inline PROCESS_INFORMATION StartTarvo(const std::string& sArgs, const char* pszInput, DWORD dwFlags) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE hOut = CreateFileA("host-out.txt", GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    HANDLE hIn = INVALID_HANDLE_VALUE, hWrite = INVALID_HANDLE_VALUE;
    if (pszInput) {
        CreatePipe(&hIn, &hWrite, &sa, 1 << 16);
        SetHandleInformation(hWrite, HANDLE_FLAG_INHERIT, 0);
        DWORD dw = 0;
        WriteFile(hWrite, pszInput, static_cast<DWORD>(std::strlen(pszInput)), &dw, nullptr);
        CloseHandle(hWrite);
    } else {
        hIn = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    }
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hIn;
    si.hStdOutput = si.hStdError = hOut;
    PROCESS_INFORMATION pi = {};
    std::string sLine = "\"" + ChildFolder() + "\\tarvo.exe\" " + sArgs;
    EXPECT_TRUE(CreateProcessA(nullptr, &sLine[0], nullptr, nullptr, TRUE, dwFlags, nullptr, nullptr, &si, &pi)) << sLine;
    CloseHandle(pi.hThread);
    CloseHandle(hIn);
    CloseHandle(hOut);
    return pi;
}

inline std::string HostOutput() {
    std::string s;
    for (char c : ScratchFolder::Get("host-out.txt"))
        if (c != '\r') s += c;
    return s;
}

inline HostRun RunTarvo(const std::string& sArgs, const char* pszInput = nullptr) {
    DWORD dwStatus = ExitCodeAfter(StartTarvo(sArgs, pszInput, 0).hProcess, 120000);
    return HostRun{dwStatus, HostOutput()};
}
