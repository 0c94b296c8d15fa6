#pragma once
// A fresh folder under the temporary folder, made the current folder for a test program's
// life, with helpers to write and read whole files in it byte for byte.
#include <windows.h>

#include <string>

class ScratchFolder {
public:
    explicit ScratchFolder(const char* pszName) {
        char szTemp[MAX_PATH];
        GetTempPathA(MAX_PATH, szTemp);
        sPath = std::string(szTemp) + pszName + "-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(sPath.c_str(), nullptr);
        SetCurrentDirectoryA(sPath.c_str());
    }
    static void Put(const char* pszName, const std::string& sBytes) {
        HANDLE h = CreateFileA(pszName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD dw = 0;
        WriteFile(h, sBytes.data(), static_cast<DWORD>(sBytes.size()), &dw, nullptr);
        CloseHandle(h);
    }
    // The file's bytes, or "<missing>" when it cannot be read.
    static std::string Get(const char* pszName) {
        HANDLE h = CreateFileA(pszName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return "<missing>";
        std::string s;
        char buf[65536];
        DWORD dw = 0;
        while (ReadFile(h, buf, sizeof buf, &dw, nullptr) && dw) s.append(buf, dw);
        CloseHandle(h);
        return s;
    }
    // Whether the program's ANSI code page holds the text exactly (UTF-8 holds every text).
    static bool CodePageHolds(const std::wstring& sText) {
        char sz[64];
        wchar_t aw[64];
        int n = WideCharToMultiByte(CP_ACP, 0, sText.c_str(), -1, sz, sizeof sz, nullptr, nullptr);
        return n > 0 && MultiByteToWideChar(CP_ACP, 0, sz, n, aw, 64) > 0 && sText == aw;
    }
    // Whether the system gives the file or folder a short (8.3) name the code page holds:
    // then that name reaches it (Wine makes one up for a name the page cannot hold).
    static bool HasShortName(const std::wstring& sPath) {
        wchar_t aw[MAX_PATH];
        DWORD n = GetShortPathNameW(sPath.c_str(), aw, MAX_PATH);
        return n > 0 && n < MAX_PATH && CodePageHolds(aw);
    }
    std::string sPath;
};
