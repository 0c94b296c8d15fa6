#pragma once
#include "KxString.h"
#include "KxStringList.h"

// One entry of an opened folder.
class KXUTIL_API KxDirectoryFileInfo {
public:
    KxDirectoryFileInfo(const KxString& sFolder, const char* pszName, unsigned dwAttributes,
                        unsigned dwSize);
    // Copies; one that memory could not hold whole is noted for the runtime (KxMemory.h).
    KxString GetFileName() const;
    KxString GetFilePath() const;
    unsigned QueryAttributes() const { return dwAttributes; }
    unsigned Size() const { return dwSize; }

private:
    KxString sName;
    KxString sPath;
    unsigned dwAttributes;
    unsigned dwSize;
};

// A folder reader.
// Choices of this library:
// - Open(path) reads every entry of the folder at once, in the order the system lists
//   `path\*`, leaving out "." and "..". An absent path, an empty path or a folder that cannot
//   be listed fails. Opening again first closes what was open.
// - sName is the folder as opened (the null string when closed); nCount is the number of
//   entries (0 when closed).
// - First() restarts the walk; Next() continues it; both give null past the last entry.
//   The entries stay the directory's until Close or destruction.
// - An entry's path is the folder, one backslash (unless it ends in one) and the name. Its
//   size is the low 32 bits of the file size.
// - CreateFolder makes every missing folder of the path, parents first, adding each folder it
//   made to the list when one is given. It is true when the path is a folder afterwards.
class KXUTIL_API KxDirectory {
public:
    KxDirectory();
    KxDirectory(const KxDirectory&) = delete;
    KxDirectory& operator=(const KxDirectory&) = delete;
    ~KxDirectory();

    bool Open(const KxString& sPath);
    KxDirectoryFileInfo* First();
    KxDirectoryFileInfo* Next();
    void Close();

    static bool Exists(const KxString& sPath);
    static bool CreateFolder(const KxString& sPath, KxStringList* pslCreated);

    KxString sName;
    int nCount;

private:
    KxDirectoryFileInfo** ppEntries;
    int nNext;
};

// The folder part of a path: everything before its last '\' (the root "C:\" keeps its
// separator), or the drive "C:" of "C:name". The null string when the path has no folder part
// or is null. '/' is not a separator: callers pass whole command lines too (Shell's detached
// Exec starts a program in the folder part of its command line), where '/' starts a switch,
// as in "cmd /c ...".
KXUTIL_API KxString KxGetDirectoryFromPath(const KxString& sPath);
