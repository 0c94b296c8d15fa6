// thread_end_suspend [nothread]: starts a thread that ends at once and waits for it (unless
// "nothread"), then runs itself again as a child that suspends this program's main thread,
// reads its context and resumes it, 500 times, while the main thread spins. None of our code.
// Under the emulated 32-bit Wine, the runtime's tests ended now and then with "qemu: uncaught
// target signal 11" (a whole run forgave it as a crash, and it came in the test after a thread
// of the test program had ended: HostInterrupt, then HostSequence, reliably beside other load).
// The program's core showed Wine's own signal handler faulting: it had reloaded the thread's
// TEB selector and NtCurrentTeb() then gave null. Run this there to see whether a signal
// Wine sends the main thread after another thread ended is enough.
// Seen there, three runs each way: with the thread, the program ends at the child's first
// suspension with "qemu: uncaught target signal 11" (status 139); with "nothread", all 500
// suspensions pass and it runs to its end. Under the 64-bit Wine (no emulator) both ways run
// to their end. The emulator keeps one table of thread-local descriptors for all the threads
// of a process; since tools/wine32/preload.c writes the thread's own bases back into it before
// Wine's handlers run, both ways run to their end there too (three runs with the thread).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
DWORD WINAPI EndAtOnce(void*) { return 0; }

int Suspender(DWORD dwThread) {
    HANDLE h = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, dwThread);
    int nDone = 0;
    for (; h && nDone < 500; ++nDone) {
        CONTEXT ctx = {};
        ctx.ContextFlags = CONTEXT_CONTROL;
        if (SuspendThread(h) == static_cast<DWORD>(-1)) break;
        GetThreadContext(h, &ctx);
        ResumeThread(h);
        Sleep(5);
    }
    std::printf("child: %d suspensions of 500 (error %lu)\n", nDone, GetLastError());
    return nDone == 500 ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "suspend") return Suspender(std::strtoul(argv[2], nullptr, 10));
    bool bThread = !(argc > 1 && std::string(argv[1]) == "nothread");
    if (bThread) {
        HANDLE hThread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
        if (!hThread || WaitForSingleObject(hThread, 10000) != WAIT_OBJECT_0) {
            std::printf("the thread did not start or end, error %lu\n", GetLastError());
            return 2;
        }
        CloseHandle(hThread);
    }
    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    std::string sCommand = std::string("\"") + szSelf + "\" suspend " + std::to_string(GetCurrentThreadId());
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &sCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("CreateProcess failed, error %lu\n", GetLastError());
        return 2;
    }
    volatile unsigned nSpins = 0;
    while (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) ++nSpins;
    DWORD dwStatus = 1;
    GetExitCodeProcess(pi.hProcess, &dwStatus);
    std::printf("main (%s): ran to its end; the child's status %lu\n", bThread ? "a thread ended before" : "no thread",
                dwStatus);
    return static_cast<int>(dwStatus);
}
