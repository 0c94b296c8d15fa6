#pragma once
// Where tsh_child.exe is: beside the test program.
#include <windows.h>

#include <cstdlib>
#include <string>

// Where the Wine running the tests cannot show windows of other programs (tools/wine-run says
// why), a test that needs them is skipped with that reason.
#define SKIP_WITHOUT_WINDOWS() \
    if (const char* pszWhy = getenv("TSH_NO_WINDOWS")) GTEST_SKIP() << pszWhy

inline std::string ChildFolder() {
    char sz[MAX_PATH];
    GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string s(sz);
    return s.substr(0, s.find_last_of('\\'));
}
inline std::string ChildProgram() { return ChildFolder() + "\\tsh_child.exe"; }
