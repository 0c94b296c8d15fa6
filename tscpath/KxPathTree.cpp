#include "KxPathTree.h"

#include <algorithm>
#include <memory>

#include "KxPathName.h"

namespace KxPathTree {

namespace {

template <class Data>
void Facts(const Data& d, KxPathEntry& entry) {
    entry.dwAttributes = d.dwFileAttributes;
    entry.ftCreated = d.ftCreationTime;
    entry.ftAccessed = d.ftLastAccessTime;
    entry.ftModified = d.ftLastWriteTime;
    entry.qwSize = static_cast<unsigned long long>(d.nFileSizeHigh) << 32 | d.nFileSizeLow;
}

// One folder's entries, added to entries; false (the entries added taken out again) when it
// cannot be read whole.
bool ListOne(const std::wstring& sFolder, std::vector<KxPathEntry>& entries, DWORD& dwError) {
    size_t nBefore = entries.size();
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(KxPath::Join(sFolder, L"*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) {
        dwError = GetLastError();
        // A root folder without entries lists none at all.
        return dwError == ERROR_FILE_NOT_FOUND;
    }
    // Closed however the listing ends, memory that ran short included.
    std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(hFind, FindClose);
    do {
        if (fd.cFileName[0] == L'.' && (!fd.cFileName[1] || (fd.cFileName[1] == L'.' && !fd.cFileName[2]))) continue;
        entries.emplace_back();
        KxPathEntry& entry = entries.back();
        entry.sName = fd.cFileName;
        entry.sPath = KxPath::Join(sFolder, entry.sName);
        Facts(fd, entry);
    } while (FindNextFileW(hFind, &fd));
    dwError = GetLastError();
    if (dwError == ERROR_NO_MORE_FILES) return true;
    entries.resize(nBefore);
    return false;
}

// The part of a path below the folder it lies in.
std::wstring Below(const std::wstring& sPath, const std::wstring& sFolder) {
    return sPath.substr(sFolder.size() + (sFolder.back() == L'\\' ? 0 : 1));
}

// The three times of the entry given to the file or folder at sPath.
bool KeepTimes(const std::wstring& sPath, const KxPathEntry& from, KxPathFailure& failure) {
    HANDLE h = CreateFileW(sPath.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return failure.Set(GetLastError(), sPath);
    bool bSet = SetFileTime(h, &from.ftCreated, &from.ftAccessed, &from.ftModified) != 0;
    DWORD dwError = GetLastError();
    CloseHandle(h);
    return bSet || failure.Set(dwError, sPath);
}

// One entry gone: a read-only file or folder made writable first when bForce.
bool RemoveOne(const KxPathEntry& entry, bool bForce, KxPathFailure& failure) {
    const wchar_t* psz = entry.sPath.c_str();
    if (bForce && (entry.dwAttributes & FILE_ATTRIBUTE_READONLY) &&
        !SetFileAttributesW(psz, entry.dwAttributes & ~FILE_ATTRIBUTE_READONLY))
        return failure.Set(GetLastError(), entry.sPath);
    bool bGone = entry.IsFolder() ? RemoveDirectoryW(psz) : DeleteFileW(psz);
    return bGone || failure.Set(GetLastError(), entry.sPath);
}

}  // namespace

bool Stat(const std::wstring& sFull, KxPathEntry& entry, KxPathFailure& failure) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(sFull.c_str(), GetFileExInfoStandard, &d)) return failure.Set(GetLastError(), sFull);
    entry.sPath = sFull;
    entry.sName = KxPath::Name(KxPath::Plain(sFull));
    Facts(d, entry);
    return true;
}

bool List(const std::wstring& sFolder, bool bRecursive, std::vector<KxPathEntry>& entries,
          std::vector<std::wstring>* pskipped, KxPathFailure& failure) {
    std::vector<std::wstring> toRead{sFolder};
    while (!toRead.empty()) {
        std::wstring sNext = toRead.back();
        toRead.pop_back();
        size_t nBefore = entries.size();
        DWORD dwError = 0;
        if (!ListOne(sNext, entries, dwError)) {
            if (sNext == sFolder || !pskipped) return failure.Set(dwError, sNext);
            pskipped->push_back(sNext);
            continue;
        }
        for (size_t i = nBefore; bRecursive && i < entries.size(); ++i)
            if (entries[i].IsFolder() && !entries[i].IsLink()) toRead.push_back(entries[i].sPath);
    }
    // Sorted by a key each, made once.
    std::vector<std::pair<std::wstring, size_t>> keys(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) keys[i] = {KxPath::Upper(entries[i].sPath), i};
    std::sort(keys.begin(), keys.end());
    std::vector<KxPathEntry> sorted(entries.size());
    for (size_t i = 0; i < keys.size(); ++i) sorted[i] = std::move(entries[keys[i].second]);
    entries.swap(sorted);
    if (pskipped) std::sort(pskipped->begin(), pskipped->end());
    return true;
}

bool Copy(const KxPathEntry& from, const std::wstring& sTo, bool bTree, KxPathFailure& failure) {
    // A failure names the copy that was not made.
    if (!from.IsFolder() || !bTree) {
        if (!CopyFileW(from.sPath.c_str(), sTo.c_str(), TRUE)) return failure.Set(GetLastError(), sTo);
        return KeepTimes(sTo, from, failure);
    }
    // The whole tree is read, and found to hold no link, before anything is made.
    std::vector<KxPathEntry> entries;
    if (!List(from.sPath, true, entries, nullptr, failure)) return false;
    for (const KxPathEntry& e : entries)
        if (e.IsLink()) return failure.Refuse("a junction or symbolic link is not copied", e.sPath);
    if (!CreateDirectoryW(sTo.c_str(), nullptr)) return failure.Set(GetLastError(), sTo);
    // Parents come before their children in path order.
    for (const KxPathEntry& e : entries) {
        std::wstring sTarget = KxPath::Join(sTo, Below(e.sPath, from.sPath));
        if (e.IsFolder() ? !CreateDirectoryW(sTarget.c_str(), nullptr) : !CopyFileW(e.sPath.c_str(), sTarget.c_str(), TRUE))
            return failure.Set(GetLastError(), sTarget);
    }
    // Folders get their times and attributes once nothing more is made in them: children first.
    auto keep = [&](const KxPathEntry& e, const std::wstring& sTarget) {
        return KeepTimes(sTarget, e, failure) &&
               (SetFileAttributesW(sTarget.c_str(), e.dwAttributes) || failure.Set(GetLastError(), sTarget));
    };
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        std::wstring sTarget = KxPath::Join(sTo, Below(it->sPath, from.sPath));
        if (!(it->IsFolder() ? keep(*it, sTarget) : KeepTimes(sTarget, *it, failure))) return false;
    }
    return keep(from, sTo);
}

bool Remove(const KxPathEntry& entry, bool bTree, KxPathFailure& failure) {
    if (!entry.IsFolder() || entry.IsLink() || !bTree) return RemoveOne(entry, bTree, failure);
    std::vector<KxPathEntry> entries;
    if (!List(entry.sPath, true, entries, nullptr, failure)) return false;
    // Children before their parents.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (!RemoveOne(*it, true, failure)) return false;
    return RemoveOne(entry, true, failure);
}

bool Move(const KxPathEntry& from, const std::wstring& sTo, bool bReplace, KxPathFailure& failure) {
    DWORD dwFlags = MOVEFILE_COPY_ALLOWED | (bReplace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(from.sPath.c_str(), sTo.c_str(), dwFlags)) return true;
    DWORD dwError = GetLastError();
    // The system moves a folder within its volume only; to another, it is copied, then removed.
    if (dwError != ERROR_NOT_SAME_DEVICE || !from.IsFolder() || from.IsLink()) return failure.Set(dwError, from.sPath);
    if (!Copy(from, sTo, true, failure)) return false;
    if (Remove(from, true, failure)) return true;
    failure.pszNote = "the copy is whole; what is named and what was not yet removed stay in the source";
    return false;
}

}  // namespace KxPathTree
