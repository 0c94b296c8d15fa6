// long_names: whether the system keeps two file names apart that are longer than 255 bytes in
// UTF-8 (93 and 97 UTF-16 units of U+65E5), with none of our code: CreateFileW of both in a
// new folder, a different text written to each, each read back, and each one's file index.
// Prints "apart" when both names keep their own file, else "one file" and what was read.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::wstring Name(const std::wstring& sFolder, int nUnits) { return sFolder + L"\\" + std::wstring(nUnits, L'\x65e5'); }

bool Put(const std::wstring& sPath, const char* pszText) {
    HANDLE h = CreateFileW(sPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("CreateFileW for writing, %u units: error %lu\n", static_cast<unsigned>(sPath.size()), GetLastError());
        return false;
    }
    DWORD dw = 0;
    WriteFile(h, pszText, static_cast<DWORD>(std::strlen(pszText)), &dw, nullptr);
    CloseHandle(h);
    return true;
}

std::string Get(const std::wstring& sPath, DWORD* pdwIndex) {
    HANDLE h = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
    char buf[64] = "";
    DWORD dw = 0;
    ReadFile(h, buf, sizeof buf - 1, &dw, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(h, &info);
    *pdwIndex = info.nFileIndexLow;
    CloseHandle(h);
    return std::string(buf, dw);
}

}  // namespace

int main() {
    wchar_t awTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, awTemp);
    std::wstring sFolder = std::wstring(awTemp) + L"long-names-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(sFolder.c_str(), nullptr);
    std::wstring sShort = Name(sFolder, 93), sLong = Name(sFolder, 97);
    bool bPut = Put(sShort, "ninety-three") && Put(sLong, "ninety-seven");
    DWORD dwShort = 0, dwLong = 0;
    std::string sGotShort = Get(sShort, &dwShort), sGotLong = Get(sLong, &dwLong);
    bool bApart = bPut && sGotShort == "ninety-three" && sGotLong == "ninety-seven" && dwShort != dwLong;
    std::printf("93 units read \"%s\" (index %lu), 97 units read \"%s\" (index %lu): %s\n", sGotShort.c_str(), dwShort,
                sGotLong.c_str(), dwLong, bApart ? "apart" : "one file");
    DeleteFileW(sLong.c_str());
    std::printf("after deleting the 97-unit name the 93-unit one %s\n",
                GetFileAttributesW(sShort.c_str()) == INVALID_FILE_ATTRIBUTES ? "is gone too" : "is still there");
    DeleteFileW(sShort.c_str());
    RemoveDirectoryW(sFolder.c_str());
    return bApart ? 0 : 1;
}
