// write_call_off [ROUNDS [own]]: the steps of a write with a time to a program that does not
// read, with none of our code, ROUNDS (20) times: three named pipes, this process's ends
// overlapped, a program started on them (this one again, which writes "ready" and sleeps a
// minute without reading), one thread that keeps a read of each output pipe pending and makes
// the writes it is asked for; the main thread asks for 320 KiB to be written, asks the thread
// to call the write off (CancelIo) after 300 ms, then ends the program, and the thread sees
// both output pipes end. With "own", as when a program has closed its output: the program
// closes both output pipes before it sleeps, the thread sees them end, and the main thread
// makes the write itself and calls it off; then it writes to a program that has ended.
// Prints what each round gave; status 0 when every write was called off in time and every
// round ended. Under the emulated 32-bit Wine, run it many times and count the runs that die
// by a signal.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

const DWORD kPipeSize = 65536, kText = 327680;

struct Shared {
    HANDLE ahRead[2] = {};  // output, errors
    HANDLE hInput = nullptr;
    HANDLE hAsked = CreateEventA(nullptr, FALSE, FALSE, nullptr);     // a write, or its call-off
    HANDLE hAnswered = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // the write is over
    volatile LONG nCallOff = 0;
    volatile LONG nWhole = 0;
    char achRead[2][32768];
    char* pText = static_cast<char*>(std::calloc(kText, 1));
};

// Both ends of a pipe of one instance: ours overlapped, the program's plain and inheritable.
bool Pipe(int n, bool bToChild, HANDLE* phOurs, HANDLE* phChild) {
    char szName[80];
    std::snprintf(szName, sizeof szName, "\\\\.\\pipe\\control-%lu-%d-%lu", GetCurrentProcessId(), n, GetTickCount());
    *phOurs = CreateNamedPipeA(szName, (bToChild ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_BYTE | PIPE_WAIT, 1, kPipeSize, kPipeSize, 0, nullptr);
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    *phChild = CreateFileA(szName, bToChild ? GENERIC_READ : GENERIC_WRITE, 0, &sa, OPEN_EXISTING, 0, nullptr);
    return *phOurs != INVALID_HANDLE_VALUE && *phChild != INVALID_HANDLE_VALUE;
}

DWORD WINAPI Reader(void* pv) {
    Shared* p = static_cast<Shared*>(pv);
    OVERLAPPED aov[2] = {}, ovWrite = {};
    HANDLE ahDone[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE hWritten = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool abLive[2] = {true, true}, abPending[2] = {}, bWriting = false, bMade = false;
    while (abLive[0] || abLive[1] || bWriting) {
        HANDLE ahWait[4];
        DWORD nWait = 0;
        for (int i = 0; i < 2; ++i) {
            if (!abLive[i]) continue;
            if (!abPending[i]) {
                aov[i] = OVERLAPPED();
                aov[i].hEvent = ahDone[i];
                if (!ReadFile(p->ahRead[i], p->achRead[i], sizeof p->achRead[i], nullptr, &aov[i]) && GetLastError() != ERROR_IO_PENDING) {
                    abLive[i] = false;
                    continue;
                }
                abPending[i] = true;
            }
            ahWait[nWait++] = ahDone[i];
        }
        if (!abLive[0] && !abLive[1] && !bWriting) break;
        if (bWriting) ahWait[nWait++] = hWritten;
        ahWait[nWait++] = p->hAsked;
        DWORD dwWoken = WaitForMultipleObjects(nWait, ahWait, FALSE, INFINITE);
        for (int i = 0; i < 2; ++i) {
            if (!abPending[i] || !HasOverlappedIoCompleted(&aov[i])) continue;
            abPending[i] = false;
            DWORD dw = 0;
            if (!GetOverlappedResult(p->ahRead[i], &aov[i], &dw, FALSE)) abLive[i] = false;
        }
        bool bAsked = dwWoken == WAIT_OBJECT_0 + nWait - 1;
        if (bAsked && !bMade) {
            bMade = true;
            ovWrite.hEvent = hWritten;
            if (WriteFile(p->hInput, p->pText, kText, nullptr, &ovWrite) || GetLastError() == ERROR_IO_PENDING) bWriting = true;
            else SetEvent(p->hAnswered);
        } else if (bWriting && (HasOverlappedIoCompleted(&ovWrite) || (bAsked && p->nCallOff))) {
            if (!HasOverlappedIoCompleted(&ovWrite)) CancelIo(p->hInput);
            DWORD dw = 0;
            bool bTook = GetOverlappedResult(p->hInput, &ovWrite, &dw, TRUE) && dw == kText;
            InterlockedExchange(&p->nWhole, bTook ? 1 : 0);
            bWriting = false;
            SetEvent(p->hAnswered);
        }
    }
    for (HANDLE h : {ahDone[0], ahDone[1], hWritten}) CloseHandle(h);
    return 0;
}

// The write made by this thread, called off after 300 ms: whether it was not taken whole.
bool CalledOffHere(HANDLE hInput, const char* pText) {
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool bPending = WriteFile(hInput, pText, kText, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING;
    if (bPending && WaitForSingleObject(ov.hEvent, 300) != WAIT_OBJECT_0) CancelIo(hInput);
    DWORD dw = 0;
    bool bWhole = bPending && GetOverlappedResult(hInput, &ov, &dw, TRUE) && dw == kText;
    CloseHandle(ov.hEvent);
    return !bWhole;
}

bool bOwn = false;

// One round: 0 when the write was called off and everything ended.
int Round(int nRound) {
    HANDLE ahOurs[3], ahChild[3];
    for (int i = 0; i < 3; ++i)
        if (!Pipe(nRound * 3 + i, i == 0, &ahOurs[i], &ahChild[i])) return std::printf("round %d: no pipe\n", nRound), 1;
    char szSelf[MAX_PATH], szLine[MAX_PATH + 16];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    std::snprintf(szLine, sizeof szLine, "\"%s\" %s", szSelf, bOwn ? "closing" : "child");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ahChild[0];
    si.hStdOutput = ahChild[1];
    si.hStdError = ahChild[2];
    PROCESS_INFORMATION pi = {};
    BOOL bStarted = CreateProcessA(nullptr, szLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    for (HANDLE h : ahChild) CloseHandle(h);
    if (!bStarted) return std::printf("round %d: not started (error %lu)\n", nRound, GetLastError()), 1;
    Shared* p = new Shared;
    p->hInput = ahOurs[0];
    p->ahRead[0] = ahOurs[1];
    p->ahRead[1] = ahOurs[2];
    Sleep(500);  // the program writes "ready" and sleeps
    DWORD dwId = 0;
    HANDLE hThread = CreateThread(nullptr, 65536, Reader, p, STACK_SIZE_PARAM_IS_A_RESERVATION, &dwId);
    if (bOwn) {
        // The program closed its output: the thread ends, and this thread writes.
        bool bReaderEnded = WaitForSingleObject(hThread, 10000) == WAIT_OBJECT_0;
        std::printf("round %d: reader %s; writing from this thread\n", nRound, bReaderEnded ? "ended" : "still running");
        bool bCalledOff = CalledOffHere(p->hInput, p->pText);
        std::printf("round %d: write %s; ending the program\n", nRound, bCalledOff ? "called off" : "whole");
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 10000);
        DWORD dw = 0;
        bool bRefused = !WriteFile(p->hInput, "x", 1, &dw, nullptr) || dw == 0;
        std::printf("round %d: reader %s, write %s, to the ended program %s\n", nRound, bReaderEnded ? "ended" : "still running",
                    bCalledOff ? "called off" : "whole", bRefused ? "refused" : "taken");
        for (HANDLE h : ahOurs) CloseHandle(h);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        CloseHandle(hThread);
        return bReaderEnded && bCalledOff && bRefused ? 0 : 1;
    }
    SetEvent(p->hAsked);
    bool bInTime = WaitForSingleObject(p->hAnswered, 300) == WAIT_TIMEOUT;
    InterlockedExchange(&p->nCallOff, 1);
    SetEvent(p->hAsked);
    WaitForSingleObject(p->hAnswered, INFINITE);
    TerminateProcess(pi.hProcess, 1);
    bool bEnded = WaitForSingleObject(hThread, 10000) == WAIT_OBJECT_0;
    std::printf("round %d: write %s, called off %s, reader %s\n", nRound, p->nWhole ? "whole" : "not whole",
                bInTime ? "in time" : "early", bEnded ? "ended" : "still running");
    for (HANDLE h : ahOurs) CloseHandle(h);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(hThread);
    return !p->nWhole && bInTime && bEnded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "child") == 0 || std::strcmp(argv[1], "closing") == 0)) {
        DWORD dw = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready", 5, &dw, nullptr);
        if (argv[1][1] == 'l') {
            CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
            CloseHandle(GetStdHandle(STD_ERROR_HANDLE));
        }
        Sleep(60000);
        return 0;
    }
    // Each line out at once: a run that dies shows how far it came.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int nRounds = argc > 1 ? std::atoi(argv[1]) : 20, nFailed = 0;
    bOwn = argc > 2 && std::strcmp(argv[2], "own") == 0;
    for (int i = 0; i < nRounds; ++i) nFailed += Round(i);
    std::printf("%d of %d rounds failed\n", nFailed, nRounds);
    return nFailed ? 1 : 0;
}
