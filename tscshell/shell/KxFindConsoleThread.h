#pragma once
#include <windows.h>

#include "KxThread.h"

// The title Shell gives the console it allocates, and the one the finder looks for.
extern const char kHiddenConsoleTitle[];

// A short-lived worker that hides the console window Shell allocated: for about five seconds
// it looks among the top-level windows for the one titled exactly kHiddenConsoleTitle and
// hides every such window. It is its own work item, and deletes itself when done.
class KxFindConsoleThread : public KxThread, public KxThreadWork {
public:
    KxFindConsoleThread();
    ~KxFindConsoleThread() override;
    void DoWork() override;

    static BOOL CALLBACK FindConsoleWindowProc(HWND hWindow, LPARAM lParam);
    static bool bConsoleHidden;
};
