// Put in front of every GoogleTest compile (see wine-tests.cmake).
#pragma once
#include <windows.h>

// GoogleTest copies each failure and skip to the debugger output. Nothing listens there during
// a test run, and under the emulated 32-bit Wine the call brings the test program down.
inline void TshNoDebuggerOutput(const char*) {}
#define OutputDebugStringA TshNoDebuggerOutput

// GoogleTest's own Notification is built on std::mutex and std::condition_variable, which the
// win32 thread model of this compiler does not have. This one waits on a Win32 event.

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
public:
    Notification() : hEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(hEvent); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(hEvent); }
    void WaitForNotification() { WaitForSingleObject(hEvent, INFINITE); }

private:
    HANDLE hEvent;
};

}  // namespace testing::internal
