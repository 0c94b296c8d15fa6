// thread_start_loop [COUNT]: COUNT (300) rounds in which this thread spins on a flag, making
// no system call, while a thread it has just created sleeps 20 ms and sets the flag; then a
// wait for that thread. None of our code: what the runtime's test of a run stopped from
// another thread does (HostInterrupt), without the runtime. Under the emulated 32-bit Wine
// that test ended once with "wine client error:...: read: Bad file descriptor" and "qemu:
// uncaught target signal 11" in a whole run of the suite (and the test after the next one,
// in other runs, with the second alone); run this there, several at once
// beside other load, to see whether thread starts beside a spinning thread fail alone.
// Prints each round that went wrong and the rounds done; exits 0 when all were. Seen there,
// two at once, six runs of 300 rounds: every round of every run went right, and in four of
// the runs the same notes came out beside them (seven "uncaught target signal 11", three
// "wine client error: read/write: Bad file descriptor" or "Bad address"): from other
// processes of the prefix that share the output, since the program itself ran to its end.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {
volatile LONG gnFlag = 0;

DWORD WINAPI SetSoon(void*) {
    Sleep(20);
    InterlockedExchange(&gnFlag, 1);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    int nCount = argc > 1 ? std::atoi(argv[1]) : 300, nWrong = 0;
    for (int i = 0; i < nCount; ++i) {
        gnFlag = 0;
        HANDLE hThread = CreateThread(nullptr, 0, SetSoon, nullptr, 0, nullptr);
        if (!hThread) {
            std::printf("round %d: CreateThread failed, error %lu\n", i, GetLastError());
            ++nWrong;
            continue;
        }
        while (gnFlag == 0) {
        }
        if (WaitForSingleObject(hThread, 10000) != WAIT_OBJECT_0) {
            std::printf("round %d: the thread did not end, error %lu\n", i, GetLastError());
            ++nWrong;
        }
        CloseHandle(hThread);
    }
    std::printf("thread_start_loop: %d rounds, %d went wrong\n", nCount, nWrong);
    return nWrong ? 1 : 0;
}
