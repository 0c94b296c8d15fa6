#pragma once
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
    // First and Next: the guards, then the entry as a record.
    KxScDataHandle* Walk(const char* pszMethod, KxDirectoryFileInfo* (KxDirectory::*pfnStep)());
};

KXTSH_DECLARE_STATICS(KxTshDirectory);
