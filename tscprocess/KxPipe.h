#pragma once
// The pipes between this process and a program it starts. Where the system has named pipes
// (NT and later), this process's end is opened for overlapped use: a reader waits on it
// without polling and can be called off. Where it has only anonymous pipes (98, ME), both
// ends are plain and readers poll.
#include <windows.h>

struct KxPipe {
    HANDLE hChild = nullptr;  // inheritable: the program's end
    HANDLE hOurs = nullptr;   // not inheritable
    bool bOverlapped = false;

    // The program's input, output and errors, all of one kind: named where the system makes
    // them, else anonymous. False (and no handle) when the system cannot make them.
    static bool OpenStreams(KxPipe (&aPipes)[3]);
    void CloseChild();
    void CloseOurs();

    // Writes the whole text to our end from this thread, waiting up to dwMs (INFINITE: as long
    // as it takes) for the program to read it; false when it ended its end, or did not take the
    // text whole in time (a part may have reached it). A plain pipe cannot be called off: there
    // the wait is as long as the program takes.
    bool Write(const char* pText, DWORD nText, DWORD dwMs) const;

    // Makes later pipes anonymous, as on the systems without named pipes (the tests reach the
    // polling reader that way).
    static void UseAnonymous(bool bAnonymous);
};
