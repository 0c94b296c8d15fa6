#pragma once
// What Path does on disk, on full paths in UTF-16: an entry's facts, a folder's listing (a
// tree's, never through a junction or symbolic link), and the tree copied, removed or moved.
// Each operation tells the first failure as the system's error and the path it met it on.
#include <windows.h>

#include <string>
#include <vector>

struct KxPathEntry {
    std::wstring sPath;  // full
    std::wstring sName;
    DWORD dwAttributes = 0;
    FILETIME ftCreated{}, ftAccessed{}, ftModified{};
    unsigned long long qwSize = 0;

    bool IsFolder() const { return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // A junction, a symbolic link (or another reparse point): listed, never entered.
    bool IsLink() const { return (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

// The first failure of an operation: the system's error, or a reason of Path's own, and the
// full path it met it on; and what the script must know besides of what was done.
struct KxPathFailure {
    DWORD dwError = 0;
    const char* pszWhy = nullptr;   // in place of the system's reason
    const char* pszNote = nullptr;  // after the reason
    std::wstring sPath;
    bool Set(DWORD dwErrorNow, const std::wstring& sPathNow) {
        dwError = dwErrorNow;
        sPath = sPathNow;
        return false;
    }
    bool Refuse(const char* pszReason, const std::wstring& sPathNow) {
        pszWhy = pszReason;
        return Set(0, sPathNow);
    }
};

namespace KxPathTree {

// The entry at the full path; false with the failure (ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND when nothing is there).
bool Stat(const std::wstring& sFull, KxPathEntry& entry, KxPathFailure& failure);
// The entries of the folder, and with bRecursive of the folders below it but links, in path
// order ignoring case. A folder below that cannot be read is left out and added to pskipped
// (or, with pskipped null, ends the walk as a failure); the folder itself must be read.
bool List(const std::wstring& sFolder, bool bRecursive, std::vector<KxPathEntry>& entries,
          std::vector<std::wstring>* pskipped, KxPathFailure& failure);
// A file, or with bTree a folder and everything below it, copied to sTo, which must not exist;
// times and attributes kept. The tree is read whole before anything is made.
bool Copy(const KxPathEntry& from, const std::wstring& sTo, bool bTree, KxPathFailure& failure);
// A file, an empty folder or a link, or with bTree a folder and everything below it (read-only
// files included); the tree is read whole before anything goes.
bool Remove(const KxPathEntry& entry, bool bTree, KxPathFailure& failure);
// Renamed or moved, across volumes too (a folder there as a copy, then the source removed).
bool Move(const KxPathEntry& from, const std::wstring& sTo, bool bReplace, KxPathFailure& failure);

}  // namespace KxPathTree
