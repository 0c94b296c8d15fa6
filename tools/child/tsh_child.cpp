// tsh_child: the program the tests and benchmarks start. It carries out its arguments in
// order, then exits:
//   out TEXT      write TEXT to standard output (escapes: \r \n \0 \\ \xHH)
//   err TEXT      the same on standard error
//   pause MS      sleep
//   cat NAME      write the bytes of the file NAME to standard output, in one write
//   bulk N LEN    write N lines of LEN bytes each (LEN - 2 letters, then CR LF) to stdout
//   both N LEN    the same lines on standard output and on standard error, in turns of 64 KiB
//   tree DEPTH    start a copy of itself that runs "tree DEPTH-1" and the arguments after this
//                 one, on the same standard handles (none at DEPTH 0), then go on
//   leaf          after "tree": the processes of the tree but its last one exit here
//   early         (first only) before main, start a copy of itself that runs the arguments
//                 after this one, on the same standard handles; then go on with them
//   pid           write "pid ID" and CR LF to standard error, ID its process id
//   echo          copy standard input to standard output until its end
//   env NAME      write NAME's value (or "<unset>") and CR LF to stdout
//   envw NAME     write NAME's value as its UTF-16 units, four hex digits each, and CR LF
//   cwd           write the current folder and CR LF to stdout
//   cwdfile NAME  write the current folder into the file NAME (for detached runs)
//   waitfor NAME  wait until the file NAME exists (at most a minute)
//   window TITLE  open a window with that title, last in the z-order (it lives until the end)
//   idle MS       sleep while answering window messages (a close request ends the program)
//   close         close standard output and error, and go on without them
//   crash         write to address 0 (the program ends with the access violation's code)
//   exit CODE     the exit code (default 0)
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Put(DWORD dwStd, const std::string& s) {
    DWORD dw = 0;
    WriteFile(GetStdHandle(dwStd), s.data(), static_cast<DWORD>(s.size()), &dw, nullptr);
}

std::string Unescape(const char* p) {
    std::string s;
    for (; *p; ++p) {
        if (*p != '\\' || !p[1]) {
            s += *p;
            continue;
        }
        switch (*++p) {
        case 'r': s += '\r'; break;
        case 'n': s += '\n'; break;
        case '0': s += '\0'; break;
        case 'x':
            if (p[1] && p[2]) {
                s += static_cast<char>(std::strtol(std::string(p + 1, 2).c_str(), nullptr, 16));
                p += 2;
            }
            break;
        default: s += *p; break;
        }
    }
    return s;
}

LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_CLOSE) {
        DestroyWindow(hWnd);
        return 0;
    }
    if (uMsg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

void OpenWindow(const char* pszTitle) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "TshChildWindow";
    RegisterClassA(&wc);
    HWND hWnd = CreateWindowA("TshChildWindow", pszTitle, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                              nullptr, wc.hInstance, nullptr);
    // Last in the z-order, so that a scan of the top-level windows meets it after the input
    // method's window every GUI thread has: a task list then shows this window's title.
    SetWindowPos(hWnd, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// Sleeps for dwMs while dispatching messages; false once the window was closed.
bool Idle(DWORD dwMs) {
    DWORD dwEnd = GetTickCount() + dwMs;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return false;
            DispatchMessageA(&msg);
        }
        DWORD dwNow = GetTickCount();
        if (static_cast<int>(dwEnd - dwNow) <= 0) return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, dwEnd - dwNow, QS_ALLINPUT);
    }
}

// Starts a copy of this program with the command line's arguments, on the same standard
// handles.
void StartCopy(const std::string& sArguments) {
    char szSelf[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    std::string sLine = std::string("\"") + szSelf + "\"" + sArguments;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    if (CreateProcessA(nullptr, &sLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

// "early": the copy is started while the C library is still being set up, before main, as
// soon as anything of this program runs.
const bool bEarly = [] {
    const char* p = GetCommandLineA();
    // The program's own name, quoted or not, then the first argument.
    if (*p == '"') p = std::strchr(p + 1, '"') ? std::strchr(p + 1, '"') + 1 : "";
    else while (*p && *p != ' ' && *p != '\t') ++p;
    while (*p == ' ' || *p == '\t') ++p;
    if (std::strncmp(p, "early", 5) != 0 || (p[5] && p[5] != ' ' && p[5] != '\t')) return false;
    StartCopy(p + 5);
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    int nExit = 0;
    bool bLeaf = true;
    for (int i = 1; i < argc; ++i) {
        std::string sOp = argv[i];
        const char* pszArg = i + 1 < argc ? argv[i + 1] : "";
        if (sOp == "out" || sOp == "err") {
            Put(sOp == "out" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, Unescape(pszArg));
            ++i;
        } else if (sOp == "cat") {
            std::string sBytes;
            HANDLE h = CreateFileA(pszArg, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            char buf[65536];
            DWORD dw = 0;
            while (h != INVALID_HANDLE_VALUE && ReadFile(h, buf, sizeof buf, &dw, nullptr) && dw) sBytes.append(buf, dw);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            Put(STD_OUTPUT_HANDLE, sBytes);
            ++i;
        } else if (sOp == "pause") {
            Sleep(std::atoi(pszArg));
            ++i;
        } else if ((sOp == "bulk" || sOp == "both") && i + 2 < argc) {
            long nLines = std::atol(argv[i + 1]);
            int nLength = std::atoi(argv[i + 2]);
            std::string sLine(nLength > 2 ? nLength - 2 : 0, 'b');
            sLine += "\r\n";
            std::string sBlock;
            for (long n = 0; n < nLines; ++n) {
                sBlock += sLine;
                if (sBlock.size() >= 65536 || n + 1 == nLines) {
                    Put(STD_OUTPUT_HANDLE, sBlock);
                    if (sOp == "both") Put(STD_ERROR_HANDLE, sBlock);
                    sBlock.clear();
                }
            }
            i += 2;
        } else if (sOp == "tree" && i + 1 < argc) {
            int nDepth = std::atoi(pszArg);
            bLeaf = nDepth <= 0;
            if (nDepth > 0) {
                std::string sArguments = " tree " + std::to_string(nDepth - 1);
                for (int j = i + 2; j < argc; ++j) sArguments += std::string(" \"") + argv[j] + "\"";
                StartCopy(sArguments);
            }
            ++i;
        } else if (sOp == "early") {
            // Done before main.
        } else if (sOp == "leaf") {
            if (!bLeaf) break;
        } else if (sOp == "pid") {
            Put(STD_ERROR_HANDLE, "pid " + std::to_string(GetCurrentProcessId()) + "\r\n");
        } else if (sOp == "echo") {
            char buf[4096];
            DWORD dw = 0;
            while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &dw, nullptr) && dw)
                Put(STD_OUTPUT_HANDLE, std::string(buf, dw));
        } else if (sOp == "env") {
            const char* pszValue = std::getenv(pszArg);
            Put(STD_OUTPUT_HANDLE, std::string(pszValue ? pszValue : "<unset>") + "\r\n");
            ++i;
        } else if (sOp == "envw") {
            wchar_t szValue[256] = L"";
            std::wstring sName(pszArg, pszArg + std::strlen(pszArg));
            DWORD n = GetEnvironmentVariableW(sName.c_str(), szValue, 256);
            std::string sHex;
            char szUnit[8];
            for (DWORD u = 0; u < n && u < 256; ++u) {
                wsprintfA(szUnit, "%04x", static_cast<unsigned>(szValue[u]));
                sHex += szUnit;
            }
            Put(STD_OUTPUT_HANDLE, sHex + "\r\n");
            ++i;
        } else if (sOp == "cwd") {
            char sz[MAX_PATH] = "";
            GetCurrentDirectoryA(MAX_PATH, sz);
            Put(STD_OUTPUT_HANDLE, std::string(sz) + "\r\n");
        } else if (sOp == "cwdfile") {
            char sz[MAX_PATH] = "";
            GetCurrentDirectoryA(MAX_PATH, sz);
            HANDLE h = CreateFileA(pszArg, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD dw = 0;
            WriteFile(h, sz, static_cast<DWORD>(strlen(sz)), &dw, nullptr);
            CloseHandle(h);
            ++i;
        } else if (sOp == "waitfor") {
            for (int n = 0; n < 3000 && GetFileAttributesA(pszArg) == INVALID_FILE_ATTRIBUTES; ++n) Sleep(20);
            ++i;
        } else if (sOp == "window") {
            OpenWindow(pszArg);
            ++i;
        } else if (sOp == "idle") {
            if (!Idle(static_cast<DWORD>(std::atoi(pszArg)))) return 3;
            ++i;
        } else if (sOp == "close") {
            HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE), hErr = GetStdHandle(STD_ERROR_HANDLE);
            CloseHandle(hOut);
            if (hErr != hOut) CloseHandle(hErr);
        } else if (sOp == "crash") {
            *static_cast<volatile int*>(nullptr) = 1;
        } else if (sOp == "exit") {
            nExit = std::atoi(pszArg);
            ++i;
        }
    }
    return nExit;
}
