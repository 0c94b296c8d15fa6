#include "KxDirectory.h"
#include "KxArrayRoom.h"
#include "KxListingBytes.h"

#include <windows.h>

#include <cstring>

namespace {
bool EndsWithSeparator(const KxString& s) {
    unsigned n = s.Length();
    return n && (s[n - 1] == '\\' || s[n - 1] == '/');
}

KxString JoinPath(const KxString& sFolder, const char* pszName) {
    KxString sPath(sFolder);
    if (!EndsWithSeparator(sPath)) sPath << "\\";
    return sPath << pszName;
}

// Readers may be opened on several threads at once.
unsigned long long gqwListed = 0;
void AddListed(unsigned long long qwBytes) { __atomic_add_fetch(&gqwListed, qwBytes, __ATOMIC_RELAXED); }

// What a listing holds: each entry, its place in the array, its name and its path.
unsigned long long ListingBytes(KxDirectoryFileInfo* const* ppEntries, int nCount) {
    unsigned long long qw = 0;
    for (int i = 0; i < nCount; ++i)
        qw += sizeof(KxDirectoryFileInfo) + sizeof(void*) + ppEntries[i]->GetFileName().Length() +
              ppEntries[i]->GetFilePath().Length() + 2;
    return qw;
}

bool IsFolder(const char* pszPath) {
    DWORD dwAttr = GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}
}  // namespace

KxDirectoryFileInfo::KxDirectoryFileInfo(const KxString& sFolder, const char* pszName,
                                         unsigned dwAttributes, unsigned dwSize)
    : sName(pszName), sPath(JoinPath(sFolder, pszName)), dwAttributes(dwAttributes), dwSize(dwSize) {}

KxDirectory::KxDirectory() : sName(NULL_STRING), nCount(0), ppEntries(nullptr), nNext(0) {}

KxDirectory::~KxDirectory() { Close(); }

bool KxDirectory::Open(const KxString& sPath) {
    Close();
    if (sPath.IsNull() || sPath.Length() == 0) return false;
    KxString sPattern = JoinPath(sPath, "*");
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(sPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE) return false;
    int nRoom = 0;
    do {
        if (!std::strcmp(fd.cFileName, ".") || !std::strcmp(fd.cFileName, "..")) continue;
        KxMakeRoom(ppEntries, nCount, nRoom, 16);
        ppEntries[nCount++] = new KxDirectoryFileInfo(sPath, fd.cFileName, fd.dwFileAttributes, fd.nFileSizeLow);
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    sName = sPath;
    AddListed(ListingBytes(ppEntries, nCount));
    return true;
}

KxDirectoryFileInfo* KxDirectory::First() {
    nNext = 0;
    return Next();
}

KxDirectoryFileInfo* KxDirectory::Next() {
    return nNext < nCount ? ppEntries[nNext++] : nullptr;
}

void KxDirectory::Close() {
    // Only a listing that was whole (the reader is open) was counted.
    if (!sName.IsNull()) AddListed(0 - ListingBytes(ppEntries, nCount));
    for (int i = 0; i < nCount; ++i) delete ppEntries[i];
    delete[] ppEntries;
    ppEntries = nullptr;
    nCount = nNext = 0;
    sName = NULL_STRING;
}

unsigned long long KxListingBytes() { return __atomic_load_n(&gqwListed, __ATOMIC_RELAXED); }

bool KxDirectory::Exists(const KxString& sPath) {
    return !sPath.IsNull() && sPath.Length() && IsFolder(sPath);
}

bool KxDirectory::CreateFolder(const KxString& sPath, KxStringList* pslCreated) {
    if (sPath.IsNull() || sPath.Length() == 0) return false;
    if (IsFolder(sPath)) return true;
    KxString sParent = KxGetDirectoryFromPath(sPath);
    // Stop at a root ("C:\", "\") or a bare name: there is nothing above to make.
    if (!sParent.IsNull() && sParent.Length() < sPath.Length() && !(sParent == sPath) &&
        !IsFolder(sParent) && !CreateFolder(sParent, pslCreated))
        return false;
    if (CreateDirectoryA(sPath, nullptr)) {
        if (pslCreated) pslCreated->Add(sPath);
        return true;
    }
    return IsFolder(sPath);
}

KxString KxGetDirectoryFromPath(const KxString& sPath) {
    if (sPath.IsNull()) return NULL_STRING;
    const char* p = sPath;
    int nLast = -1;
    for (unsigned i = 0; i < sPath.Length(); ++i)
        if (p[i] == '\\') nLast = static_cast<int>(i);
    if (nLast < 0) {
        bool bDrive = sPath.Length() >= 2 && p[1] == ':';
        return bDrive ? KxString(p, 2) : KxString(NULL_STRING);
    }
    // Keep the separator of a root: "C:\x" -> "C:\", "\x" -> "\".
    bool bRoot = nLast == 0 || (nLast == 2 && p[1] == ':');
    return KxString(p, static_cast<unsigned>(bRoot ? nLast + 1 : nLast));
}
