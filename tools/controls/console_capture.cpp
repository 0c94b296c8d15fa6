// console_capture: what the windowless host (tarvow.exe) does for Shell.Exec, with none of our
// code: a GUI program with no console allocates one, titles it, a thread looks for its window
// and hides it, and cmd's output is captured through an anonymous pipe three times (the pipe
// made the standard output and error, cmd started inheriting it, read to its end). Under the
// emulated 32-bit Wine such runs die or hang now and then as often as tarvow.exe does with
// the same script: run it many times and count its statuses (0 is a clean run).
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char kTitle[] = "Control Hidden Console";

BOOL CALLBACK HideIfConsole(HWND hWindow, LPARAM lParam) {
    char szText[256] = "";
    GetWindowTextA(hWindow, szText, sizeof szText);
    if (std::strcmp(szText, kTitle) == 0) {
        ShowWindow(hWindow, SW_HIDE);
        *reinterpret_cast<bool*>(lParam) = true;
    }
    return TRUE;
}

DWORD WINAPI FindConsole(void*) {
    bool bHidden = false;
    for (int nSpent = 0; !bHidden && nSpent < 5000; nSpent += 100) {
        EnumWindows(HideIfConsole, reinterpret_cast<LPARAM>(&bHidden));
        Sleep(100);
    }
    return 0;
}

// cmd's output through a pipe: the bytes read, or -1 when it could not be started.
long Capture() {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE hRead = nullptr, hWrite = nullptr;
    if (!CreatePipe(&hRead, &hWrite, &sa, 0)) return -1;
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE), hErr = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, hWrite);
    SetStdHandle(STD_ERROR_HANDLE, hWrite);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    char szLine[] = "cmd /c echo x";
    BOOL bStarted = CreateProcessA(nullptr, szLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    SetStdHandle(STD_OUTPUT_HANDLE, hOut);
    SetStdHandle(STD_ERROR_HANDLE, hErr);
    CloseHandle(hWrite);
    long nRead = bStarted ? 0 : -1;
    char buf[4096];
    DWORD dw = 0;
    while (bStarted && ReadFile(hRead, buf, sizeof buf, &dw, nullptr) && dw) nRead += static_cast<long>(dw);
    CloseHandle(hRead);
    if (bStarted) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    return nRead;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (!AllocConsole()) return 2;
    SetConsoleTitleA(kTitle);
    DWORD dwId = 0;
    HANDLE hThread = CreateThread(nullptr, 0, FindConsole, nullptr, 0, &dwId);
    long anRead[3];
    for (long& n : anRead) n = Capture();
    if (hThread) {
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
    }
    FreeConsole();
    for (long n : anRead)
        if (n <= 0) return 1;
    return 0;
}
