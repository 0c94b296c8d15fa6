// ctrl_c_wait: a console control handler, with none of our code. Prints "waiting", then
// waits until its handler is called; exits with 7 when it was (the handler gives TRUE), 1
// after a minute without. tests/ctrl-c sends SIGINT to tarvo.exe; send it to this program
// the same way (kill -INT, to its own process) to see whether the system delivers the
// event: Wine turns SIGINT into CTRL_C_EVENT.
#include <windows.h>

#include <cstdio>

namespace {

HANDLE hCalled = CreateEventA(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI OnControl(DWORD) {
    SetEvent(hCalled);
    return TRUE;
}

}  // namespace

int main() {
    SetConsoleCtrlHandler(OnControl, TRUE);
    std::printf("waiting\n");
    std::fflush(stdout);
    return WaitForSingleObject(hCalled, 60000) == WAIT_OBJECT_0 ? 7 : 1;
}
