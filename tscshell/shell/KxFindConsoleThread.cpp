#include "KxFindConsoleThread.h"

#include <cstring>

const char kHiddenConsoleTitle[] = "Tarvo Hidden Console";
bool KxFindConsoleThread::bConsoleHidden = false;

KxFindConsoleThread::KxFindConsoleThread() : KxThread(KX_THREAD_SELF_DELETING) {}

KxFindConsoleThread::~KxFindConsoleThread() = default;

void KxFindConsoleThread::DoWork() {
    // The window appears some time after the console is made: look again every 100 ms.
    for (int nSpent = 0; !bConsoleHidden && nSpent < 5000; nSpent += 100) {
        EnumWindows(FindConsoleWindowProc, 0);
        Sleep(100);
    }
    SignalShutdown(false);
}

BOOL CALLBACK KxFindConsoleThread::FindConsoleWindowProc(HWND hWindow, LPARAM) {
    char szText[256];
    szText[0] = 0;
    GetWindowTextA(hWindow, szText, sizeof szText);
    if (std::strcmp(szText, kHiddenConsoleTitle) == 0) {
        ShowWindow(hWindow, SW_HIDE);
        bConsoleHidden = true;
    }
    return TRUE;
}
