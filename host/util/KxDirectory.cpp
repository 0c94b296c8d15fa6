#include "KxDirectory.h"
#include "KxArrayRoom.h"
#include "KxListingBytes.h"
#include "KxMemory.h"

#include <windows.h>

#include <cstring>

namespace {
bool EndsWithSeparator(const KxString& s) {
    unsigned n = s.Length();
    return n && (s[n - 1] == '\\' || s[n - 1] == '/');
}

// The folder, a backslash unless it ends in one, and the name; the null string, with the
// shortage noted, when memory cannot hold it whole.
KxString JoinPath(const KxString& sFolder, const char* pszName) {
    KxString sPath(sFolder);
    unsigned nWhole = sFolder.Length() + static_cast<unsigned>(std::strlen(pszName));
    if (!EndsWithSeparator(sFolder)) {
        sPath << "\\";
        ++nWhole;
    }
    sPath << pszName;
    if (sPath.Length() == nWhole) return sPath;
    KxNoteMemoryShort();
    return NULL_STRING;
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

// The length of the folder part of the path's first nLength bytes: up to its last backslash
// (keeping the backslash of a root: "C:\\x" -> "C:\\", "\\x" -> "\\"), or a drive's "C:";
// -1 when there is none.
int ParentLength(const char* p, unsigned nLength) {
    // Searched from the end: walking up a path one parent at a time then reads it once.
    int nLast = static_cast<int>(nLength) - 1;
    while (nLast >= 0 && p[nLast] != '\\') --nLast;
    if (nLast < 0) return nLength >= 2 && p[1] == ':' ? 2 : -1;
    bool bRoot = nLast == 0 || (nLast == 2 && p[1] == ':');
    return bRoot ? nLast + 1 : nLast;
}

bool IsFolder(const char* pszPath) {
    DWORD dwAttr = GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}
}  // namespace

KxDirectoryFileInfo::KxDirectoryFileInfo(const KxString& sFolder, const char* pszName,
                                         unsigned dwAttributes, unsigned dwSize)
    : sName(pszName), sPath(JoinPath(sFolder, pszName)), dwAttributes(dwAttributes), dwSize(dwSize) {}

namespace {
KxString WholeCopy(const KxString& s) {
    KxString sCopy(s);
    if (sCopy.Length() != s.Length()) KxNoteMemoryShort();
    return sCopy;
}
}  // namespace

KxString KxDirectoryFileInfo::GetFileName() const { return WholeCopy(sName); }
KxString KxDirectoryFileInfo::GetFilePath() const { return WholeCopy(sPath); }

KxDirectory::KxDirectory() : sName(NULL_STRING), nCount(0), ppEntries(nullptr), nNext(0) {}

KxDirectory::~KxDirectory() { Close(); }

bool KxDirectory::Open(const KxString& sPath) {
    Close();
    if (sPath.IsNull() || sPath.Length() == 0) return false;
    KxString sPattern = JoinPath(sPath, "*");
    if (sPattern.IsNull()) return false;
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(sPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE) return false;
    // A listing with an entry whose name or path memory could not hold whole is no listing.
    bool bWhole = true;
    int nRoom = 0;
    do {
        if (!std::strcmp(fd.cFileName, ".") || !std::strcmp(fd.cFileName, "..")) continue;
        KxMakeRoom(ppEntries, nCount, nRoom, 16);
        KxDirectoryFileInfo* pInfo = new KxDirectoryFileInfo(sPath, fd.cFileName, fd.dwFileAttributes, fd.nFileSizeLow);
        ppEntries[nCount++] = pInfo;
        bWhole = pInfo->GetFilePath() != NULL_STRING && pInfo->GetFileName().Length() == std::strlen(fd.cFileName);
    } while (bWhole && FindNextFileA(hFind, &fd));
    FindClose(hFind);
    sName = sPath;
    if (!bWhole || sName.Length() != sPath.Length()) {
        KxNoteMemoryShort();
        sName = NULL_STRING;
        Close();
        return false;
    }
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

// Every parent of the path is a prefix of it, so one copy of the path serves them all, each
// ended in place by a NUL: memory stays linear in the path's length however deep it goes.
// The folders are tested from the top down, and the first one that cannot be made ends the
// work: a path too long for the system is refused there, not tested level by level.
bool KxDirectory::CreateFolder(const KxString& sPath, KxStringList* pslCreated) {
    if (sPath.IsNull() || sPath.Length() == 0) return false;
    if (IsFolder(sPath)) return true;
    KxString sWork(sPath);
    const unsigned nLength = sPath.Length();
    if (sWork.Length() != nLength) {
        KxNoteMemoryShort();
        return false;
    }
    char* p = sWork;
    // The lengths of the path and of each parent above it, the path's own first.
    unsigned nLevels = 1;
    for (unsigned i = 0; i < nLength; ++i) nLevels += p[i] == '\\';
    unsigned* pnLevel = new unsigned[nLevels + 1];
    int nCount = 0;
    for (int n = static_cast<int>(nLength); n > 0;) {
        pnLevel[nCount++] = static_cast<unsigned>(n);
        int nParent = ParentLength(p, static_cast<unsigned>(n));
        // A root ("C:\\", "\\") or a bare name has nothing above it to make.
        if (nParent < 0 || nParent >= n) break;
        n = nParent;
    }
    bool bMade = true;
    for (int i = nCount - 1; i >= 0 && bMade; --i) {
        char c = p[pnLevel[i]];
        p[pnLevel[i]] = 0;
        if (!IsFolder(p)) {
            bMade = CreateDirectoryA(p, nullptr) != 0;
            if (bMade && pslCreated) pslCreated->Add(KxString(p));
            if (!bMade) bMade = IsFolder(p);
        }
        p[pnLevel[i]] = c;
    }
    delete[] pnLevel;
    return bMade;
}

KxString KxGetDirectoryFromPath(const KxString& sPath) {
    if (sPath.IsNull()) return NULL_STRING;
    int n = ParentLength(sPath, sPath.Length());
    return n < 0 ? KxString(NULL_STRING) : KxString(sPath, static_cast<unsigned>(n));
}
