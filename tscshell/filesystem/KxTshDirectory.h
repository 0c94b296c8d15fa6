#pragma once
#include <memory>

#include "KxDirectory.h"
#include "KxTshClass.h"

// Directory: tests for and creation of folders (Exists, Create), and a reader of one folder's
// entries: Directory.Open(path), then First() and Next() until they give nil, then Close().
// Each entry is a plain object with name, path, attr and size; the reader itself shows name
// (the folder) and count (its entries).
class KxTshDirectory : public KxTshClass<KxTshDirectory> {
public:
    KxTshDirectory();
    explicit KxTshDirectory(ClassObjectTag);
    ~KxTshDirectory() override;

    KxScDataHandle* Open(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* First(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Next(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Close(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Exists(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Create(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);

    bool GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue);

    static const KxTshClassDef kDef;

    KxDirectory oDirectory;
    bool bOpen;

private:
    // An entry as the walk gives it: the reader's, or one of the same file under a name that
    // reaches it (Open).
    struct Entry {
        KxDirectoryFileInfo* pListed;  // the reader's
        std::unique_ptr<KxDirectoryFileInfo> pRenamed;
    };
    enum Listing { LISTED, CHANGED, FAILED };
    // The reader's entries, each named as the system's Unicode listing of the folder has it.
    Listing ListEntries();
    // First and Next: the guards, then the entry as a record.
    KxScDataHandle* Walk(const char* pszMethod, bool bFirst);

    std::unique_ptr<Entry[]> aEntries;  // oDirectory.nCount of them while open
    int nNext;
};

KXTSH_DECLARE_STATICS(KxTshDirectory);
