#include "KxDirectory.h"

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
unsigned long long gqwHeld = 0;
void AddHeld(unsigned long long qwBytes) { __atomic_add_fetch(&gqwHeld, qwBytes, __ATOMIC_RELAXED); }

bool IsFolder(const char* pszPath) {
    DWORD dwAttr = GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}
}  // namespace

KxDirectoryFileInfo::KxDirectoryFileInfo(const KxString& sFolder, const char* pszName,
                                         unsigned dwAttributes, unsigned dwSize)
    : sName(pszName), sPath(JoinPath(sFolder, pszName)), dwAttributes(dwAttributes), dwSize(dwSize) {}

KxDirectory::KxDirectory() : sName(NULL_STRING), nCount(0), ppEntries(nullptr), nNext(0), qwHeld(0) {}

KxDirectory::~KxDirectory() { Close(); }

bool KxDirectory::Open(const KxString& sPath) {
    Close();
    if (sPath.IsNull() || sPath.Length() == 0) return false;
    KxString sPattern = JoinPath(sPath, "*");
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(sPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE) return false;
    int nRoom = 16;
    ppEntries = new KxDirectoryFileInfo*[nRoom];
    do {
        if (!std::strcmp(fd.cFileName, ".") || !std::strcmp(fd.cFileName, "..")) continue;
        if (nCount == nRoom) {
            KxDirectoryFileInfo** ppMore = new KxDirectoryFileInfo*[nRoom * 2];
            std::memcpy(ppMore, ppEntries, sizeof *ppEntries * nRoom);
            delete[] ppEntries;
            ppEntries = ppMore;
            nRoom *= 2;
        }
        ppEntries[nCount++] = new KxDirectoryFileInfo(sPath, fd.cFileName, fd.dwFileAttributes, fd.nFileSizeLow);
        // The entry, its place in the array, its name and its path (the folder and the name).
        qwHeld += sizeof(KxDirectoryFileInfo) + 2 * sizeof(void*) + 2 * std::strlen(fd.cFileName) +
                  sPath.Length() + 3;
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    sName = sPath;
    AddHeld(qwHeld);
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
    for (int i = 0; i < nCount; ++i) delete ppEntries[i];
    delete[] ppEntries;
    ppEntries = nullptr;
    nCount = nNext = 0;
    sName = NULL_STRING;
    AddHeld(0 - qwHeld);
    qwHeld = 0;
}

unsigned long long KxDirectory::HeldBytes() { return __atomic_load_n(&gqwHeld, __ATOMIC_RELAXED); }

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
