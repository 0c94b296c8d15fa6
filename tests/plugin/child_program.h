#pragma once
// Where tsh_child.exe is: beside the test program.
#include <windows.h>

#include <string>

inline std::string ChildFolder() {
    char sz[MAX_PATH];
    GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string s(sz);
    return s.substr(0, s.find_last_of('\\'));
}
inline std::string ChildProgram() { return ChildFolder() + "\\tsh_child.exe"; }
