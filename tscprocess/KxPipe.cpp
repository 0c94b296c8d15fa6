#include "KxPipe.h"

#include <cstdio>

namespace {

bool bAnonymousOnly = false;
// Pipes this large let a program write in big pieces between two reads.
const DWORD kPipeSize = 65536;
volatile LONG nNamed = 0;

// A named pipe of one instance, its name this process's own: our end overlapped, the
// program's end plain (programs expect plain handles on their standard streams).
bool OpenNamed(bool bToChild, KxPipe* p) {
    // Made without the heap: a failure here leaves no pipe half made.
    char sName[80];
    std::snprintf(sName, sizeof sName, "\\\\.\\pipe\\TscProcess-%lu-%ld-%lu", GetCurrentProcessId(),
                  static_cast<long>(InterlockedIncrement(&nNamed)), GetTickCount());
    p->hOurs = CreateNamedPipeA(sName, (bToChild ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeSize, kPipeSize, 0, nullptr);
    if (p->hOurs == INVALID_HANDLE_VALUE) {
        p->hOurs = nullptr;
        return false;
    }
    // The program's end may also ask its pipe's state, as programs do of their streams.
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    p->hChild = CreateFileA(sName, bToChild ? GENERIC_READ | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                            0, &sa, OPEN_EXISTING, 0, nullptr);
    if (p->hChild == INVALID_HANDLE_VALUE) {
        p->hChild = nullptr;
        p->CloseOurs();
        return false;
    }
    p->bOverlapped = true;
    return true;
}

// An anonymous pipe whose end this process keeps is replaced by a copy that is not
// inheritable, so that only the program's end reaches the program.
bool OpenAnonymous(bool bToChild, KxPipe* p) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE hRead = nullptr, hWrite = nullptr;
    if (!CreatePipe(&hRead, &hWrite, &sa, kPipeSize)) return false;
    p->hChild = bToChild ? hRead : hWrite;
    HANDLE hProcess = GetCurrentProcess();
    // The source is closed whatever the outcome.
    if (DuplicateHandle(hProcess, bToChild ? hWrite : hRead, hProcess, &p->hOurs, 0, FALSE,
                        DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE))
        return true;
    p->hOurs = nullptr;
    p->CloseChild();
    return false;
}

}  // namespace

bool KxPipe::OpenStreams(KxPipe (&aPipes)[3]) {
    for (int nKind = bAnonymousOnly ? 1 : 0; nKind < 2; ++nKind) {
        int nOpen = 0;
        while (nOpen < 3 && (nKind == 0 ? OpenNamed : OpenAnonymous)(nOpen == 0, &aPipes[nOpen])) ++nOpen;
        if (nOpen == 3) return true;
        // Made plain again: pipes of the next kind are not overlapped (a reader that took them
        // for overlapped ones would wait inside its reads).
        for (KxPipe& pipe : aPipes) {
            pipe.CloseChild();
            pipe.CloseOurs();
            pipe.bOverlapped = false;
        }
    }
    return false;
}

void KxPipe::CloseChild() {
    if (hChild) CloseHandle(hChild);
    hChild = nullptr;
}

void KxPipe::CloseOurs() {
    if (hOurs) CloseHandle(hOurs);
    hOurs = nullptr;
}

bool KxPipe::Write(const char* pText, DWORD nText, DWORD dwMs) const {
    if (!hOurs) return false;
    if (!bOverlapped) {
        DWORD dwDone = 0;
        while (nText > 0 && WriteFile(hOurs, pText, nText, &dwDone, nullptr) && dwDone > 0) {
            pText += dwDone;
            nText -= dwDone;
        }
        return nText == 0;
    }
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return false;
    DWORD dwStart = GetTickCount(), dwDone = 0;
    while (nText > 0) {
        if (!WriteFile(hOurs, pText, nText, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) break;
        DWORD dwWaited = GetTickCount() - dwStart;
        DWORD dwLeft = dwMs == INFINITE ? INFINITE : dwWaited < dwMs ? dwMs - dwWaited : 0;
        // Called off at the time; the text stays until the system gives the write back.
        if (WaitForSingleObject(ov.hEvent, dwLeft) != WAIT_OBJECT_0) CancelIo(hOurs);
        bool bWritten = GetOverlappedResult(hOurs, &ov, &dwDone, TRUE) && dwDone > 0;
        if (bWritten) {
            pText += dwDone;
            nText -= dwDone;
        }
        if (!bWritten || (nText > 0 && dwLeft == 0)) break;
    }
    CloseHandle(ov.hEvent);
    return nText == 0;
}

void KxPipe::UseAnonymous(bool bAnonymous) { bAnonymousOnly = bAnonymous; }
