// The test programs' entry point. A program ends as soon as its cases have run and their
// summary is out: under the emulated 32-bit Wine an ordinary process exit (its threads'
// ends, the libraries' detach) now and then crashes or hangs in ntdll after all the work is
// done, which would lose the program's verdict or hold the run for its whole time limit.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    int nResult = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(nResult));
    return nResult;
}
