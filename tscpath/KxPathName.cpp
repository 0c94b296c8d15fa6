#include "KxPathName.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <memory>

#include "KxTshClass.h"

namespace KxPath {

namespace {
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool StartsWith(const std::wstring& s, const wchar_t* pszPrefix) { return s.compare(0, wcslen(pszPrefix), pszPrefix) == 0; }

// After a UNC root's two backslashes: the server, a backslash, the share and the backslash
// after it, if any.
size_t UncRootLength(const std::wstring& s, size_t nFrom) {
    size_t nServer = s.find(L'\\', nFrom);
    if (nServer == std::wstring::npos) return s.size();
    size_t nShare = s.find(L'\\', nServer + 1);
    return nShare == std::wstring::npos ? s.size() : nShare + 1;
}

// The path without the separators at its end, its root kept whole.
std::wstring Trimmed(const std::wstring& s) {
    size_t nRoot = RootLength(s), n = s.size();
    while (n > nRoot && IsSeparator(s[n - 1])) --n;
    return s.substr(0, n);
}

// Where the last name of a trimmed path starts.
size_t NameStart(const std::wstring& s) {
    size_t nRoot = RootLength(s);
    size_t nLast = s.find_last_of(L"\\/");
    return nLast == std::wstring::npos || nLast < nRoot ? nRoot : nLast + 1;
}
}  // namespace

bool Wide(const KxString& sText, std::wstring& sWide) {
    const char* p = sText;
    int nBytes = static_cast<int>(sText.Length());
    sWide.clear();
    if (nBytes == 0) return true;
    if (!p || std::memchr(p, 0, nBytes)) return false;
    int nChars = MultiByteToWideChar(CP_UTF8, 0, p, nBytes, nullptr, 0);
    if (nChars <= 0) return false;
    sWide.resize(nChars);
    if (MultiByteToWideChar(CP_UTF8, 0, p, nBytes, &sWide[0], nChars) != nChars) return false;
    // Bytes that are no UTF-8 become U+FFFD on the way: the text back must be the text given.
    KxString sBack = Utf8(sWide);
    return sBack.Length() == sText.Length() && std::memcmp(sBack, p, nBytes) == 0;
}

KxString Utf8(const std::wstring& sWide) {
    KxString sText = KxTsh::Join("");
    if (sWide.empty()) return sText;
    int nChars = static_cast<int>(sWide.size());
    int nBytes = WideCharToMultiByte(CP_UTF8, 0, sWide.data(), nChars, nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0) throw std::bad_alloc();
    std::unique_ptr<char[]> p(new char[nBytes]);
    if (WideCharToMultiByte(CP_UTF8, 0, sWide.data(), nChars, p.get(), nBytes, nullptr, nullptr) != nBytes)
        throw std::bad_alloc();
    KxTsh::Append(sText, p.get(), static_cast<unsigned>(nBytes));
    return sText;
}

std::wstring Slashed(std::wstring s) {
    for (wchar_t& c : s)
        if (c == L'/') c = L'\\';
    return s;
}

bool HasWildcards(const std::wstring& s) {
    return s.find_first_of(L"*?", StartsWith(s, L"\\\\?\\") ? 4 : 0) != std::wstring::npos;
}

size_t RootLength(const std::wstring& s) {
    if (StartsWith(s, L"\\\\?\\UNC\\")) return UncRootLength(s, 8);
    if (StartsWith(s, L"\\\\?\\")) return 4 + RootLength(s.substr(4));
    if (s.size() >= 2 && IsSeparator(s[0]) && IsSeparator(s[1])) return UncRootLength(Slashed(s), 2);
    if (s.size() >= 2 && s[1] == L':' && ((s[0] | 0x20) >= L'a' && (s[0] | 0x20) <= L'z'))
        return s.size() >= 3 && IsSeparator(s[2]) ? 3 : 2;
    return !s.empty() && IsSeparator(s[0]) ? 1 : 0;
}

std::wstring Plain(const std::wstring& s) {
    if (StartsWith(s, L"\\\\?\\UNC\\")) return L"\\" + s.substr(7);
    if (StartsWith(s, L"\\\\?\\")) return s.substr(4);
    return s;
}

bool Full(const std::wstring& sPath, std::wstring& sFull, unsigned long& dwError) {
    // The long form is taken as it is: the system makes nothing of it.
    if (StartsWith(sPath, L"\\\\?\\")) {
        sFull = sPath;
        return true;
    }
    const DWORD kRoom = 32768;
    std::unique_ptr<wchar_t[]> p(new wchar_t[kRoom]);
    DWORD n = sPath.empty() ? 0 : GetFullPathNameW(sPath.c_str(), kRoom, p.get(), nullptr);
    if (n == 0 || n >= kRoom) {
        dwError = n == 0 && !sPath.empty() ? GetLastError() : ERROR_INVALID_NAME;
        return false;
    }
    sFull.assign(p.get(), n);
    // A device ("\\.\COM1") keeps its own form.
    if (!StartsWith(sFull, L"\\\\.\\"))
        sFull = StartsWith(sFull, L"\\\\") ? L"\\\\?\\UNC\\" + sFull.substr(2) : L"\\\\?\\" + sFull;
    sFull = Trimmed(sFull);
    return true;
}

std::wstring Shown(const std::wstring& sFull) {
    std::wstring s = Plain(sFull);
    // A folder's name in the classic form leaves room for an 8.3 name within MAX_PATH.
    return s.size() <= MAX_PATH - 13 ? s : sFull;
}

std::wstring Join(const std::wstring& sA, const std::wstring& sB) {
    if (sB.empty()) return Slashed(sA);
    if (sA.empty() || RootLength(sB) > 0) return Slashed(sB);
    std::wstring s = Slashed(Trimmed(sA));
    if (s.back() != L'\\') s += L'\\';
    return s + Slashed(sB);
}

std::wstring Parent(const std::wstring& sPath) {
    std::wstring s = Slashed(Trimmed(sPath));
    size_t nRoot = RootLength(s);
    if (s.size() <= nRoot) return L"";
    return Trimmed(s.substr(0, NameStart(s)));
}

std::wstring Name(const std::wstring& sPath) {
    std::wstring s = Trimmed(sPath);
    return s.substr(NameStart(s));
}

std::wstring Extension(const std::wstring& sPath) {
    std::wstring sName = Name(sPath);
    size_t nDot = sName.rfind(L'.');
    return nDot == std::wstring::npos || nDot == 0 ? L"" : sName.substr(nDot);
}

std::wstring Upper(std::wstring s) {
    if (!s.empty()) CharUpperBuffW(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

bool IsInside(const std::wstring& sFullPath, const std::wstring& sFullFolder) {
    std::wstring sPath = Upper(Trimmed(Plain(sFullPath))), sFolder = Upper(Trimmed(Plain(sFullFolder)));
    if (sPath == sFolder) return true;
    if (sFolder.empty() || sFolder.back() != L'\\') sFolder += L'\\';
    return StartsWith(sPath, sFolder.c_str());
}

bool Matches(const std::wstring& sName, const std::wstring& sPattern) {
    std::wstring n = Upper(sName), p = Upper(sPattern);
    // The last '*' seen and where in the name it stood: a mismatch lets it take one more
    // character.
    size_t i = 0, j = 0, nStar = std::wstring::npos, nFrom = 0;
    while (i < n.size()) {
        if (j < p.size() && (p[j] == L'?' || p[j] == n[i])) {
            ++i;
            ++j;
        } else if (j < p.size() && p[j] == L'*') {
            nStar = j++;
            nFrom = i;
        } else if (nStar != std::wstring::npos) {
            j = nStar + 1;
            i = ++nFrom;
        } else {
            return false;
        }
    }
    while (j < p.size() && p[j] == L'*') ++j;
    return j == p.size();
}

}  // namespace KxPath
