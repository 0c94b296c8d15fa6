#include "KxTshDirectory.h"

#include <windows.h>

#include <cwchar>

namespace {

const KxTshMethodDef kMethods[] = {
    {"Open", KXTSH_METHOD(KxTshDirectory, Open), 1},
    {"First", KXTSH_METHOD(KxTshDirectory, First), 0},
    {"Next", KXTSH_METHOD(KxTshDirectory, Next), 0},
    {"Close", KXTSH_METHOD(KxTshDirectory, Close), 0},
    {"Exists", KXTSH_METHOD(KxTshDirectory, Exists), 1},
    {"Create", KXTSH_METHOD(KxTshDirectory, Create), 1},
};
const KxTshSignatureDef kSignatures[] = {{"Open", {"String"}}, {"Exists", {"String"}}, {"Create", {"String"}}};
enum { TOKEN_NAME, TOKEN_COUNT };
const char* const kTokens[] = {"name", "count"};
// The fields of the entries First and Next give, in EntryRecord's order.
const char* const kEntryFields[] = {"name", "path", "attr", "size"};
const KxTshMethodDoc kDocs[] = {
    {"Open", {{"String directory", nullptr}}}, {"Close", {}}, {"First", {}, kEntryFields}, {"Next", {}},
    {"Exists", {{"String directory", nullptr}}}, {"Create", {{"String directory", nullptr}}},
};
const KxTshConstant kConstants[] = {
    {"FILE_ATTRIBUTE_ARCHIVE", 32},  {"FILE_ATTRIBUTE_COMPRESSED", 2048},
    {"FILE_ATTRIBUTE_DIRECTORY", 16}, {"FILE_ATTRIBUTE_HIDDEN", 2},
    {"FILE_ATTRIBUTE_NORMAL", 128},  {"FILE_ATTRIBUTE_OFFLINE", 4096},
    {"FILE_ATTRIBUTE_READONLY", 1},  {"FILE_ATTRIBUTE_SYSTEM", 4},
    {"FILE_ATTRIBUTE_TEMPORARY", 256},
};
const int kDirectoryError = 18;

// A path that is not a string (only a direct caller can pass one), or that the system cannot
// take as a folder's name, is absent: the folder reader fails on it before any call.
KxString PathArg(int nArgs, KxScDataHandle** pphArgs) {
    const KxString* psPath = KxTsh::TextArg(nArgs, pphArgs, 0);
    return psPath && KxTsh::PathTakes(*psPath) ? KxTsh::Join(*psPath) : KxString(NULL_STRING);
}

bool IsDots(const KxString& sName) { return sName == "." || sName == ".."; }

KxScDataHandle* EntryRecord(const KxDirectoryFileInfo& info) {
    return KxTsh::Record({{kEntryFields[0], 0, info.GetFileName()},
                          {kEntryFields[1], 0, info.GetFilePath()},
                          {kEntryFields[2], static_cast<int>(info.QueryAttributes()), nullptr},
                          {kEntryFields[3], static_cast<int>(info.Size()), nullptr}});
}

}  // namespace

const KxTshClassDef KxTshDirectory::kDef = {kMethods, kSignatures, kTokens, kDocs, kTokens, kConstants, true, kDirectoryError};

KxTshDirectory::KxTshDirectory() : KxTshClass(KXO_SCRIPT_CLASS), bOpen(false), nNext(0) {}

KxTshDirectory::KxTshDirectory(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS), bOpen(false), nNext(0) {
    BuildClassObject();
}

KxTshDirectory::~KxTshDirectory() {
    if (bOpen) oDirectory.Close();
}

bool KxTshDirectory::GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue) {
    switch (LookupPropertyToken(sName, pptTokenTable)) {
    case TOKEN_NAME: *pphValue = KxScDataHandle::CreateData(oDirectory.sName, false); return true;
    case TOKEN_COUNT: *pphValue = KxScDataHandle::CreateData(oDirectory.nCount); return true;
    default: return false;
    }
}

// The reader lists the folder with the system's ANSI functions, which give a name the code page
// cannot hold as its best fit: beside "a.txt", a file named with a Greek alpha and ".txt" comes
// as a second "a.txt", whose path reaches the other file. The folder is listed once more in
// UTF-16 and the two listings are matched entry for entry; such an entry then gets the file's
// short name, or where it has none its name with '?' for each character the page cannot hold,
// which no method takes. A folder that changed between the two listings is read again, three
// times at most.
KxScDataHandle* KxTshDirectory::Open(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    std::unique_ptr<KxTshDirectory> pDirectory(new KxTshDirectory);
    KxString sPath = PathArg(nArgs, pphArgs);
    Listing listing = CHANGED;
    for (int nTry = 0; nTry < 3 && listing == CHANGED; ++nTry)
        listing = pDirectory->oDirectory.Open(sPath) ? pDirectory->ListEntries() : FAILED;
    if (listing != LISTED) return nullptr;
    pDirectory->bOpen = true;
    return KxScDataHandle::CreateData(pDirectory.release());
}

KxTshDirectory::Listing KxTshDirectory::ListEntries() {
    const int nCount = oDirectory.nCount;
    aEntries.reset(new Entry[nCount]);
    KxDirectoryFileInfo* pInfo = oDirectory.First();
    for (int i = 0; i < nCount; ++i, pInfo = oDirectory.Next()) aEntries[i].pListed = pInfo;
    // The reader's own pattern: the folder, a backslash unless it ends in one, and "*".
    unsigned nPage = KxTsh::FilePage();
    KxString sPattern = KxDirectoryFileInfo(oDirectory.sName, "*", 0, 0).GetFilePath();
    if (sPattern.IsNull()) throw std::bad_alloc();
    std::unique_ptr<wchar_t[]> pwPattern = KxTsh::ToWide(nPage, sPattern);
    WIN32_FIND_DATAW fd;
    HANDLE hFind = pwPattern ? FindFirstFileW(pwPattern.get(), &fd) : INVALID_HANDLE_VALUE;
    if (hFind == INVALID_HANDLE_VALUE) {
        // The 95 family has no Unicode listing: the names are the reader's. A root folder
        // without entries lists none at all.
        if (KxTsh::NoUnicode()) return LISTED;
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return FAILED;
        return nCount == 0 ? LISTED : CHANGED;
    }
    std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(hFind, FindClose);
    int i = 0;
    do {
        int nChars = static_cast<int>(wcslen(fd.cFileName));
        KxString sName;
        bool bExact = KxTsh::FromSystem(nPage, fd.cFileName, nChars, sName);
        KxString sGiven = bExact ? sName : KxTsh::AsSystemGives(nPage, fd.cFileName, nChars);
        if (IsDots(sGiven)) continue;
        if (i == nCount || sGiven != aEntries[i].pListed->GetFileName()) return CHANGED;
        if (!bExact) {
            KxString sShort;
            if (fd.cAlternateFileName[0] &&
                KxTsh::FromSystem(nPage, fd.cAlternateFileName, static_cast<int>(wcslen(fd.cAlternateFileName)), sShort))
                sName = sShort;
            const KxDirectoryFileInfo& listed = *aEntries[i].pListed;
            KxDirectoryFileInfo* pRenamed = new KxDirectoryFileInfo(oDirectory.sName, sName, listed.QueryAttributes(), listed.Size());
            aEntries[i].pRenamed.reset(pRenamed);
            if (pRenamed->GetFilePath().IsNull()) throw std::bad_alloc();
        }
        ++i;
    } while (FindNextFileW(hFind, &fd));
    // A listing cut short is read again.
    return i == nCount && GetLastError() == ERROR_NO_MORE_FILES ? LISTED : CHANGED;
}

KxScDataHandle* KxTshDirectory::Walk(const char* pszMethod, bool bFirst) {
    if (OnClassObject()) {
        KxTsh::Raise(kDirectoryError, KxTsh::Join(pszMethod, " cannot be called on the class object"));
        return nullptr;
    }
    if (!bOpen) {
        KxTsh::Raise(kDirectoryError, KxTsh::Join(pszMethod, " called on a non-open directory."));
        return nullptr;
    }
    if (bFirst) nNext = 0;
    if (nNext >= oDirectory.nCount) return nullptr;
    const Entry& e = aEntries[nNext++];
    return EntryRecord(e.pRenamed ? *e.pRenamed : *e.pListed);
}

KxScDataHandle* KxTshDirectory::First(KxScDataHandle*, int, KxScDataHandle**) { return Walk("First", true); }

KxScDataHandle* KxTshDirectory::Next(KxScDataHandle*, int, KxScDataHandle**) { return Walk("Next", false); }

KxScDataHandle* KxTshDirectory::Close(KxScDataHandle*, int, KxScDataHandle**) {
    if (OnClassObject()) {
        KxTsh::Raise(kDirectoryError, "Close cannot be called on the class object");
        return nullptr;
    }
    if (bOpen) {
        bOpen = false;
        oDirectory.Close();
        aEntries.reset();
    }
    return nullptr;
}

KxScDataHandle* KxTshDirectory::Exists(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return KxTsh::Bool(KxDirectory::Exists(PathArg(nArgs, pphArgs)));
}

KxScDataHandle* KxTshDirectory::Create(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    // The system says it made a name of a device ("NUL", "CON") and makes nothing: only a
    // folder found afterwards counts.
    KxString sPath = PathArg(nArgs, pphArgs);
    return KxTsh::Bool(KxDirectory::CreateFolder(sPath, nullptr) && KxDirectory::Exists(sPath));
}
