// spawn_loop [COUNT]: COUNT (200) starts in a row of a program that exits at once (this one),
// with CreateProcessA alone and a wait for each, none of our code: counts the starts the
// system refused, by error. Run several at once, beside other load, to see whether the
// system refuses starts now and then (Wine's error 1359, an internal error, was seen so).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "child") == 0) return 0;
    int nCount = argc > 1 ? std::atoi(argv[1]) : 200, nFailed = 0;
    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    for (int i = 0; i < nCount; ++i) {
        char szLine[MAX_PATH + 16];
        std::snprintf(szLine, sizeof szLine, "\"%s\" child", szSelf);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessA(nullptr, szLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            std::printf("start %d of %d refused: error %lu\n", i + 1, nCount, GetLastError());
            ++nFailed;
            continue;
        }
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    std::printf("%d of %d starts refused\n", nFailed, nCount);
    return nFailed ? 1 : 0;
}
